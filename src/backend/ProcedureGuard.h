#pragma once

#include "UnixSocket/FileDescriptor.h"
#include "util/StringView.h"

namespace Backend {

// Root's own state directory: under /run, so a reboot clears it and nothing of
// a procedure is ever kept on persistent storage.
inline constexpr CStringView kStateDirectory = "/run/zorvi-upgrade";

// One procedure at a time on the whole machine, also across restarts of the
// service (a backend orphaned by a killed launcher goes on with its steps), and
// none at all once one has completed, until the hub has restarted.
class ProcedureGuard {
public:
    explicit ProcedureGuard(CStringView directory = kStateDirectory) : directory_(directory) {}

    // Takes the machine-wide procedure lock for this process's life. False when
    // another process holds it. Where no lock can be made at all the procedure
    // may still run, as it always could: an unwritable /run must not keep a hub
    // from its upgrade.
    bool acquire();
    bool held() const { return lock_.valid(); }

    // Remembers until the next boot that a procedure completed.
    bool markCompleted();
    bool completed() const;

private:
    UnixSocket::FileDescriptor openDirectory(bool create) const;

    CStringView directory_;
    UnixSocket::FileDescriptor lock_;
};

} // namespace Backend
