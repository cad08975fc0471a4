# Cross-toolchain module for the router targets: Linux on MIPS32r2, ARMv7,
# AArch64 or x86-64 with Debian's cross gcc, against glibc (Debian's,
# hard-float MIPS) or a uClibc-ng or musl sysroot from build-sysroot.sh. A
# target's toolchain file sets these and includes this file:
#   IP4ADD_ARCH    mips (big-endian), mipsel (little-endian), arm (ARMv7-A,
#                  VFPv3-D16, hard-float ABI), aarch64 or x86_64
#   IP4ADD_LIBC    glibc (MIPS), uclibc (MIPS) or musl (every
#                  architecture; static only)
#   IP4ADD_FLOAT   hard (an FPU does the floating point) or soft (integer
#                  code: FPU-less MIPS cores)
# Tests run under qemu-user with the CPU model named explicitly, the oldest
# that the build is meant for: 24Kf (with FPU) for hard-float MIPS builds,
# 24Kc (without) for soft-float ones, so that any FPU instruction in a
# soft-float run ends it with SIGILL, as on the router; Cortex-A7 for ARMv7,
# Cortex-A53 for AArch64. x86-64 builds run on the host itself.
# IP4ADD_SYSROOT names an existing sysroot instead of the cached one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${IP4ADD_ARCH})

set(cpu_flags "")
set(emulator "")
if(IP4ADD_ARCH MATCHES "^mipsel$|^mips$")
  set(IP4ADD_TRIPLET ${IP4ADD_ARCH}-linux-gnu)
  set(cpu_flags "-march=mips32r2")
  set(emulator qemu-${IP4ADD_ARCH} -cpu 24Kf)
  if(IP4ADD_FLOAT STREQUAL "soft")
    string(APPEND cpu_flags " -msoft-float")
    set(emulator qemu-${IP4ADD_ARCH} -cpu 24Kc)
  endif()
elseif(IP4ADD_ARCH STREQUAL "arm")
  set(IP4ADD_TRIPLET arm-linux-gnueabihf)
  set(cpu_flags "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")
  set(emulator qemu-arm -cpu cortex-a7)
elseif(IP4ADD_ARCH STREQUAL "aarch64")
  set(IP4ADD_TRIPLET aarch64-linux-gnu)
  set(emulator qemu-aarch64 -cpu cortex-a53)
elseif(IP4ADD_ARCH STREQUAL "x86_64")
  set(IP4ADD_TRIPLET x86_64-linux-gnu)
else()
  message(FATAL_ERROR "IP4ADD_ARCH must be mips, mipsel, arm, aarch64 or x86_64, not '${IP4ADD_ARCH}'")
endif()
if(NOT IP4ADD_FLOAT MATCHES "^(hard|soft)$")
  message(FATAL_ERROR "IP4ADD_FLOAT must be soft or hard, not '${IP4ADD_FLOAT}'")
endif()
if(IP4ADD_FLOAT STREQUAL "soft" AND NOT IP4ADD_ARCH MATCHES "^mips")
  message(FATAL_ERROR "soft-float builds are for MIPS only")
endif()
set(CMAKE_C_COMPILER ${IP4ADD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${IP4ADD_TRIPLET}-g++)

if(IP4ADD_LIBC STREQUAL "glibc")
  if(NOT IP4ADD_ARCH MATCHES "^mips" OR IP4ADD_FLOAT STREQUAL "soft")
    message(FATAL_ERROR "glibc builds are for hard-float MIPS (Debian's); use musl or uClibc-ng")
  endif()
  set(sysroot /usr/${IP4ADD_TRIPLET})
  set(CMAKE_C_FLAGS_INIT "${cpu_flags}")
  set(CMAKE_CXX_FLAGS_INIT "${cpu_flags}")
elseif(IP4ADD_LIBC MATCHES "^(uclibc|musl)$")
  if(NOT IP4ADD_SYSROOT)
    execute_process(
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/build-sysroot.sh ${IP4ADD_LIBC} ${IP4ADD_ARCH}
              ${IP4ADD_FLOAT}
      OUTPUT_VARIABLE IP4ADD_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "could not build the ${IP4ADD_LIBC} sysroot (see the message above)")
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
  if(IP4ADD_LIBC STREQUAL "musl")
    # Static: one file that runs whatever C library the router has.
    set(linkage "-static -no-pie")
    set(crtbegin crtbeginT.o)
  else()
    set(linkage "-no-pie -Wl,--dynamic-linker=/lib/ld-uClibc.so.0")
    set(crtbegin crtbegin.o)
  endif()
  set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> --sysroot=${sysroot} \
-nostdlib ${linkage} ${lib}/crt1.o ${lib}/crti.o ${rt}/${crtbegin} <OBJECTS> -o <TARGET> \
<LINK_LIBRARIES> -L${lib} -L${rt} -Wl,--start-group -lc -lgcc -Wl,--end-group ${rt}/crtend.o \
${lib}/crtn.o")
else()
  message(FATAL_ERROR "IP4ADD_LIBC must be glibc, uclibc or musl, not '${IP4ADD_LIBC}'")
endif()

set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(emulator)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${emulator} -L ${sysroot})
endif()
