#!/usr/bin/env python3
"""The release, built again elsewhere, must give the same bytes.

usage: python3 scripts/reproduce.py DIST KEYS   (as root, after release.py)

Clones the committed tree into a folder of another path and runs its own
release there (release.py --again: the files, the source archive, the
recipes, the .ipk, apk and Alpine packages and their indexes, after the
CPU runs that choose what each package holds; no instruction counts, no
booted steps, no tables), minutes later, under umask 077, the C locale
and another time zone, signed with the same keys (the folder KEYS). Every
file it makes must be DIST's, byte for byte, but for two: each
packages.adb, whose ECDSA signature draws a nonce (its signed ADB block
must be the same), and SHA256SUMS, which lists fewer files (each of its
lines must stand in DIST's, but those of packages.adb) and so has a
signature of its own. The .deb
files are not built again: the release builds each twice, in two folders,
to the same bytes. What leaks into a file from the build's path, time,
umask or locale shows here as a difference.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from formats import adb

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ELSEWHERE = {"LC_ALL": "C", "LANG": "C", "TZ": "Pacific/Chatham"}  # UTC+13:45 in December


def files(folder):
    return sorted(os.path.relpath(os.path.join(path, name), folder)
                  for path, _, names in os.walk(folder) for name in names)


def read(folder, name):
    with open(os.path.join(folder, name), "rb") as data:
        return data.read()


def same(dist, again, name):
    """Whether NAME is the same in both, as this name must be."""
    ours, theirs = read(dist, name), read(again, name)
    if name.endswith("packages.adb"):
        return adb.read(ours, name)[1] == adb.read(theirs, name)[1]
    if name == "SHA256SUMS":
        return {line for line in theirs.splitlines() if not line.endswith(b"packages.adb")} \
            <= set(ours.splitlines())
    return ours == theirs


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    dist, key_folder = (os.path.abspath(path) for path in sys.argv[1:])
    started = time.monotonic()
    other = tempfile.mkdtemp(prefix="ip4add-again-", dir="/var/tmp")
    try:
        tree, again = os.path.join(other, "a-tree-of-another-path"), os.path.join(other, "dist")
        subprocess.run(["git", "clone", "--quiet", ROOT, tree], check=True)
        env = {key: value for key, value in os.environ.items()
               if not key.startswith("LC_") and key not in ("LANG", "LANGUAGE", "TZ")}
        done = subprocess.run(["sh", "-c", 'umask 077 && exec python3 scripts/release.py '
                               '--again --no-docs --dist "$1" --keys "$2"', "sh", again,
                               key_folder], cwd=tree, env=dict(env, **ELSEWHERE),
                              capture_output=True, text=True, check=False)
        if done.returncode:
            sys.exit(f"reproduce: the release did not build again:\n{done.stdout[-3000:]}"
                     f"{done.stderr[-3000:]}")
        made, kept = files(again), files(dist)
        differ = [name for name in made if name != "SHA256SUMS.sig"
                  and (name not in kept or not same(dist, again, name))]
        if differ:
            for name in differ:
                subprocess.run(["cmp", os.path.join(dist, name), os.path.join(again, name)],
                               check=False)
            sys.exit(f"reproduce: built again in another path, at another time, under umask "
                     f"077 and the C locale, {len(differ)} files differ: {', '.join(differ)}")
        nonce = [name for name in made if name.endswith("packages.adb")]
        left = [name for name in kept if name not in made]
    finally:
        shutil.rmtree(other, ignore_errors=True)
    print(f"reproduce: {len(made) - len(nonce) - 2} files built again elsewhere are the same "
          f"bytes; {len(nonce)} packages.adb the same but for their ECDSA signatures; "
          f"SHA256SUMS's lines all in the release's; not built again: {len(left)} "
          f"({', '.join(sorted({name.split('/')[0] for name in left}))}); "
          f"{time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
