#include "UnixSocket/FileDescriptor.h"

#include <cstdio>
#include <unistd.h>

namespace UnixSocket {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    const int mine = fd_;
    fd_ = other.fd_;
    other.fd_ = mine;
    return *this;
}

FileDescriptor::~FileDescriptor() { (void)close(); }

bool FileDescriptor::close() {
    if (fd_ < 0) return false;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) == -1) {
        perror("close");
        return false;
    }
    return true;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

} // namespace UnixSocket
