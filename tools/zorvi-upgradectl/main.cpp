#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "Controller.h"
#include "HelpText.h"
#include "JsonDisplay.h"
#include "Options.h"
#include "PlainDisplay.h"
#include "StopSignal.h"
#include "TerminalDisplay.h"

namespace {
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
        HelpText::printHelp(stdout);
        return 0;
    case Options::Outcome::Version:
        HelpText::printVersion(stdout);
        return 0;
    case Options::Outcome::UsageError:
        HelpText::printUsageError(error.c_str());
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
        display = std::make_unique<PlainDisplay>();

    Controller controller(options, *display);
    const ExitCode code = controller.run();
    display->finish();
    return static_cast<int>(code);
}
