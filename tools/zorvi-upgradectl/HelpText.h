#pragma once

#include <cstdio>

// The texts of --help, --version and the hint after a usage error.
class HelpText {
public:
    static constexpr const char* kProgram = "zorvi-upgradectl";

    static void printHelp(std::FILE* out);
    static void printVersion(std::FILE* out);
    // "zorvi-upgradectl: <error>" and where to look, on standard error.
    static void printUsageError(const char* error);
};
