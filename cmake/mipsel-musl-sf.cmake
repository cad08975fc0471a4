# Toolchain: MIPS32r2 little-endian, soft-float, musl, static (FPU-less
# router SoCs: MediaTek/Ralink). Packages g++-mipsel-linux-gnu, qemu-user,
# gcc-12-source.
set(IP4ADD_ARCH mipsel)
set(IP4ADD_LIBC musl)
set(IP4ADD_FLOAT soft)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
