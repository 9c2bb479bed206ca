# Cross build for 32-bit ARM Linux from ARMv5TE up (older NAS boxes; the Raspberry Pi
# Zero and 1, ARMv6; every later Pi on a 32-bit system), with Debian's armel compiler,
# whose code runs on all of them, linked statically so the binary needs no C library of
# the system's (an armhf one starts with ARMv7 code); run here under qemu-user, on the
# oldest core, ARMv5TE's ARM926, where the test preset sets QEMU_CPU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
