# Cross-toolchain module for the router targets: Linux on MIPS32r2 with
# Debian's cross gcc, against glibc (Debian's, hard-float) or a uClibc-ng
# sysroot from build-sysroot.sh. A target's toolchain file sets these and
# includes this file:
#   IP4ADD_ARCH    mips (big-endian) or mipsel (little-endian)
#   IP4ADD_LIBC    glibc or uclibc
#   IP4ADD_FLOAT   hard (an FPU does the floating point) or soft (integer
#                  code: FPU-less cores)
# Tests run under qemu-user with the CPU model named explicitly: 24Kf (with
# FPU) for hard-float builds, 24Kc (without) for soft-float ones, so that any
# FPU instruction in a soft-float run ends it with SIGILL, as on the router.
# IP4ADD_SYSROOT names an existing uClibc-ng sysroot instead of the cached one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${IP4ADD_ARCH})
set(IP4ADD_TRIPLET ${IP4ADD_ARCH}-linux-gnu)
set(CMAKE_C_COMPILER ${IP4ADD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${IP4ADD_TRIPLET}-g++)

set(cpu_flags "-march=mips32r2")
if(IP4ADD_FLOAT STREQUAL "soft")
  string(APPEND cpu_flags " -msoft-float")
  set(emulator_cpu 24Kc)
elseif(IP4ADD_FLOAT STREQUAL "hard")
  set(emulator_cpu 24Kf)
else()
  message(FATAL_ERROR "IP4ADD_FLOAT must be soft or hard, not '${IP4ADD_FLOAT}'")
endif()

if(IP4ADD_LIBC STREQUAL "glibc")
  if(IP4ADD_FLOAT STREQUAL "soft")
    message(FATAL_ERROR "Debian's MIPS glibc is hard-float only; use uClibc-ng for soft-float")
  endif()
  set(sysroot /usr/${IP4ADD_TRIPLET})
  set(CMAKE_C_FLAGS_INIT "${cpu_flags}")
  set(CMAKE_CXX_FLAGS_INIT "${cpu_flags}")
elseif(IP4ADD_LIBC STREQUAL "uclibc")
  if(NOT IP4ADD_SYSROOT)
    execute_process(
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/build-sysroot.sh uclibc ${IP4ADD_ARCH} ${IP4ADD_FLOAT}
      OUTPUT_VARIABLE IP4ADD_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "could not build the uClibc-ng sysroot (see the message above)")
    endif()
  endif()
  set(sysroot ${IP4ADD_SYSROOT})
  # try_compile projects read this file again: hand them the path rather
  # than building or looking it up twice.
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IP4ADD_SYSROOT)

  # Debian's cross gcc finds glibc's headers, start files and libc even
  # with --sysroot, so everything standard is named explicitly instead; the
  # compiler runtime (libgcc, crtbegin/crtend) comes from the sysroot too,
  # which holds a soft-float one where needed.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
  # -fno-pie: the link below is -no-pie, so position-independent code
  # would only cost size.
  set(CMAKE_CXX_FLAGS_INIT
    "${cpu_flags} -fno-pie -nostdinc -isystem ${sysroot}/usr/include -isystem ${gcc_include}")
  set(lib ${sysroot}/usr/lib)
  set(rt ${lib}/libgcc)
  set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> --sysroot=${sysroot} \
-nostdlib -no-pie -Wl,--dynamic-linker=/lib/ld-uClibc.so.0 ${lib}/crt1.o ${lib}/crti.o \
${rt}/crtbegin.o <OBJECTS> -o <TARGET> <LINK_LIBRARIES> -L${lib} -L${rt} \
-Wl,--start-group -lc -lgcc -Wl,--end-group ${rt}/crtend.o ${lib}/crtn.o")
else()
  message(FATAL_ERROR "IP4ADD_LIBC must be glibc or uclibc, not '${IP4ADD_LIBC}'")
endif()

set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${IP4ADD_ARCH} -cpu ${emulator_cpu} -L ${sysroot})
