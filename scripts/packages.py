#!/usr/bin/env python3
"""The release's packages, made from its files, and checked before they
stand in dist/ by tools that did not write them (tar, gzip, dpkg-deb):

- an .ipk per OpenWrt package architecture that a release file serves,
  holding /usr/bin/ip4add, the dynamic file that the OpenWrt table names
  for it (OpenWrt 21.02 and later), depending on libc, the router's musl;
- an .ipk per Entware architecture, holding /opt/bin/ip4add, the static
  file of the family: Entware's C library is glibc, so a musl file brings
  its own, and the package depends on nothing;
- the feed index, Packages and Packages.gz, beside them;
- a .deb per Debian architecture of DEBIAN, built by dpkg-buildpackage
  from packaging/debian (replay.py's debian): natively, or cross-built with
  Debian's cross compiler and the nocheck profile in a Debian root of
  their own (replay.py's debian_root).

Each .ipk is what OpenWrt's scripts/ipkg-build writes: a gzip-compressed tar
(not an ar archive) of ./debian-binary ("2.0"), ./data.tar.gz and
./control.tar.gz, each a tar with GNU headers (opkg skips PAX members, and
still exits 0), owner 0:0, every time the source's date, gzip without name
or time; so the same files give the same bytes. Its control file is what
include/package-pack.mk writes (Entware's include/package-ipkg.mk), from
the values of packaging/openwrt/ip4add/Makefile as make evaluates them; the
index is what scripts/ipkg-make-index.sh makes of them.
"""
import gzip
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

import openwrt
import recipes
import replay

ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"
TIMEOUT = 60  # seconds for one emulated run

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

# The control scripts that include/package-pack.mk gives every OpenWrt
# package: they call the firmware's own defaults, and do nothing where
# there is no /lib/functions.sh.
OPENWRT_SCRIPTS = {
    "postinst": '#!/bin/sh\n[ "${IPKG_NO_SCRIPT}" = "1" ] && exit 0\n'
                '[ -s ${IPKG_INSTROOT}/lib/functions.sh ] || exit 0\n'
                '. ${IPKG_INSTROOT}/lib/functions.sh\ndefault_postinst $0 $@\n',
    "prerm": '#!/bin/sh\n[ -s ${IPKG_INSTROOT}/lib/functions.sh ] || exit 0\n'
             '. ${IPKG_INSTROOT}/lib/functions.sh\ndefault_prerm $0 $@\n',
}


def fail(text):
    sys.exit(f"packages: {text}")


# --- Writing ------------------------------------------------------------------

def gzip_n(data, level=6):
    """gzip -n: no name, no time, as ipkg-build and the index compress."""
    return subprocess.run(["gzip", "-n", f"-{level}"], input=data, capture_output=True,
                          check=True).stdout


def tar_gnu(members, epoch):
    """A tar with GNU headers of MEMBERS (name, mode, bytes or None for a
    folder), in that order, as ipkg-build's tar --format=gnu --numeric-owner
    --sort=name --mtime writes them under fakeroot."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, mode, data in members:
            info = tarfile.TarInfo(name)
            info.mode, info.mtime, info.uid, info.gid = mode, epoch, 0, 0
            info.uname = info.gname = ""  # --numeric-owner: no names
            if data is None:
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def control_text(fields, description):
    """The control file: the fields that have a value, in package-pack.mk's
    order, then the description with each line's indent made one space."""
    lines = [f"{name}: {value}" for name, value in fields if value]
    text = "\n".join(" " + line.lstrip() for line in description.rstrip("\n").split("\n"))
    return "\n".join(lines) + "\nDescription: " + text + "\n"


def ipk_version(recipe, flavour):
    """OpenWrt 24.10's rules.mk: PKG_VERSION-rPKG_RELEASE; Entware's
    package-defaults.mk: PKG_VERSION-PKG_RELEASE."""
    release = ("r" if flavour == "openwrt" else "") + recipe["PKG_RELEASE"]
    return f"{recipe['PKG_VERSION']}-{release}"


def ipk(binary, flavour, arch, recipe, epoch):
    """The .ipk of BINARY for package architecture ARCH: (name, bytes).
    FLAVOUR: openwrt (/usr/bin, Depends libc, OpenWrt's version and control
    scripts) or entware (/opt/bin, no Depends, Entware's version)."""
    with open(binary, "rb") as data:
        program = data.read()
    name, version = recipe["PKG_NAME"], ipk_version(recipe, flavour)
    if flavour == "openwrt":
        folders, depends, url, scripts = ["usr", "usr/bin"], "libc", recipe["URL"], \
            OPENWRT_SCRIPTS
    else:
        # Entware's package-defaults.mk: CONFIGURE_PREFIX /opt; its
        # package-ipkg.mk writes no URL and no default scripts
        folders, depends, url, scripts = ["opt", "opt/bin"], "", "", {}
    data_tar = tar_gnu([(".", 0o755, None)] + [(f"./{f}", 0o755, None) for f in folders]
                       + [(f"./{folders[-1]}/ip4add", 0o755, program)], epoch)
    fields = [("Package", name), ("Version", version), ("Depends", depends),
              ("Source", f"feeds/packages/{recipe['SECTION']}/{name}"),
              ("SourceName", name), ("License", recipe["PKG_LICENSE"]),
              ("LicenseFiles", recipe["PKG_LICENSE_FILES"]), ("Section", recipe["SECTION"]),
              ("SourceDateEpoch", str(epoch)), ("URL", url),
              ("Maintainer", recipe["PKG_MAINTAINER"]), ("Architecture", arch),
              # ipkg-build: the size of data.tar, unpacked
              ("Installed-Size", str(len(data_tar)))]
    control = control_text(fields, recipe["description"]).encode()
    control_tar = tar_gnu([(".", 0o755, None), ("./control", 0o644, control)]
                          + [(f"./{script}", 0o755, text.encode())
                             for script, text in sorted(scripts.items())], epoch)
    outer = tar_gnu([("./debian-binary", 0o644, b"2.0\n"),
                     ("./data.tar.gz", 0o644, gzip_n(data_tar)),
                     ("./control.tar.gz", 0o644, gzip_n(control_tar))], epoch)
    return f"{name}_{version}_{arch}.ipk", gzip_n(outer)


def control_of(path):
    """An .ipk's control file, read with tar as ipkg-make-index.sh reads it."""
    inner = subprocess.run(["tar", "-xzOf", path, "./control.tar.gz"], capture_output=True,
                           check=True).stdout
    return subprocess.run(["tar", "-xzOf", "-", "./control"], input=inner,
                          capture_output=True, check=True).stdout.decode()


def index(folder, names):
    """Packages: every .ipk's control stanza, sorted by file name, with
    Filename, Size and SHA256sum before its Description; and Packages.gz."""
    stanzas = []
    for name in sorted(names):
        path = os.path.join(folder, name)
        with open(path, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        added = f"Filename: {name}\nSize: {os.path.getsize(path)}\nSHA256sum: {digest}\n"
        stanzas.append(control_of(path).replace("Description:", added + "Description:", 1)
                       + "\n")
    packages = "".join(stanzas).encode()
    return packages, gzip_n(packages, 9)


# --- Checking, with tools that did not write the packages ---------------------

def headers(tar_bytes, what):
    """Every header of a tar must be GNU's (magic "ustar  "), none a PAX
    header (typeflag x or g), which opkg would skip. Returns the count."""
    offset = count = 0
    while offset + 512 <= len(tar_bytes):
        header = tar_bytes[offset:offset + 512]
        if header == bytes(512):
            return count
        if header[257:265] != b"ustar  \0":
            fail(f"{what}: a member's header is not GNU tar's ({header[257:265]!r})")
        if header[156:157] in (b"x", b"g"):
            fail(f"{what}: a PAX header, which opkg skips")
        size = int(header[124:136].strip(b"\0 ") or b"0", 8)
        offset += 512 + (size + 511) // 512 * 512
        count += 1
    fail(f"{what}: no end of archive")
    return count


def listing(path_or_bytes, what):
    """tar's verbose listing, numeric owners, full UTC times: per member
    (mode, owner, size, time, name)."""
    source = {"input": path_or_bytes} if isinstance(path_or_bytes, bytes) else {}
    done = subprocess.run(["tar", "-tvzf", "-" if source else path_or_bytes, "--numeric-owner",
                           "--full-time"], capture_output=True, env={"TZ": "UTC"}, check=False,
                          **source)
    if done.returncode != 0:
        fail(f"{what}: tar cannot list it: {done.stderr.decode().strip()}")
    rows = []
    for line in done.stdout.decode().splitlines():
        mode, owner, size, day, clock, name = line.split(maxsplit=5)
        rows.append((mode, owner, int(size), f"{day} {clock}", name))
    return rows


def fields_of(control):
    return dict(re.findall(r"^([A-Za-z0-9-]+): ?(.*)$", control, re.M))


def gunzip(data, what):
    done = subprocess.run(["gzip", "-dc"], input=data, capture_output=True, check=False)
    if done.returncode != 0 or data[:2] != b"\x1f\x8b":
        fail(f"{what}: not gzip-compressed")
    return done.stdout


def run_on(emulator, binary):
    try:
        done = subprocess.run(emulator + [binary] + ARGS, capture_output=True, text=True,
                              timeout=TIMEOUT, env={}, check=False)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired:
        return "timeout", ""


def check_archive(path, want, work):
    """The .ipk's format, unpacked into WORK with tar: a gzip tar of the three
    members, GNU headers throughout, owners 0:0 and times of the source's
    date, the tree and modes, the control file's fields and the name."""
    what = os.path.basename(path)
    with open(path, "rb") as data:
        raw = data.read()
    if raw[:8] == b"!<arch>\n":
        fail(f"{what}: an ar archive, which OpenWrt's opkg refuses")
    outer = gunzip(raw, what)
    headers(outer, what)
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(want["epoch"]))
    members = listing(path, what)
    if [row[4] for row in members] != ["./debian-binary", "./data.tar.gz", "./control.tar.gz"]:
        fail(f"{what}: members {[row[4] for row in members]}")
    subprocess.run(["tar", "-xzf", path, "-C", work], check=True)
    with open(os.path.join(work, "debian-binary"), "rb") as text:
        if text.read() != b"2.0\n":
            fail(f"{what}: debian-binary is not 2.0")
    parts = {}
    for part in ("control", "data"):
        with open(os.path.join(work, f"{part}.tar.gz"), "rb") as data:
            packed = data.read()
        headers(gunzip(packed, f"{what}: {part}.tar.gz"), f"{what}: {part}.tar.gz")
        parts[part] = listing(packed, f"{what}: {part}.tar.gz")
        members += parts[part]
        os.makedirs(os.path.join(work, part))
        subprocess.run(["tar", "-xzf", os.path.join(work, f"{part}.tar.gz"), "-C",
                        os.path.join(work, part)], check=True)
    for mode, owner, _, when, name in members:
        if owner != "0/0" or when != stamp:
            fail(f"{what}: {name} is {owner} at {when}, not 0/0 at {stamp}")
        if mode[0] not in "-d":
            fail(f"{what}: {name} is no file or folder ({mode})")
    binary = f"./{want['folder']}/ip4add"
    folders = ["./"] + [f"./{'/'.join(want['folder'].split('/')[:i + 1])}/"
                        for i in range(len(want["folder"].split("/")))]
    expected = {name: "drwxr-xr-x" for name in folders}
    expected[binary] = "-rwxr-xr-x"
    if {row[4]: row[0] for row in parts["data"]} != expected:
        fail(f"{what}: data.tar.gz holds {[row[:1] + row[4:] for row in parts['data']]}")
    scripts = {"./control": "-rw-r--r--"}
    scripts.update({f"./{name}": "-rwxr-xr-x" for name in want["scripts"]})
    if {row[4]: row[0] for row in parts["control"] if row[4] != "./"} != scripts:
        fail(f"{what}: control.tar.gz holds {[row[4] for row in parts['control']]}")
    # newline="": as stored, since opkg takes a CR for part of the value
    with open(os.path.join(work, "control", "control"), encoding="utf-8", newline="") as text:
        control = text.read()
    if "\r" in control:
        fail(f"{what}: a carriage return in the control file")
    fields = fields_of(control)
    with open(os.path.join(work, "data.tar.gz"), "rb") as data:
        data_size = len(gunzip(data.read(), what))
    for name, value in [("Package", "ip4add"), ("Version", want["version"]),
                        ("Architecture", want["arch"]), ("Installed-Size", str(data_size)),
                        ("SourceDateEpoch", str(want["epoch"])), ("License", "MIT")]:
        if fields.get(name) != value:
            fail(f"{what}: {name} is {fields.get(name)!r}, not {value!r}")
    if not what.endswith(f"_{want['version']}_{want['arch']}.ipk"):
        fail(f"{what}: the name does not end in _VERSION_ARCH.ipk of its control file")
    return control


def check_ipk(path, want):
    """Unpacks the .ipk with tar and gzip and checks what opkg relies on:
    WANT has arch, version, folder, scripts, epoch (check_archive), digest
    (of the release file it holds) and emulator (to run it on its
    stand-in). Returns the control file."""
    what = os.path.basename(path)
    with tempfile.TemporaryDirectory() as work:
        control = check_archive(path, want, work)
        fields = fields_of(control)
        program = os.path.join(work, "data", want["folder"], "ip4add")
        with open(program, "rb") as data:
            if hashlib.sha256(data.read()).hexdigest() != want["digest"]:
                fail(f"{what}: its ip4add is not the release file it is made of")
        # Depends must name what the file needs, and only that: libc (the
        # router's musl) for a file that links one, nothing for one that
        # carries its own; every other name would have to resolve in a feed.
        needed = subprocess.run(["readelf", "-d", program], capture_output=True, text=True,
                                check=True).stdout
        libraries = re.findall(r"Shared library: \[([^]]+)\]", needed)
        if fields.get("Depends", "") != ("libc" if libraries else "") \
                or libraries not in ([], ["libc.so"]):
            fail(f"{what}: Depends {fields.get('Depends')!r} for a file that needs {libraries}")
        status, out = run_on(want["emulator"], program)
        if status != 0 or out != EXPECTED:
            fail(f"{what}: its ip4add under {' '.join(want['emulator'])} gave status {status}, "
                 f"{out!r}")
    return control


def check_index(folder, names):
    """Packages.gz unpacks to Packages; every stanza is its package's control
    file with Filename, Size and SHA256sum of the file as it stands."""
    with open(os.path.join(folder, "Packages"), encoding="utf-8") as text:
        packages = text.read()
    with open(os.path.join(folder, "Packages.gz"), "rb") as data:
        if gunzip(data.read(), "Packages.gz").decode() != packages:
            fail("Packages.gz does not unpack to Packages")
    stanzas = [stanza for stanza in packages.split("\n\n") if stanza.strip()]
    if len(stanzas) != len(names):
        fail(f"Packages has {len(stanzas)} stanzas for {len(names)} packages")
    for stanza in stanzas:
        fields = fields_of(stanza)
        path = os.path.join(folder, fields.get("Filename", ""))
        if fields.get("Filename") not in names:
            fail(f"Packages names {fields.get('Filename')!r}, no package of the release")
        with open(path, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        if fields.get("Size") != str(os.path.getsize(path)) or fields.get("SHA256sum") != digest:
            fail(f"Packages: the Size or SHA256sum of {fields['Filename']} is not the file's")
        own = fields_of(control_of(path))
        if {k: v for k, v in fields.items() if k not in ("Filename", "Size", "SHA256sum")} \
                != own:
            fail(f"Packages: the stanza of {fields['Filename']} is not its control file")


def check_deb(path, arch, version):
    """dpkg-deb's view of a .deb: its fields, and owner and mode of every
    member, /usr/bin/ip4add 0755."""
    what = os.path.basename(path)
    fields = {}
    for name in ("Package", "Version", "Architecture", "Depends"):
        fields[name] = subprocess.run(["dpkg-deb", "-f", path, name], capture_output=True,
                                      text=True, check=True).stdout.strip()
    if fields["Package"] != "ip4add" or fields["Version"] != version \
            or fields["Architecture"] != arch or not fields["Depends"].startswith("libc6 "):
        fail(f"{what}: fields {fields}")
    contents = subprocess.run(["dpkg-deb", "-c", path], capture_output=True, text=True,
                              check=True).stdout.splitlines()
    for line in contents:
        mode, owner = line.split()[:2]
        if owner != "root/root":
            fail(f"{what}: {line}")
        if line.endswith(" ./usr/bin/ip4add") and mode != "-rwxr-xr-x":
            fail(f"{what}: {line}")
    if not any(line.endswith(" ./usr/bin/ip4add") for line in contents):
        fail(f"{what}: no ./usr/bin/ip4add")
    return subprocess.run(["dpkg-deb", "-I", path, "control"], capture_output=True, text=True,
                          check=True).stdout


# --- The release's packages -------------------------------------------------------

def ipk_set(served, entware, recipe, epoch):
    """Every .ipk of the release: (name, bytes, what check_ipk wants)."""
    made = []
    for arch, files, qemu, model in served:
        dynamic = next(release for release in files if not release["static"])
        name, data = ipk(dynamic["path"], "openwrt", arch, recipe, epoch)
        made.append((name, data, {
            "arch": arch, "version": ipk_version(recipe, "openwrt"),
            "folder": "usr/bin", "scripts": sorted(OPENWRT_SCRIPTS), "digest": dynamic["digest"],
            "epoch": epoch, "emulator": [qemu, "-L", dynamic["sysroot"], "-cpu", model],
            "for": f"OpenWrt `{arch}`", "holds": f"`{dynamic['name']}`",
            "installs": dynamic["size"]}))
    feeds = {arch: feed for feed, arch, _, _ in openwrt.ENTWARE}
    for arch, files, qemu, model in entware:
        static = next(release for release in files if release["static"])
        name, data = ipk(static["path"], "entware", arch, recipe, epoch)
        made.append((name, data, {
            "arch": arch, "version": ipk_version(recipe, "entware"),
            "folder": "opt/bin", "scripts": [], "digest": static["digest"], "epoch": epoch,
            "emulator": [qemu, "-cpu", model],
            "for": f"Entware `{feeds[arch]}` (`{arch}`)", "holds": f"`{static['name']}`",
            "installs": static["size"]}))
    return made


def debs(dist, work, rows):
    """Every .deb, built twice in two folders (the bytes must agree), checked
    and its binary run over the case table: the names written to DIST;
    appends to ROWS what each is for and holds."""
    names, version = [], replay.debian_version()
    root = os.path.join(work, "debian-root")
    started = time.monotonic()
    replay.debian_root(root, [arch for arch, qemu, _ in DEBIAN if qemu])
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
            runner, binary, deb = replay.debian("host", folder, arch=arch, emulator=emulator,
                                                root=root if qemu else None)
            with open(deb, "rb") as data:
                built.append(data.read())
        if built[0] != built[1]:
            fail(f"two builds of the {arch} package differ")
        control = check_deb(deb, arch, version)
        replay.run_cases(f"debian ({arch})", runner, binary)
        shutil.copy(deb, dist)
        names.append(os.path.basename(deb))
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
    recipe = replay.openwrt_recipe()
    if recipe["PKG_VERSION"] != recipes.version():
        fail(f"the OpenWrt recipe's version {recipe['PKG_VERSION']} is not the project's: "
             "run python3 scripts/recipes.py")
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
            control = check_ipk(path, want)
            shutil.copy(path, dist)
        names = [name for name, _, _ in made]
        packages, packed = index(dist, names)
        for name, data in (("Packages", packages), ("Packages.gz", packed)):
            with open(os.path.join(dist, name), "wb") as out:
                out.write(data)
        check_index(dist, names)
        print(f"packages: {len(names)} .ipk files ({len(served)} OpenWrt, "
              f"{len(entware)} Entware) and their index, checked; the last control "
              f"file:\n{control}", end="")
        rows = [(name, want["for"], want["holds"], want["installs"]) for name, _, want in made]
        names += ["Packages", "Packages.gz"] + debs(dist, work, rows)
    return names, table(rows)
