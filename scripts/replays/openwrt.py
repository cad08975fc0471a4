"""OpenWrt's build of its recipe (packaging/openwrt/ip4add), replayed:
include/cmake.mk's configure, Ninja in PKG_BUILD_DIR, the install into
PKG_INSTALL_DIR, then the recipe's own Package/ip4add/install, evaluated by
make. Entware builds the same recipe the same way."""
import os
import shlex
import shutil

import recipes
from system_build import (PACKAGING, Toolchain, base_env, check_digest, check_tree, fetch,
                          fill_checksum, no_warnings, run, unpack)


def build(target, work):
    # The recipe as a feed holds it (package/feeds/packages/ip4add)
    recipe = os.path.join(work, "package", "feeds", "packages", "ip4add")
    shutil.copytree(os.path.join(PACKAGING, "openwrt", "ip4add"), recipe)
    arch = "mips" if target == "router" else "x86_64"
    board = "mips_24kc" if target == "router" else "x86_64"
    # include/target.mk, rules.mk: TARGET_CFLAGS of the package
    # architecture (CPU_CFLAGS -Os -pipe, the core's flags, -fno-caller-saves
    # -fno-plt, soft float, MIPS16 with CONFIG_USE_MIPS16), then
    # include/hardening.mk with OpenWrt's defaults: format security,
    # PKG_CC_STACKPROTECTOR_REGULAR, PKG_FORTIFY_SOURCE_1, PKG_RELRO_FULL;
    # no PIE (PKG_ASLR_PIE_REGULAR, which a package asks for).
    cpu = ("-mno-branch-likely -mips32r2 -mtune=24kc -fno-caller-saves -fno-plt -msoft-float "
           "-mips16 -minterlink-mips16" if target == "router" else "-fno-caller-saves -fno-plt")
    hardening = "-Wformat -Werror=format-security -fstack-protector -D_FORTIFY_SOURCE=1 " \
                "-Wl,-z,now -Wl,-z,relro"
    toolchain = Toolchain(target, work, f"{arch}-openwrt-linux-musl")
    staging = os.path.join(work, "staging_dir", f"target-{board}_musl")
    os.makedirs(os.path.join(staging, "usr", "lib"), exist_ok=True)
    build_dir = os.path.join(work, "build_dir", f"target-{board}_musl")
    pkg_build_dir = os.path.join(build_dir, "ip4add-" + recipes.version())
    pkg_install_dir = os.path.join(pkg_build_dir, "ipkg-install")  # package.mk
    ipkg_dir = os.path.join(build_dir, "ipkg-" + board, "ip4add")  # package-pack.mk
    values, _ = recipes.openwrt_values(recipe, work, ipkg_dir, pkg_install_dir)
    # include/download.mk: the archive in DL_DIR; make package/ip4add/check
    # FIXUP=1 writes its PKG_HASH into the Makefile, which the build then
    # checks the archive against
    archive, data = fetch(os.path.join(work, "dl"), values["PKG_SOURCE"])
    fill_checksum(os.path.join(recipe, "Makefile"), "openwrt/ip4add/Makefile", data)
    values, install = recipes.openwrt_values(recipe, work, ipkg_dir, pkg_install_dir)
    check_digest("openwrt", data, "sha256", values["PKG_HASH"])
    unpack(archive, build_dir)  # PKG_BUILD_DIR = BUILD_DIR/PKG_NAME-PKG_VERSION
    target_cflags = f"-Os -pipe {cpu} {hardening}"
    # rules.mk: TARGET_LDFLAGS, then hardening.mk's -znow -zrelro
    target_ldflags = f"-L{staging}/usr/lib -L{staging}/lib -znow -zrelro"
    env = base_env({  # cmake.mk: Build/Configure/Default
        "CFLAGS": target_cflags, "CXXFLAGS": target_cflags,  # TARGET_CXXFLAGS = TARGET_CFLAGS
        "LDFLAGS": target_ldflags})
    configure = [
        "cmake", "--no-warn-unused-cli",
        "-DCMAKE_SYSTEM_NAME=Linux", "-DCMAKE_SYSTEM_VERSION=1",
        f"-DCMAKE_SYSTEM_PROCESSOR={arch}",
        "-DCMAKE_BUILD_TYPE=Release",  # RelWithDebInfo with CONFIG_DEBUG
        "-DCMAKE_C_FLAGS_RELEASE=-DNDEBUG", "-DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG",
        "-DCMAKE_C_COMPILER_LAUNCHER=", f"-DCMAKE_C_COMPILER={toolchain.cc}",
        "-DCMAKE_CXX_COMPILER_LAUNCHER=", f"-DCMAKE_CXX_COMPILER={toolchain.cxx}",
        "-DCMAKE_ASM_COMPILER_LAUNCHER=", f"-DCMAKE_ASM_COMPILER={toolchain.cc}",
        f"-DCMAKE_EXE_LINKER_FLAGS:STRING={target_ldflags}",
        f"-DCMAKE_MODULE_LINKER_FLAGS:STRING={target_ldflags} -Wl,-Bsymbolic-functions",
        f"-DCMAKE_SHARED_LINKER_FLAGS:STRING={target_ldflags} -Wl,-Bsymbolic-functions",
        f"-DCMAKE_AR={toolchain.tools['ar']}", f"-DCMAKE_NM={toolchain.tools['nm']}",
        f"-DCMAKE_RANLIB={toolchain.tools['ranlib']}",
        f"-DCMAKE_FIND_ROOT_PATH={staging}/usr;{os.path.dirname(toolchain.bin)}",
        "-DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER", "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY",
        "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY", "-DCMAKE_STRIP=:",
        "-DCMAKE_INSTALL_PREFIX=/usr", f"-DDL_LIBRARY={staging}",
        f"-DCMAKE_PREFIX_PATH={staging}", "-DCMAKE_SKIP_RPATH=TRUE",
        "-DCMAKE_EXPORT_PACKAGE_REGISTRY=FALSE", "-DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=TRUE",
        "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=FALSE", "-DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=TRUE",
        "-DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=FALSE",
        "-DCMAKE_FIND_PACKAGE_NO_SYSTEM_PACKAGE_REGISTRY=TRUE",
        # cmake.mk: CMAKE_OPTIONS += -DCMAKE_GENERATOR="Ninja" (PKG_USE_NINJA ?= 1)
        # and -DCMAKE_C_FLAGS="$(TARGET_CFLAGS)"; then the recipe's own
        "-DCMAKE_GENERATOR=Ninja", f"-DCMAKE_C_FLAGS={target_cflags}",
    ] + shlex.split(values["CMAKE_OPTIONS"]) + [pkg_build_dir]
    log = []
    run(configure, pkg_build_dir, env, log=log)  # CMAKE_BINARY_DIR = PKG_BUILD_DIR
    run(["ninja", "-C", pkg_build_dir], pkg_build_dir, env, log=log)  # Build/Compile/Default
    run(["ninja", "-C", pkg_build_dir, "install"], pkg_build_dir,  # Build/Install/Default
        dict(env, DESTDIR=pkg_install_dir), log=log)
    no_warnings("openwrt", "".join(log))
    check_tree("openwrt (PKG_INSTALL_DIR)", pkg_install_dir, ["usr/share/man/man1/ip4add.1"])
    run(install, pkg_build_dir, base_env({}))  # Package/ip4add/install into the package
    return toolchain.emulator, check_tree("openwrt (package)", ipkg_dir, [])

