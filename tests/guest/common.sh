# Shared by the guest scripts (sourced, not run): the packages they need and
# where the guest kernel lives.
#
# The guest kernel is Debian's own armel Pi kernel (fetch-kernel), unpacked
# outside the clone under $ZORVI_GUEST_CACHE (default
# /var/cache/zorvi-upgrade/guest), one directory per package version. A
# directory exists under its final name only once it is complete.

GUEST_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ZORVI_ROOT=$(cd "$GUEST_DIR/../.." && pwd)
# shellcheck source=../lib/cache.sh
. "$ZORVI_ROOT/dev/lib/cache.sh"
DRIVER_DIR=$ZORVI_ROOT/driver
GUEST_DEPS=$ZORVI_ROOT/dev/deps/guest.list
GUEST_ARM_MAKE=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabi-)
GUEST_DTB=bcm2835-rpi-zero.dtb

guest_log() { echo "guest: $*" >&2; }

guest_cache_root() { zorvi_cache_root guest "${ZORVI_GUEST_CACHE:-}"; }

# Fails, naming them, when packages of dev/deps/guest.list are not installed.
guest_need_packages() { zorvi_need_packages guest "$GUEST_DEPS"; }

# Debian's own Pi kernel for armel, as a hub would run it: the packages of the
# version that the meta-package linux-image-rpi points to, one directory per
# version under the cache (see fetch-kernel).
GUEST_KERNEL_META=linux-image-rpi:armel

# Prints "PACKAGE VERSION" of the image that GUEST_KERNEL_META depends on now.
guest_debian_kernel() {
  apt-cache show --no-all-versions "$GUEST_KERNEL_META" 2>/dev/null |
    sed -n 's/^Depends: .*\(linux-image-[^ ,]*-rpi\) (= \([^)]*\)).*/\1 \2/p' | head -n 1
}
