# Toolchain for the router targets: Debian's cross gcc for the row of
# cmake/targets.cmake named by IP4ADD_TARGET (every target preset sets it to
# its own name), against Debian's glibc or a uClibc-ng or musl sysroot that
# sysroot/build-sysroot.sh builds and caches. Programs run under qemu-user
# on the row's CPU model (the oldest the build is for, so that a soft-float
# build meets an FPU-less core), or on the host when the row names none.
# IP4ADD_SYSROOT names an existing sysroot instead of the cached one.
include(${CMAKE_CURRENT_LIST_DIR}/Ip4addTargets.cmake)
if(NOT IP4ADD_TARGET)
  message(FATAL_ERROR "cross.cmake builds for a row of cmake/targets.cmake: "
    "set IP4ADD_TARGET (the target presets do)")
endif()
ip4add_target_facts(${IP4ADD_TARGET} row)
# try_compile projects read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IP4ADD_TARGET IP4ADD_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${row_ARCH})
string(JOIN " " flags ${row_CPU_FLAGS})
set(tools "")
if(row_SUITE)
  # Another Debian release's compiler, run from a root of that release;
  # CMake finds its binutils beside it.
  execute_process(
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../sysroot/compiler-root.sh --suite ${row_SUITE}
            --triplet ${row_TRIPLET}
    OUTPUT_VARIABLE tools OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not make ${row_SUITE}'s ${row_TRIPLET} compiler (see above)")
  endif()
  string(APPEND tools "/")
endif()
set(CMAKE_C_COMPILER ${tools}${row_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${tools}${row_TRIPLET}-g++)

if(row_LIBC STREQUAL "glibc")
  set(IP4ADD_SYSROOT /usr/${row_TRIPLET})
else()
  if(NOT IP4ADD_SYSROOT)
    execute_process(
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../sysroot/build-sysroot.sh --libc ${row_LIBC}
              --triplet ${row_TRIPLET} --float ${row_FLOAT} --cpu "${flags}"
              --suite "${row_SUITE}"
      OUTPUT_VARIABLE IP4ADD_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "could not build the ${row_LIBC} sysroot (see the message above)")
    endif()
  endif()
  # The sysroot's specs name its headers, start files, C library and
  # compiler runtime; gcc finds them through --sysroot, which CMake passes
  # on every compile and link and updates at every configure (the cached
  # flags hold no path).
  set(CMAKE_SYSROOT ${IP4ADD_SYSROOT})
  string(APPEND flags " -specs=ip4add.specs")
  # The sysroot has no C++ runtime, and the tool needs none: C++ programs
  # are linked by the C driver, exactly as C ones are, so that anything
  # that would need libstdc++ fails the link instead of reaching a router.
  set(CMAKE_CXX_LINK_EXECUTABLE "${CMAKE_C_COMPILER} --sysroot=${CMAKE_SYSROOT} <FLAGS> \
<CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
endif()
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "${flags}")
# The cached compile flags start from the row's; when the row changes, they
# start again, or a build folder would go on compiling for the old CPU.
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile AND NOT "${flags}" STREQUAL "$CACHE{IP4ADD_TARGET_FLAGS}")
  set(IP4ADD_TARGET_FLAGS "${flags}" CACHE INTERNAL "The row's flags the cached ones began with")
  unset(CMAKE_C_FLAGS CACHE)
  unset(CMAKE_CXX_FLAGS CACHE)
endif()

set(CMAKE_FIND_ROOT_PATH ${IP4ADD_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(row_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${row_EMULATOR} -L ${IP4ADD_SYSROOT})
endif()
