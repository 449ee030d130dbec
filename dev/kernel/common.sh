# Shared by the ttyaux build checks (sourced, not run): the packages they need,
# the cache of prepared kernel trees, and where each kernel's build tree is.
#
# The ARM tree is Debian's linux-source-6.1 unpacked, configured with
# bcm2835_defconfig and brought to modules_prepare. It is kept outside the clone,
# under $ZORVI_KERNEL_CACHE (default /var/cache/zorvi-upgrade/kernel), one
# directory per source package version and cross compiler version, and made
# when it is absent. A tree counts only once its stamp file is written.

ZORVI_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../lib/cache.sh
. "$ZORVI_ROOT/dev/lib/cache.sh"
DRIVER_DIR=$ZORVI_ROOT/driver
DRIVER_DEPS=$ZORVI_ROOT/dev/deps/driver.list
ARM_MAKE=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabi-)

kernel_log() { echo "kernel: $*" >&2; }

kernel_cache_root() { zorvi_cache_root kernel "${ZORVI_KERNEL_CACHE:-}"; }

# Installs whatever dev/deps/driver.list names and is not installed yet.
kernel_need_packages() { zorvi_need_packages kernel "$DRIVER_DEPS"; }

# The build directory of Debian's amd64 headers (what linux-headers-amd64 pulls in).
kernel_amd64_tree() {
  local pkg
  pkg=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 | tr ',' '\n' |
    sed -n 's/^ *\(linux-headers-[^ ]*-amd64\).*/\1/p' | head -n 1)
  if [ -z "$pkg" ] || [ ! -f "/usr/src/$pkg/Makefile" ]; then
    kernel_log "no amd64 kernel headers found (linux-headers-amd64 -> '$pkg')"
    return 1
  fi
  echo "/usr/src/$pkg"
}

# The prepared ARM tree, made first when the cache does not hold it.
kernel_arm_tree() {
  local root version gcc_version tree started
  root=$(kernel_cache_root)
  version=$(dpkg-query -W -f='${Version}' linux-source-6.1)
  gcc_version=$(arm-linux-gnueabi-gcc -dumpfullversion)
  tree=$root/linux-source-6.1_${version}_bcm2835_gcc-${gcc_version}

  if [ ! -f "$tree/.zorvi-prepared" ]; then
    exec 8>"$root/.arm-tree.lock"
    flock 8
    if [ ! -f "$tree/.zorvi-prepared" ]; then
      started=$(date +%s)
      kernel_log "preparing $tree"
      rm -rf "$tree" "$tree.unpack"
      mkdir -p "$tree.unpack"
      tar -xf /usr/src/linux-source-6.1.tar.xz -C "$tree.unpack"
      # Prepared where it stays: the tree's generated files name their own path.
      mv "$tree.unpack/linux-source-6.1" "$tree"
      rmdir "$tree.unpack"
      make -s -C "$tree" "${ARM_MAKE[@]}" bcm2835_defconfig >&2
      make -s -C "$tree" "${ARM_MAKE[@]}" -j "$(nproc)" modules_prepare >&2
      touch "$tree/.zorvi-prepared"
      kernel_log "prepared in $(($(date +%s) - started)) s"
      # Trees of older source or compiler versions are of no further use.
      local old
      for old in "$root"/linux-source-6.1_*_bcm2835_*; do
        [ "$old" = "$tree" ] || rm -rf "$old"
      done
    fi
    flock -u 8
    exec 8>&-
  fi
  echo "$tree"
}
