#include "backend/Backend.h"
#include "frontend/Frontend.h"
#include "launcher/Handler.h"
#include "launcher/Launcher.h"

// Takes no arguments and reads no configuration: everything is compiled in.
int main() {
    Handler handler;
    Launcher launcher(runFrontend, runBackend);
    launcher.run(handler);
    return 0;
}
