"""Buildroot's build of its recipe (packaging/buildroot/ip4add), replayed: a
cmake-package, configured by package/pkg-cmake.mk with Buildroot's
toolchainfile.cmake, built in its source folder, installed into
TARGET_DIR."""
import os
import re
import shlex
import shutil

from system_build import (PACKAGING, Toolchain, base_env, check_digest, check_tree, fetch,
                          fill_checksum, no_warnings, run, unpack)


def build(target, work):
    # The recipe as Buildroot's tree holds it
    recipe = os.path.join(work, "package", "ip4add")
    shutil.copytree(os.path.join(PACKAGING, "buildroot", "ip4add"), recipe)
    with open(os.path.join(recipe, "ip4add.mk"), encoding="utf-8") as text:
        mk = dict(re.findall(r"(?m)^(IP4ADD_\w+)\s*\+?=\s*(.*)$", text.read()))
    package_version = mk["IP4ADD_VERSION"]
    source = f"ip4add-{package_version}.tar.gz"  # pkg-generic.mk: $(PKG)_SOURCE default
    arch = "mips" if target == "router" else "x86_64"
    host_dir = os.path.join(work, "output", "host")
    gnu_target = f"{arch}-buildroot-linux-musl" if target == "router" else \
        f"{arch}-buildroot-linux-gnu"  # package/Makefile.in: GNU_TARGET_NAME
    # toolchain/toolchain-wrapper.c: what the wrapper adds for the
    # defaults BR2_SSP_STRONG (external toolchains' usual) and
    # BR2_RELRO_FULL, and the core's flags of BR2_ARCH/BR2_GCC_TARGET_*
    wrapper = "-fstack-protector-strong -Wl,-z,relro -Wl,-z,now"
    if target == "router":
        wrapper = "-mabi=32 -march=mips32r2 -msoft-float " + wrapper
    toolchain = Toolchain(target, work, gnu_target, extra_flags=wrapper)
    # package/pkg-download.mk: BR2_DL_DIR/<package>/, checked against the
    # .hash file (package/pkg-generic.mk, support/download/check-hash)
    archive, data = fetch(os.path.join(work, "dl", "ip4add"), source)
    # whose packager adds the archive's line at a version bump
    fill_checksum(os.path.join(recipe, "ip4add.hash"), "buildroot/ip4add/ip4add.hash", data)
    with open(os.path.join(recipe, "ip4add.hash"), encoding="utf-8") as text:
        hashes = {name: digest for kind, digest, name in
                  re.findall(r"(?m)^(sha256)\s+(\S+)\s+(\S+)$", text.read())}
    check_digest("buildroot", data, "sha256", hashes[source])
    build_dir = os.path.join(work, "output", "build")
    unpack(archive, build_dir)
    src = os.path.join(build_dir, f"ip4add-{package_version}")  # $(PKG)_SRCDIR
    with open(os.path.join(src, "LICENSE"), "rb") as text:  # legal-info checks it too
        check_digest("buildroot (LICENSE)", text.read(), "sha256", hashes["LICENSE"])
    # package/Makefile.in: TARGET_CFLAGS = TARGET_CPPFLAGS TARGET_ABI
    # TARGET_OPTIMIZATION (-Os, BR2_OPTIMIZE_S) TARGET_DEBUGGING (-g0)
    # TARGET_HARDENED (-D_FORTIFY_SOURCE=1, BR2_FORTIFY_SOURCE_1)
    target_cflags = "-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -Os " \
                    "-g0 -D_FORTIFY_SOURCE=1"
    share = os.path.join(host_dir, "share", "buildroot")
    os.makedirs(os.path.join(share, "Platform"), exist_ok=True)
    # support/misc/toolchainfile.cmake.in as pkg-cmake.mk fills it in, with
    # the platform module it names (support/misc/Buildroot.cmake: Linux's)
    with open(os.path.join(share, "Platform", "Buildroot.cmake"), "w", encoding="utf-8") as out:
        out.write("include(Platform/Linux)\n")
    sysroot = getattr(toolchain, "sysroot", "/")
    with open(os.path.join(share, "toolchainfile.cmake"), "w", encoding="utf-8") as out:
        out.write(f"""list(APPEND CMAKE_MODULE_PATH ${{CMAKE_CURRENT_LIST_DIR}})
set(CMAKE_SYSTEM_NAME Buildroot)
set(CMAKE_SYSTEM_VERSION 1)
set(CMAKE_SYSTEM_PROCESSOR {arch})
set(CMAKE_C_FLAGS_DEBUG "" CACHE STRING "Debug CFLAGS")
set(CMAKE_C_FLAGS_RELEASE " -DNDEBUG" CACHE STRING "Release CFLAGS")
set(CMAKE_C_FLAGS "{target_cflags}" CACHE STRING "Buildroot CFLAGS")
set(CMAKE_EXE_LINKER_FLAGS "" CACHE STRING "Buildroot LDFLAGS for executables")
set(CMAKE_SHARED_LINKER_FLAGS "" CACHE STRING "Buildroot LDFLAGS for shared libraries")
set(CMAKE_MODULE_LINKER_FLAGS "" CACHE STRING "Buildroot LDFLAGS for module libraries")
set(CMAKE_INSTALL_SO_NO_EXE 0)
set(CMAKE_PROGRAM_PATH "{host_dir}/bin")
set(CMAKE_SYSROOT "{sysroot}")
set(CMAKE_FIND_ROOT_PATH "{sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_C_COMPILER "{toolchain.cc}")
set(CMAKE_CXX_FLAGS_DEBUG "" CACHE STRING "Debug CXXFLAGS")
set(CMAKE_CXX_FLAGS_RELEASE " -DNDEBUG" CACHE STRING "Release CXXFLAGS")
set(CMAKE_CXX_FLAGS "{target_cflags}" CACHE STRING "Buildroot CXXFLAGS")
set(CMAKE_CXX_COMPILER "{toolchain.cxx}")
""")
    target_dir = os.path.join(work, "output", "target")
    # pkg-cmake.mk: $(PKG)_CONFIGURE_CMDS for a target package; in-source
    # ($(PKG)_SUPPORTS_IN_SOURCE_BUILD ?= YES: BUILDDIR = SRCDIR)
    configure = ["cmake", src,
                 f"-DCMAKE_TOOLCHAIN_FILE={share}/toolchainfile.cmake",
                 "-DCMAKE_BUILD_TYPE=Release",  # RelWithDebInfo with BR2_ENABLE_DEBUG
                 "-DCMAKE_INSTALL_PREFIX=/usr", "-DCMAKE_COLOR_MAKEFILE=OFF",
                 "-DBUILD_DOC=OFF", "-DBUILD_DOCS=OFF", "-DBUILD_EXAMPLE=OFF",
                 "-DBUILD_EXAMPLES=OFF", "-DBUILD_TEST=OFF", "-DBUILD_TESTS=OFF",
                 "-DBUILD_TESTING=OFF", "-DBUILD_SHARED_LIBS=ON"] + \
        shlex.split(mk.get("IP4ADD_CONF_OPTS", ""))
    env = base_env({"PATH": f"{host_dir}/bin:{toolchain.bin}:/usr/bin:/bin"})  # BR_PATH
    log = []
    if os.path.exists(os.path.join(src, "CMakeCache.txt")):
        os.remove(os.path.join(src, "CMakeCache.txt"))  # as CONFIGURE_CMDS does first
    run(configure, src, env, log=log)
    run(["make", "-j2", "-C", src], src, env, log=log)  # $(PKG)_BUILD_CMDS
    run(["make", "-j2", f"DESTDIR={target_dir}", "install/fast", "-C", src], src, env,
        log=log)  # $(PKG)_INSTALL_TARGET_OPTS
    no_warnings("buildroot", "".join(log))
    return toolchain.emulator, check_tree("buildroot (TARGET_DIR)", target_dir,
                                          ["usr/share/man/man1/ip4add.1"])

