#!/usr/bin/env python3
"""The apk v3 writer against files that apk-tools 3.0.2 (OpenWrt 25.12.0's
apk) wrote from the same inputs (tests/data/apk-v3): the same package
bytes, the same compressed file, the same index block, the key id and the
signed message of apk's own signature.

usage: PYTHONPATH=scripts apk3_test.py DATA_DIR (as CTest runs it)
"""
import base64
import os
import shutil
import sys
import tempfile

from formats import adb, apk3

HELLO = ({"name": "hello", "version": "1.0.0-r1", "description": "a test package",
          "arch": "mipsel_24kc", "license": "MIT", "origin": "hello",
          "url": "https://example.org", "maintainer": "Nobody <nobody@example.org>",
          "depends": ["libc"]},
         {"usr/bin/hello": (0o755, b"#!/bin/sh\necho hello\n")},
         {"post-install": "#!/bin/sh\nexit 0\n"}, 1796819276)
LIBC = ({"name": "libc", "version": "1.2.5-r4", "arch": "mipsel_24kc", "license": "MIT"},
        {"lib/libc.txt": (0o644, b"x\n")}, {}, 1796824397)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)

    def read(name):
        with open(os.path.join(sys.argv[1], name), "rb") as data:
            return data.read()

    hello, _ = apk3.package(*HELLO)
    libc, _ = apk3.package(*LIBC)
    written = {name: read(name) for name in ("hello-1.0.0-r1.apk", "libc-1.2.5-r4.apk")}
    made_index = apk3.index([(data, len(data)) for data in written.values()])
    theirs = read("packages.adb")
    their_index = next(body for kind, body in apk3.blocks(theirs) if kind == apk3.BLOCK_ADB)
    signature = next(body for kind, body in apk3.blocks(theirs) if kind == apk3.BLOCK_SIG)
    # An EC P-256 public key's DER ends with its point, uncompressed.
    pem = read("index-key.pem").decode()
    point = base64.b64decode("".join(pem.strip().splitlines()[1:-1]))[-65:]
    cases = [  # (what, ours, apk's)
        ("package, uncompressed", hello, read("hello-1.0.0-r1.uncompressed.apk")),
        ("package, deflated", apk3.compress(hello), written["hello-1.0.0-r1.apk"]),
        ("package with no script and a file 0644", apk3.compress(libc),
         written["libc-1.2.5-r4.apk"]),
        ("index block", made_index, their_index),
        ("signature header and key id", bytes([apk3.SIGN_VERSION, apk3.HASH_SHA512])
         + apk3.key_id(point), signature[:18]),
        ("the packages' entries read back", [entry[apk3.INFO["name"] - 1] for entry in
                                            apk3.root_of(made_index)[1]], [b"hello", b"libc"]),
    ]
    with tempfile.TemporaryDirectory() as work:
        feed = os.path.join(work, "mipsel_24kc")
        os.makedirs(feed)
        for name in ("hello-1.0.0-r1.apk", "libc-1.2.5-r4.apk", "packages.adb"):
            shutil.copy(os.path.join(sys.argv[1], name), feed)
        try:
            listed = adb.check_feed(feed, "mipsel_24kc", pem.encode(), work)
        except SystemExit as refused:
            listed = str(refused)
        cases.append(("apk's signed index, as the release's check reads it", listed, 2))
    cases.append(("apk's package, as the release's reader reads it",
                  adb.Reader(adb.read(read("hello-1.0.0-r1.uncompressed.apk"), "hello")[1],
                             "hello").root(adb.PACKAGE)["scripts"],
                  {"post-install": b"#!/bin/sh\nexit 0\n"}))
    failed = 0
    for what, ours, apks in cases:
        same = ours == apks
        failed += not same
        print(f"{'ok' if same else 'DIFFERS'}: {what}")
    print(f"apk3: {len(cases) - failed} of {len(cases)} as apk-tools wrote them")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
