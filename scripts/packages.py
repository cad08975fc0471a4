"""The release's packages, made from its files, and checked before they
stand in dist/ by tools and code that did not write them (tar, gzip, zlib,
openssl, signify-openbsd, gpgv, dpkg-deb, the apk reader of formats/adb.py):

- an .ipk (formats/ipk.py) per OpenWrt package architecture that a release
  file serves, holding /usr/bin/ip4add, the dynamic file that the OpenWrt
  table names for it (OpenWrt 21.02 and later), depending on libc, the
  router's musl;
- an .ipk per Entware architecture, holding /opt/bin/ip4add, the static
  file of the family: Entware's C library is glibc, so a musl file brings
  its own, and the package depends on nothing;
- the feed index (formats/feeds.py), Packages and Packages.gz, beside them,
  and Packages.sig, usign's signature, as OpenWrt's build signs its feeds;
- an apk v3 package (formats/apk3.py) per OpenWrt package architecture
  served, for OpenWrt 25.12 and later, holding what the .ipk holds, in a
  feed of its own, apk/ARCH/, with its signed packages.adb;
- an apk v2 package (formats/apk2.py) per Alpine architecture of ALPINE,
  holding the static file of the family that ran on its stand-in CPU, in
  alpine/ARCH/ with its signed APKINDEX.tar.gz;
- a .deb (formats/deb.py) per Debian architecture of DEBIAN, built by
  dpkg-buildpackage from packaging/debian: natively, or cross-built with
  Debian's cross compiler and the nocheck profile in a Debian root of
  their own; all in an apt repository, debian/ (formats/apt.py), with
  Release, InRelease and Release.gpg;
- the public keys of every signature, and KEYS, which says whose they are.
"""
import hashlib
import os
import shutil
import subprocess
import tempfile
import time

import keys
import recipes
import system_build
from formats import adb, apk2, apk3, apt, deb, feeds, ipk
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


# Alpine's architectures with a release file: the qemu-user program and a CPU
# model of the architecture's baseline, on which the family's files ran.
# Each package holds the static file: it needs no musl of Alpine's (armhf's
# loader, ld-musl-armhf.so.1, is not the soft-float file's ld-musl-arm.so.1)
# and apk computes no so: dependency for it. ppc64le and s390x have no
# release file.
ALPINE = [
    ("x86_64", "qemu-x86_64", "qemu64"),
    ("x86", "qemu-i386", "pentium3"),
    ("aarch64", "qemu-aarch64", "cortex-a53"),
    ("armv7", "qemu-arm", "cortex-a9,neon=off"),  # ARMv7-A with VFPv3-D16
    ("armhf", "qemu-arm", "arm1176"),  # ARMv6 with VFP: Raspberry Pi 1 and Zero
    ("riscv64", "qemu-riscv64", "rv64"),
    ("loongarch64", "qemu-loongarch64", "la464"),
]
APK3_FOLDER, ALPINE_FOLDER, DEBIAN_FOLDER = "apk", "alpine", "debian"


def written_twice(make, what):
    """What MAKE() writes, which a second call must write to the same bytes."""
    made = make()
    if [entry[-2] for entry in made] != [entry[-2] for entry in make()]:
        fail(f"two writings of the {what} differ")
    return made


def key_names(throwaway):
    """The public keys' file names in a release: the ones the README gives,
    or names of their own for throwaway keys, which the README's lines then
    do not find."""
    prefix = "ip4add-throwaway" if throwaway else "ip4add"
    return {"apk": f"{prefix}.pem", "alpine": f"{prefix}.rsa.pub",
            "usign": f"{prefix}.usign.pub", "openpgp": f"{prefix}.gpg"}


def publish_keys(dist, private, throwaway):
    """The public halves into DIST and KEYS, which names them with their
    fingerprints; returns {scheme: (private key, public key bytes, file
    name)} and the names written."""
    names = key_names(throwaway)
    usign, number = keys.usign_public(private["usign"])
    keyring, openpgp = keys.openpgp_keyring(private["openpgp"])
    public = {"apk": keys.public_pem(private["apk"]),
              "alpine": keys.public_pem(private["alpine"]), "usign": usign, "openpgp": keyring}
    uses = {
        "apk": f"EC P-256; signs {APK3_FOLDER}/ARCH/packages.adb (OpenWrt 25.12 and later); "
               "goes in /etc/apk/keys/",
        "alpine": f"RSA; signs {ALPINE_FOLDER}/ARCH/APKINDEX.tar.gz and every Alpine package; "
                  "goes in /etc/apk/keys/ under this very name, which the signatures carry",
        "usign": f"usign (Ed25519), fingerprint {number}; signs Packages (opkg-key add, or "
                 f"/etc/opkg/keys/{number}) and SHA256SUMS (usign -V)",
        "openpgp": f"OpenPGP keyring, key {openpgp}; signs {DEBIAN_FOLDER}/InRelease and "
                   f"{DEBIAN_FOLDER}/Release.gpg; goes in /etc/apt/keyrings/",
    }
    lines = []
    for scheme, name in names.items():
        with open(os.path.join(dist, name), "wb") as out:
            out.write(public[scheme])
        lines.append(f"{name}: {uses[scheme]}.\n  SHA-256 of the file: "
                     f"{hashlib.sha256(public[scheme]).hexdigest()}")
    head = ("THROWAWAY KEYS. This release was signed with keys made for one build and then\n"
            "thrown away: nobody publishes them. It is a test release; do not install it as\n"
            "a signed one.\n\n" if throwaway else "")
    with open(os.path.join(dist, "KEYS"), "w", encoding="utf-8") as out:
        out.write(head + "The release's public keys (their private halves are never in a "
                  "release):\n\n" + "\n".join(lines) + "\n")
    made = {scheme: (private[scheme], public[scheme], name) for scheme, name in names.items()}
    return made, list(names.values()) + ["KEYS"]


def apk3_set(served, recipe, epoch):
    """Every OpenWrt apk v3 package: (arch, name, bytes, the release file)."""
    made = []
    for arch, files, _, _ in served:
        dynamic = next(release for release in files if not release["static"])
        with open(dynamic["path"], "rb") as data:
            name, package = apk3.openwrt_package(data.read(), arch, recipe, epoch)
        made.append((arch, name, package, dynamic))
    return made


def apk3_feeds(dist, served, recipe, epoch, key, work):
    """apk/ARCH/: the package and its signed packages.adb, per OpenWrt
    architecture served, checked; returns the names written and, per arch,
    the package's name."""
    made = written_twice(lambda: apk3_set(served, recipe, epoch), "apk v3 packages")
    private, pem, _ = key
    key_id = apk3.key_id(keys.ec_point(pem))
    names, by_arch = [], {}
    for arch, name, package, dynamic in made:
        folder = os.path.join(dist, APK3_FOLDER, arch)
        os.makedirs(folder)
        with open(os.path.join(folder, name), "wb") as out:
            out.write(package)
        feed = apk3.signed_feed([package], lambda message: keys.sign(private, message, "sha512"),
                                key_id)
        with open(os.path.join(folder, "packages.adb"), "wb") as out:
            out.write(feed)
        adb.check_package(package, name, {
            "name": recipe["PKG_NAME"], "version": apk3.openwrt_version(recipe), "arch": arch,
            "epoch": epoch, "program": f"usr/bin/{recipe['PKG_NAME']}",
            "list": f"lib/apk/packages/{recipe['PKG_NAME']}.list",
            "scripts": sorted(apk3.openwrt_scripts("")), "digest": dynamic["digest"]})
        adb.check_feed(folder, arch, pem, work)
        names += [f"{APK3_FOLDER}/{arch}/{name}", f"{APK3_FOLDER}/{arch}/packages.adb"]
        by_arch[arch] = names[-2]
    print(f"packages: {len(made)} apk v3 packages and their signed feeds, checked")
    return names, by_arch


def alpine_set(alpine, values, version, epoch, key):
    """Every Alpine package: (arch, name, bytes, the release file)."""
    private, _, key_name = key
    made = []
    for arch, files, _, _ in alpine:
        static = next(release for release in files if release["static"])
        with open(static["path"], "rb") as data:
            program = data.read()
        fields = [("pkgname", values["pkgname"]), ("pkgver", version),
                  ("pkgdesc", values["pkgdesc"]), ("url", values["url"]),
                  ("builddate", epoch), ("packager", values["maintainer"]),
                  ("size", len(program)), ("arch", arch), ("origin", values["pkgname"]),
                  ("maintainer", values["maintainer"]), ("license", values["license"])]
        package = apk2.package(fields, {f"usr/bin/{values['pkgname']}": (0o755, program)},
                               epoch, private, key_name)
        made.append((arch, f"{values['pkgname']}-{version}.apk", package, static))
    return made


def alpine_repository(dist, alpine, epoch, key, work):
    """alpine/ARCH/: the package and its signed APKINDEX.tar.gz, checked."""
    values = recipes.alpine_recipe()
    version = f"{values['pkgver']}-r{values['pkgrel']}"
    made = written_twice(lambda: alpine_set(alpine, values, version, epoch, key),
                         "Alpine packages")
    private, pem, key_name = key
    names, rows = [], []
    for arch, name, package, static in made:
        folder = os.path.join(dist, ALPINE_FOLDER, arch)
        os.makedirs(folder)
        path = os.path.join(folder, name)
        with open(path, "wb") as out:
            out.write(package)
        info, control = apk2.check_package(path, {
            "pkgname": values["pkgname"], "pkgver": version,
            "arch": arch, "epoch": epoch, "program": f"usr/bin/{values['pkgname']}",
            "digest": static["digest"]}, pem, key_name, work)
        index = apk2.index([(info, control, len(package))],
                           f"{values['pkgname']} {values['pkgver']}", epoch, private, key_name)
        with open(os.path.join(folder, "APKINDEX.tar.gz"), "wb") as out:
            out.write(index)
        apk2.check_index(folder, arch, pem, key_name, work)
        names += [f"{ALPINE_FOLDER}/{arch}/{name}", f"{ALPINE_FOLDER}/{arch}/APKINDEX.tar.gz"]
        rows.append(([f"{ALPINE_FOLDER}/{arch}/{name}"], f"Alpine `{arch}`", f"`{static['name']}`",
                     static["size"]))
    print(f"packages: {len(made)} Alpine packages and their signed indexes, checked")
    return names, rows


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


def debian_packages(dist, work, rows):
    """Every .deb, built twice in two folders (the bytes must agree), checked
    and its binary run over the case table: the names written to DIST
    (the repository's folder);
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
        names.append(f"{DEBIAN_FOLDER}/{os.path.basename(path)}")
        rows.append(([names[-1]], f"Debian `{arch}`", "its own build, on glibc",
                     os.path.getsize(binary)))
        print(f"packages: {names[-1]}: {len(built[0]):,} bytes, the same from two builds\n"
              + control, end="")
    return names


def table(rows):
    """The packages, what each is for and holds, and the size of the ip4add it
    installs (the package's own size moves with the source's date, which
    its control file and every time in it carry)."""
    lines = ["| Packages | For | Holds | Installs |", "|---|---|---|---:|"]
    lines += [f"| {', '.join(f'`{name}`' for name in names)} | {what} | {holds} | {size:,} B |"
              for names, what, holds, size in rows]
    return "\n".join(lines) + "\n"


def write(dist, served, entware, alpine, private, throwaway, debs=True):
    """Writes and checks every package into DIST; returns their names and
    the table of them. SERVED, ENTWARE and ALPINE: (package architecture,
    its family's files, qemu program, stand-in CPU model) for every OpenWrt
    architecture a file serves, every Entware and every Alpine
    architecture. PRIVATE: the signing keys, THROWAWAY or not. Without
    DEBS, no Debian package and no apt repository."""
    recipe = recipes.openwrt_recipe()
    epoch = recipes.source_date()
    made = written_twice(lambda: ipk_set(served, entware, recipe, epoch), ".ipk files")
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
        published, key_files = publish_keys(dist, private, throwaway)
        feeds.usign_sign(private["usign"], os.path.join(dist, "Packages"))
        feeds.check_usign(os.path.join(dist, published["usign"][2]),
                          os.path.join(dist, "Packages"))
        print(f"packages: {len(names)} .ipk files ({len(served)} OpenWrt, "
              f"{len(entware)} Entware) and their index, signed, checked; the last control "
              f"file:\n{control}", end="")
        apk3_names, apk3_of = apk3_feeds(dist, served, recipe, epoch, published["apk"], work)
        rows = [([name] + ([apk3_of[want["arch"]]] if want["folder"] == "usr/bin" else []),
                 want["for"], want["holds"], want["installs"]) for name, _, want in made]
        alpine_names, alpine_rows = alpine_repository(dist, alpine, epoch, published["alpine"],
                                                      work)
        rows += alpine_rows
        names += ["Packages", "Packages.gz", "Packages.sig"] + apk3_names + alpine_names
        names += key_files
        if not debs:
            return names, table(rows)
        repository = os.path.join(dist, DEBIAN_FOLDER)
        os.makedirs(repository)
        names += debian_packages(repository, work, rows)
        indexes = apt.index(repository, epoch, [arch for arch, _, _ in DEBIAN])
        indexes += apt.sign(repository, private["openpgp"])
        sums = apt.check(repository, os.path.join(dist, published["openpgp"][2]))
        names += [f"{DEBIAN_FOLDER}/{name}" for name in indexes]
        print(f"packages: the apt repository {DEBIAN_FOLDER}/, its {sums} SHA-256 sums and "
              "its two signatures checked with gpgv")
    return names, table(rows)
