"""The service's account and two client accounts exist inside only."""

import grp
import json
import os
import pwd

from harness import SandboxCase, main

SERVICE, MEMBER, OUTSIDER = "zorvi-upgrade", "zorvi-client", "zorvi-outsider"

# Prints what the C library's user and group database says about each name.
DESCRIBE = """
import grp, json, os, pwd
out = {}
for name in ("root", "zorvi-upgrade", "zorvi-client", "zorvi-outsider"):
    try:
        p = pwd.getpwnam(name)
    except KeyError:
        out[name] = None
        continue
    out[name] = {"uid": p.pw_uid, "gid": p.pw_gid, "shell": p.pw_shell,
                 "group": grp.getgrgid(p.pw_gid).gr_name,
                 "groups": sorted(os.getgrouplist(name, p.pw_gid))}
out["service group"] = grp.getgrnam("zorvi-upgrade").gr_gid
print(json.dumps(out))
"""


class Accounts(SandboxCase):
    def describe(self, *options):
        result = self.python_in(DESCRIBE, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_service_account_and_clients_with_their_memberships(self):
        seen = self.describe()
        service, member, outsider = seen[SERVICE], seen[MEMBER], seen[OUTSIDER]
        self.assertEqual(seen["root"]["uid"], 0)  # the host's accounts stay
        self.assertNotEqual(service["uid"], 0)
        self.assertNotEqual(service["gid"], 0)
        self.assertEqual(service["group"], SERVICE)
        self.assertEqual(seen["service group"], service["gid"])
        self.assertEqual(service["shell"], "/usr/sbin/nologin")
        self.assertEqual(member["groups"], sorted([member["gid"], service["gid"]]))
        self.assertEqual(outsider["groups"], [outsider["gid"]])
        ids = {service["uid"], member["uid"], outsider["uid"],
               service["gid"], member["gid"], outsider["gid"]}
        self.assertEqual(len(ids), 3, "each account needs its own ids")
        host_ids = {p.pw_uid for p in pwd.getpwall()} | {g.gr_gid for g in grp.getgrall()}
        self.assertFalse(ids & host_ids, "ids must not be a host account's")

        with open(os.path.join(self.state, "etc", "passwd"), encoding="utf-8") as f:
            listed = {e.split(":")[0]: int(e.split(":")[2]) for e in f}
        self.assertEqual(listed[SERVICE], service["uid"])

    def test_no_account_leaves_only_the_service_account_out(self):
        seen = self.describe("--no-account")
        self.assertIsNone(seen[SERVICE])
        self.assertIsNotNone(seen[MEMBER])
        self.assertIn(seen["service group"], seen[MEMBER]["groups"])

    def test_an_account_reads_what_the_sandbox_made_whatever_the_umask(self):
        as_outsider = ("setpriv --reuid=zorvi-outsider --regid=zorvi-outsider --init-groups "
                       "/bin/bash -c 'read -r line </usr/share/verdanta/zorvi-upgrade/zorvi/"
                       "verdanta.list && read -r model </usr/local/share/verdanta/lumora.model "
                       "&& [[ -x /run && -x /usr/bin && -r /etc/passwd ]] && echo $model'")
        old = os.umask(0o077)
        try:
            result = self.run_in(["/bin/bash", "-c", as_outsider])
        finally:
            os.umask(old)
        self.assertEqual((result.returncode, result.stdout), (0, "arko-3b2-nx\n"), result.stderr)

    def test_accounts_do_not_exist_on_the_host(self):
        self.describe()
        for name in (SERVICE, MEMBER, OUTSIDER):
            with self.subTest(name=name), self.assertRaises(KeyError):
                pwd.getpwnam(name)


if __name__ == "__main__":
    main()
