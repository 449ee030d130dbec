// Load client for the service and the baseline relay.
//
//   zorvi-load roundtrip SOCKET CLIENTS SECONDS
//       each client (one thread) sends "req;<n>;revert" and waits for
//       "rsp;<n>;false;unsupported command", again and again; prints requests/s
//       and the round trip's percentiles in microseconds
//   zorvi-load count SOCKET REQUESTS
//       one client, exactly REQUESTS round trips as above, so that a tracer
//       can divide what it counted by a known number of requests
//   zorvi-load fanout SOCKET CLIENTS TRIGGER LAST-SUFFIX [REPEAT]
//       connects CLIENTS, one sends TRIGGER (REPEAT times, 5 ms apart), and all
//       read notifications until each has one ending in LAST-SUFFIX or has
//       REPEAT of them; prints how far apart the clients got
//       each notification, and, for notifications stamped "nfy;t=<ns>" (the
//       baseline's), how long after the stamp
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

uint64_t now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

int connectTo(const char* path) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        close(fd);
        usleep(1000);
    }
    perror("connect");
    return -1;
}

// The replayed notification, if any, so that it is not taken for an answer.
void drainReplay(int fd) {
    pollfd p{fd, POLLIN, 0};
    char text[512];
    while (poll(&p, 1, 50) == 1) {
        if (recv(fd, text, sizeof text, 0) <= 0) return;
    }
}

double percentile(std::vector<uint64_t>& sorted, double q) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
    return static_cast<double>(sorted[std::min(i, sorted.size() - 1)]) / 1000.0;
}

struct Worker {
    std::vector<uint64_t> samples;
    uint64_t errors = 0;
};

// Round trips until `until` (CLOCK_MONOTONIC) or `limit` of them, whichever comes first.
void roundTrips(const char* path, uint64_t until, uint64_t limit, Worker& w, std::atomic<int>& ready, int clients) {
    int fd = connectTo(path);
    if (fd == -1) {
        ++w.errors;
        ++ready;
        return;
    }
    drainReplay(fd);
    ++ready;
    while (ready.load() < clients) usleep(100);
    w.samples.reserve(1 << 20);
    char request[32], expected[64], answer[512];
    for (uint32_t n = 1; now() < until && w.samples.size() + w.errors < limit; n = n % 65535 + 1) {
        int requestLength = snprintf(request, sizeof request, "req;%u;revert", n);
        int expectedLength = snprintf(expected, sizeof expected, "rsp;%u;false;unsupported command", n);
        uint64_t start = now();
        if (send(fd, request, static_cast<size_t>(requestLength), MSG_NOSIGNAL) != requestLength) {
            ++w.errors;
            break;
        }
        ssize_t got = recv(fd, answer, sizeof answer, 0);
        uint64_t end = now();
        if (got != expectedLength || memcmp(answer, expected, static_cast<size_t>(got)) != 0) {
            ++w.errors;
            if (got <= 0) break;
            continue;
        }
        w.samples.push_back(end - start);
    }
    close(fd);
}

int roundtrip(const char* path, int clients, double seconds, uint64_t limit = UINT64_MAX) {
    std::vector<Worker> workers(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    // Each thread starts its clock once all are connected, so the window is the same for all.
    uint64_t start = now() + 200000000u;
    uint64_t until = start + static_cast<uint64_t>(seconds * 1e9);
    for (auto& w : workers) threads.emplace_back(roundTrips, path, until, limit, std::ref(w), std::ref(ready), clients);
    for (auto& t : threads) t.join();
    std::vector<uint64_t> all;
    uint64_t errors = 0;
    for (auto& w : workers) {
        all.insert(all.end(), w.samples.begin(), w.samples.end());
        errors += w.errors;
    }
    std::sort(all.begin(), all.end());
    // A counted run may end before `until`.
    double elapsed = static_cast<double>(std::min(until, now()) - start) / 1e9;
    printf("clients=%d requests=%zu rps=%.0f p50_us=%.1f p99_us=%.1f max_us=%.1f errors=%llu\n", clients, all.size(),
           static_cast<double>(all.size()) / elapsed, percentile(all, 0.5), percentile(all, 0.99),
           percentile(all, 1.0), static_cast<unsigned long long>(errors));
    return errors == 0 && !all.empty() ? 0 : 1;
}

int fanout(const char* path, int clients, const char* trigger, const char* lastSuffix, int repeat) {
    std::vector<pollfd> set;
    for (int i = 0; i < clients; ++i) {
        int fd = connectTo(path);
        if (fd == -1) return 1;
        drainReplay(fd);
        set.push_back({fd, POLLIN, 0});
    }
    int triggered = 0;
    uint64_t nextTrigger = now();
    // For every notification text: when each client got it.
    std::map<std::string, std::vector<uint64_t>> seen;
    std::vector<uint64_t> stampedLatency;
    const size_t suffix = strlen(lastSuffix);
    int finished = 0;
    uint64_t deadline = now() + 300000000000u;
    std::vector<bool> done(static_cast<size_t>(clients));
    std::vector<int> received(static_cast<size_t>(clients));
    while (finished < clients && now() < deadline) {
        if (triggered < repeat && now() >= nextTrigger) {
            if (send(set[0].fd, trigger, strlen(trigger), MSG_NOSIGNAL) == -1) {
                perror("send");
                return 1;
            }
            ++triggered;
            nextTrigger = now() + 5000000u;
        }
        if (poll(set.data(), set.size(), triggered < repeat ? 5 : 1000) <= 0) continue;
        for (size_t i = 0; i < set.size(); ++i) {
            if (!(set[i].revents & POLLIN)) continue;
            char text[512];
            ssize_t got = recv(set[i].fd, text, sizeof text, 0);
            uint64_t at = now();
            if (got <= 0) return 1;
            std::string t(text, static_cast<size_t>(got));
            if (t.rfind("nfy;", 0) != 0) continue;
            seen[t].push_back(at);
            if (t.rfind("nfy;t=", 0) == 0) stampedLatency.push_back(at - std::strtoull(t.c_str() + 6, nullptr, 10));
            const bool last = t.size() >= suffix && t.compare(t.size() - suffix, suffix, lastSuffix) == 0;
            if (!done[i] && (last || (repeat > 1 && ++received[i] == repeat))) {
                done[i] = true;
                ++finished;
            }
        }
    }
    std::vector<uint64_t> spreads;
    for (auto& [text, times] : seen) {
        if (times.size() != static_cast<size_t>(clients)) continue;
        auto [first, last] = std::minmax_element(times.begin(), times.end());
        spreads.push_back(*last - *first);
    }
    std::sort(spreads.begin(), spreads.end());
    std::sort(stampedLatency.begin(), stampedLatency.end());
    printf("clients=%d notifications=%zu spread_p50_us=%.1f spread_max_us=%.1f", clients, spreads.size(),
           percentile(spreads, 0.5), percentile(spreads, 1.0));
    if (!stampedLatency.empty())
        printf(" latency_p50_us=%.1f latency_max_us=%.1f", percentile(stampedLatency, 0.5),
               percentile(stampedLatency, 1.0));
    printf(" complete=%d\n", finished == clients ? 1 : 0);
    for (auto& p : set) close(p.fd);
    return finished == clients ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "roundtrip") == 0) return roundtrip(argv[2], atoi(argv[3]), atof(argv[4]));
    // An hour bounds the run should the service stop answering.
    if (argc == 4 && strcmp(argv[1], "count") == 0) return roundtrip(argv[2], 1, 3600, strtoull(argv[3], nullptr, 10));
    if ((argc == 6 || argc == 7) && strcmp(argv[1], "fanout") == 0)
        return fanout(argv[2], atoi(argv[3]), argv[4], argv[5], argc == 7 ? atoi(argv[6]) : 1);
    fprintf(stderr, "usage: zorvi-load roundtrip SOCKET CLIENTS SECONDS\n"
                    "       zorvi-load count SOCKET REQUESTS\n"
                    "       zorvi-load fanout SOCKET CLIENTS TRIGGER LAST-SUFFIX [REPEAT]\n");
    return 2;
}
