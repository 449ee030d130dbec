#pragma once

namespace UnixSocket {

// Sole owner of one descriptor; -1 when it owns nothing. Move-only: moving steals
// the number and leaves -1 behind, so every descriptor is closed exactly once.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    // Swaps the numbers: the moved-from object closes what this one held when it dies.
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // True when a descriptor was closed. The number is dropped even when close()
    // fails: Linux has released it already and it may belong to someone else next.
    bool close();
    // Gives up ownership without closing; returns the number and leaves -1.
    int release();

private:
    int fd_ = -1;
};

} // namespace UnixSocket
