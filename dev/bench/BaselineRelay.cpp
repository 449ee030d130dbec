// The floor the service is measured against: the least code with the service's
// shape. A relay process polls a listening SOCK_SEQPACKET socket, its clients
// and one end of a socket pair; a responder process on the other end blocks in
// read and answers. "req;<id>;notify" makes the responder send a notification
// stamped with CLOCK_MONOTONIC, which the relay sends to every client.
//
//   zorvi-baseline SOCKET-PATH        runs until SIGTERM or SIGINT
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kMaxClients = 8;
constexpr size_t kMaxText = 512;

// What crosses the pair: the client's slot and the text, like the service's records.
struct Record {
    uint64_t client;
    uint32_t length;
    char text[116];
};

volatile sig_atomic_t running = 1;
void stop(int) { running = 0; }

uint64_t now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// Blocking read, then one answer: "rsp;<id>;false;unsupported command" or a notification.
int respond(int pair) {
    Record in;
    while (running) {
        ssize_t n = read(pair, &in, sizeof in);
        if (n <= 0) return n == 0 ? 0 : 1;
        Record out{};
        out.client = in.client;
        const char* text = in.text;
        const char* id = static_cast<const char*>(memchr(text, ';', in.length));
        const char* end = id ? static_cast<const char*>(memchr(id + 1, ';', in.length - (id + 1 - text))) : nullptr;
        int idLength = end ? static_cast<int>(end - id - 1) : 0;
        if (end && in.length - (end + 1 - text) == 6 && memcmp(end + 1, "notify", 6) == 0) {
            out.client = 0;
            out.length = static_cast<uint32_t>(snprintf(out.text, sizeof out.text, "nfy;t=%llu",
                                                        static_cast<unsigned long long>(now())));
        } else {
            out.length = static_cast<uint32_t>(snprintf(out.text, sizeof out.text, "rsp;%.*s;false;unsupported command",
                                                        idLength, id ? id + 1 : ""));
        }
        if (send(pair, &out, sizeof out, MSG_NOSIGNAL) == -1) perror("send");
    }
    return 0;
}

int listenOn(const char* path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        perror("socket");
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    unlink(path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1 || listen(fd, 16) == -1) {
        perror("bind/listen");
        close(fd);
        return -1;
    }
    return fd;
}

int relay(int listener, int pair) {
    int clients[kMaxClients];
    int count = 0;
    while (running) {
        pollfd set[kMaxClients + 2];
        int n = 0;
        for (int i = 0; i < count; ++i) set[n++] = {clients[i], POLLIN, 0};
        if (count < kMaxClients) set[n++] = {listener, POLLIN, 0};
        set[n++] = {pair, POLLIN, 0};
        if (poll(set, static_cast<nfds_t>(n), -1) == -1) {
            if (errno != EINTR) perror("poll");
            continue;
        }
        for (int i = 0; i < n; ++i) {
            if (set[i].revents == 0) continue;
            const int fd = set[i].fd;
            if (fd == listener) {
                int c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (c >= 0) clients[count++] = c;
            } else if (fd == pair) {
                Record in;
                if (read(pair, &in, sizeof in) != sizeof in) continue;
                for (int k = 0; k < count; ++k)
                    if (in.client == 0 || static_cast<uint64_t>(clients[k]) == in.client)
                        (void)send(clients[k], in.text, in.length, MSG_NOSIGNAL);
            } else {
                Record out{};
                char text[kMaxText];
                ssize_t got = read(fd, text, sizeof text);
                if (got > 0) {
                    out.client = static_cast<uint64_t>(fd);
                    const size_t room = sizeof out.text;
                    out.length = static_cast<uint32_t>(static_cast<size_t>(got) < room ? static_cast<size_t>(got) : room);
                    memcpy(out.text, text, out.length);
                    if (send(pair, &out, sizeof out, MSG_NOSIGNAL) == -1) perror("send");
                } else if (got == 0) {
                    close(fd);
                    for (int k = 0; k < count; ++k)
                        if (clients[k] == fd) clients[k] = clients[--count];
                }
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: zorvi-baseline SOCKET-PATH\n");
        return 2;
    }
    struct sigaction action{};
    action.sa_handler = stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == -1) {
        perror("socketpair");
        return 1;
    }
    pid_t responder = fork();
    if (responder == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(pair[0]);
        return respond(pair[1]);
    }
    close(pair[1]);
    int listener = listenOn(argv[1]);
    if (listener == -1) return 1;
    printf("Baseline relay pid=%d responder pid=%d\n", getpid(), responder);
    fflush(stdout);
    int status = relay(listener, pair[0]);
    kill(responder, SIGTERM);
    return status;
}
