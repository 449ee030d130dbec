#include "poll/StopAwarePoll.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <unistd.h>

#include "SignalTestSupport.h"

namespace {

bool blocked(int signal) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

TEST(StopAwarePoll, BlockedStopSignalsEndTheWaitAndStayBlockedAfterwards) {
    testsupport::Watchdog watchdog;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    for (int signal : {SIGTERM, SIGINT}) {
        testsupport::CountingHandler handler(signal);
        testsupport::BlockedSignal block(signal);
        raise(signal);
        pollfd entry{ends[0], POLLIN, 0};
        errno = 0;
        EXPECT_EQ(Poll::pollUntilSignal(&entry, 1), -1);
        EXPECT_EQ(errno, EINTR);
        EXPECT_EQ(handler.count(), 1);
        EXPECT_TRUE(blocked(signal));
    }
    close(ends[0]);
    close(ends[1]);
}

TEST(StopAwarePoll, OtherBlockedSignalsStayBlockedDuringTheWait) {
    testsupport::Watchdog watchdog;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    testsupport::CountingHandler handler(SIGUSR2);
    testsupport::BlockedSignal block(SIGUSR2);
    raise(SIGUSR2);
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    pollfd entry{ends[0], POLLIN, 0};
    EXPECT_EQ(Poll::pollUntilSignal(&entry, 1), 1); // readiness, not the signal
    EXPECT_EQ(entry.revents, POLLIN);
    EXPECT_EQ(handler.count(), 0);
    EXPECT_TRUE(testsupport::BlockedSignal::pending(SIGUSR2));
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    int taken;
    sigwait(&usr2, &taken); // consume it so unblocking delivers nothing
    close(ends[0]);
    close(ends[1]);
}

} // namespace
