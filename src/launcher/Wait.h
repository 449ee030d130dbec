#pragma once

#include <ctime>
#include <sys/types.h>

// One wait for any child of this process: at most one child reported.
class Wait {
public:
    // Blocking unless noHang. A stop signal ends a blocking wait with pid -1
    // and no message; other failures print "wait()".
    explicit Wait(bool noHang);
    // Blocks at most until `deadline` (CLOCK_MONOTONIC): pid 0 when it passed
    // with no child ended, also when there is no child at all to wait for.
    explicit Wait(const timespec& deadline);

    int status = 0;
    pid_t pid = -1;

private:
    void block(const timespec* deadline);
};
