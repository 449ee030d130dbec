#include "poll/Group.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "UnixSocket/Server.h"
#include "UnixSocket/Socket.h"
#include "SignalTestSupport.h"

namespace {

using UnixSocket::Client;
using UnixSocket::FileDescriptor;
using UnixSocket::Server;
using UnixSocket::Socket;

// Watches the read ends of pipes and records every call; optionally closes its
// second pipe while handling the first, as a pollable dropping a descriptor would.
struct PipePollable : Poll::Pollable {
    explicit PipePollable(int pipes) {
        for (int i = 0; i < pipes; ++i) {
            int ends[2] = {-1, -1};
            EXPECT_EQ(pipe(ends), 0);
            readEnds.push_back(ends[0]);
            writeEnds.push_back(ends[1]);
        }
    }
    ~PipePollable() {
        for (int fd : readEnds) if (fd >= 0) close(fd);
        for (int fd : writeEnds) if (fd >= 0) close(fd);
    }
    Poll::DescriptorList fileDescriptors() const override {
        Poll::DescriptorList fds;
        for (int fd : readEnds) if (fd >= 0) fds.push_back(fd);
        return fds;
    }
    bool handleReadable(int fd) override {
        calls.push_back(fd);
        if (closeSecondOnFirst && fd == readEnds[0]) {
            close(readEnds[1]);
            readEnds[1] = -1;
        }
        for (int own : readEnds) {
            if (own == fd) {
                char c;
                (void)!read(fd, &c, 1);
                return true;
            }
        }
        return false;
    }
    std::vector<int> readEnds, writeEnds, calls;
    bool closeSecondOnFirst = false;
};

// The frontend's group: [server, backend link], each listener logging its call.
struct Frontend {
    Frontend(const std::string& path)
        : server(StringView(path.c_str(), path.size()), Server::DataListener(this, &Frontend::data),
                 Server::ConnectedListener(this, &Frontend::connected), Server::DisconnectedListener()),
          backend(FileDescriptor()) {}
    void data(Server&, Client& client, StringView) { order.push_back("client " + std::to_string(client.id)); }
    void connected(Server&, Client& client) { order.push_back("accept " + std::to_string(client.id)); }
    void message(Socket&, View<const char>) { order.push_back("backend"); }
    Server server;
    Socket backend;
    std::vector<std::string> order;
};

int connectTo(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

TEST(Group, DispatchFollowsGroupOrderThenEachPollablesOwnOrder) {
    testsupport::Watchdog watchdog;
    char dir[] = "/tmp/zorvi-group-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/socket";
    {
        Frontend frontend(path);
        int ends[2];
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends);
        frontend.backend = Socket(FileDescriptor(ends[0]));
        frontend.backend.onMessage = Socket::MessageHandler(&frontend, &Frontend::message);
        Poll::Group group(frontend.server, frontend.backend);

        const int first = connectTo(path);
        group.pollOnce(); // accepts client 1
        // Now the client, the listening socket and the backend link are all ready.
        send(first, "hi", 2, 0);
        const int second = connectTo(path);
        send(ends[1], "rec", 3, 0);
        group.pollOnce();
        EXPECT_EQ(frontend.order, (std::vector<std::string>{"accept 1", "client 1", "accept 2", "backend"}));
        close(first);
        close(second);
        close(ends[1]);
    }
    std::filesystem::remove_all(dir);
}

TEST(Group, InterruptingSignalEndsTheCycleWithoutHandlersOrOutput) {
    testsupport::Watchdog watchdog;
    PipePollable idle(1);
    Poll::Group group(idle);
    testsupport::CountingHandler handler(SIGUSR1);
    testsupport::DelayedSignal signal(SIGUSR1, 200 * 1000);
    testing::internal::CaptureStderr();
    group.pollOnce();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(handler.count(), 1);
    EXPECT_TRUE(idle.calls.empty());
}

TEST(Group, BlockedStopSignalSentAnyTimeEndsTheWait) {
    testsupport::Watchdog watchdog;
    PipePollable idle(1);
    Poll::Group group(idle);
    testsupport::CountingHandler handler(SIGTERM);
    testsupport::BlockedSignal blocked(SIGTERM);
    {
        testsupport::DelayedSignal during(SIGTERM, 200 * 1000);
        group.pollOnce();
    }
    raise(SIGTERM); // before the wait: stays pending until the wait unblocks it
    group.pollOnce();
    EXPECT_EQ(handler.count(), 2);
    EXPECT_TRUE(idle.calls.empty());
    EXPECT_FALSE(testsupport::BlockedSignal::pending(SIGTERM));
}

TEST(Group, HangUpAloneStillReachesTheOwner) {
    testsupport::Watchdog watchdog;
    PipePollable hungUp(1);
    close(hungUp.writeEnds[0]); // a pipe without writers reports POLLHUP, not POLLIN
    hungUp.writeEnds[0] = -1;
    Poll::Group group(hungUp);
    group.pollOnce();
    EXPECT_EQ(hungUp.calls, std::vector<int>{hungUp.readEnds[0]});
}

TEST(Group, NothingToWatchMeansNoPollAtAll) {
    PipePollable none(0);
    Socket closed{FileDescriptor()};
    Poll::Group group(none, closed);
    testsupport::CountingHandler handler(SIGTERM);
    testsupport::BlockedSignal blocked(SIGTERM);
    raise(SIGTERM);
    group.pollOnce(); // a poll() would have taken the pending signal
    EXPECT_TRUE(testsupport::BlockedSignal::pending(SIGTERM));
    EXPECT_EQ(handler.count(), 0);
}

TEST(Group, EntryClosedByAnEarlierHandlerIsStillDeliveredFromTheSnapshot) {
    testsupport::Watchdog watchdog;
    PipePollable both(2);
    both.closeSecondOnFirst = true;
    const int second = both.readEnds[1];
    ASSERT_EQ(write(both.writeEnds[0], "a", 1), 1);
    ASSERT_EQ(write(both.writeEnds[1], "b", 1), 1);
    Poll::Group group(both);
    group.pollOnce();
    EXPECT_EQ(both.calls, (std::vector<int>{both.readEnds[0], second}));
}

} // namespace
