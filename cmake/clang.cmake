# Toolchain: this machine with clang, for the sanitizer and fuzzing builds
# (libFuzzer comes with clang).
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
