#!/usr/bin/env python3
"""Replays how each packaging system builds ip4add from its recipe in
packaging/: the very configure, build and install commands, variables,
environment, generator, folders and DESTDIR that the system uses, on a view
of this host that lacks the test tools the recipe does not declare; then
checks the installed tree and runs the installed binary over the case
table (under the target's emulator).

usage: replay.py SYSTEM [--target host|router] [--work DIR] [--deb-out DIR]
       replay.py all
  SYSTEM   openwrt, buildroot, yocto, alpine or debian (built for real by
           dpkg-buildpackage, for the host; all leaves debian out, since
           the release builds its Debian packages so: packages.py)
  --target host: the host's compilers; router: OpenWrt's mips_24kc, a
           soft-float MIPS32r2 core, through the project's musl sysroot of
           the mips-musl-sf row, with compilers named and flagged as that
           system's toolchain would name and flag them

Nothing is downloaded: the release's source archive (recipes.py) is put
where the system looks for a downloaded file, and the recipe's checksum of
it is checked as the system checks it. Needs root (a mount namespace hides
the undeclared test tools), cmake, ninja and make.

Where each value comes from is written beside it, as FILE: VARIABLE of
that system's tree (OpenWrt: openwrt/openwrt; Buildroot: buildroot/buildroot;
Yocto: openembedded-core; Alpine: abuild). What cannot be had here is
stood in for, and says so: the systems' own toolchains (Debian's cross gcc
with the sysroot, behind a wrapper of the toolchain's name; an empty
libstdc++.a, since ip4add needs nothing from it), OpenWrt's -fhonour-copts
(a flag of its patched GCC only).
"""
import argparse
import glob
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile

import recipes
import targets

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGING = os.path.join(ROOT, "packaging")
CASES = os.path.join(ROOT, "tests", "cli_cases.tsv")
ROUTER_ROW = "mips-musl-sf"  # its sysroot serves as the router's toolchain
ROUTER_CPU = "24Kc"  # OpenWrt's mips_24kc
# What the test suite uses and a recipe may leave undeclared: hidden from
# a replay unless its recipe declares it.
TEST_TOOLS = {
    "gtest": ["/usr/src/googletest", "/usr/include/gtest", "/usr/include/gmock",
              "/usr/lib/*/cmake/GTest", "/usr/lib/*/libgtest*", "/usr/lib/*/libgmock*"],
    "python3": ["/usr/bin/python3", "/usr/bin/python3.*"],
    "dash": [],  # Debian's /bin/sh: essential, never hidden
    "valgrind": ["/usr/bin/valgrind*", "/usr/lib/*/valgrind"],
    "lint": ["/usr/bin/clang-tidy*", "/usr/bin/cppcheck"],
}


def say(text):
    print(f"replay: {text}", flush=True)


def hidden_paths(keep):
    paths = []
    for tool, patterns in TEST_TOOLS.items():
        if tool not in keep:
            for pattern in patterns:
                paths += glob.glob(pattern)
    return sorted(set(paths))


def run(command, cwd, env, keep=(), log=None):
    """Runs COMMAND (a list, or a shell text) in a mount namespace where
    the test tools outside KEEP are not there; returns its output, and
    exits with it when it fails."""
    hide = hidden_paths(keep)
    mounts = " ".join(
        f"mount -t tmpfs -o ro none {shlex.quote(p)};" if os.path.isdir(p) and
        not os.path.islink(p) else f"mount --bind /dev/null {shlex.quote(p)};" for p in hide)
    inner = command if isinstance(command, str) else shlex.join(command)
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                           f"{mounts} cd {shlex.quote(cwd)} && {inner}"],
                          env=env, capture_output=True, text=True, check=False)
    output = done.stdout + done.stderr
    if log is not None:
        log.append(output)
    if done.returncode != 0:
        print(output[-6000:])
        sys.exit(f"replay: failed (status {done.returncode}): {inner}")
    return output


def base_env(extra):
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LC_ALL": "C"}
    env.update(extra)
    return env


class Toolchain:
    """The compilers a system's recipe is built with: the host's, or the
    router's through the project's musl sysroot, behind wrappers named
    PREFIX-gcc and so on, as the system's toolchain names them."""

    def __init__(self, target, work, prefix, extra_flags=""):
        self.target, self.emulator = target, []
        self.bin = os.path.join(work, "toolchain", "bin")
        os.makedirs(self.bin, exist_ok=True)
        if target == "host":
            self.prefix, self.cross = "", ""
            self.cc, self.cxx = shutil.which("gcc"), shutil.which("g++")
            self.tools = {tool: shutil.which(tool) for tool in ("ar", "nm", "ranlib", "strip")}
            return
        row = next(row for row in targets.rows() if row["NAME"] == ROUTER_ROW)
        sysroot = subprocess.run(
            ["bash", os.path.join(ROOT, "sysroot/build-sysroot.sh"), "--libc", row["LIBC"],
             "--triplet", row["TRIPLET"], "--float", row["FLOAT"],
             "--cpu", " ".join(row["CPU_FLAGS"])],
            capture_output=True, text=True, check=True).stdout.strip()
        # A real toolchain brings libstdc++; ip4add needs nothing from it,
        # so an empty one stands in, and anything that did need it would
        # fail the link.
        lib = os.path.join(work, "toolchain", "lib")
        os.makedirs(lib, exist_ok=True)
        subprocess.run([f"{row['TRIPLET']}-ar", "rc", os.path.join(lib, "libstdc++.a")],
                       check=True)
        self.prefix, self.sysroot = prefix, sysroot
        for tool in ("gcc", "g++"):
            self._wrap(f"{prefix}-{tool}",
                       f"{row['TRIPLET']}-{tool} --sysroot={sysroot} -specs=ip4add.specs "
                       f"-L{lib} {extra_flags}")
        for tool in ("ar", "nm", "ranlib", "strip", "readelf"):
            self._wrap(f"{prefix}-{tool}", f"{row['TRIPLET']}-{tool}")
        self.cc, self.cxx = (os.path.join(self.bin, f"{prefix}-{t}") for t in ("gcc", "g++"))
        self.tools = {tool: os.path.join(self.bin, f"{prefix}-{tool}")
                      for tool in ("ar", "nm", "ranlib", "strip")}
        self.cross = f"{prefix}-"
        self.emulator = [row["QEMU"], "-cpu", ROUTER_CPU, "-L", sysroot]

    def _wrap(self, name, command):
        path = os.path.join(self.bin, name)
        with open(path, "w", encoding="utf-8") as out:
            out.write(f'#!/bin/sh\nexec {command} "$@"\n')
        os.chmod(path, 0o755)


def fetch(download_dir, name):
    """The release's source archive, where the system finds its download."""
    os.makedirs(download_dir, exist_ok=True)
    path = os.path.join(download_dir, name)
    data = recipes.source_archive(path, recipes.version())
    return path, data


def unpack(archive, into):
    os.makedirs(into, exist_ok=True)
    with tarfile.open(archive) as tar:
        tar.extractall(into)


def check_digest(what, data, algorithm, expected):
    got = hashlib.new(algorithm, data).hexdigest()
    if got != expected:
        sys.exit(f"replay: {what}: the recipe's {algorithm} {expected} is not the archive's "
                 f"{got}: run python3 scripts/recipes.py")


def no_warnings(system, output):
    # The compiler's and the linker's; CMake's notes on variables that a
    # system passes to every project are not this build's to mend.
    # dpkg-architecture's for a cross build: it compares the host
    # architecture with the native gcc, which debhelper does not use.
    warnings = [line for line in output.splitlines() if "warning:" in line
                and "does not match CC system type" not in line]
    if warnings:
        print("\n".join(warnings[:20]))
        sys.exit(f"replay: {system}: the build warned with the system's flags")


def check_tree(system, root, allowed):
    """The installed tree holds the tool (mode 755), its manual page where
    the system installs it, and nothing else but ALLOWED."""
    found = sorted(os.path.relpath(os.path.join(folder, name), root)
                   for folder, _, names in os.walk(root) for name in names)
    binary = os.path.join(root, "usr/bin/ip4add")
    wanted = {"usr/bin/ip4add"} | set(allowed)
    if set(found) != wanted:
        sys.exit(f"replay: {system}: installed {found}, not {sorted(wanted)}")
    mode = os.stat(binary).st_mode & 0o7777
    if mode != 0o755:
        sys.exit(f"replay: {system}: usr/bin/ip4add has mode {mode:o}, not 755")
    return binary


def run_cases(system, toolchain, binary):
    """Every row of the case table against the installed binary, but those
    that need the build with a broken pattern."""
    names = subprocess.run([sys.executable, os.path.join(ROOT, "tests/run_case.py"), "--list",
                            CASES], capture_output=True, text=True, check=True).stdout.split()
    passed = skipped = 0
    for name in names:
        if name.startswith("compile_"):
            continue
        done = subprocess.run([sys.executable, os.path.join(ROOT, "tests/run_case.py"), CASES,
                               name, "--"] + toolchain.emulator + [binary],
                              capture_output=True, text=True, check=False)
        if done.returncode == 77:
            skipped += 1
        elif done.returncode != 0:
            print(done.stdout + done.stderr)
            sys.exit(f"replay: {system}: the installed ip4add fails case {name}")
        else:
            passed += 1
    under = f", under {' '.join(toolchain.emulator[:3])}" if toolchain.emulator else ""
    say(f"{system}: the installed binary passes {passed} cases of the table "
        f"({skipped} skipped by the runner{under})")


# --- OpenWrt (and Entware) ----------------------------------------------------

def openwrt_values(recipe_dir, work, ipkg_dir, pkg_install_dir):
    """The recipe's variables and its install step, evaluated by make
    itself with stand-ins for the three files it includes."""
    stub = os.path.join(work, "stub")
    os.makedirs(os.path.join(stub, "include"), exist_ok=True)
    with open(os.path.join(stub, "rules.mk"), "w", encoding="utf-8") as out:
        # rules.mk: INCLUDE_DIR, INSTALL_DIR, INSTALL_BIN as OpenWrt sets them
        out.write("INCLUDE_DIR:=$(TOPDIR)/include\nINSTALL_DIR:=install -d -m0755\n"
                  "INSTALL_BIN:=install -m0755\n")
    with open(os.path.join(stub, "include", "cmake.mk"), "w", encoding="utf-8") as out:
        out.write("")  # its configure line is replayed below, not evaluated
    description = os.path.join(work, "description")
    with open(os.path.join(stub, "include", "package.mk"), "w", encoding="utf-8") as out:
        # BuildPackage: Package/NAME sets SECTION, URL and the rest; its
        # description goes to a file, since it spans lines
        out.write("define BuildPackage\n"
                  "$$(eval $$(Package/$(1)))\n"
                  "$$(file >$(DESCRIPTION_FILE),$$(Package/$(1)/description))\n"
                  "replay-values:\n"
                  "\t@echo 'PKG_NAME=$(PKG_NAME)'; echo 'PKG_VERSION=$(PKG_VERSION)'\n"
                  "\t@echo 'PKG_RELEASE=$(PKG_RELEASE)'\n"
                  "\t@echo 'PKG_SOURCE=$(PKG_SOURCE)'; echo 'PKG_HASH=$(PKG_HASH)'\n"
                  "\t@echo 'PKG_LICENSE=$(PKG_LICENSE)'\n"
                  "\t@echo 'PKG_LICENSE_FILES=$(PKG_LICENSE_FILES)'\n"
                  "\t@echo 'PKG_MAINTAINER=$(PKG_MAINTAINER)'\n"
                  "\t@echo 'SECTION=$$(SECTION)'; echo 'URL=$$(URL)'; echo 'DEPENDS=$$(DEPENDS)'\n"
                  "\t@echo 'CMAKE_OPTIONS=$(CMAKE_OPTIONS)'\n"
                  "replay-install:\n"
                  "\t$$(call Package/$(1)/install,$(IPKG_DIR))\n"
                  "endef\n")
    make = ["make", "--no-print-directory", "-C", recipe_dir, f"TOPDIR={stub}",
            f"PKG_INSTALL_DIR={pkg_install_dir}", f"IPKG_DIR={ipkg_dir}",
            f"DESCRIPTION_FILE={description}"]
    out = subprocess.run(make + ["replay-values"], capture_output=True, text=True,
                         check=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    with open(description, encoding="utf-8") as text:
        values["description"] = text.read()
    return values, make + ["replay-install"]


def openwrt_recipe():
    """The OpenWrt recipe's values, as its make evaluates them (the release's
    .ipk files carry them, as OpenWrt's own build would)."""
    with tempfile.TemporaryDirectory() as work:
        return openwrt_values(os.path.join(PACKAGING, "openwrt", "ip4add"), work, work, work)[0]


def openwrt(target, work):
    recipe = os.path.join(PACKAGING, "openwrt", "ip4add")
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
    values, install = openwrt_values(recipe, work, ipkg_dir, pkg_install_dir)
    # include/download.mk: the archive in DL_DIR, checked against PKG_HASH
    archive, data = fetch(os.path.join(work, "dl"), values["PKG_SOURCE"])
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
    return toolchain, check_tree("openwrt (package)", ipkg_dir, [])


# --- Buildroot ------------------------------------------------------------------

def buildroot(target, work):
    recipe = os.path.join(PACKAGING, "buildroot", "ip4add")
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
    with open(os.path.join(recipe, "ip4add.hash"), encoding="utf-8") as text:
        hashes = {name: digest for kind, digest, name in
                  re.findall(r"(?m)^(sha256)\s+(\S+)\s+(\S+)$", text.read())}
    check_digest("buildroot", data, "sha256", hashes[source])
    build = os.path.join(work, "output", "build")
    unpack(archive, build)
    src = os.path.join(build, f"ip4add-{package_version}")  # $(PKG)_SRCDIR
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
    return toolchain, check_tree("buildroot (TARGET_DIR)", target_dir,
                                 ["usr/share/man/man1/ip4add.1"])


# --- Yocto ----------------------------------------------------------------------

def yocto(target, work):
    recipe = recipes.yocto_recipe()
    with open(recipe, encoding="utf-8") as text:
        bb = text.read()
    pv = re.search(r"ip4add_(.+)\.bb$", recipe).group(1)  # PV from the file name
    extra_oecmake = re.search(r'(?m)^EXTRA_OECMAKE = "(.*)"$', bb).group(1)
    sha256 = re.search(r'(?m)^SRC_URI\[sha256sum\] = "(\w+)"', bb).group(1)
    licence_md5 = re.search(r"LIC_FILES_CHKSUM = \"file://LICENSE;md5=(\w+)\"", bb).group(1)
    arch = "mips" if target == "router" else "x86_64"
    workdir = os.path.join(work, "tmp", "work", f"{arch}-poky-linux-musl", "ip4add", f"{pv}-r0")
    # meta/conf/bitbake.conf and security_flags.inc: TARGET_CFLAGS
    # (-O2 -pipe -g -feliminate-unused-debug-types) with the security flags;
    # HOST_CC_ARCH and TOOLCHAIN_OPTIONS (--sysroot) are part of CC, which
    # the wrapper carries (meta/conf/machine/include/mips: -mabi=32
    # -msoft-float -march=mips32r2 for a soft-float 24Kc tune)
    cflags = "-O2 -pipe -g -feliminate-unused-debug-types -fstack-protector-strong " \
             "-D_FORTIFY_SOURCE=2 -Wformat -Wformat-security -Werror=format-security"
    # bitbake.conf: TARGET_LDFLAGS = -Wl,-O1 TARGET_LINK_HASH_STYLE, the
    # GNU hash except on MIPS (LINKER_HASH_STYLE_mips = "sysv": binutils
    # writes MIPS's own DT_MIPS_XHASH there, which musl's loader does not
    # read); as-needed.inc and security_flags.inc add the rest
    hash_style = "" if target == "router" else " -Wl,--hash-style=gnu"
    ldflags = f"-Wl,-O1{hash_style} -Wl,--as-needed -Wl,-z,relro,-z,now"
    toolchain = Toolchain(target, work, f"{arch}-poky-linux-musl",
                          extra_flags="-mabi=32 -msoft-float -march=mips32r2"
                          if target == "router" else "")
    archive, data = fetch(os.path.join(work, "downloads"), f"ip4add-{pv}.tar.gz")  # DL_DIR
    check_digest("yocto", data, "sha256", sha256)  # fetch2: SRC_URI[sha256sum]
    unpack(archive, workdir)
    s = os.path.join(workdir, f"ip4add-{pv}")  # S = ${WORKDIR}/${BP}
    with open(os.path.join(s, "LICENSE"), "rb") as text:  # do_populate_lic
        check_digest("yocto (LIC_FILES_CHKSUM)", text.read(), "md5", licence_md5)
    b = os.path.join(workdir, "build")  # cmake.bbclass: B = "${WORKDIR}/build"
    os.makedirs(b, exist_ok=True)
    sysroot = getattr(toolchain, "sysroot", "/")
    toolchain_file = os.path.join(workdir, "toolchain.cmake")
    # cmake.bbclass: cmake_do_generate_toolchain_file
    with open(toolchain_file, "w", encoding="utf-8") as out:
        out.write(f"""set( CMAKE_SYSTEM_NAME Linux )
set( CMAKE_SYSTEM_PROCESSOR {arch} )
set( CMAKE_C_COMPILER {toolchain.cc} )
set( CMAKE_CXX_COMPILER {toolchain.cxx} )
set( CMAKE_C_COMPILER_LAUNCHER  )
set( CMAKE_CXX_COMPILER_LAUNCHER  )
set( CMAKE_ASM_COMPILER {toolchain.cc} )
find_program( CMAKE_AR {toolchain.tools['ar']} DOC "Archiver" REQUIRED )
set( CMAKE_C_FLAGS "{cflags}" CACHE STRING "CFLAGS" )
set( CMAKE_CXX_FLAGS "{cflags} -fvisibility-inlines-hidden" CACHE STRING "CXXFLAGS" )
set( CMAKE_ASM_FLAGS "{cflags}" CACHE STRING "ASM FLAGS" )
set( CMAKE_C_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional CFLAGS for release" )
set( CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional CXXFLAGS for release" )
set( CMAKE_ASM_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional ASM FLAGS for release" )
set( CMAKE_C_LINK_FLAGS "{ldflags}" CACHE STRING "LDFLAGS" )
set( CMAKE_CXX_LINK_FLAGS "{cflags} -fvisibility-inlines-hidden {ldflags}" CACHE STRING "LDFLAGS" )
set( CMAKE_FIND_ROOT_PATH {sysroot} {toolchain.bin} )
set( CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_PROGRAM ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY )
set( CMAKE_PROGRAM_PATH "/" )
set( CMAKE_INSTALL_RPATH  )
set( CMAKE_BUILD_RPATH_USE_ORIGIN ON )
set( CMAKE_LIBRARY_PATH /usr/lib /lib)
list(APPEND CMAKE_C_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
list(APPEND CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
""")
    d = os.path.join(workdir, "image")  # D = "${WORKDIR}/image"
    configure = [  # cmake.bbclass: cmake_do_configure
        "cmake", "-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=ninja", s,
        "-DCMAKE_INSTALL_PREFIX:PATH=/usr", "-DCMAKE_INSTALL_BINDIR:PATH=bin",
        "-DCMAKE_INSTALL_SBINDIR:PATH=sbin", "-DCMAKE_INSTALL_LIBEXECDIR:PATH=libexec",
        "-DCMAKE_INSTALL_SYSCONFDIR:PATH=/etc", "-DCMAKE_INSTALL_SHAREDSTATEDIR:PATH=com",
        "-DCMAKE_INSTALL_LOCALSTATEDIR:PATH=/var", "-DCMAKE_INSTALL_LIBDIR:PATH=lib",
        "-DCMAKE_INSTALL_INCLUDEDIR:PATH=include", "-DCMAKE_INSTALL_DATAROOTDIR:PATH=share",
        # PYTHON: the build host's python3, which the view hides
        "-DPYTHON_EXECUTABLE:PATH=/usr/bin/python3", "-DPython_EXECUTABLE:PATH=/usr/bin/python3",
        "-DPython3_EXECUTABLE:PATH=/usr/bin/python3", "-DLIB_SUFFIX=",
        "-DCMAKE_INSTALL_SO_NO_EXE=0", f"-DCMAKE_TOOLCHAIN_FILE={toolchain_file}",
        "-DCMAKE_NO_SYSTEM_FROM_IMPORTED=1", "-DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON",
        "-DFETCHCONTENT_FULLY_DISCONNECTED=ON"] + shlex.split(extra_oecmake) + ["-Wno-dev"]
    env = base_env({"PATH": f"{toolchain.bin}:/usr/bin:/bin", "CMAKE_BUILD_PARALLEL_LEVEL": "2"})
    log = []
    run(configure, b, env, log=log)
    run(["cmake", "--build", b, "--target", "all", "--"], b, dict(env, VERBOSE="1"), log=log)
    run(["cmake", "--build", b, "--target", "install", "--"], b,
        dict(env, VERBOSE="1", DESTDIR=d), log=log)
    no_warnings("yocto", "".join(log))
    # ptest.bbclass: run-ptest into PTEST_PATH (${libdir}/${BPN}/ptest),
    # then the recipe's do_install_ptest
    ptest = os.path.join(d, "usr/lib/ip4add/ptest")
    os.makedirs(ptest, exist_ok=True)
    shutil.copy(os.path.join(PACKAGING, "yocto", "files", "run-ptest"), ptest)
    body = re.search(r"(?ms)^do_install_ptest\(\) \{\n(.*?)^\}", bb).group(1)
    run(body.replace("${S}", s).replace("${D}", d).replace("${PTEST_PATH}",
                                                            "/usr/lib/ip4add/ptest"),
        workdir, base_env({}))
    binary = check_tree("yocto (D)", d, ["usr/share/man/man1/ip4add.1",
                                         "usr/lib/ip4add/ptest/run-ptest",
                                         "usr/lib/ip4add/ptest/cli_cases.tsv"])
    ptest_run(toolchain, binary, ptest)
    return toolchain, binary


def ptest_run(toolchain, binary, ptest):
    """run-ptest as ptest-runner starts it, ip4add on the PATH (the
    installed file, or a host script that starts it under the emulator)."""
    with tempfile.TemporaryDirectory() as path:
        link = os.path.join(path, "ip4add")
        if toolchain.emulator:
            with open(link, "w", encoding="utf-8") as out:
                out.write(f'#!/bin/sh\nQEMU_ARGV0=ip4add exec {shlex.join(toolchain.emulator)} '
                          f'{shlex.quote(binary)} "$@"\n')
            os.chmod(link, 0o755)
        else:
            os.symlink(binary, link)
        done = subprocess.run(["sh", os.path.join(ptest, "run-ptest")], capture_output=True,
                              text=True, env=base_env({"PATH": f"{path}:/usr/bin:/bin"}),
                              check=False)
    lines = done.stdout.splitlines()
    counts = {kind: sum(line.startswith(kind + ":") for line in lines)
              for kind in ("PASS", "FAIL", "SKIP")}
    if done.returncode != 0 or counts["FAIL"] or not counts["PASS"]:
        print(done.stdout + done.stderr)
        sys.exit("replay: yocto: run-ptest failed")
    say(f"yocto: run-ptest: {counts['PASS']} PASS, {counts['SKIP']} SKIP, 0 FAIL")


# --- Alpine ---------------------------------------------------------------------

# Alpine's packages of the test tools (aports: main/ and community/)
ALPINE_NAMES = {"gtest-dev": "gtest", "python3": "python3", "dash": "dash",
                "valgrind": "valgrind", "clang-extra-tools": "lint", "cppcheck": "lint"}


def alpine(target, work):
    recipe = os.path.join(PACKAGING, "alpine", "APKBUILD")
    with open(recipe, encoding="utf-8") as text:
        apkbuild = text.read()
    pkgver = re.search(r"(?m)^pkgver=(\S+)", apkbuild).group(1)
    sha512 = re.search(r"(?m)^(\w{128})  ip4add-", apkbuild).group(1)
    arch = "mips" if target == "router" else "x86_64"
    # abuild.conf: SRCDEST; abuild: srcdir, pkgdir, builddir defaults
    archive, data = fetch(os.path.join(work, "distfiles"), f"ip4add-{pkgver}.tar.gz")
    check_digest("alpine", data, "sha512", sha512)  # abuild verify: sha512sums
    srcdir = os.path.join(work, "src")
    pkgdir = os.path.join(work, "pkg", "ip4add")
    unpack(archive, srcdir)
    builddir = os.path.join(srcdir, f"ip4add-{pkgver}")
    toolchain = Toolchain(target, work, f"{arch}-alpine-linux-musl",
                          extra_flags="-march=mips32r2 -msoft-float" if target == "router" else "")
    cross = target == "router"
    # abuild's default.conf (/etc/abuild.conf): the flags, parallelism and
    # ctest's settings every APKBUILD is built with
    env = base_env({
        "CFLAGS": "-Os -fstack-clash-protection -Wformat -Werror=format-security",
        "CXXFLAGS": "-Os -fstack-clash-protection -Wformat -Werror=format-security "
                    "-D_GLIBCXX_ASSERTIONS=1 -D_LIBCPP_ENABLE_THREAD_SAFETY_ANNOTATIONS=1 "
                    "-D_LIBCPP_ENABLE_HARDENED_MODE=1",
        "LDFLAGS": "-Wl,--as-needed,-O1,--sort-common",
        "JOBS": "2", "MAKEFLAGS": "-j2", "CMAKE_BUILD_PARALLEL_LEVEL": "2",
        "CTEST_PARALLEL_LEVEL": "2", "CTEST_OUTPUT_ON_FAILURE": "ON",
        "CTEST_NO_TESTS_ACTION": "error",
        # abuild: CBUILD and CHOST, and for a cross build the compilers
        # that abuild's cross setup exports
        "CBUILD": "x86_64-alpine-linux-musl",
        "CHOST": f"{arch}-alpine-linux-musl",
        "srcdir": srcdir, "pkgdir": pkgdir, "builddir": builddir,
        "PATH": f"{toolchain.bin}:/usr/bin:/bin"})
    if cross:
        env.update({"CC": toolchain.cc, "CXX": toolchain.cxx, "AR": toolchain.tools["ar"]})
    # abuild: each of build, check and package starts in builddir;
    # want_check is false for a cross build (and with options="!check")
    script = (f". {shlex.quote(recipe)}\n"
              'want_check() { [ "$CBUILD" = "$CHOST" ]; }\n'
              'set -e\ncd "$builddir" && build\n'
              'if want_check; then cd "$builddir" && check; fi\n'
              'cd "$builddir" && package\n')
    log = []
    # What the check may use is what checkdepends declares, by Alpine's
    # package names; a cross build runs no check and gets none
    checkdepends = re.search(r'(?m)^checkdepends="(.*)"', apkbuild).group(1).split()
    keep = () if cross else [ALPINE_NAMES[name] for name in checkdepends if name in ALPINE_NAMES]
    output = run(["sh", "-c", script], builddir, env, keep=keep, log=log)
    no_warnings("alpine", "".join(log))
    if not cross:
        result = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", output)
        if not result or result.group(2) != "0":
            sys.exit("replay: alpine: check() did not pass the suite")
        say(f"alpine: check() ran the suite: {result.group(3)} tests, {result.group(2)} failed")
    return toolchain, check_tree("alpine (pkgdir)", pkgdir, ["usr/share/man/man1/ip4add.1"])


# --- Debian ---------------------------------------------------------------------

# Debian's packages of the test tools
DEBIAN_NAMES = {"libgtest-dev": "gtest", "python3": "python3", "python3:any": "python3",
                "dash": "dash", "valgrind": "valgrind", "clang-tidy": "lint", "cppcheck": "lint"}
LINTIAN_FAIL = "error,warning"
DEBIAN_MIRROR = "http://deb.debian.org/debian"


def native_arch():
    """This host's Debian architecture."""
    return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()


def debian_version():
    """The Debian package's version, as its changelog's first line has it."""
    with open(os.path.join(PACKAGING, "debian", "changelog"), encoding="utf-8") as text:
        return re.match(r"ip4add \(([^)]+)\)", text.read()).group(1)


def build_depends(cross):
    """The recipe's Build-Depends, by name (for a cross build, those outside
    <!nocheck>, as the nocheck profile has them)."""
    with open(os.path.join(PACKAGING, "debian", "control"), encoding="utf-8") as text:
        control = text.read()
    field = re.search(r"(?ms)^Build-Depends:(.*?)^\S", control).group(1)
    return [re.split(r"[\s(<\[]", item.strip())[0] for item in field.split(",")
            if item.strip() and not (cross and "<!nocheck>" in item)]


def debian_root(path, archs):
    """A Debian 12 root at PATH for the cross builds: build-essential, the
    recipe's Build-Depends outside <!nocheck>, and for every foreign
    architecture of ARCHS Debian's cross compilers and its libc6-dev, which
    dpkg-shlibdeps needs. Each foreign libc6-dev must have the very version
    of the native one (Multi-Arch: same), and this host takes its updates
    from the security archive, which carries neither armel, mipsel nor
    mips64el and whose foreign indices can lag its Release (apt then fails):
    so the root has the main archive and its updates alone, the same
    versions for every architecture, and the host needs no foreign one."""
    native = native_arch()
    foreign = [arch for arch in archs if arch != native]
    include = build_depends(cross=True)
    for arch in foreign:
        include += [f"crossbuild-essential-{arch}", f"libc6-dev:{arch}"]
    # The archive reachable here is a dated snapshot, whose Release files
    # have expired.
    done = subprocess.run(
        ["mmdebstrap", "--quiet", "--variant=buildd",
         "--architectures=" + ",".join([native] + foreign), "--include=" + ",".join(include),
         '--aptopt=Acquire::Check-Valid-Until "false"', "bookworm", path,
         f"deb {DEBIAN_MIRROR} bookworm main", f"deb {DEBIAN_MIRROR} bookworm-updates main"],
        capture_output=True, text=True, check=False)
    if done.returncode != 0:
        print(done.stdout + done.stderr)
        sys.exit("replay: debian: mmdebstrap could not make the cross builds' root")
    os.makedirs(os.path.join(path, "build"))


def in_root(root, work, folder, command, env):
    """The shell text that runs COMMAND (a list) in ROOT, in WORK's FOLDER
    with WORK at /build and nothing of this host's environment but ENV; its
    mounts end with the namespace that run() makes."""
    assignments = " ".join(f"{key}={shlex.quote(value)}" for key, value in env.items())
    inner = f"cd /build/{shlex.quote(folder)} && {shlex.join(command)}"
    where = shlex.quote(root)
    return (f"mount --bind {shlex.quote(work)} {where}/build && "
            f"mount -t proc proc {where}/proc && mount --bind /dev {where}/dev && "
            f"chroot {where} /usr/bin/env -i {assignments} sh -c {shlex.quote(inner)}")


def debian(target, work, out=None, arch=None, emulator=(), root=None):
    """Debian's own build, for real: dpkg-buildpackage -us -uc -b on the
    release's archive as the orig tarball, with packaging/debian as its
    debian/ folder, the suite run by dh_auto_test; then lintian, which must
    report no error and no warning. A foreign ARCH is cross-built in ROOT
    (debian_root) with Debian's cross compiler (-a ARCH) and the nocheck
    profile, as dh_auto_test runs no cross build's suite: its binary runs
    the case table under EMULATOR instead. Returns what runs it, the binary
    and the .deb."""
    if target != "host":
        sys.exit("replay: debian builds for the host's Debian architectures (-a ARCH)")
    native = native_arch()
    arch = arch or native
    cross = arch != native
    release_version, deb_version = recipes.version(), debian_version()
    # dpkg-source: ../SOURCE_UPSTREAM.orig.tar.gz beside the unpacked tree
    archive, _ = fetch(work, f"ip4add_{release_version}.orig.tar.gz")
    unpack(archive, work)
    tree = os.path.join(work, f"ip4add-{release_version}")
    shutil.copytree(os.path.join(PACKAGING, "debian"), os.path.join(tree, "debian"))
    log = []
    command, env = ["dpkg-buildpackage", "-us", "-uc", "-b"], base_env({})
    if cross:
        # The root holds what the recipe declares and nothing else, so that
        # nothing of this host needs hiding.
        if root is None:
            sys.exit(f"replay: debian: a cross build ({arch}) runs in a root of its own")
        command += [f"--host-arch={arch}", "--build-profiles=nocheck"]
        env["DEB_BUILD_OPTIONS"] = "nocheck"
        run(in_root(root, work, os.path.basename(tree), command, env), work, base_env({}),
            keep=list(TEST_TOOLS), log=log)
    else:
        # What the build may use: what it declares.
        keep = [DEBIAN_NAMES[name] for name in build_depends(cross=False)
                if name in DEBIAN_NAMES]
        run(command, tree, env, keep=keep, log=log)
        result = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)",
                           "".join(log))
        if not result or result.group(2) != "0":
            sys.exit("replay: debian: dh_auto_test did not run and pass the suite")
        say(f"debian: dh_auto_test ran the suite: {result.group(3)} tests, 0 failed")
    no_warnings(f"debian ({arch})", "".join(log))
    deb = os.path.join(work, f"ip4add_{deb_version}_{arch}.deb")
    changes = os.path.join(work, f"ip4add_{deb_version}_{arch}.changes")
    lintian = subprocess.run(["lintian", "--fail-on", LINTIAN_FAIL, "--display-info",
                              "--pedantic", changes], capture_output=True, text=True, check=False)
    tags = lintian.stdout.strip().splitlines()
    bad = [tag for tag in tags if tag[:2] in ("E:", "W:")]
    if lintian.returncode != 0 or bad:
        print(lintian.stdout + lintian.stderr)
        sys.exit(f"replay: debian ({arch}): lintian reports errors or warnings")
    say(f"debian ({arch}): lintian: no error, no warning; {len(tags)} other tags"
        + "".join(f"\n  {tag}" for tag in tags))
    unpacked = os.path.join(work, "unpacked")
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    binary = check_tree(f"debian ({arch}, .deb)", unpacked, [
        "usr/share/man/man1/ip4add.1.gz", "usr/share/doc/ip4add/copyright",
        "usr/share/doc/ip4add/changelog.Debian.gz", "usr/share/lintian/overrides/ip4add"])
    if out:
        os.makedirs(out, exist_ok=True)
        shutil.copy(deb, out)
        say(f"debian: {os.path.basename(deb)} in {out}")
    runner = Toolchain("host", work, "")
    runner.emulator = list(emulator)
    return runner, binary, deb


SYSTEMS = {"openwrt": openwrt, "buildroot": buildroot, "yocto": yocto, "alpine": alpine,
           "debian": debian}
# Debian's recipe builds for the host's Debian architectures: the release
# builds its packages so (packages.py), and all leaves it to the release
TARGETS = {"debian": []}


def replay(system, target, work, out=None):
    say(f"{system} for the {target}, in {work}")
    extra = {"out": out} if system == "debian" else {}
    toolchain, binary = SYSTEMS[system](target, work, **extra)[:2]
    run_cases(f"{system} ({target})", toolchain, binary)


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("system", choices=list(SYSTEMS) + ["all"])
    parser.add_argument("--target", choices=["host", "router"], default="host")
    parser.add_argument("--work")
    parser.add_argument("--deb-out", help="where debian's replay leaves its .deb")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("replay: needs root, for the mount namespace that hides the test tools")
    runs = [(s, t) for s in SYSTEMS for t in TARGETS.get(s, ["host", "router"])] \
        if args.system == "all" else [(args.system, args.target)]
    for system, target in runs:
        if args.work and len(runs) == 1:
            shutil.rmtree(args.work, ignore_errors=True)
            os.makedirs(args.work)
            replay(system, target, args.work, args.deb_out)
        else:
            with tempfile.TemporaryDirectory(prefix=f"ip4add-{system}-{target}-") as work:
                replay(system, target, work, args.deb_out)
    say(f"{len(runs)} replays passed")


if __name__ == "__main__":
    main()
