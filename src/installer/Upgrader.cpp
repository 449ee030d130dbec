#include "installer/Upgrader.h"

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>

#include "output/print.h"

namespace Installer {

namespace {
// putenv keeps the pointer, so the text must be writable and live forever.
char debianFrontend[] = "DEBIAN_FRONTEND=noninteractive";
} // namespace

void Upgrader::prepareEnvironment() { putenv(debianFrontend); }

Upgrader::Upgrader() { prepareEnvironment(); }

bool Upgrader::runCommand(CStringView commandLine) {
    print("\n=== ", commandLine, " ===\n");

    // The workers keep the stop signals blocked between waits; the programs a
    // step runs must start with the default mask so an operator can signal them.
    sigset_t none, saved;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, &saved);
    int status = std::system(commandLine.c_str());
    sigprocmask(SIG_SETMASK, &saved, nullptr);

    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace Installer
