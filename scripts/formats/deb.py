"""The .deb: Debian's own build of packaging/debian, for real, and the
check of what it wrote with dpkg-deb. The release builds its Debian
packages with it (natively, and cross-built in a Debian root of their own),
and so does the Debian replay."""
import os
import re
import shlex
import shutil
import subprocess
import sys

import recipes
from formats.tarball import fail
from system_build import (PACKAGING, TEST_TOOLS, base_env, check_tree, fetch, no_warnings, run,
                          say, unpack)

# Debian's packages of the test tools
DEBIAN_NAMES = {"libgtest-dev": "gtest", "python3": "python3", "python3:any": "python3",
                "dash": "dash", "valgrind": "valgrind", "clang-tidy": "lint", "cppcheck": "lint"}
LINTIAN_FAIL = "error,warning"
DEBIAN_MIRROR = "http://deb.debian.org/debian"


def native_arch():
    """This host's Debian architecture."""
    return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()


def debian_version(debian=os.path.join(PACKAGING, "debian")):
    """The Debian package's version, as its changelog's first line has it."""
    with open(os.path.join(debian, "changelog"), encoding="utf-8") as text:
        return re.match(r"ip4add \(([^)]+)\)", text.read()).group(1)


def build_depends(cross):
    """The recipe's Build-Depends, by name (for a cross build, those outside
    <!nocheck>, as the nocheck profile has them)."""
    with open(os.path.join(PACKAGING, "debian", "control"), encoding="utf-8") as text:
        control = text.read()
    field = re.search(r"(?ms)^Build-Depends:(.*?)^\S", control).group(1)
    return [re.split(r"[\s(<\[]", item.strip())[0] for item in field.split(",")
            if item.strip() and not (cross and "<!nocheck>" in item)]


def debian_root(path, archs):
    """A Debian 12 root at PATH for the cross builds: build-essential, the
    recipe's Build-Depends outside <!nocheck>, and for every foreign
    architecture of ARCHS Debian's cross compilers and its libc6-dev, which
    dpkg-shlibdeps needs. Each foreign libc6-dev must have the very version
    of the native one (Multi-Arch: same), and this host takes its updates
    from the security archive, which carries neither armel, mipsel nor
    mips64el and whose foreign indices can lag its Release (apt then fails):
    so the root has the main archive and its updates alone, the same
    versions for every architecture, and the host needs no foreign one."""
    native = native_arch()
    foreign = [arch for arch in archs if arch != native]
    include = build_depends(cross=True)
    for arch in foreign:
        include += [f"crossbuild-essential-{arch}", f"libc6-dev:{arch}"]
    # The archive reachable here is a dated snapshot, whose Release files
    # have expired.
    done = subprocess.run(
        ["mmdebstrap", "--quiet", "--variant=buildd",
         "--architectures=" + ",".join([native] + foreign), "--include=" + ",".join(include),
         '--aptopt=Acquire::Check-Valid-Until "false"', "bookworm", path,
         f"deb {DEBIAN_MIRROR} bookworm main", f"deb {DEBIAN_MIRROR} bookworm-updates main"],
        capture_output=True, text=True, check=False)
    if done.returncode != 0:
        print(done.stdout + done.stderr)
        sys.exit("debian: mmdebstrap could not make the cross builds' root")
    os.makedirs(os.path.join(path, "build"))


def in_root(root, work, folder, command, env):
    """The shell text that runs COMMAND (a list) in ROOT, in WORK's FOLDER
    with WORK at /build and nothing of this host's environment but ENV; its
    mounts end with the namespace that run() makes."""
    assignments = " ".join(f"{key}={shlex.quote(value)}" for key, value in env.items())
    inner = f"cd /build/{shlex.quote(folder)} && {shlex.join(command)}"
    where = shlex.quote(root)
    return (f"mount --bind {shlex.quote(work)} {where}/build && "
            f"mount -t proc proc {where}/proc && mount --bind /dev {where}/dev && "
            f"chroot {where} /usr/bin/env -i {assignments} sh -c {shlex.quote(inner)}")


def build(work, out=None, arch=None, root=None, debian=os.path.join(PACKAGING, "debian")):
    """Debian's own build, for real: dpkg-buildpackage -us -uc -b on the
    release's archive as the orig tarball, with packaging/debian as its
    debian/ folder, the suite run by dh_auto_test; then lintian, which must
    report no error and no warning. A foreign ARCH is cross-built in ROOT
    (debian_root) with Debian's cross compiler (-a ARCH) and the nocheck
    profile, as dh_auto_test runs no cross build's suite (its binary is to
    run the case table under an emulator instead). Returns the installed
    binary and the .deb. DEBIAN: the debian/ folder to build with."""
    native = native_arch()
    arch = arch or native
    cross = arch != native
    release_version, deb_version = recipes.version(), debian_version(debian)
    # dpkg-source: ../SOURCE_UPSTREAM.orig.tar.gz beside the unpacked tree
    archive, _ = fetch(work, f"ip4add_{release_version}.orig.tar.gz")
    unpack(archive, work)
    tree = os.path.join(work, f"ip4add-{release_version}")
    shutil.copytree(debian, os.path.join(tree, "debian"))
    log = []
    command, env = ["dpkg-buildpackage", "-us", "-uc", "-b"], base_env({})
    if cross:
        # The root holds what the recipe declares and nothing else, so that
        # nothing of this host needs hiding.
        if root is None:
            sys.exit(f"debian: a cross build ({arch}) runs in a root of its own")
        command += [f"--host-arch={arch}", "--build-profiles=nocheck"]
        env["DEB_BUILD_OPTIONS"] = "nocheck"
        run(in_root(root, work, os.path.basename(tree), command, env), work, base_env({}),
            keep=list(TEST_TOOLS), log=log)
    else:
        # What the build may use: what it declares.
        keep = [DEBIAN_NAMES[name] for name in build_depends(cross=False)
                if name in DEBIAN_NAMES]
        run(command, tree, env, keep=keep, log=log)
        result = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)",
                           "".join(log))
        if not result or result.group(2) != "0":
            sys.exit("debian: dh_auto_test did not run and pass the suite")
        say(f"debian: dh_auto_test ran the suite: {result.group(3)} tests, 0 failed")
    no_warnings(f"debian ({arch})", "".join(log))
    deb = os.path.join(work, f"ip4add_{deb_version}_{arch}.deb")
    changes = os.path.join(work, f"ip4add_{deb_version}_{arch}.changes")
    lintian = subprocess.run(["lintian", "--fail-on", LINTIAN_FAIL, "--display-info",
                              "--pedantic", changes], capture_output=True, text=True, check=False)
    tags = lintian.stdout.strip().splitlines()
    bad = [tag for tag in tags if tag[:2] in ("E:", "W:")]
    if lintian.returncode != 0 or bad:
        print(lintian.stdout + lintian.stderr)
        sys.exit(f"debian ({arch}): lintian reports errors or warnings")
    say(f"debian ({arch}): lintian: no error, no warning; {len(tags)} other tags"
        + "".join(f"\n  {tag}" for tag in tags))
    unpacked = os.path.join(work, "unpacked")
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    binary = check_tree(f"debian ({arch}, .deb)", unpacked, [
        "usr/share/man/man1/ip4add.1.gz", "usr/share/doc/ip4add/copyright",
        "usr/share/doc/ip4add/changelog.Debian.gz", "usr/share/lintian/overrides/ip4add"])
    if out:
        os.makedirs(out, exist_ok=True)
        shutil.copy(deb, out)
        say(f"debian: {os.path.basename(deb)} in {out}")
    return binary, deb


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

