"""Yocto's build of its recipe (packaging/yocto), replayed: cmake.bbclass's
toolchain file and configure, Ninja in ${WORKDIR}/build, the install into
${D}, the ptest's install, then run-ptest as ptest-runner starts it."""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

import recipes
from system_build import (PACKAGING, Toolchain, base_env, check_digest, check_tree, fetch,
                          fill_checksum, no_warnings, run, say, unpack)


def build(target, work):
    # The recipe as a layer holds it
    layer = os.path.join(work, "meta-ip4add", "recipes-support", "ip4add")
    shutil.copytree(os.path.join(PACKAGING, "yocto"), layer)
    recipe = os.path.join(layer, os.path.basename(recipes.yocto_recipe()))
    pv = re.search(r"ip4add_(.+)\.bb$", recipe).group(1)  # PV from the file name
    archive, data = fetch(os.path.join(work, "downloads"), f"ip4add-{pv}.tar.gz")  # DL_DIR
    # The checksum bitbake's fetcher asks for, written in
    fill_checksum(recipe, "yocto/ip4add.bb", data)
    with open(recipe, encoding="utf-8") as text:
        bb = text.read()
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
    shutil.copy(os.path.join(layer, "files", "run-ptest"), ptest)
    body = re.search(r"(?ms)^do_install_ptest\(\) \{\n(.*?)^\}", bb).group(1)
    run(body.replace("${S}", s).replace("${D}", d).replace("${PTEST_PATH}",
                                                            "/usr/lib/ip4add/ptest"),
        workdir, base_env({}))
    binary = check_tree("yocto (D)", d, ["usr/share/man/man1/ip4add.1",
                                         "usr/lib/ip4add/ptest/run-ptest",
                                         "usr/lib/ip4add/ptest/cli_cases.tsv"])
    ptest_run(toolchain, binary, ptest)
    return toolchain.emulator, binary


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

