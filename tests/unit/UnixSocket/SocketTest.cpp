#include "UnixSocket/Socket.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "SignalTestSupport.h"

namespace {

using UnixSocket::FileDescriptor;
using UnixSocket::Socket;

// One end as a Socket under test, the other as a raw descriptor acting as the peer.
struct Connected {
    Connected() {
        int ends[2];
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends);
        socket = Socket(FileDescriptor(ends[0]));
        peer = ends[1];
    }
    ~Connected() {
        if (peer >= 0) close(peer);
    }
    void peerSends(const std::string& text) {
        ASSERT_EQ(send(peer, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    }
    Socket socket{FileDescriptor()};
    int peer = -1;
};

struct Recorder {
    void onMessage(Socket& from, View<const char> message) {
        messages.emplace_back(message.begin(), message.size());
        source = &from;
    }
    void onClose(Socket& from) {
        ++closes;
        fdAtClose = from.fd();
    }
    void attach(Socket& socket) {
        socket.onMessage = Socket::MessageHandler(this, &Recorder::onMessage);
        socket.onClose = Socket::CloseHandler(this, &Recorder::onClose);
    }
    std::vector<std::string> messages;
    Socket* source = nullptr;
    int closes = 0;
    int fdAtClose = 0;
};

TEST(Socket, EveryReadYieldsOneWholeDatagramCutAtTheReceiveBuffer) {
    Connected c;
    Recorder r;
    r.attach(c.socket);
    const std::string big(600, 'x');
    c.peerSends(big);
    c.peerSends("one");
    c.peerSends("two");
    EXPECT_TRUE(c.socket.receive());
    EXPECT_TRUE(c.socket.receive());
    EXPECT_TRUE(c.socket.receive());
    ASSERT_EQ(r.messages.size(), 3u);
    EXPECT_EQ(r.messages[0], big.substr(0, UnixSocket::kMaxMessageSize));
    EXPECT_EQ(r.messages[1], "one"); // not the 88 bytes cut off, not joined with "two"
    EXPECT_EQ(r.messages[2], "two");
    EXPECT_EQ(r.source, &c.socket);
}

TEST(Socket, MessageWithoutHandlerIsDroppedAndForeignDescriptorIsIgnored) {
    Connected c;
    c.peerSends("dropped");
    c.peerSends("kept");
    EXPECT_TRUE(c.socket.receive());
    Recorder r;
    r.attach(c.socket);
    EXPECT_FALSE(c.socket.handleReadable(c.peer)); // not ours: nothing is read
    EXPECT_TRUE(c.socket.handleReadable(c.socket.fd()));
    EXPECT_EQ(r.messages, std::vector<std::string>{"kept"});
}

TEST(Socket, PeerClosingClosesTheSocketOnceAndLaterUseFailsQuietly) {
    testsupport::Watchdog watchdog;
    Connected c;
    Recorder r;
    r.attach(c.socket);
    const int number = c.socket.fd();
    close(c.peer);
    c.peer = -1;

    testing::internal::CaptureStderr();
    c.socket.waitAndReceive(); // the end-of-stream wakes the wait
    EXPECT_EQ(r.closes, 1);
    EXPECT_EQ(r.fdAtClose, -1); // closed before onClose runs
    EXPECT_EQ(fcntl(number, F_GETFD), -1);
    EXPECT_TRUE(c.socket.fileDescriptors().empty());
    EXPECT_FALSE(c.socket.handleReadable(number));
    EXPECT_FALSE(c.socket.send(View<const char>("late", 4)));
    c.socket.waitAndReceive(); // returns at once
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(r.closes, 1);
}

TEST(Socket, FailedSendAndReadAreReportedAndKeepTheSocketOpen) {
    Connected c;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(c.socket.receive()); // nothing queued on a non-blocking socket
    shutdown(c.peer, SHUT_RD);
    EXPECT_FALSE(c.socket.send(View<const char>("x", 1))); // and no SIGPIPE
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "read: Resource temporarily unavailable\nsend(): Broken pipe\n");
    EXPECT_TRUE(c.socket.fileDescriptors().size() == 1);
}

TEST(Socket, MovingTakesTheDescriptorAndKeepsTheCallbacks) {
    Connected c;
    Recorder r;
    r.attach(c.socket);
    const int number = c.socket.fd();
    Socket moved(std::move(c.socket));
    EXPECT_EQ(c.socket.fd(), -1);
    Connected other;
    const int replaced = other.socket.fd();
    other.socket = std::move(moved);
    EXPECT_EQ(moved.fd(), -1);
    EXPECT_EQ(fcntl(replaced, F_GETFD), -1); // the target's own socket is closed
    EXPECT_EQ(other.socket.fd(), number);
    c.peerSends("after move");
    EXPECT_TRUE(other.socket.receive());
    EXPECT_EQ(r.messages, std::vector<std::string>{"after move"});
    EXPECT_EQ(r.source, &other.socket);
}

TEST(Socket, WaitEndsForAStopSignalThatWasPendingBeforeIt) {
    testsupport::Watchdog watchdog;
    Connected c;
    Recorder r;
    r.attach(c.socket);
    testsupport::CountingHandler handler(SIGTERM);
    testsupport::BlockedSignal blocked(SIGTERM);
    raise(SIGTERM);
    testing::internal::CaptureStderr();
    c.socket.waitAndReceive();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(handler.count(), 1);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.closes, 0);
}

} // namespace
