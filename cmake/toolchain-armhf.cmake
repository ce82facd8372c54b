# Cross build for the modem module: 32-bit ARM Cortex-A7, NEON/VFPv4, hard
# float, glibc. Debian's amd64 cross compiler (crossbuild-essential-armhf)
# against one armhf sysroot: Debian 12's armhf packages unpacked into a folder
# of the build cache by scripts/armhf-sysroot (scripts/build-armhf passes it as
# CMAKE_SYSROOT). Without CMAKE_SYSROOT that default folder is used when it
# exists. A vendor sysroot works the same way (and TN_PLATFORM_SYSROOT for
# the platform libraries).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TN_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${TN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TN_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TN_TRIPLET})

if(NOT CMAKE_SYSROOT)
  if(DEFINED ENV{TN_CACHE})
    set(tn_default_sysroot "$ENV{TN_CACHE}/armhf-sysroot")
  else()
    set(tn_default_sysroot "$ENV{HOME}/.cache/trailnetd/armhf-sysroot")
  endif()
  if(NOT EXISTS "${tn_default_sysroot}/usr/include")
    message(FATAL_ERROR "No armhf sysroot: run scripts/armhf-sysroot (scripts/build-armhf does) "
      "or pass -DCMAKE_SYSROOT=<folder>")
  endif()
  set(CMAKE_SYSROOT "${tn_default_sysroot}")
endif()
# try_compile projects get the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CMAKE_SYSROOT)

set(TN_ARM_FLAGS "-mcpu=cortex-a7 -mfpu=neon-vfpv4 -mfloat-abi=hard")
# The cross compiler searches its own copy of glibc and libstdc++ (under
# /usr/${TN_TRIPLET}, the cross packages' versions) before the sysroot, for
# headers, start files and libraries alike. A Debian-layout sysroot carries
# all of them (libc6-dev, libgcc-12-dev, libstdc++-12-dev): take every one
# from there, so what is compiled and linked is what the module loads.
file(GLOB tn_sysroot_gcc LIST_DIRECTORIES true "${CMAKE_SYSROOT}/usr/lib/gcc/${TN_TRIPLET}/[0-9]*")
if(tn_sysroot_gcc)
  list(GET tn_sysroot_gcc 0 tn_sysroot_gcc)
  get_filename_component(tn_gcc_major "${tn_sysroot_gcc}" NAME)
  set(s "${CMAKE_SYSROOT}")
  set(tn_c_includes "-isystem ${tn_sysroot_gcc}/include -isystem ${s}/usr/include/${TN_TRIPLET} -isystem ${s}/usr/include")
  set(tn_cxx_includes "-isystem ${s}/usr/include/c++/${tn_gcc_major} -isystem ${s}/usr/include/${TN_TRIPLET}/c++/${tn_gcc_major} -isystem ${s}/usr/include/c++/${tn_gcc_major}/backward")
  set(tn_start_files "-B${s}/usr/lib/${TN_TRIPLET} -B${tn_sysroot_gcc}")
  set(CMAKE_C_FLAGS_INIT "${TN_ARM_FLAGS} -nostdinc ${tn_c_includes} ${tn_start_files}")
  set(CMAKE_CXX_FLAGS_INIT "${TN_ARM_FLAGS} -nostdinc ${tn_cxx_includes} ${tn_c_includes} ${tn_start_files}")
else()
  set(CMAKE_C_FLAGS_INIT "${TN_ARM_FLAGS}")
  set(CMAKE_CXX_FLAGS_INIT "${TN_ARM_FLAGS}")
endif()

# Programs (python3, openssl, the shell) come from the host; libraries,
# headers, CMake packages (GoogleTest) and pkg-config files only from the
# sysroot.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/${TN_TRIPLET}/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Tests run under user-mode emulation, with the sysroot's loader and
# libraries ("-L <sysroot>"), never the host's. TN_EMULATED=1 reaches every
# test process so tests that cannot work under emulation skip with a reason;
# TN_EMULATOR tells a program of this build how to start another one (a
# simulator handing its control tool to shell scripts, say).
set(CMAKE_CROSSCOMPILING_EMULATOR env TN_EMULATED=1 "TN_EMULATOR=qemu-arm -L ${CMAKE_SYSROOT}"
  qemu-arm -L ${CMAKE_SYSROOT})
