# Cross build for the modem module: 32-bit ARM Cortex-A7, NEON/VFPv4, hard
# float, glibc. Uses Debian's multiarch layout (armhf libraries in
# /usr/lib/arm-linux-gnueabihf, installed by scripts/setup-armhf), so no
# separate sysroot is needed on the desk. For a vendor sysroot, set
# CMAKE_SYSROOT (and TN_PLATFORM_SYSROOT for the platform libraries).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TN_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${TN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TN_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TN_TRIPLET})

set(TN_ARM_FLAGS "-mcpu=cortex-a7 -mfpu=neon-vfpv4 -mfloat-abi=hard")
set(CMAKE_C_FLAGS_INIT "${TN_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TN_ARM_FLAGS}")

# Programs (python3, openssl, the shell) come from the host; libraries,
# headers and CMake packages only from the target's paths.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(NOT CMAKE_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH /)
  # Only the armhf .pc files, never the host's.
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${TN_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
else()
  set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/${TN_TRIPLET}/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
endif()
unset(ENV{PKG_CONFIG_PATH})

# Tests run under user-mode emulation. "-L /" takes the armhf loader and
# libraries from the multiarch install; the cross toolchain's own copy under
# /usr/arm-linux-gnueabihf does not match them. TN_EMULATED=1 reaches every
# test process so tests that cannot work under emulation skip with a reason;
# TN_EMULATOR tells a program of this build how to start another one (a
# simulator handing its control tool to shell scripts, say).
set(CMAKE_CROSSCOMPILING_EMULATOR env TN_EMULATED=1 "TN_EMULATOR=qemu-arm -L /" qemu-arm -L /)
