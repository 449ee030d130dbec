#include "launcher/Process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "launcher/Launcher.h"
#include "launcher/Wait.h"
#include "output/print.h"

namespace {

// A worker must not outlive its launcher: if the launcher dies without its
// orderly stop, each worker gets the stop signal instead of lingering with
// the client socket.
void stopWithLauncher(pid_t launcher) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != launcher) std::exit(0);
}

// Only the launcher waits for children; a worker gets SIGCHLD back as it was.
void restoreChildSignal() {
    signal(SIGCHLD, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

[[noreturn]] void runChild(WorkerEntry entry, int index, Launcher& launcher, pid_t parent) {
    stopWithLauncher(parent);
    restoreChildSignal();
    // Nothing in the launcher's objects may own the pair's ends in the child.
    UnixSocket::Pair& pair = launcher.pair();
    int ends[2] = {pair.end(0).release(), pair.end(1).release()};
    int own = index != 0 ? 1 : 0;
    UnixSocket::Socket socket{UnixSocket::FileDescriptor(ends[own])};
    ends[own] = -1;
    if (ends[1] >= 0) ::close(ends[1]);
    if (ends[0] >= 0) ::close(ends[0]);
    // exit() from here: no destructor of the launcher's objects runs in a child,
    // so a child never signals its sibling.
    std::exit(entry(socket));
}

} // namespace

Process::Process(WorkerEntry entry, int index, Launcher& launcher) {
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) runChild(entry, index, launcher, parent);
}

Process::Process(Process&& other) : pid_(std::exchange(other.pid_, -1)) {}

Process& Process::operator=(Process&& other) {
    std::swap(pid_, other.pid_);
    return *this;
}

Process::~Process() {
    if (pid_ >= 0) kill();
}

bool Process::signal(int signalNumber) {
    if (pid_ <= 0) return false;
    print(signalNumber == SIGKILL ? "Sending SIGKILL to pid=" : "Sending SIGTERM to pid=", pid_);
    if (::kill(pid_, signalNumber) == -1) {
        perror("kill");
        return false;
    }
    return true;
}

bool Process::terminate() { return signal(SIGTERM); }
bool Process::kill() { return signal(SIGKILL); }

bool Process::reap(const Wait& wait) {
    if (wait.pid <= 0 || wait.pid != pid_) return false;
    if (!WIFEXITED(wait.status) && !WIFSIGNALED(wait.status)) return false;
    pid_ = -1;
    return true;
}
