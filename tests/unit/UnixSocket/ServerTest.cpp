#include "UnixSocket/Server.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "SignalTestSupport.h"

namespace {

using UnixSocket::Client;
using UnixSocket::Server;

// What the listeners saw, with the state of the server at that moment.
struct Events {
    void data(Server&, Client& client, StringView text) {
        received.push_back(std::to_string(client.id) + ":" + std::string(text.data(), text.size()));
    }
    void connected(Server& server, Client& client) {
        connectedIds.push_back(client.id);
        fdOf[client.id] = client.fd.get();
        tableSizeAtConnect = server.clients().size();
        if (greeting) (void)server.sendOn(client.fd.get(), "hello", 5);
    }
    void disconnected(Server& server, uint64_t id) {
        disconnectedIds.push_back(id);
        closedBeforeListener = fcntl(fdOf[id], F_GETFD) == -1;
        for (const Client& client : server.clients()) closedBeforeListener &= client.id != id;
    }
    std::vector<std::string> received;
    std::vector<uint64_t> connectedIds, disconnectedIds;
    std::map<uint64_t, int> fdOf;
    uint32_t tableSizeAtConnect = 0;
    bool closedBeforeListener = false;
    bool greeting = false;
};

class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zorvi-server-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/socket";
    }
    void TearDown() override {
        for (int fd : clientFds) close(fd);
        std::filesystem::remove_all(dir);
    }

    Server make(const std::string& at) {
        return Server(StringView(at.c_str(), at.size()), Server::DataListener(&events, &Events::data),
                      Server::ConnectedListener(&events, &Events::connected),
                      Server::DisconnectedListener(&events, &Events::disconnected));
    }
    // A real client; -1 when connect() fails.
    int connectTo(const std::string& at) {
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        at.copy(address.sun_path, sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
            close(fd);
            return -1;
        }
        clientFds.push_back(fd);
        return fd;
    }
    void leave(int fd) {
        close(fd);
        std::erase(clientFds, fd);
    }
    // One cycle of the server's own loop, entered only once something is ready so
    // that a fault shows up as a failure rather than a hang.
    static void cycle(Server& server) {
        const Poll::DescriptorList fds = server.fileDescriptors();
        pollfd entries[8];
        for (uint32_t i = 0; i < fds.size(); ++i) entries[i] = pollfd{fds[i], POLLIN, 0};
        ASSERT_GT(poll(entries, fds.size(), 2000), 0) << "nothing became ready";
        server.pollOnce();
    }
    static std::vector<uint64_t> table(const Server& server) {
        std::vector<uint64_t> ids;
        for (const Client& client : server.clients()) ids.push_back(client.id);
        return ids;
    }
    static std::string readFrom(int fd) {
        char text[1024];
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 2000) != 1) return "<nothing>";
        const ssize_t n = recv(fd, text, sizeof text, MSG_DONTWAIT);
        return n < 0 ? "<error>" : std::string(text, n);
    }
    static bool closeOnExec(int fd) {
        const std::string probe = "test ! -e /proc/self/fd/" + std::to_string(fd);
        return (fcntl(fd, F_GETFD) & FD_CLOEXEC) && system(probe.c_str()) == 0;
    }

    std::string dir, path;
    std::vector<int> clientFds;
    Events events;
    testsupport::Watchdog watchdog;
};

TEST_F(ServerTest, IdentifiersCountUpAreNeverReusedAndTheLastClientFillsAGap) {
    Server server = make(path);
    const int one = connectTo(path), two = connectTo(path), three = connectTo(path);
    ASSERT_NE(three, -1);
    for (int i = 0; i < 3; ++i) cycle(server); // one accept per readiness event
    EXPECT_EQ(table(server), (std::vector<uint64_t>{1, 2, 3}));

    leave(two);
    cycle(server);
    EXPECT_EQ(events.disconnectedIds, std::vector<uint64_t>{2});
    EXPECT_TRUE(events.closedBeforeListener);
    EXPECT_EQ(table(server), (std::vector<uint64_t>{1, 3}));

    connectTo(path);
    cycle(server);
    EXPECT_EQ(table(server), (std::vector<uint64_t>{1, 3, 4}));
    leave(one);
    cycle(server);
    EXPECT_EQ(table(server), (std::vector<uint64_t>{4, 3}));
    EXPECT_EQ(events.disconnectedIds, (std::vector<uint64_t>{2, 1}));
    EXPECT_EQ(events.connectedIds, (std::vector<uint64_t>{1, 2, 3, 4}));
}

TEST_F(ServerTest, NinthClientWaitsInListenQueueUntilOneLeaves) {
    Server server = make(path);
    const int listening = server.fileDescriptors()[0];
    std::vector<int> first8;
    for (int i = 0; i < 8; ++i) {
        first8.push_back(connectTo(path));
        cycle(server);
    }
    const int ninth = connectTo(path); // queued by the kernel
    ASSERT_NE(ninth, -1);
    EXPECT_EQ(server.fileDescriptors().size(), 8u); // the listening socket is not watched
    EXPECT_FALSE(server.handleReadable(listening));
    EXPECT_EQ(events.connectedIds.size(), 8u);

    leave(first8[0]);
    cycle(server);
    cycle(server);
    EXPECT_EQ(events.connectedIds.back(), 9u);
    EXPECT_EQ(server.clients().size(), 8u);
    EXPECT_TRUE(server.sendToClient(9, "you", 3));
    EXPECT_EQ(readFrom(ninth), "you");
}

TEST_F(ServerTest, LongDatagramIsCutAndTheNextReadIsTheNextDatagram) {
    Server server = make(path);
    const int client = connectTo(path);
    cycle(server);
    const std::string big(600, 'b');
    send(client, big.data(), big.size(), 0);
    send(client, "next", 4, 0);
    cycle(server);
    cycle(server);
    EXPECT_EQ(events.received, (std::vector<std::string>{"1:" + big.substr(0, 512), "1:next"}));
}

TEST_F(ServerTest, SendsReachTheChosenClientsAndFailuresAreValues) {
    Server server = make(path);
    EXPECT_FALSE(server.sendAll("x", 1)); // nobody connected
    const int one = connectTo(path), two = connectTo(path);
    cycle(server);
    cycle(server);

    EXPECT_TRUE(server.sendToClient(2, "to two", 6));
    EXPECT_EQ(readFrom(two), "to two");
    EXPECT_EQ(readFrom(one), "<nothing>");

    leave(two); // gone, but the server has not noticed yet
    testing::internal::CaptureStderr();
    EXPECT_TRUE(server.sendAll("all", 3));
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(report.rfind("send: ", 0), 0u) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1);
    EXPECT_EQ(readFrom(one), "all");

    cycle(server); // now it notices
    EXPECT_FALSE(server.sendToClient(2, "late", 4));
    EXPECT_EQ(server.clients().size(), 1u);
}

TEST_F(ServerTest, ConnectedListenerRunsBeforeTheClientJoinsTheTable) {
    Server server = make(path);
    events.greeting = true;
    const int client = connectTo(path);
    cycle(server);
    EXPECT_EQ(events.tableSizeAtConnect, 0u);
    EXPECT_EQ(readFrom(client), "hello");
    EXPECT_EQ(server.clients().size(), 1u);
}

TEST_F(ServerTest, SocketFileIs0770UnderAnyUmaskAndTheMaskIsRestored) {
    const mode_t original = umask(0);
    for (mode_t mask : {0000, 0022, 0077, 0777}) {
        umask(mask);
        {
            Server server = make(path);
            struct stat st {};
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_TRUE(S_ISSOCK(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, 0770u) << "umask " << std::oct << mask;
        }
        EXPECT_EQ(umask(mask), mask);
    }
    umask(original);
}

TEST_F(ServerTest, LeftoverFileIsReplacedAndDestructionLeavesTheSocketFile) {
    std::ofstream(path) << "stale";
    int client;
    {
        Server server = make(path);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        client = connectTo(path);
        cycle(server);
    }
    EXPECT_TRUE(events.disconnectedIds.empty());
    EXPECT_EQ(readFrom(client), ""); // its connection was closed
    EXPECT_TRUE(std::filesystem::is_socket(path));

    Server next = make(path); // the next start replaces the stale socket
    EXPECT_NE(connectTo(path), -1);
}

TEST_F(ServerTest, PathOf107BytesBindsAnd108IsDeafAndSilent) {
    const std::string fits = dir + "/" + std::string(107 - dir.size() - 1, 'p');
    const std::string tooLong = fits + "q";
    ASSERT_EQ(fits.size(), 107u);
    testing::internal::CaptureStderr();
    Server deaf = make(tooLong);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(deaf.fileDescriptors().empty());
    deaf.pollOnce(); // nothing to watch: returns at once

    Server server = make(fits);
    EXPECT_NE(connectTo(fits), -1);
    cycle(server);
    EXPECT_EQ(server.clients().size(), 1u);
}

TEST_F(ServerTest, BindFailureIsReportedAndLeavesTheServerDeafWithTheMaskRestored) {
    const mode_t original = umask(0022);
    testing::internal::CaptureStderr();
    Server deaf = make(dir + "/missing/socket");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind(): No such file or directory\n");
    EXPECT_TRUE(deaf.fileDescriptors().empty());
    EXPECT_EQ(umask(original), 0022u);
}

TEST_F(ServerTest, ListeningAndAcceptedSocketsAreNotInheritedByExec) {
    Server server = make(path);
    connectTo(path);
    cycle(server);
    EXPECT_TRUE(closeOnExec(server.fileDescriptors()[1]));
    EXPECT_TRUE(closeOnExec(server.clients()[0].fd.get()));
}

TEST_F(ServerTest, ListenOnMovesToANewPathAndDropsClientsSilently) {
    Server server = make(path);
    const int old = connectTo(path);
    cycle(server);
    const std::string other = dir + "/other";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(server.listenOn(StringView("/nonexistent-dir/socket")));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind(): No such file or directory\n");
    EXPECT_EQ(server.clients().size(), 1u);

    EXPECT_TRUE(server.listenOn(StringView(other.c_str(), other.size())));
    EXPECT_TRUE(server.clients().empty());
    EXPECT_TRUE(events.disconnectedIds.empty());
    EXPECT_EQ(readFrom(old), ""); // dropped
    EXPECT_EQ(connectTo(path), -1); // the old listening socket is closed
    connectTo(other);
    cycle(server);
    EXPECT_EQ(table(server), std::vector<uint64_t>{2});
}

TEST_F(ServerTest, ReadAndAcceptFailuresAreReportedAndChangeNothing) {
    Server server = make(path);
    const int listening = server.fileDescriptors()[0];
    testing::internal::CaptureStderr();
    EXPECT_FALSE(server.handleReadable(listening)); // spurious wake-up: nobody waiting
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "accept(): Resource temporarily unavailable\n");
    connectTo(path);
    cycle(server);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(server.handleReadable(server.clients()[0].fd.get()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read: Resource temporarily unavailable\n");
    EXPECT_EQ(table(server), std::vector<uint64_t>{1});
}

TEST_F(ServerTest, PendingStopSignalEndsTheWaitWithoutHandlingAnything) {
    Server server = make(path);
    testsupport::CountingHandler handler(SIGTERM);
    testsupport::BlockedSignal blocked(SIGTERM);
    raise(SIGTERM);
    server.pollOnce();
    EXPECT_EQ(handler.count(), 1);
    EXPECT_TRUE(events.connectedIds.empty());
}

} // namespace
