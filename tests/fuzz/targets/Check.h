#pragma once

#include <cstdio>
#include <cstdlib>

// A property that failed: name it and stop, so libFuzzer keeps the input as a
// crash artifact. Not assert(): these checks stay on in every build type.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)
