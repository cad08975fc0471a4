#!/usr/bin/env python3
"""The release's checks of its .ipk files and signed feed index catch each
format fault that opkg would trip on: a package as scripts/formats/ipk.py writes
it passes, and each case of the table, that package with one fault, fails
with its reason. No emulator is needed: the checks of the archive alone.

usage: PYTHONPATH=scripts packages_test.py (as CTest runs it)
"""
import io
import os
import subprocess
import sys
import tarfile
import tempfile

from formats import feeds, ipk
from formats.tarball import gunzip, gzip_n, tar_gnu

EPOCH = 1700000000
RECIPE = {"PKG_NAME": "ip4add", "PKG_VERSION": "1.0.0", "PKG_RELEASE": "1",
          "PKG_LICENSE": "MIT", "PKG_LICENSE_FILES": "LICENSE", "SECTION": "net",
          "URL": "https://ip4add.example.org", "PKG_MAINTAINER": "m <m@example.org>",
          "description": "  a line\n  another\n"}
WANT = {"arch": "mips_24kc", "version": "1.0.0-r1", "folder": "usr/bin",
        "scripts": sorted(ipk.OPENWRT_SCRIPTS), "epoch": EPOCH}


def unpack(data):
    """The .ipk's three members: {name: bytes}."""
    with tarfile.open(fileobj=io.BytesIO(gunzip(data, "test"))) as outer:
        return {m.name: outer.extractfile(m).read() for m in outer.getmembers()}


def repack(parts, tar_format=tarfile.GNU_FORMAT, uid=0, mtime=EPOCH):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tar_format) as tar:
        for name in ("./debian-binary", "./data.tar.gz", "./control.tar.gz"):
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime, info.uid = len(parts[name]), 0o644, mtime, uid
            tar.addfile(info, io.BytesIO(parts[name]))
    return gzip_n(out.getvalue())


def with_data(parts, mode):
    """The package with its program stored in MODE."""
    program = b"\x7fELF program"
    data = tar_gnu([(".", 0o755, None), ("./usr", 0o755, None),
                             ("./usr/bin", 0o755, None), ("./usr/bin/ip4add", mode, program)],
                            EPOCH)
    return dict(parts, **{"./data.tar.gz": gzip_n(data)})


def with_control(parts, old, new):
    """The package with OLD replaced by NEW in its control file."""
    with tarfile.open(fileobj=io.BytesIO(gunzip(parts["./control.tar.gz"], "t"))) as c:
        files = {m.name: (m.mode, c.extractfile(m).read() if m.isfile() else None)
                 for m in c.getmembers()}
    control = files["./control"][1].replace(old.encode(), new.encode())
    members = [(".", 0o755, None), ("./control", 0o644, control)] + [
        (name, mode, data) for name, (mode, data) in sorted(files.items())
        if name not in ("./", ".", "./control")]
    return dict(parts, **{"./control.tar.gz": gzip_n(tar_gnu(members, EPOCH))})


def cases(good):
    parts = unpack(good)
    name = "ip4add_1.0.0-r1_mips_24kc.ipk"
    return [  # (case, file name, bytes, the reason the check must give)
        ("ar outer file", name, b"!<arch>\ndebian-binary   ", "an ar archive"),
        ("PAX headers", name, repack(parts, tarfile.PAX_FORMAT), "not GNU tar's"),
        ("owner not root", name, repack(parts, uid=1000), "not 0/0"),
        ("time not the source's", name, repack(parts, mtime=EPOCH + 1), "not 0/0 at"),
        ("program not executable", name, repack(with_data(parts, 0o644)), "data.tar.gz holds"),
        ("name of another architecture", "ip4add_1.0.0-r1_mipsel_24kc.ipk", good,
         "does not end in"),
        ("Architecture of another", name,
         repack(with_control(parts, "Architecture: mips_24kc", "Architecture: mipsel_24kc")),
         "Architecture is"),
        ("Installed-Size not the data's", name,
         repack(with_control(parts, "Installed-Size: ", "Installed-Size: 1")), "Installed-Size"),
        ("carriage return", name, repack(with_control(parts, "Section: net", "Section: net\r")),
         "carriage return"),
    ]


def fails(check, reason):
    try:
        check()
    except SystemExit as stop:
        return reason in str(stop), str(stop)
    return False, "passed"


def refused(cases):
    """Runs each (case, check, reason): how many were not refused so."""
    missed = 0
    for case, check, reason in cases:
        ok, said = fails(check, reason)
        missed += not ok
        print(f"{'ok' if ok else 'FAULT MISSED'}: {case}: {said}")
    return missed


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as work:
        program = os.path.join(work, "ip4add")
        with open(program, "wb") as out:
            out.write(b"\x7fELF program")
        name, good = ipk.ipk(program, "openwrt", "mips_24kc", RECIPE, EPOCH)
        feed = os.path.join(work, "feed")
        os.makedirs(feed)
        with open(os.path.join(feed, name), "wb") as out:
            out.write(good)
        os.makedirs(os.path.join(work, "good"))
        ipk.check_archive(os.path.join(feed, name), WANT, os.path.join(work, "good"))
        for index_name, data in zip(("Packages", "Packages.gz"), feeds.index(feed, [name])):
            with open(os.path.join(feed, index_name), "wb") as out:
                out.write(data)
        feeds.check_index(feed, [name])
        keys = {}
        for key in ("ours", "other"):
            keys[key] = os.path.join(work, f"{key}.pub")
            subprocess.run(["signify-openbsd", "-G", "-n", "-p", keys[key], "-s",
                            os.path.join(work, f"{key}.sec")], capture_output=True, check=True)
        feeds.usign_sign(os.path.join(work, "ours.sec"), os.path.join(feed, "Packages"))
        feeds.check_usign(keys["ours"], os.path.join(feed, "Packages"))
        print("packages: a package as written passes, and so does its signed index")
        for case, file_name, data, reason in cases(good):
            folder = os.path.join(work, case.replace(" ", "-"))
            os.makedirs(os.path.join(folder, "unpacked"))
            path = os.path.join(folder, file_name)
            with open(path, "wb") as out:
                out.write(data)
            ok, said = fails(lambda: ipk.check_archive(
                path, WANT, os.path.join(folder, "unpacked")), reason)
            failed += not ok
            print(f"{'ok' if ok else 'FAULT MISSED'}: {case}: {said}")
        # The index must name each file's own size and checksum.
        with open(os.path.join(feed, "Packages"), encoding="utf-8") as text:
            stanza = text.read()
        with open(os.path.join(feed, "Packages"), "w", encoding="utf-8") as out:
            out.write(stanza.replace(f"Size: {len(good)}", f"Size: {len(good) + 1}"))
        with open(os.path.join(feed, "Packages.gz"), "wb") as out:
            with open(os.path.join(feed, "Packages"), "rb") as text:
                out.write(gzip_n(text.read(), 9))
        feed_cases = [  # (case, check, reason)
            ("index with a wrong Size", lambda: feeds.check_index(feed, [name]),
             "Size or SHA256sum"),
            ("index changed after signing",
             lambda: feeds.check_usign(keys["ours"], os.path.join(feed, "Packages")),
             "does not verify"),
            ("index signed by another key",
             lambda: feeds.check_usign(keys["other"], os.path.join(feed, "Packages")),
             "does not verify"),
        ]
        failed += refused(feed_cases)
    # OpenWrt's padding for usign before 2019: at the two lengths it hashed wrong
    padded = [size for size in range(256) if len(feeds.usign_padded(bytes(size))) != size]
    ok = padded == [46, 47, 174, 175]
    failed += not ok
    print(f"{'ok' if ok else 'FAULT MISSED'}: Packages padded at sizes {padded}")
    total = len(cases(good)) + len(feed_cases) + 1
    print(f"packages: {total - failed} of {total} faults caught")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
