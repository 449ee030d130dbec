#pragma once

#include <csignal>

// SIGINT, SIGTERM and SIGHUP end the program, but only after it has tidied up
// its output. They stay blocked except inside waits (ppoll with waitMask()), so
// one that lands between a check and a wait still ends the wait at once.
namespace StopSignal {

void install();
// The signal that came, or 0.
int caught();
const sigset_t* waitMask();
// Ends the process by `signal` itself, so the caller's shell sees how it ended.
[[noreturn]] void dieOf(int signal);

} // namespace StopSignal
