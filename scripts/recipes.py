#!/usr/bin/env python3
"""The packaging recipes' version, addresses and checksums, from their one
home: project(VERSION HOMEPAGE_URL) in CMakeLists.txt, the licence file,
and the release's source archive.

usage: recipes.py [--check]

The recipes in packaging/ (OpenWrt, Buildroot, Yocto, Alpine, Debian)
carry the version, the source address (HOMEPAGE_URL/releases/) and the
licence file's checksums; this writes them there and names the Yocto recipe
after the version. With --check it writes nothing and fails when a recipe
is not what they give, or carries a checksum of the source archive (CI runs
it).

The archive's checksum is a fact of a release, not of the tree: the
release (released()) writes the recipes it ships with the checksum of the
archive beside them, filled in the way each system's own update step fills
it in, and the replays fill in their recipe the same way before they check
it as their system checks it.

As a module: version(), homepage(), source_url(), source_date() and
source_archive(), which the release and the replays use too; released();
and the OpenWrt recipe's values as make evaluates them. The archive is
ip4add-VERSION.tar.gz of the committed tree (HEAD) without packaging/
(.gitattributes: export-ignore), made so that the same tree gives the same
bytes: owner root, every time the time of the last commit that changed
what it holds, GNU tar headers, no name or time in the gzip header.
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
import tempfile

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


def tree_files(release_version):
    """Each recipe file as it stands in the tree: {path: text} with the
    version, the address and the licence checksums written in and no
    checksum of the archive, from the recipes as they stand."""
    with open(os.path.join(ROOT, "LICENSE"), "rb") as text:
        licence = text.read()
    url = source_url()
    rules = {
        "openwrt/ip4add/Makefile": [
            (r"(?m)^PKG_VERSION:=.*$", f"PKG_VERSION:={release_version}"),
            (r"(?m)^PKG_SOURCE_URL:=.*$", f"PKG_SOURCE_URL:={url}"),
            (r"(?m)^  URL:=.*$", f"  URL:={homepage()}")],
        "buildroot/ip4add/ip4add.mk": [
            (r"(?m)^IP4ADD_VERSION = .*$", f"IP4ADD_VERSION = {release_version}"),
            (r"(?m)^IP4ADD_SITE = .*$", f"IP4ADD_SITE = {url.rstrip('/')}")],
        "buildroot/ip4add/ip4add.hash": [
            (r"(?m)^sha256  \S+  LICENSE$",
             f"sha256  {hashlib.sha256(licence).hexdigest()}  LICENSE")],
        "buildroot/ip4add/Config.in": [
            (r"(?m)^\t  https://\S+$", f"\t  {homepage()}")],
        "yocto/ip4add.bb": [
            (r"(?m)^HOMEPAGE = .*$", f'HOMEPAGE = "{homepage()}"'),
            (r"(?m)^LIC_FILES_CHKSUM = .*$",
             f'LIC_FILES_CHKSUM = "file://LICENSE;md5={hashlib.md5(licence).hexdigest()}"'),
            (r'(?m)^SRC_URI = "\S+', f'SRC_URI = "{url}ip4add-${{PV}}.tar.gz')],
        "alpine/APKBUILD": [
            (r"(?m)^pkgver=.*$", f"pkgver={release_version}"),
            (r'(?m)^url=.*$', f'url="{homepage()}"'),
            (r'(?m)^source=.*$', f'source="{url}ip4add-$pkgver.tar.gz"')],
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
        out[path] = CHECKSUMS[name][0](content) if name in CHECKSUMS else content
    return out


# --- The archive's checksum, as each system's own update step writes it ---------

def _openwrt_drop(makefile):
    return re.sub(r"(?m)^PKG_HASH\s*:?=.*\n", "", makefile)


def _openwrt_add(makefile, archive, _):
    """make package/ip4add/check FIXUP=1 on a recipe without PKG_HASH:
    scripts/fixup-makefile.pl add-hash writes PKG_HASH:=SHA256 on the line
    after PKG_SOURCE_URL."""
    return re.sub(r"(?m)^(\s*)PKG_SOURCE_URL(\s*):?=(\s*)(.*)\n",
                  lambda m: f"{m.group(0)}{m.group(1)}PKG_HASH{m.group(2)}:={m.group(3)}"
                            f"{hashlib.sha256(archive).hexdigest()}\n",
                  _openwrt_drop(makefile), count=1)


def _buildroot_drop(hashes):
    return re.sub(r"(?m)^\S+\s+\S+\s+ip4add-.*\.tar\.gz\n", "", hashes)


def _buildroot_add(hashes, archive, tarball):
    """Buildroot has no update step: its packagers add the line that
    support/download/check-hash reads (KIND  HASH  FILE) under the
    "Locally computed" comment, before the licence file's."""
    return re.sub(r"(?m)^# Locally computed\n",
                  lambda m: f"{m.group(0)}sha256  {hashlib.sha256(archive).hexdigest()}  "
                            f"{tarball}\n", _buildroot_drop(hashes), count=1)


def _yocto_drop(recipe):
    return re.sub(r"(?m)^SRC_URI\[sha256sum\] = .*\n", "", recipe)


def _yocto_add(recipe, archive, _):
    """The line bitbake's fetcher asks for when it is missing ("Missing
    SRC_URI checksum, please add those to the recipe"), after SRC_URI."""
    return re.sub(r'(?ms)^SRC_URI = ".*?"\n',
                  lambda m: f'{m.group(0)}SRC_URI[sha256sum] = '
                            f'"{hashlib.sha256(archive).hexdigest()}"\n',
                  _yocto_drop(recipe), count=1)


def _alpine_drop(apkbuild):
    return re.sub(r'(?ms)^(md5|sha\d+)sums=".*?"\n', "", apkbuild).rstrip("\n") + "\n"


def _alpine_add(apkbuild, archive, tarball):
    """abuild checksum: every *sums= block goes, and sha512sums of the
    sources is appended, after a blank line as aports keep it."""
    return (_alpine_drop(apkbuild) + f'\nsha512sums="\n{hashlib.sha512(archive).hexdigest()}  '
            f'{tarball}\n"\n')


# recipe file: (without the archive's checksum, with it)
CHECKSUMS = {
    "openwrt/ip4add/Makefile": (_openwrt_drop, _openwrt_add),
    "buildroot/ip4add/ip4add.hash": (_buildroot_drop, _buildroot_add),
    "yocto/ip4add.bb": (_yocto_drop, _yocto_add),
    "alpine/APKBUILD": (_alpine_drop, _alpine_add),
}


def with_checksum(name, text, archive, release_version):
    """The recipe file NAME (its path in packaging/, the Yocto recipe as
    yocto/ip4add.bb) with the checksum of ARCHIVE filled in as its system's
    update step fills it in; other files as they are."""
    if name not in CHECKSUMS:
        return text
    return CHECKSUMS[name][1](text, archive, f"ip4add-{release_version}.tar.gz")


def released(archive, release_version, commit="HEAD"):
    """Every file of packaging/ at COMMIT, as the release ships it beside
    ARCHIVE: {path below packaging/: (mode, bytes)}, the recipes with the
    archive's checksum."""
    listed = _git("ls-tree", "-r", "-z", commit, "--", "packaging").decode().split("\0")
    out = {}
    for entry in filter(None, listed):
        meta, path = entry.split("\t", 1)
        mode, _, blob = meta.split()
        name = os.path.relpath(path, "packaging")
        data = _git("cat-file", "blob", blob)
        key = "yocto/ip4add.bb" if re.fullmatch(r"yocto/ip4add_.*\.bb", name) else name
        if key in CHECKSUMS:
            data = with_checksum(key, data.decode(), archive, release_version).encode()
        out[name] = (0o755 if mode == "100755" else 0o644, data)
    return out


def yocto_recipe():
    found = glob.glob(os.path.join(PACKAGING, "yocto", "ip4add_*.bb"))
    if len(found) != 1:
        sys.exit(f"recipes: packaging/yocto holds {len(found)} ip4add_*.bb recipes, not one")
    return found[0]


# --- The OpenWrt recipe, as make evaluates it --------------------------------

def openwrt_values(recipe_dir, work, ipkg_dir, pkg_install_dir):
    """The recipe's variables and its install step, evaluated by make
    itself with stand-ins for the three files it includes."""
    stub = os.path.join(work, "stub")
    os.makedirs(os.path.join(stub, "include"), exist_ok=True)
    with open(os.path.join(stub, "rules.mk"), "w", encoding="utf-8") as out:
        # rules.mk: INCLUDE_DIR, INSTALL_DIR, INSTALL_BIN as OpenWrt sets them
        out.write("INCLUDE_DIR:=$(TOPDIR)/include\nINSTALL_DIR:=install -d -m0755\n"
                  "INSTALL_BIN:=install -m0755\n")
    with open(os.path.join(stub, "include", "cmake.mk"), "w", encoding="utf-8") as out:
        out.write("")  # its configure line is replays/openwrt.py's, not evaluated
    description = os.path.join(work, "description")
    with open(os.path.join(stub, "include", "package.mk"), "w", encoding="utf-8") as out:
        # BuildPackage: Package/NAME sets SECTION, URL and the rest; its
        # description goes to a file, since it spans lines
        out.write("define BuildPackage\n"
                  "$$(eval $$(Package/$(1)))\n"
                  "$$(file >$(DESCRIPTION_FILE),$$(Package/$(1)/description))\n"
                  "replay-values:\n"
                  "\t@echo 'PKG_NAME=$(PKG_NAME)'; echo 'PKG_VERSION=$(PKG_VERSION)'\n"
                  "\t@echo 'PKG_RELEASE=$(PKG_RELEASE)'\n"
                  "\t@echo 'PKG_SOURCE=$(PKG_SOURCE)'; echo 'PKG_HASH=$(PKG_HASH)'\n"
                  "\t@echo 'PKG_LICENSE=$(PKG_LICENSE)'\n"
                  "\t@echo 'PKG_LICENSE_FILES=$(PKG_LICENSE_FILES)'\n"
                  "\t@echo 'PKG_MAINTAINER=$(PKG_MAINTAINER)'\n"
                  "\t@echo 'SECTION=$$(SECTION)'; echo 'URL=$$(URL)'; echo 'DEPENDS=$$(DEPENDS)'\n"
                  "\t@echo 'CMAKE_OPTIONS=$(CMAKE_OPTIONS)'\n"
                  "replay-install:\n"
                  "\t$$(call Package/$(1)/install,$(IPKG_DIR))\n"
                  "endef\n")
    make = ["make", "--no-print-directory", "-C", recipe_dir, f"TOPDIR={stub}",
            f"PKG_INSTALL_DIR={pkg_install_dir}", f"IPKG_DIR={ipkg_dir}",
            f"DESCRIPTION_FILE={description}"]
    out = subprocess.run(make + ["replay-values"], capture_output=True, text=True,
                         check=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    with open(description, encoding="utf-8") as text:
        values["description"] = text.read()
    return values, make + ["replay-install"]


def openwrt_recipe():
    """The OpenWrt recipe's values, as its make evaluates them (the release's
    .ipk files carry them, as OpenWrt's own build would)."""
    with tempfile.TemporaryDirectory() as work:
        return openwrt_values(os.path.join(PACKAGING, "openwrt", "ip4add"), work, work, work)[0]


def stale(files):
    """The recipe files that are not as FILES has them."""
    out = []
    for path, content in files.items():
        current = None
        if os.path.exists(path):
            with open(path, encoding="utf-8") as text:
                current = text.read()
        if current != content:
            out.append(os.path.relpath(path, ROOT))
    return out


def alpine_recipe():
    """The Alpine recipe's values, as abuild reads them: the APKBUILD sourced
    by a shell, the maintainer from its "# Maintainer:" line."""
    path = os.path.join(PACKAGING, "alpine", "APKBUILD")
    names = ["pkgname", "pkgver", "pkgrel", "pkgdesc", "url", "license"]
    script = ". \"$1\"; " + "; ".join(f"printf '%s\\n' \"${name}\"" for name in names)
    out = subprocess.run(["sh", "-c", script, "sh", path], capture_output=True, text=True,
                         check=True).stdout.split("\n")
    values = dict(zip(names, out))
    with open(path, encoding="utf-8") as text:
        values["maintainer"] = re.search(r"^# Maintainer: (.*)$", text.read(), re.M).group(1)
    return values


def main():
    check = sys.argv[1:] == ["--check"]
    if sys.argv[1:] not in ([], ["--check"]):
        sys.exit(__doc__)
    release_version = version()
    old_yocto = yocto_recipe()
    files = tree_files(release_version)
    changed = stale(files)
    if check:
        if changed:
            sys.exit(f"recipes: {', '.join(changed)} differ from CMakeLists.txt's project() and "
                     "LICENSE, or carry the source archive's checksum, which the release "
                     "writes: run python3 scripts/recipes.py and commit")
        print(f"recipes: {len(files)} files agree with version {release_version}, its address "
              "and the licence, and carry no checksum of the source archive")
        return
    for path, content in files.items():
        with open(path, "w", encoding="utf-8") as text:
            text.write(content)
    new_yocto = os.path.join(PACKAGING, "yocto", f"ip4add_{release_version}.bb")
    if old_yocto != new_yocto:
        os.remove(old_yocto)
    print(f"recipes: wrote {', '.join(changed) or 'nothing (all current)'}")


if __name__ == "__main__":
    main()

