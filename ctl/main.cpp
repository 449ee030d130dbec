#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "Controller.h"
#include "JsonDisplay.h"
#include "Options.h"
#include "StopSignal.h"
#include "TerminalDisplay.h"

#ifndef ZORVI_VERSION
#define ZORVI_VERSION "unknown"
#endif

namespace {

constexpr const char* kUsage =
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

void printHelp() {
    std::printf(kUsage, ClientProtocol::kSocketPath);
    for (const ExitCodeMeaning& e : kExitCodes) std::printf("  %d  %s\n", static_cast<int>(e.code), e.meaning);
    std::fputs("  a signal ends the program as that signal would (Ctrl-C while following\n"
               "  leaves the procedure running in the service)\n",
               stdout);
}

bool wantsProgressBar() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    switch (Options::parse(argc, argv, options, error)) {
    case Options::Outcome::Help:
        printHelp();
        return 0;
    case Options::Outcome::Version:
        std::printf("%s %s\n", kProgram, ZORVI_VERSION);
        return 0;
    case Options::Outcome::UsageError:
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, error.c_str(), kProgram);
        return static_cast<int>(ExitCode::Usage);
    case Options::Outcome::Run:
        break;
    }

    StopSignal::install();
    std::unique_ptr<Display> display;
    if (options.json)
        display = std::make_unique<JsonDisplay>();
    else if (wantsProgressBar())
        display = std::make_unique<TerminalDisplay>(STDOUT_FILENO);
    else
        display = std::make_unique<Display>();

    Controller controller(options, *display);
    const ExitCode code = controller.run();
    display->finish();
    return static_cast<int>(code);
}
