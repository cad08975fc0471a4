"""Alpine's build of its recipe (packaging/alpine/APKBUILD), replayed: the
APKBUILD's own build, check and package functions in a shell, with
abuild's default.conf; no check for a cross build, as abuild has it."""
import os
import re
import shlex
import shutil
import sys

from system_build import (PACKAGING, Toolchain, base_env, check_digest, check_tree, fetch,
                          fill_checksum, no_warnings, run, say, unpack)

# Alpine's packages of the test tools (aports: main/ and community/)
ALPINE_NAMES = {"gtest-dev": "gtest", "python3": "python3", "dash": "dash",
                "valgrind": "valgrind", "clang-extra-tools": "lint", "cppcheck": "lint"}


def build(target, work):
    # The recipe as an aports folder holds it (abuild's startdir)
    startdir = os.path.join(work, "aports", "testing", "ip4add")
    os.makedirs(startdir)
    recipe = os.path.join(startdir, "APKBUILD")
    shutil.copy(os.path.join(PACKAGING, "alpine", "APKBUILD"), recipe)
    with open(recipe, encoding="utf-8") as text:
        pkgver = re.search(r"(?m)^pkgver=(\S+)", text.read()).group(1)
    arch = "mips" if target == "router" else "x86_64"
    # abuild.conf: SRCDEST; abuild: srcdir, pkgdir, builddir defaults
    archive, data = fetch(os.path.join(work, "distfiles"), f"ip4add-{pkgver}.tar.gz")
    fill_checksum(recipe, "alpine/APKBUILD", data)  # abuild checksum
    with open(recipe, encoding="utf-8") as text:
        apkbuild = text.read()
    sha512 = re.search(r"(?m)^(\w{128})  ip4add-", apkbuild).group(1)
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
    return toolchain.emulator, check_tree("alpine (pkgdir)", pkgdir,
                                          ["usr/share/man/man1/ip4add.1"])

