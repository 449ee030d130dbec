#include "poll/Handler.h"

#include <cerrno>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SignalTestSupport.h"
#include "poll/StopAwarePoll.h"

// The guard changes the whole process (handlers, mask, running flag), so every
// case runs in a child, which names the first check that failed and exits 1.
namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "failed: %s\n", what);
    _exit(1);
}

bool has(const sigset_t& set, int signal) { return sigismember(&set, signal) == 1; }

bool blockedNow(int signal) {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return has(mask, signal);
}

void change(int how, int signal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(how, &set, nullptr);
}

[[noreturn]] void stopEndsTheWaitAndOtherSignalsStayBlocked() {
    alarm(20); // a wait that never ends fails the case
    change(SIG_BLOCK, SIGUSR2);
    Poll::Handler handler;
    const sigset_t mask = Poll::Handler::waitMask();
    check(has(mask, SIGUSR2), "a signal blocked before the set-up stays blocked in waits");
    check(!has(mask, SIGTERM) && !has(mask, SIGINT), "waits let the stop signals in");
    int ends[2];
    check(pipe(ends) == 0, "pipe");
    raise(SIGUSR2); // its default action would end the child if a wait let it in
    raise(SIGTERM);
    check(Poll::Handler::isRunning(), "a stop is not handled outside a wait");
    pollfd entry{ends[0], POLLIN, 0};
    errno = 0;
    check(Poll::pollUntilSignal(&entry, 1) == -1 && errno == EINTR, "the pending stop ends the wait");
    check(!Poll::Handler::isRunning(), "the stop was handled");
    check(blockedNow(SIGTERM) && blockedNow(SIGINT), "the stop signals are blocked again after the wait");
    check(testsupport::BlockedSignal::pending(SIGUSR2), "the other signal is still pending");
    _exit(0);
}

[[noreturn]] void eachProcessWaitsWithItsOwnMask() {
    // As the launcher and a worker: a signal the parent keeps blocked is given
    // back in the child before the child's own guard is set up.
    change(SIG_BLOCK, SIGUSR1);
    Poll::Handler launcher;
    check(has(Poll::Handler::waitMask(), SIGUSR1), "the parent's guard records the parent's mask");
    const pid_t child = fork();
    if (child == 0) {
        change(SIG_UNBLOCK, SIGUSR1);
        Poll::Handler worker;
        const sigset_t mask = Poll::Handler::waitMask();
        check(!has(mask, SIGUSR1), "a guard set up after fork records the child's mask");
        check(!has(mask, SIGTERM) && !has(mask, SIGINT), "the child's waits let in the stop signals it inherited blocked");
        _exit(0);
    }
    int status = 0;
    check(child > 0 && waitpid(child, &status, 0) == child, "fork and wait");
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the child's checks passed");
    check(has(Poll::Handler::waitMask(), SIGUSR1), "the parent's record is its own");
    _exit(0);
}

[[noreturn]] void aGoneGuardLeavesTheCurrentMask() {
    { Poll::Handler gone; }
    change(SIG_BLOCK, SIGUSR2);
    const sigset_t mask = Poll::Handler::waitMask();
    check(has(mask, SIGUSR2), "with no guard alive, waits take the mask in force now");
    check(!has(mask, SIGTERM) && !has(mask, SIGINT), "and still let the stop signals in");
    _exit(0);
}

TEST(Handler, StopEndsTheWaitWhileSignalsBlockedAtSetUpStayBlocked) {
    EXPECT_EXIT(stopEndsTheWaitAndOtherSignalsStayBlocked(), testing::ExitedWithCode(0), "");
}

TEST(Handler, WaitsUseTheMaskOfTheLiveGuardInThisProcess) {
    EXPECT_EXIT(eachProcessWaitsWithItsOwnMask(), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(aGoneGuardLeavesTheCurrentMask(), testing::ExitedWithCode(0), "");
}

} // namespace
