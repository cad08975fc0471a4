# Toolchain: MIPS32 release 2, big-endian, against uClibc-ng 1.0.35 built
# from Debian's uclibc-source with Debian's cross gcc. Tests run under
# qemu-mips with the sysroot as the guest's root.
#
# The sysroot comes from IP4ADD_UCLIBC_SYSROOT when set, otherwise from
# build-uclibc-sysroot.sh (cached outside the checkout; a few minutes the
# first time, instant afterwards).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(IP4ADD_TRIPLET mips-linux-gnu)
set(CMAKE_CXX_COMPILER ${IP4ADD_TRIPLET}-g++)

if(NOT IP4ADD_UCLIBC_SYSROOT)
  set(IP4ADD_UCLIBC_SYSROOT $ENV{IP4ADD_UCLIBC_SYSROOT})
endif()
if(NOT IP4ADD_UCLIBC_SYSROOT)
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/build-uclibc-sysroot.sh
    OUTPUT_VARIABLE IP4ADD_UCLIBC_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not build the uClibc-ng sysroot")
  endif()
endif()
# try_compile projects read this file again; hand them the path.
set(ENV{IP4ADD_UCLIBC_SYSROOT} ${IP4ADD_UCLIBC_SYSROOT})
set(sysroot ${IP4ADD_UCLIBC_SYSROOT})

# Debian's cross gcc finds glibc's headers, start files and libc even with
# --sysroot, so everything standard is named explicitly instead.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(gcc_lib ${libgcc} DIRECTORY)

set(CMAKE_CXX_FLAGS_INIT
  "-march=mips32r2 -nostdinc -isystem ${sysroot}/usr/include -isystem ${gcc_include}")
set(lib ${sysroot}/usr/lib)
set(CMAKE_CXX_LINK_EXECUTABLE
  "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> --sysroot=${sysroot} -nostdlib -no-pie \
-Wl,--dynamic-linker=/lib/ld-uClibc.so.0 ${lib}/crt1.o ${lib}/crti.o ${gcc_lib}/crtbegin.o \
<OBJECTS> -o <TARGET> <LINK_LIBRARIES> -L${lib} -lc -lgcc ${gcc_lib}/crtend.o ${lib}/crtn.o")

set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${sysroot})
