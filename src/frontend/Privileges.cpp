#include "frontend/Privileges.h"

#include "protocol/ClientProtocol.h"

#include <cerrno>
#include <cstring>
#include <error.h>
#include <grp.h>
#include <pwd.h>
#if ZORVI_STATIC
#include <nss.h>
#endif
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Privileges {

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kCreationMask = 002;

// Called right after a failed mkdir: an existing directory is fine.
bool isExistingDirectory(const char* path) {
    if (errno != EEXIST) {
        error(0, errno, "mkdir %s", path);
        return false;
    }
    struct stat st;
    if (::stat(path, &st) == -1) {
        error(0, errno, "stat %s", path);
        return false;
    }
    return S_ISDIR(st.st_mode);
}

// Linked statically, the program must never load the hub's NSS modules: they
// belong to the hub's own C library, not to the one built in here. The accounts
// come from /etc/passwd and /etc/group through the C library's built-in "files"
// source, whatever nsswitch.conf names (Debian 9 says "compat"). Set once,
// before the first lookup; the dynamic build follows nsswitch.conf as usual.
bool useAccountFiles() {
#if ZORVI_STATIC
    static constexpr const char* kDatabases[] = {"passwd", "group", "initgroups"};
    static bool done = false;
    if (!done) {
        for (const char* database : kDatabases) {
            if (::__nss_configure_lookup(database, "files") != 0) {
                if (errno == 0) errno = EINVAL; // reported as a failed lookup, never as a missing account
                return false;
            }
        }
        done = true;
    }
#endif
    return true;
}

bool makeDirectory(const char* path) { return ::mkdir(path, kDirectoryMode) == 0 || isExistingDirectory(path); }

bool chownToUser(const char* path, const User& user) {
    if (::chown(path, user.uid, user.gid) == -1) {
        error(0, errno, "failed to chown %s", path);
        return false;
    }
    return true;
}

} // namespace

User lookUpUser(StringView name) {
    User user;
    if (name.size() >= sizeof(user.userName)) {
        char shown[256];
        uint32_t n = name.size() < sizeof(shown) - 1 ? name.size() : sizeof(shown) - 1;
        std::memcpy(shown, name.data(), n);
        shown[n] = '\0';
        error(0, 0, "Username too long: %s", shown);
        return user;
    }
    std::memcpy(user.userName, name.data(), name.size());
    user.userName[name.size()] = '\0';

    errno = 0;
    const passwd* entry = useAccountFiles() ? ::getpwnam(user.userName) : nullptr;
    if (errno != 0) {
        error(0, errno, "Unable to get uid and gid for %s", user.userName);
        return user;
    }
    if (entry == nullptr) {
        error(0, 0, "User %s does not exist.", user.userName);
        return user;
    }
    if (entry->pw_uid == 0) {
        error(0, 0, "uid of %s is 0.", user.userName);
        return user;
    }
    if (entry->pw_gid == 0) {
        error(0, 0, "gid of %s is 0.", user.userName);
        return user;
    }
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return user;
}

bool createRuntimeDirectory(StringView path, const User& user) {
    if (!user.valid()) return false;
    mode_t previous = ::umask(kCreationMask);
    bool ok = makeDirectory(ClientProtocol::kBaseDirectory) && makeDirectory(path.data()) && chownToUser(path.data(), user);
    ::umask(previous);
    return ok;
}

bool dropPrivileges(const User& user) {
    if (!user.valid()) return false;
    if (!useAccountFiles() || ::initgroups(user.userName, user.gid) == -1) {
        error(0, errno, "Failed setting supplementary groups for %s while dropping privileges", user.userName);
        return false;
    }
    if (::setresgid(user.gid, user.gid, user.gid) == -1) {
        error(0, errno, "Failed setting gid to %d while dropping privileges", static_cast<int>(user.gid));
        return false;
    }
    if (::setresuid(user.uid, user.uid, user.uid) == -1) {
        error(0, errno, "Failed setting uid to %d while dropping privileges", static_cast<int>(user.uid));
        return false;
    }
    // -1 changes nothing and returns the current file-system id.
    int fsgid = ::setfsgid(static_cast<gid_t>(-1));
    if (fsgid != static_cast<int>(user.gid)) {
        error(0, errno, "fsgid was %d but should have been %d.", fsgid, static_cast<int>(user.gid));
        return false;
    }
    int fsuid = ::setfsuid(static_cast<uid_t>(-1));
    if (fsuid != static_cast<int>(user.uid)) {
        error(0, errno, "fsuid was %d but should have been %d.", fsuid, static_cast<int>(user.uid));
        return false;
    }
    gid_t rgid = 0, egid = 0, sgid = 0;
    uid_t ruid = 0, euid = 0, suid = 0;
    ::getresgid(&rgid, &egid, &sgid);
    ::getresuid(&ruid, &euid, &suid);
    if (rgid != user.gid || egid != user.gid || sgid != user.gid || ruid != user.uid || euid != user.uid ||
        suid != user.uid) {
        error(0, errno, "rgid, egid, sgid, ruid, euid or suid was not set correctly.");
        return false;
    }
    // The drop must be irrevocable: getting root back now would be a failure.
    if (::setuid(0) == 0 || ::setgid(0) == 0) {
        error(0, 0, "root could be regained after dropping privileges.");
        return false;
    }
    return true;
}

bool dropPrivileges(StringView name) { return dropPrivileges(lookUpUser(name)); }

} // namespace Privileges
