# Cross-compiling for the device's processor, an ARM926EJ-S (ARMv5TE: 32-bit
# pointers and long, unsigned plain char, no atomic read-modify-write), with
# Debian's arm-linux-gnueabi cross compiler (package g++-arm-linux-gnueabi).
# The programs built run on Linux under qemu-arm in user mode.
#
# The cross compiler brings the C and C++ libraries (/usr/arm-linux-gnueabi);
# the other libraries the host needs, built for armel, are Debian's packages
# unpacked into CORVANE_ARMEL_ROOT by tools/armel-libraries.sh.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CORVANE_ARMEL arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${CORVANE_ARMEL}-gcc)
set(CMAKE_CXX_COMPILER ${CORVANE_ARMEL}-g++)
# -Wno-psabi: GCC notes on every std::vector iterator passed by value that its
# ARM parameter passing changed in GCC 7.1; all the code here is built by one
# compiler.
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mtune=arm926ej-s -Wno-psabi")

if(NOT CORVANE_ARMEL_ROOT)
  set(CORVANE_ARMEL_ROOT ${CMAKE_CURRENT_LIST_DIR}/../build/armel-root)
endif()
get_filename_component(CORVANE_ARMEL_ROOT ${CORVANE_ARMEL_ROOT} ABSOLUTE)
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVANE_ARMEL})

# Headers and libraries from the cross environment only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_ARMEL} ${CORVANE_ARMEL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program built here runs under the emulator as an ARM926 (an
# instruction the device's processor lacks, LDREX or a barrier, stops the
# program), its loader and libraries taken from the cross environment.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm926 -L /usr/${CORVANE_ARMEL})
