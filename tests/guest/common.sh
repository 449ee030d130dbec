# Shared by the guest scripts (sourced, not run): the packages they need and
# where the guest kernel lives.
#
# The guest kernel is Debian's linux-source-6.1 configured with
# bcm2835_defconfig plus kernel.config, built with the armel cross compiler.
# It is kept outside the clone under $ZORVI_GUEST_CACHE (default
# /var/cache/zorvi-upgrade/guest), in a directory named by a hash of all that
# decides its contents, and built there when absent. A tree counts only once
# its stamp file is written, so an interrupted build is started over.

GUEST_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ZORVI_ROOT=$(cd "$GUEST_DIR/../.." && pwd)
# shellcheck source=../lib/cache.sh
. "$ZORVI_ROOT/dev/lib/cache.sh"
DRIVER_DIR=$ZORVI_ROOT/driver
GUEST_DEPS=$ZORVI_ROOT/dev/deps/guest.list
GUEST_ARM_MAKE=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabi-)
# What the build makes: the kernel image, the modules' symbol list and the DTBs.
GUEST_TARGETS=(zImage modules dtbs)
GUEST_DEFCONFIG=bcm2835_defconfig
GUEST_DTB=bcm2835-rpi-zero.dtb

guest_log() { echo "guest: $*" >&2; }

guest_cache_root() { zorvi_cache_root guest "${ZORVI_GUEST_CACHE:-}"; }

# Installs whatever dev/deps/guest.list names and is not installed yet.
guest_need_packages() { zorvi_need_packages guest "$GUEST_DEPS"; }

# Everything that decides the kernel's contents, one item a line; its hash
# names the cache directory.
guest_kernel_inputs() {
  echo "linux-source-6.1 $(dpkg-query -W -f='${Version}' linux-source-6.1)"
  echo "arm-linux-gnueabi-gcc $(arm-linux-gnueabi-gcc -dumpfullversion)"
  echo "defconfig $GUEST_DEFCONFIG"
  echo "targets ${GUEST_TARGETS[*]}"
  cat "$GUEST_DIR/kernel.config"
}

guest_kernel_hash() {
  guest_kernel_inputs | sha256sum | cut -c1-16
}

# Debian's own Pi kernel for armel, as a hub would run it: the packages of the
# version that the meta-package linux-image-rpi points to, one directory per
# version under the cache (see fetch-kernel).
GUEST_KERNEL_META=linux-image-rpi:armel

# Prints "PACKAGE VERSION" of the image that GUEST_KERNEL_META depends on now.
guest_debian_kernel() {
  apt-cache show --no-all-versions "$GUEST_KERNEL_META" 2>/dev/null |
    sed -n 's/^Depends: .*\(linux-image-[^ ,]*-rpi\) (= \([^)]*\)).*/\1 \2/p' | head -n 1
}
