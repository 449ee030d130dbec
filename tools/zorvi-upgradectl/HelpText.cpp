#include "HelpText.h"

#include "ExitCode.h"
#include "protocol/ClientProtocol.h"

#ifndef ZORVI_VERSION
#define ZORVI_VERSION "unknown"
#endif

namespace {
constexpr const char* kHelp =
    "Usage: zorvi-upgradectl [OPTIONS] SUBCOMMAND\n"
    "\n"
    "Talks to the hub's upgrade service (zorvi-upgrade) over its socket.\n"
    "\n"
    "Subcommands:\n"
    "  status         print what the service reports now: idle, or the running\n"
    "                 procedure with its progress and step\n"
    "  watch          print every notification until a procedure completes or\n"
    "                 fails, or until interrupted\n"
    "  upgrade        start the migration upgrade (keeps the Z-Wave network) and\n"
    "                 follow it to the end\n"
    "  erase-upgrade  start the erase upgrade (erases the Z-Wave network) and\n"
    "                 follow it to the end\n"
    "  revert         ask the service to revert; print its answer\n"
    "  cancel         ask the service to cancel; print its answer\n"
    "\n"
    "Options:\n"
    "  --socket PATH      the service's socket\n"
    "                     (default %s)\n"
    "  --json             one JSON object per message from the service, on\n"
    "                     standard output; errors stay on standard error\n"
    "  --timeout SECONDS  give up when the service sends nothing for this long;\n"
    "                     0 waits for ever. Defaults: 2 for status, 30 for the\n"
    "                     answer to a request, none while watching or following\n"
    "  -h, --help         this text\n"
    "  -V, --version      the program's version\n"
    "\n"
    "On a terminal, progress is one bar redrawn in place; otherwise one line per\n"
    "notification. The user must be in group zorvi-upgrade.\n"
    "\n"
    "Exit status:\n";
} // namespace

void HelpText::printHelp(std::FILE* out) {
    std::fprintf(out, kHelp, ClientProtocol::kSocketPath);
    for (const ExitCodeMeaning& e : kExitCodes) std::fprintf(out, "  %d  %s\n", static_cast<int>(e.code), e.meaning);
    std::fputs("  a signal ends the program as that signal would (Ctrl-C while following\n"
               "  leaves the procedure running in the service)\n",
               out);
}

void HelpText::printVersion(std::FILE* out) { std::fprintf(out, "%s %s\n", kProgram, ZORVI_VERSION); }

void HelpText::printUsageError(const char* error) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, error, kProgram);
}
