# Toolchain: x86-64, musl, static (hosts and containers of any C library).
# Packages gcc (x86_64-linux-gnu-gcc).
set(IP4ADD_ARCH x86_64)
set(IP4ADD_LIBC musl)
set(IP4ADD_FLOAT hard)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
