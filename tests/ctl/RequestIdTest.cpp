#include "RequestId.h"

#include <set>

#include <gtest/gtest.h>

namespace {

TEST(RequestId, AlwaysAValidIdentifier) {
    // 0 is "no identifier" to the service; a uint16_t cannot exceed 65535.
    EXPECT_NE(RequestId::fromSeed(~0ULL), 0);
    for (uint64_t seed = 0; seed < 200000; ++seed) ASSERT_NE(RequestId::fromSeed(seed), 0) << seed;
}

TEST(RequestId, NeighbouringSeedsGiveDifferentIdentifiers) {
    // Two clients started in the same instant differ in pid only.
    std::set<uint16_t> seen;
    for (uint64_t pid = 1000; pid < 1100; ++pid) seen.insert(RequestId::fromSeed(pid << 40));
    EXPECT_GE(seen.size(), 99u);
}

} // namespace
