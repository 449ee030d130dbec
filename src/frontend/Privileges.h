#pragma once

#include <sys/types.h>

#include "util/StringView.h"

// Giving up root for the service account, for good. Problems are reported with
// error(3) and status 0, so every operation returns and the caller decides.
namespace Privileges {

struct User {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    char userName[48] = {};

    bool valid() const { return uid != static_cast<uid_t>(-1) && gid != static_cast<gid_t>(-1); }
};

// Resolves a non-root account; invalid on any failure.
User lookUpUser(StringView name);

// Creates /var/run/verdanta and `path` (mode 0755, both root's) and gives `path`
// to the user. `path` must be followed by a NUL byte.
bool createRuntimeDirectory(StringView path, const User& user);

// Switches supplementary groups, real/effective/saved ids and through them the
// file-system ids to the user's, then verifies every one and that root is gone.
bool dropPrivileges(const User& user);
bool dropPrivileges(StringView name);

} // namespace Privileges
