/* Stand-in for the kernel header: everything is in sim/kernel.h. */
#include <sim/kernel.h>
