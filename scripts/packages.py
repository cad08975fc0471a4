"""The release's packages, made from its files, and checked before they
stand in dist/ by tools that did not write them (tar, gzip, dpkg-deb):

- an .ipk (formats/ipk.py) per OpenWrt package architecture that a release
  file serves, holding /usr/bin/ip4add, the dynamic file that the OpenWrt
  table names for it (OpenWrt 21.02 and later), depending on libc, the
  router's musl;
- an .ipk per Entware architecture, holding /opt/bin/ip4add, the static
  file of the family: Entware's C library is glibc, so a musl file brings
  its own, and the package depends on nothing;
- the feed index (formats/feeds.py), Packages and Packages.gz, beside them;
- a .deb (formats/deb.py) per Debian architecture of DEBIAN, built by
  dpkg-buildpackage from packaging/debian: natively, or cross-built with
  Debian's cross compiler and the nocheck profile in a Debian root of
  their own.
"""
import os
import shutil
import subprocess
import tempfile
import time

import recipes
import system_build
from formats import deb, feeds, ipk
from formats.tarball import fail
import openwrt

# Debian's architectures with a package: the qemu-user program and CPU model
# of the architecture's baseline, on which the packaged binary runs the case
# table (none: this host's).
DEBIAN = [
    ("amd64", None, None),
    ("arm64", "qemu-aarch64", "cortex-a53"),
    ("armel", "qemu-arm", "arm926"),  # ARMv5TE, soft float
    ("armhf", "qemu-arm", "cortex-a9,neon=off"),  # ARMv7 with VFPv3-D16
    ("i386", "qemu-i386", "pentium2"),  # i686
    ("mipsel", "qemu-mipsel", "24Kf"),  # MIPS32r2 with its FPU
    ("mips64el", "qemu-mips64el", "5KEf"),  # MIPS64r2 with its FPU
]


def ipk_set(served, entware, recipe, epoch):
    """Every .ipk of the release: (name, bytes, what check_ipk wants)."""
    made = []
    for arch, files, qemu, model in served:
        dynamic = next(release for release in files if not release["static"])
        name, data = ipk.ipk(dynamic["path"], "openwrt", arch, recipe, epoch)
        made.append((name, data, {
            "arch": arch, "version": ipk.ipk_version(recipe, "openwrt"),
            "folder": "usr/bin", "scripts": sorted(ipk.OPENWRT_SCRIPTS),
            "digest": dynamic["digest"],
            "epoch": epoch, "emulator": [qemu, "-L", dynamic["sysroot"], "-cpu", model],
            "for": f"OpenWrt `{arch}`", "holds": f"`{dynamic['name']}`",
            "installs": dynamic["size"]}))
    entware_feeds = {arch: feed for feed, arch, _, _ in openwrt.ENTWARE}
    for arch, files, qemu, model in entware:
        static = next(release for release in files if release["static"])
        name, data = ipk.ipk(static["path"], "entware", arch, recipe, epoch)
        made.append((name, data, {
            "arch": arch, "version": ipk.ipk_version(recipe, "entware"),
            "folder": "opt/bin", "scripts": [], "digest": static["digest"], "epoch": epoch,
            "emulator": [qemu, "-cpu", model],
            "for": f"Entware `{entware_feeds[arch]}` (`{arch}`)", "holds": f"`{static['name']}`",
            "installs": static["size"]}))
    return made


def debs(dist, work, rows):
    """Every .deb, built twice in two folders (the bytes must agree), checked
    and its binary run over the case table: the names written to DIST;
    appends to ROWS what each is for and holds."""
    names, version = [], deb.debian_version()
    root = os.path.join(work, "debian-root")
    started = time.monotonic()
    deb.debian_root(root, [arch for arch, qemu, _ in DEBIAN if qemu])
    print(f"packages: the cross builds' Debian root made in {time.monotonic() - started:.0f} s")
    for arch, qemu, model in DEBIAN:
        emulator = []
        if qemu:
            # The root's cross C library of the architecture: its own libc6
            # has absolute links (/lib64/ld.so.1 on mips64el), which qemu
            # would follow out of the root.
            triplet = subprocess.run(["dpkg-architecture", "-a", arch, "-qDEB_HOST_GNU_TYPE"],
                                     capture_output=True, text=True, check=True).stdout.strip()
            emulator = [qemu, "-L", os.path.join(root, "usr", triplet), "-cpu", model]
        built = []
        for attempt in ("a", "b"):
            folder = os.path.join(work, f"deb-{arch}-{attempt}")
            os.makedirs(folder)
            binary, path = deb.build(folder, arch=arch, root=root if qemu else None)
            with open(path, "rb") as data:
                built.append(data.read())
        if built[0] != built[1]:
            fail(f"two builds of the {arch} package differ")
        control = deb.check_deb(path, arch, version)
        system_build.run_cases(f"debian ({arch})", emulator, binary)
        shutil.copy(path, dist)
        names.append(os.path.basename(path))
        rows.append((names[-1], f"Debian `{arch}`", "its own build, on glibc",
                     os.path.getsize(binary)))
        print(f"packages: {names[-1]}: {len(built[0]):,} bytes, the same from two builds\n"
              + control, end="")
    return names


def table(rows):
    """The packages, what each is for and holds, and the size of the ip4add it
    installs (the package's own size moves with the source's date, which
    its control file and every time in it carry)."""
    lines = ["| Package | For | Holds | Installs |", "|---|---|---|---:|"]
    lines += [f"| `{name}` | {what} | {holds} | {size:,} B |" for name, what, holds, size in rows]
    return "\n".join(lines) + "\n"


def write(dist, served, entware):
    """Writes and checks every package into DIST; returns their names and
    the table of them. SERVED and ENTWARE: (package architecture, its
    family's files, qemu program, stand-in CPU model) for every OpenWrt
    architecture a file serves and for every Entware architecture."""
    recipe = recipes.openwrt_recipe()
    epoch = recipes.source_date()
    made = ipk_set(served, entware, recipe, epoch)
    again = ipk_set(served, entware, recipe, epoch)
    if [data for _, data, _ in made] != [data for _, data, _ in again]:
        fail("two writings of the .ipk files differ")
    with tempfile.TemporaryDirectory() as work:
        for name, data, want in made:
            path = os.path.join(work, name)
            with open(path, "wb") as out:
                out.write(data)
            control = ipk.check_ipk(path, want)
            shutil.copy(path, dist)
        names = [name for name, _, _ in made]
        packages, packed = feeds.index(dist, names)
        for name, data in (("Packages", packages), ("Packages.gz", packed)):
            with open(os.path.join(dist, name), "wb") as out:
                out.write(data)
        feeds.check_index(dist, names)
        print(f"packages: {len(names)} .ipk files ({len(served)} OpenWrt, "
              f"{len(entware)} Entware) and their index, checked; the last control "
              f"file:\n{control}", end="")
        rows = [(name, want["for"], want["holds"], want["installs"]) for name, _, want in made]
        names += ["Packages", "Packages.gz"] + debs(dist, work, rows)
    return names, table(rows)
