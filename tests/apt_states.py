#!/usr/bin/env python3
"""The states of the release's apt repository that the bare-root test
walks a user's apt through (.ci/readme-on-bare-root), each a folder to
serve in place of the release's debian/:

- next: the next revision, 1.0.0-2, built for this host from the same
  recipe with a changelog entry more, indexed and signed with the
  release's key: apt upgrade must take it;
- tampered: next with a byte of Packages (and so of Packages.gz) changed
  after signing: apt update must refuse it ("Hash Sum mismatch");
- other-key: next signed by another key: apt update must refuse it.

usage: PYTHONPATH=scripts apt_states.py DIST KEYS OUT (as root: the build
runs in a mount namespace); KEYS the release's key folder.
"""
import gzip
import os
import shutil
import sys
import tempfile

import keys
import recipes
from formats import apt, deb

NEXT = "1.0.0-2"
ENTRY = (f"ip4add ({NEXT}) unstable; urgency=medium\n\n"
         "  * Rebuild: the next revision, to prove upgrades through the repository.\n\n"
         " -- ip4add developers <ip4add@example.org>  Thu, 10 Dec 2026 00:00:00 +0000\n\n")


def state(out, name, built, secret, keyring):
    folder = os.path.join(out, name)
    os.makedirs(folder)
    shutil.copy(built, folder)
    apt.index(folder, recipes.source_date(), [deb.native_arch()])
    apt.sign(folder, secret)
    if keyring:
        apt.check(folder, keyring)
    return folder


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    dist, key_folder, out = sys.argv[1:]
    private, _ = keys.release_keys(key_folder, None)
    keyring = next(os.path.join(dist, name) for name in sorted(os.listdir(dist))
                   if name.endswith(".gpg"))
    with tempfile.TemporaryDirectory() as work:
        debian = os.path.join(work, "debian")
        shutil.copytree(os.path.join(recipes.PACKAGING, "debian"), debian)
        with open(os.path.join(debian, "changelog"), "r+", encoding="utf-8") as text:
            old = text.read()
            text.seek(0)
            text.write(ENTRY + old)
        _, built = deb.build(os.path.join(work, "build"), debian=debian)
        state(out, "next", built, private["openpgp"], keyring)
        tampered = shutil.copytree(os.path.join(out, "next"), os.path.join(out, "tampered"))
        with open(os.path.join(tampered, "Packages"), "rb") as data:
            packages = data.read()
        with open(os.path.join(tampered, "Packages.gz"), "rb") as data:
            size = len(data.read())
        # One letter of the description changed, compressed to the signed
        # size: apt then finds the hash, not the size, wrong.
        start = packages.index(b"Description:")
        for at in range(start + 13, len(packages)):
            if not packages[at:at + 1].islower():
                continue
            changed = packages[:at] + packages[at:at + 1].upper() + packages[at + 1:]
            if len(gzip.compress(changed, 9, mtime=0)) == size:
                break
        else:
            sys.exit("apt_states: no change of Packages compresses to its signed size")
        for name, data in (("Packages", changed),
                           ("Packages.gz", gzip.compress(changed, 9, mtime=0))):
            with open(os.path.join(tampered, name), "wb") as output:
                output.write(data)
        other = os.path.join(work, "other.asc")
        keys.KEY_FILES["openpgp"][1](other)
        state(out, "other-key", built, other, None)
    print(f"apt_states: next ({NEXT}), tampered and other-key in {out}")


if __name__ == "__main__":
    main()
