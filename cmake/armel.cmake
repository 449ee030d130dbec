# Cross build for the hub: ARM1176 core (ARMv6KZ), 32-bit, little-endian,
# Debian's armel ABI (soft-float calling convention), linked statically unless
# -DZORVI_STATIC=OFF. Needs g++-arm-linux-gnueabi; runs target binaries through
# qemu-arm (qemu-arm-static for the static build) pinned to the hub's core.
#
#   cmake -S . -B build/armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel.cmake \
#         [-DZORVI_ARM_PREFIX=<dir with armel GoogleTest>]
#
# See docs/arm.md for why these flags and this way of linking.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZORVI_ARM_TRIPLE arm-linux-gnueabi)
set(ZORVI_ARM_SYSROOT /usr/${ZORVI_ARM_TRIPLE})
set(CMAKE_C_COMPILER ${ZORVI_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZORVI_ARM_TRIPLE}-g++)

# The exact core: v6KZ instructions (ldrex/strex for all widths, so atomics stay
# inline) and nothing newer; ARM state, as Thumb-1 code is slower on this core.
# Soft-float keeps the armel ABI of Debian's libc and libstdc++ and assumes no VFP.
# 64-bit file offsets and inode numbers: with 32-bit ones, stat and readdir fail
# with EOVERFLOW on files and directories whose values do not fit (seen under
# qemu-user, where the host kernel hands out 64-bit directory offsets).
set(ZORVI_ARM_FLAGS "-march=armv6kz -mtune=arm1176jzf-s -marm -mfloat-abi=soft -D_FILE_OFFSET_BITS=64")
set(CMAKE_C_FLAGS_INIT "${ZORVI_ARM_FLAGS}")
# -Wno-psabi: GCC notes that passing some std types changed in GCC 7.1; everything
# here is built by one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "${ZORVI_ARM_FLAGS} -Wno-psabi")

# Headers, libraries and CMake packages come from the target's tree (and from the
# prefix holding GoogleTest built for it); programs run at build time are the host's.
set(CMAKE_FIND_ROOT_PATH ${ZORVI_ARM_SYSROOT})
if(ZORVI_ARM_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZORVI_ARM_PREFIX})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZORVI_ARM_PREFIX)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The hub's build is static (ZORVI_STATIC, on unless -DZORVI_STATIC=OFF): it runs
# on any ARM Linux userland, from kernel 3.2 on (docs/arm.md).
if(NOT DEFINED ZORVI_STATIC)
  set(ZORVI_STATIC ON CACHE BOOL "Link every program statically")
endif()

# ctest and gtest_discover_tests run every target binary through this, so an
# instruction the ARM1176 lacks ends the run with SIGILL. A static binary needs
# nothing else; the emulator is the static one, as the end-to-end tests run it in
# a root that holds no shared library (dev/sandbox --empty-root).
# A dynamic binary starts through the armel loader of the cross toolchain, told
# to take its libraries from the same tree: qemu's -L prefix would also serve the
# loader from there, but then lets the libraries come from the host's
# ld.so.cache, which names a multiarch libc6:armel where one is installed (a
# different build: fork crashes), and it also redirects open("/") into the prefix.
if(ZORVI_STATIC)
  find_program(ZORVI_QEMU_ARM_STATIC qemu-arm-static)
  set(_zorvi_qemu ${ZORVI_QEMU_ARM_STATIC})
  set(_zorvi_emulator_args "-cpu;arm1176")
else()
  find_program(ZORVI_QEMU_ARM qemu-arm)
  set(_zorvi_qemu ${ZORVI_QEMU_ARM})
  set(_zorvi_emulator_args
      "-cpu;arm1176;${ZORVI_ARM_SYSROOT}/lib/ld-linux.so.3;--library-path;${ZORVI_ARM_SYSROOT}/lib")
endif()
if(_zorvi_qemu)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${_zorvi_qemu};${_zorvi_emulator_args}"
      CACHE STRING "Runs target binaries on the build machine" FORCE)
  # The end-to-end scenarios start the daemon themselves, in the sandbox: give them
  # the same emulated command, and more time, as emulation is slower. Forced, like
  # the emulator, so a build directory never keeps an older command.
  string(REPLACE ";" " " _zorvi_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  set(ZORVI_E2E_DAEMON "${_zorvi_emulator} $<TARGET_FILE:zorvi-upgrade>"
      CACHE STRING "Command that runs the daemon in end-to-end tests" FORCE)
  set(ZORVI_E2E_TIME_SCALE "4" CACHE STRING "Factor for every end-to-end time bound")
endif()
