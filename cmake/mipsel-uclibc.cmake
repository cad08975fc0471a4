# Toolchain: MIPS32r2 little-endian, soft-float, uClibc-ng (FPU-less router
# SoCs: MediaTek MT76xx). Packages g++-mipsel-linux-gnu, qemu-user,
# uclibc-source, gcc-12-source.
set(IP4ADD_ARCH mipsel)
set(IP4ADD_LIBC uclibc)
set(IP4ADD_FLOAT soft)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
