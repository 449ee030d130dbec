#pragma once

#include <cstdint>

// Request identifiers from 1 to the protocol's limit, fresh for each run: drawn
// from the process id and the time, so two clients that start together differ.
namespace RequestId {

uint16_t fresh();
// The mixing step, separate so its range can be checked for any input.
uint16_t fromSeed(uint64_t seed);

} // namespace RequestId
