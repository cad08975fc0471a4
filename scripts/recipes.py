#!/usr/bin/env python3
"""The packaging recipes' version, addresses and checksums, written from
their one home: project(VERSION HOMEPAGE_URL) in CMakeLists.txt, and the
release's source archive.

usage: recipes.py [--check]

Writes into packaging/ (OpenWrt, Buildroot, Yocto, Alpine, Debian) the
version, the source address (HOMEPAGE_URL/releases/), the archive's SHA-256
(SHA-512 for Alpine) and the licence file's checksums, and renames the
Yocto recipe after the version. With --check it writes nothing and fails
when a recipe is not what they give (CI runs it).

As a module: version(), homepage(), source_url() and source_archive(),
which the release uses too. The archive is ip4add-VERSION.tar.gz of the
committed tree (HEAD) without packaging/ (.gitattributes: export-ignore),
made so that the same tree gives the same bytes: owner root, every time the
time of the last commit that changed what it holds, GNU tar headers, no
name or time in the gzip header. The recipes that carry its checksum are
thus not part of it, and writing them does not change it.
"""
import glob
import gzip
import hashlib
import io
import os
import re
import subprocess
import sys
import tarfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGING = os.path.join(ROOT, "packaging")


def _project(field):
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as text:
        match = re.search(r"project\(ip4add\b[^)]*\b%s\s+\"?([^\s\")]+)" % field, text.read())
    if not match:
        sys.exit(f"recipes: no {field} in CMakeLists.txt's project()")
    return match.group(1)


def version():
    return _project("VERSION")


def homepage():
    return _project("HOMEPAGE_URL")


def source_url():
    """Where the release's source archives are published: one folder."""
    return homepage() + "/releases/"


def _git(*args):
    return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, check=True).stdout


def source_date(commit="HEAD"):
    """The source's date: the time of the last commit that changed what the
    source archive holds (the times in the archive and in the packages)."""
    return int(_git("log", "-1", "--format=%ct", commit, "--", ".", ":(exclude)packaging"))


def source_archive(path, release_version, commit="HEAD"):
    """Writes the source archive of COMMIT to PATH; returns its bytes."""
    epoch = source_date(commit)
    raw = _git("archive", "--format=tar", f"--prefix=ip4add-{release_version}/", commit)
    tar_bytes = io.BytesIO()
    # git's own header holds the commit's id, which would change the
    # archive with every commit: the members are written anew without it.
    with tarfile.open(fileobj=io.BytesIO(raw)) as source, \
            tarfile.open(fileobj=tar_bytes, mode="w", format=tarfile.GNU_FORMAT) as out:
        for member in source.getmembers():
            member.mtime, member.uid, member.gid = epoch, 0, 0
            member.uname, member.gname = "root", "root"
            out.addfile(member, source.extractfile(member) if member.isfile() else None)
    data = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=data, mtime=0, compresslevel=9) as packed:
        packed.write(tar_bytes.getvalue())
    with open(path, "wb") as out:
        out.write(data.getvalue())
    return data.getvalue()


def expected_files(archive, release_version):
    """Each recipe file as the version, the address and the checksums make
    it: {path: text}, from the recipes as they stand."""
    sha256 = hashlib.sha256(archive).hexdigest()
    sha512 = hashlib.sha512(archive).hexdigest()
    with open(os.path.join(ROOT, "LICENSE"), "rb") as text:
        licence = text.read()
    url, tarball = source_url(), f"ip4add-{release_version}.tar.gz"
    rules = {
        "openwrt/ip4add/Makefile": [
            (r"(?m)^PKG_VERSION:=.*$", f"PKG_VERSION:={release_version}"),
            (r"(?m)^PKG_SOURCE_URL:=.*$", f"PKG_SOURCE_URL:={url}"),
            (r"(?m)^PKG_HASH:=.*$", f"PKG_HASH:={sha256}"),
            (r"(?m)^  URL:=.*$", f"  URL:={homepage()}")],
        "buildroot/ip4add/ip4add.mk": [
            (r"(?m)^IP4ADD_VERSION = .*$", f"IP4ADD_VERSION = {release_version}"),
            (r"(?m)^IP4ADD_SITE = .*$", f"IP4ADD_SITE = {url.rstrip('/')}")],
        "buildroot/ip4add/ip4add.hash": [
            (r"(?m)^sha256  \S+  ip4add-.*\.tar\.gz$", f"sha256  {sha256}  {tarball}"),
            (r"(?m)^sha256  \S+  LICENSE$",
             f"sha256  {hashlib.sha256(licence).hexdigest()}  LICENSE")],
        "buildroot/ip4add/Config.in": [
            (r"(?m)^\t  https://\S+$", f"\t  {homepage()}")],
        "yocto/ip4add.bb": [
            (r"(?m)^HOMEPAGE = .*$", f'HOMEPAGE = "{homepage()}"'),
            (r"(?m)^LIC_FILES_CHKSUM = .*$",
             f'LIC_FILES_CHKSUM = "file://LICENSE;md5={hashlib.md5(licence).hexdigest()}"'),
            (r'(?m)^SRC_URI = "\S+', f'SRC_URI = "{url}ip4add-${{PV}}.tar.gz'),
            (r"(?m)^SRC_URI\[sha256sum\] = .*$", f'SRC_URI[sha256sum] = "{sha256}"')],
        "alpine/APKBUILD": [
            (r"(?m)^pkgver=.*$", f"pkgver={release_version}"),
            (r'(?m)^url=.*$', f'url="{homepage()}"'),
            (r'(?m)^source=.*$', f'source="{url}ip4add-$pkgver.tar.gz"'),
            (r"(?m)^\S{128}  ip4add-.*\.tar\.gz$", f"{sha512}  {tarball}")],
        "debian/changelog": [
            (r"\Aip4add \([^)]*\)", f"ip4add ({release_version}-1)")],
        "debian/control": [
            (r"(?m)^Homepage: .*$", f"Homepage: {homepage()}")],
        "debian/copyright": [
            (r"(?m)^Source: .*$", f"Source: {homepage()}")],
    }
    out = {}
    for name, changes in rules.items():
        path = yocto_recipe() if name == "yocto/ip4add.bb" else os.path.join(PACKAGING, name)
        with open(path, encoding="utf-8") as text:
            content = text.read()
        for pattern, replacement in changes:
            content, count = re.subn(pattern, lambda _, r=replacement: r, content)
            if count != 1:
                sys.exit(f"recipes: {os.path.relpath(path, ROOT)} has {count} lines for "
                         f"{pattern!r}, not one")
        if name == "yocto/ip4add.bb":
            path = os.path.join(PACKAGING, "yocto", f"ip4add_{release_version}.bb")
        out[path] = content
    return out


def yocto_recipe():
    found = glob.glob(os.path.join(PACKAGING, "yocto", "ip4add_*.bb"))
    if len(found) != 1:
        sys.exit(f"recipes: packaging/yocto holds {len(found)} ip4add_*.bb recipes, not one")
    return found[0]


def main():
    check = sys.argv[1:] == ["--check"]
    if sys.argv[1:] not in ([], ["--check"]):
        sys.exit(__doc__)
    release_version = version()
    scratch = os.path.join(ROOT, "build", "recipes")
    os.makedirs(scratch, exist_ok=True)
    archive = source_archive(os.path.join(scratch, f"ip4add-{release_version}.tar.gz"),
                             release_version)
    old_yocto = yocto_recipe()
    files = expected_files(archive, release_version)
    stale = []
    for path, content in files.items():
        current = None
        if os.path.exists(path):
            with open(path, encoding="utf-8") as text:
                current = text.read()
        if current != content:
            stale.append(os.path.relpath(path, ROOT))
    if check:
        if stale:
            sys.exit(f"recipes: {', '.join(stale)} differ from CMakeLists.txt's project() and "
                     "the source archive of HEAD: run python3 scripts/recipes.py and commit")
        print(f"recipes: {len(files)} files agree with version {release_version} and the "
              f"source archive of HEAD (sha256 {hashlib.sha256(archive).hexdigest()[:16]}…)")
        return
    for path, content in files.items():
        with open(path, "w", encoding="utf-8") as text:
            text.write(content)
    new_yocto = os.path.join(PACKAGING, "yocto", f"ip4add_{release_version}.bb")
    if old_yocto != new_yocto:
        os.remove(old_yocto)
    print(f"recipes: wrote {', '.join(stale) or 'nothing (all current)'}")


if __name__ == "__main__":
    main()
