#pragma once

#include <cstdint>

#include "util/StringView.h"

// Small-file routines on the raw system calls. Every failing call is reported
// with perror and the bare call name; results are values, nothing throws.
namespace FileUtil {

// An open file as the write path sees it; closes what it still holds.
class File {
public:
    File() = default;
    File(int fd, bool created) : fd_(fd), created_(created) {}
    File(File&& other) : fd_(other.fd_), created_(other.created_) { other.fd_ = -1; }
    File& operator=(File&& other);
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    int fd() const { return fd_; }
    bool created() const { return created_; }
    // Closes the descriptor now and reports whether close() succeeded.
    bool close();

private:
    int fd_ = -1;
    bool created_ = false;
};

// Reads the whole file into `buffer`. Returns the byte count; -1 when the file
// cannot be opened or does not fit in `capacity`; 0 for an empty file or a read
// error. The buffer is not NUL-terminated.
int32_t readFile(CStringView path, char* buffer, int32_t capacity);

// Replaces the file's content so that after a power loss it holds either the
// old or the new content, never a truncated mix.
bool writeFileDurably(CStringView path, const char* data, uint32_t length);

bool syncFile(const File& file);

// The directory that contains `path`, opened read-only (fd -1 when there is none).
File openParentDirectory(CStringView path);

} // namespace FileUtil
