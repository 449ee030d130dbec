#include "UnixSocket/Pair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "UnixSocket/Socket.h"
#include "SignalTestSupport.h"

namespace {

using UnixSocket::Pair;
struct Echo {
    void onMessage(UnixSocket::Socket& socket, View<const char> message) { (void)socket.send(message); }
};

struct Recorder {
    void onMessage(UnixSocket::Socket&, View<const char> message) { text.assign(message.begin(), message.size()); }
    std::string text;
};

TEST(Pair, EndsTalkAcrossForkAndAreNotInheritedByExec) {
    testsupport::Watchdog watchdog;
    Pair pair;
    ASSERT_TRUE(pair.end(0).valid());
    ASSERT_TRUE(pair.end(1).valid());
    EXPECT_EQ(&pair.end(0), &pair.first);
    EXPECT_EQ(&pair.end(1), &pair.second);
    for (int index : {0, 1}) {
        const int fd = pair.end(index).get();
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        // What a step's shell sees: the number is not open there.
        const std::string probe = "test ! -e /proc/self/fd/" + std::to_string(fd);
        EXPECT_EQ(system(probe.c_str()), 0) << "end " << index << " inherited";
    }

    const pid_t child = fork();
    if (child == 0) {
        // The second worker: keeps end 1, closes end 0 and echoes one message.
        alarm(10);
        UnixSocket::Socket socket(std::move(pair.end(1)));
        (void)pair.end(0).close();
        Echo echo;
        socket.onMessage = UnixSocket::Socket::MessageHandler(&echo, &Echo::onMessage);
        socket.waitAndReceive();
        _exit(0);
    }
    UnixSocket::Socket socket(std::move(pair.end(0)));
    (void)pair.end(1).close();
    Recorder recorder;
    socket.onMessage = UnixSocket::Socket::MessageHandler(&recorder, &Recorder::onMessage);
    ASSERT_TRUE(socket.send(View<const char>("ping", 4)));
    socket.waitAndReceive();
    EXPECT_EQ(recorder.text, "ping");

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    // The child's end closed with its exit: the next read is end-of-stream.
    EXPECT_TRUE(socket.receive());
    EXPECT_EQ(socket.fd(), -1);
}

TEST(Pair, FailedCreationReportsOnceAndLeavesBothEndsEmpty) {
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(err[1], STDERR_FILENO);
        rlimit none{0, 0};
        setrlimit(RLIMIT_NOFILE, &none); // no descriptor can be created any more
        Pair pair;
        _exit(pair.first.get() == -1 && pair.second.get() == -1 ? 0 : 1);
    }
    close(err[1]);
    char text[256] = {};
    const ssize_t n = read(err[0], text, sizeof text - 1);
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(text, n > 0 ? n : 0), "socketpair(): Too many open files\n");
}

} // namespace
