#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

// Runs `body` with standard output redirected to a temporary file and returns
// what it wrote (a file, not a pipe, so a large output cannot block the body).
template <class F>
std::string captureStdout(F body) {
    std::fflush(stdout);
    FILE* sink = std::tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    std::rewind(sink);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0) out.append(chunk, n);
    std::fclose(sink);
    return out;
}
