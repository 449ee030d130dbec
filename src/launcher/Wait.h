#pragma once

#include <sys/types.h>

// One wait for any child of this process: at most one child reported.
class Wait {
public:
    // Blocking unless noHang. A stop signal ends a blocking wait with pid -1
    // and no message; other failures print "wait()".
    explicit Wait(bool noHang);

    int status = 0;
    pid_t pid = -1;
};
