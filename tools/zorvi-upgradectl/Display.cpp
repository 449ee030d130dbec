#include "Display.h"

#include <cstdio>

#include "Escape.h"
#include "HelpText.h"

void Display::malformed(const ServiceMessage& message) {
    error("skipped a malformed message from the service: \"" + Escape::visible(message.raw) + "\"");
}

void Display::note(const std::string& line) {
    finish();
    writeLine(line);
}

void Display::error(const std::string& text) {
    finish();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", HelpText::kProgram, text.c_str());
    std::fflush(stderr);
}

void Display::writeLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    // A reader at the other end of a pipe follows the procedure as it runs.
    std::fflush(stdout);
}
