#include "util/FileUtil.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileUtil {

using UnixSocket::FileDescriptor;

namespace {

constexpr char kTemporarySuffix[] = ".XXXXXX";

// Writes all of `data`, continuing after short writes. No retry on EINTR.
bool writeAll(int fd, const char* data, uint32_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n == -1) {
            perror("write");
            return false;
        }
        data += n;
        length -= static_cast<uint32_t>(n);
    }
    return true;
}

// A new file beside `path`, named path.XXXXXX, so that rename() stays within
// one file system and is atomic. `name` receives its name.
FileDescriptor createTemporaryBeside(CStringView path, char (&name)[PATH_MAX]) {
    if (path.size() + sizeof(kTemporarySuffix) > sizeof(name)) {
        errno = ENAMETOOLONG;
        perror("open");
        return FileDescriptor();
    }
    std::memcpy(name, path.data(), path.size());
    std::memcpy(name + path.size(), kTemporarySuffix, sizeof(kTemporarySuffix));
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd == -1) {
        perror("open");
        return FileDescriptor();
    }
    // Keep the permissions of the file being replaced; a new one gets 0644.
    // Not copying them is no reason to keep the old content, so failures pass.
    struct stat old;
    bool kept;
    if (::stat(path.c_str(), &old) == 0)
        kept = fchmod(fd, old.st_mode & 07777) == 0 && fchown(fd, old.st_uid, old.st_gid) == 0;
    else
        kept = fchmod(fd, 0644) == 0;
    (void)kept;
    return FileDescriptor(fd);
}

} // namespace

int32_t readFile(CStringView path, char* buffer, int32_t capacity) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        perror("open");
        return -1;
    }
    int32_t total = 0;
    int32_t result = -2; // not decided yet
    while (total < capacity) {
        ssize_t n = ::read(fd, buffer + total, static_cast<size_t>(capacity - total));
        if (n == -1) {
            perror("read");
            result = 0;
            break;
        }
        if (n == 0) {
            result = total;
            break;
        }
        total += static_cast<int32_t>(n);
    }
    if (result == -2) {
        // The buffer is full: one more byte tells whether the file is larger.
        char extra;
        ssize_t n = ::read(fd, &extra, 1);
        if (n == -1) {
            perror("read");
            result = 0;
        } else {
            result = n == 1 ? -1 : total;
        }
    }
    ::close(fd);
    return result;
}

bool syncFile(const FileDescriptor& file) {
    if (file.get() == -1) return false;
    if (::fsync(file.get()) == -1) {
        perror("fsync");
        return false;
    }
    return true;
}

FileDescriptor openParentDirectory(CStringView path) {
    uint32_t n = path.size();
    if (n == 0) return FileDescriptor();
    const char* p = path.data();
    char directory[PATH_MAX];
    uint32_t length;
    if (n == 1 && p[0] == '/') {
        length = 1;
        directory[0] = '/';
    } else {
        uint32_t end = p[n - 1] == '/' ? n - 1 : n;
        uint32_t i = end;
        while (i > 1 && p[i - 1] != '/') --i;
        if (i > 1) {
            length = i - 1; // the text before the last '/'
            std::memcpy(directory, p, length);
        } else {
            length = 1;
            directory[0] = p[0] == '/' ? '/' : '.';
        }
    }
    directory[length] = '\0';
    return FileDescriptor(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool writeFileDurably(CStringView path, const char* data, uint32_t length) {
    char temporary[PATH_MAX];
    FileDescriptor file = createTemporaryBeside(path, temporary);
    if (file.get() == -1) return false;

    bool ok = writeAll(file.get(), data, length) && syncFile(file);
    if (ok && !file.close()) {
        perror("close");
        ok = false;
    }
    if (ok && ::rename(temporary, path.c_str()) == -1) {
        perror("rename");
        ok = false;
    }
    if (!ok) {
        // The old file was never touched; only the temporary goes.
        (void)::unlink(temporary);
        return false;
    }

    // The rename is durable only once the directory entry is.
    FileDescriptor directory = openParentDirectory(path);
    if (!syncFile(directory)) ::sync();
    return true;
}

} // namespace FileUtil
