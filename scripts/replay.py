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
           the release builds its Debian packages so: formats/deb.py)
  --target host: the host's compilers; router: OpenWrt's mips_24kc, a
           soft-float MIPS32r2 core, through the project's musl sysroot of
           the mips-musl-sf row, with compilers named and flagged as that
           system's toolchain would name and flag them

Each system's replay is a module of replays/; what they share is
system_build.py. Nothing is downloaded: the release's source archive
(recipes.py) is put where the system looks for a downloaded file, the
recipe (a copy, laid out as the system's tree holds it) gets the archive's
checksum as the system's own update step writes it at a version bump, and
the archive is checked against it as the system checks it. Needs root (a
mount namespace hides the undeclared test tools), cmake, ninja and make.

Where each value comes from is written beside it, as FILE: VARIABLE of
that system's tree (OpenWrt: openwrt/openwrt; Buildroot: buildroot/buildroot;
Yocto: openembedded-core; Alpine: abuild). What cannot be had here is
stood in for, and says so: the systems' own toolchains (Debian's cross gcc
with the sysroot, behind a wrapper of the toolchain's name; an empty
libstdc++.a, since ip4add needs nothing from it), OpenWrt's -fhonour-copts
(a flag of its patched GCC only).
"""
import argparse
import os
import shutil
import sys
import tempfile

import system_build
from replays import alpine, buildroot, debian, openwrt, yocto

SYSTEMS = {"openwrt": openwrt, "buildroot": buildroot, "yocto": yocto, "alpine": alpine,
           "debian": debian}
# Debian's recipe builds for the host's Debian architectures: the release
# builds its packages so (packages.py), and all leaves it to the release
TARGETS = {"debian": []}


def replay(system, target, work, out=None):
    system_build.say(f"{system} for the {target}, in {work}")
    extra = {"out": out} if system == "debian" else {}
    emulator, binary = SYSTEMS[system].build(target, work, **extra)
    system_build.run_cases(f"{system} ({target})", emulator, binary)


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
    system_build.say(f"{len(runs)} replays passed")


if __name__ == "__main__":
    main()
