#!/usr/bin/env python3
"""The release's checks of its apk files catch each fault that apk would
refuse: an OpenWrt apk v3 package and feed, and an Alpine apk v2 package
and index, as the writers make them, pass; each case of the table, one of
them with one fault, fails with its reason. Keys are made with openssl.

usage: PYTHONPATH=scripts apk_checks_test.py (as CTest runs it)
"""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

import keys
from formats import adb, apk2, apk3
from packages_test import refused  # beside this file

EPOCH = 1700000000
RECIPE = {"PKG_NAME": "ip4add", "PKG_VERSION": "1.0.0", "PKG_RELEASE": "1",
          "PKG_LICENSE": "MIT", "SECTION": "net", "URL": "https://ip4add.example.org",
          "PKG_MAINTAINER": "m <m@example.org>", "description": "  a line\n  another\n"}
PROGRAM = b"\x7fELF program"
WANT3 = {"name": "ip4add", "version": "1.0.0-r1", "arch": "mips_24kc", "epoch": EPOCH,
         "program": "usr/bin/ip4add", "list": "lib/apk/packages/ip4add.list",
         "scripts": ["post-install", "post-upgrade", "pre-deinstall"],
         "digest": hashlib.sha256(PROGRAM).hexdigest()}
WANT2 = {"pkgname": "ip4add", "pkgver": "1.0.0-r0", "arch": "x86_64", "epoch": EPOCH,
         "program": "usr/bin/ip4add", "digest": WANT3["digest"]}
FIELDS2 = [("pkgname", "ip4add"), ("pkgver", "1.0.0-r0"), ("arch", "x86_64"),
           ("license", "MIT")]


def key(work, name, command):
    path = os.path.join(work, name)
    subprocess.run(command + [path], capture_output=True, check=True)
    return path, keys.public_pem(path)


def unpadded(raw):
    """RAW (an uncompressed package) with the padding after its ADB block cut."""
    (tag,) = struct.unpack_from("<I", raw, 8)
    end = 8 + (tag & 0x3FFFFFFF)
    return raw[:end] + raw[end + -end % 8:]


def package3(version="1.0.0-r1", program=PROGRAM):
    if version == "1.0.0-r1":
        return apk3.openwrt_package(program, "mips_24kc", RECIPE, EPOCH)
    info = {"name": "ip4add", "version": version, "arch": "mips_24kc"}
    raw, _ = apk3.package(info, {"usr/bin/ip4add": (0o755, program),
                                 "lib/apk/packages/ip4add.list": (0o644, b"/usr/bin/ip4add\n")},
                          apk3.openwrt_scripts("ip4add"), EPOCH)
    return "ip4add-1.0.0-1.apk", apk3.compress(raw)


def misaligned():
    """A package whose ADB block needs padding to eight bytes, without it."""
    for extra in range(8):
        recipe = dict(RECIPE, description="d" * (8 + extra))
        raw = apk3.inflate(apk3.openwrt_package(PROGRAM, "mips_24kc", recipe, EPOCH)[1])
        (tag,) = struct.unpack_from("<I", raw, 8)
        end = 8 + (tag & 0x3FFFFFFF)
        if end % 8:
            return apk3.compress(raw[:end] + raw[end + -end % 8:])
    raise AssertionError("no description needs padding")


def feed(work, case, package, private, pem, indexed=None):
    """A folder with PACKAGE (name, bytes) and a packages.adb of INDEXED
    (default: the package's bytes), signed with PRIVATE as the key of PEM."""
    folder = os.path.join(work, case.replace(" ", "-"), "mips_24kc")
    os.makedirs(folder)
    with open(os.path.join(folder, package[0]), "wb") as out:
        out.write(package[1])
    signed = apk3.signed_feed([indexed or package[1]], lambda m: keys.sign(private, m, "sha512"),
                              apk3.key_id(keys.ec_point(pem)))
    with open(os.path.join(folder, "packages.adb"), "wb") as out:
        out.write(signed)
    return folder


def alpine(work, case, private, name, fields=FIELDS2, files=None):
    folder = os.path.join(work, case.replace(" ", "-"), "x86_64")
    os.makedirs(folder)
    data = apk2.package(fields, files or {"usr/bin/ip4add": (0o755, PROGRAM)}, EPOCH, private,
                        name)
    path = os.path.join(folder, "ip4add-1.0.0-r0.apk")
    with open(path, "wb") as out:
        out.write(data)
    return folder, path


def main():
    with tempfile.TemporaryDirectory() as work:
        ec = ["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out"]
        ours, ours_pem = key(work, "ours.pem", ec)
        other, _ = key(work, "other.pem", ec)
        rsa, rsa_pem = key(work, "ours.rsa", ["openssl", "genrsa", "-out"])
        rsa_other, _ = key(work, "other.rsa", ["openssl", "genrsa", "-out"])
        name, good = package3()
        _, changed = package3(program=PROGRAM + b"x")
        raw = apk3.inflate(good)
        program_at = raw.index(PROGRAM)
        bad_byte = raw[:program_at] + b"\x00" + raw[program_at + 1:]
        # The good files pass.
        adb.check_package(good, name, WANT3)
        adb.check_feed(feed(work, "good", (name, good), ours, ours_pem), "mips_24kc",
                       ours_pem, work)
        folder, path = alpine(work, "good alpine", rsa, "ip4add.rsa.pub")
        info, control = apk2.check_package(path, WANT2, rsa_pem, "ip4add.rsa.pub", work)
        with open(os.path.join(folder, "APKINDEX.tar.gz"), "wb") as out:
            out.write(apk2.index([(info, control, os.path.getsize(path))], "ip4add 1.0.0",
                                 EPOCH, rsa, "ip4add.rsa.pub"))
        apk2.check_index(folder, "x86_64", rsa_pem, "ip4add.rsa.pub", work)
        print("apk: the packages and feeds as written pass")

        def package_fault(data, want=WANT3):
            return lambda: adb.check_package(data, name, want)

        def feed_fault(case, private=ours, arch="mips_24kc", indexed=None):
            return lambda: adb.check_feed(feed(work, case, (name, good), private, ours_pem,
                                               indexed), arch, ours_pem, work)

        def alpine_fault(case, private=rsa, files=None):
            return lambda: apk2.check_package(alpine(work, case, private, "ip4add.rsa.pub",
                                                     files=files)[1], WANT2, rsa_pem,
                                              "ip4add.rsa.pub", work)

        cases = [  # (case, the check, the reason it must give)
            ("a block out of alignment", package_fault(misaligned()), "padded with zeros"),
            ("a file hash that does not match", package_fault(apk3.compress(bad_byte)),
             "SHA-256 is not its data's"),
            ("a deflate stream cut short", package_fault(good[:-9]), "cut short"),
            ("a version apk refuses", package_fault(
                package3(version="1.0.0-1")[1], dict(WANT3, version="1.0.0-1")),
             "refuses as invalid"),
            ("a signature by another key, under the release key's id",
             feed_fault("other key", other), "does not verify with the release's key"),
            ("an index entry whose hash is not its package's",
             feed_fault("other package", indexed=changed), "is not its package's"),
            ("an arch that is not the folder's",
             feed_fault("other arch", arch="mipsel_24kc"), "the feed's is"),
            ("Alpine: a signature by another key", alpine_fault("alpine other key", rsa_other),
             "does not verify"),
            ("Alpine: a version apk refuses", lambda: apk2.check_package(
                alpine(work, "alpine version", rsa, "ip4add.rsa.pub",
                       fields=[("pkgname", "ip4add"), ("pkgver", "1.0.0-1"),
                               ("arch", "x86_64")])[1],
                dict(WANT2, pkgver="1.0.0-1"), rsa_pem, "ip4add.rsa.pub", work),
             "refuses as invalid"),
            ("Alpine: a program that is not the release file", alpine_fault(
                "alpine program", files={"usr/bin/ip4add": (0o755, PROGRAM + b"x")}),
             "not the release file"),
        ]
        failed = refused(cases)
    print(f"apk: {len(cases) - failed} of {len(cases)} faults caught")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
