# Toolchain: MIPS32r2 big-endian, soft-float, uClibc-ng (FPU-less router SoCs:
# Qualcomm Atheros, Broadcom). Packages g++-mips-linux-gnu, qemu-user,
# uclibc-source, gcc-12-source.
set(IP4ADD_ARCH mips)
set(IP4ADD_LIBC uclibc)
set(IP4ADD_FLOAT soft)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
