"""The .ipk, as OpenWrt's scripts/ipkg-build writes it and opkg reads it:
a gzip-compressed tar (not an ar archive) of ./debian-binary ("2.0"),
./data.tar.gz and ./control.tar.gz, each a tar with GNU headers (opkg skips
PAX members, and still exits 0), owner 0:0, every time the source's date,
gzip without name or time; so the same files give the same bytes. Its
control file is what include/package-pack.mk writes (Entware's
include/package-ipkg.mk), from the values of packaging/openwrt/ip4add/Makefile
as make evaluates them. The checks unpack it with tar and gzip, which did
not write it, and hold it to what opkg relies on.
"""
import hashlib
import os
import re
import subprocess
import tempfile
import time

from formats.tarball import fail, gunzip, gzip_n, headers, listing, tar_gnu

ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"
TIMEOUT = 60  # seconds for one emulated run

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



def fields_of(control):
    return dict(re.findall(r"^([A-Za-z0-9-]+): ?(.*)$", control, re.M))



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

