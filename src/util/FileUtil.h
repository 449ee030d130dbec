#pragma once

#include <cstdint>

#include "UnixSocket/FileDescriptor.h"
#include "util/StringView.h"

// Small-file routines on the raw system calls. Every failing call is reported
// with perror and the bare call name; results are values, nothing throws.
namespace FileUtil {

// Reads the whole file into `buffer`. Returns the byte count; -1 when the file
// cannot be opened or does not fit in `capacity`; 0 for an empty file or a read
// error. The buffer is not NUL-terminated.
int32_t readFile(CStringView path, char* buffer, int32_t capacity);

// Replaces the file's content so that after a power loss it holds either the
// old or the new content, never a truncated mix.
bool writeFileDurably(CStringView path, const char* data, uint32_t length);

bool syncFile(const UnixSocket::FileDescriptor& file);

// The directory that contains `path`, opened read-only (fd -1 when there is none).
UnixSocket::FileDescriptor openParentDirectory(CStringView path);

} // namespace FileUtil
