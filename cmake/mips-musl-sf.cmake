# Toolchain: MIPS32r2 big-endian, soft-float, musl, static (FPU-less router
# SoCs). Packages g++-mips-linux-gnu, qemu-user, gcc-12-source.
set(IP4ADD_ARCH mips)
set(IP4ADD_LIBC musl)
set(IP4ADD_FLOAT soft)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
