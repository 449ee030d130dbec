#include "backend/ProcedureGuard.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "output/print.h"

namespace Backend {

using UnixSocket::FileDescriptor;

namespace {
constexpr const char* kLockName = "procedure.lock";
constexpr const char* kCompletedName = "completed";
} // namespace

FileDescriptor ProcedureGuard::openDirectory(bool create) const {
    if (create && ::mkdir(directory_.c_str(), 0755) == -1 && errno != EEXIST) perror("mkdir");
    int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1 && (create || errno != ENOENT)) perror("open");
    return FileDescriptor(fd);
}

bool ProcedureGuard::acquire() {
    if (lock_.valid()) return true;
    FileDescriptor directory = openDirectory(true);
    // Close-on-exec: the lock belongs to this process alone; a daemon that a
    // step starts must not keep it after the procedure is over.
    FileDescriptor lock(directory.valid()
                            ? ::openat(directory.get(), kLockName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)
                            : -1);
    if (!lock.valid()) {
        if (directory.valid()) perror("open");
        print("Procedure lock unavailable in ", directory_, "; running without it");
        return true;
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == -1) {
        if (errno != EWOULDBLOCK) perror("flock");
        return false;
    }
    lock_ = std::move(lock);
    return true;
}

bool ProcedureGuard::markCompleted() {
    FileDescriptor directory = openDirectory(true);
    if (!directory.valid()) return false;
    FileDescriptor marker(::openat(directory.get(), kCompletedName, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!marker.valid()) {
        perror("open");
        return false;
    }
    return true;
}

bool ProcedureGuard::completed() const {
    FileDescriptor directory = openDirectory(false);
    if (!directory.valid()) return false;
    struct stat st;
    return ::fstatat(directory.get(), kCompletedName, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace Backend
