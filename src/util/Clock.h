#pragma once

#include <csignal>
#include <ctime>

// The monotonic clock, for pauses and deadlines that a change of the wall
// clock (a hub setting its time after boot) must not stretch or cut short.
namespace Clock {

timespec now();
timespec after(const timespec& start, time_t seconds);
bool reached(const timespec& deadline);
// The time from now to `deadline` in `left`; false when it has passed.
bool remaining(const timespec& deadline, timespec& left);
// Sleeps until `deadline` with `mask` in force; a signal it lets through ends the sleep early.
void sleepUntil(const timespec& deadline, const sigset_t& mask);

} // namespace Clock
