#include "backend/Backend.h"
#include "frontend/Frontend.h"
#include "launcher/Launcher.h"
#include "poll/Handler.h"

// Takes no arguments and reads no configuration: everything is compiled in.
int main() {
    Poll::Handler handler;
    Launcher launcher(runFrontend, runBackend);
    launcher.run(handler);
    return 0;
}
