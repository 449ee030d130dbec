#include "RequestId.h"

#include <ctime>
#include <unistd.h>

#include "protocol/ClientProtocol.h"

uint16_t RequestId::fromSeed(uint64_t seed) {
    // splitmix64's finaliser: every input bit reaches the low bits we keep.
    seed ^= seed >> 30;
    seed *= 0xbf58476d1ce4e5b9ULL;
    seed ^= seed >> 27;
    seed *= 0x94d049bb133111ebULL;
    seed ^= seed >> 31;
    return static_cast<uint16_t>(seed % ClientProtocol::kMaxRequestId + 1);
}

uint16_t RequestId::fresh() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t pid = static_cast<uint64_t>(getpid());
    return fromSeed((pid << 40) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^ static_cast<uint64_t>(now.tv_nsec));
}
