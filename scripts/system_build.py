"""What every packaging system's build of ip4add shares here, for the
replays (replays/) and for the release's Debian packages (formats/deb.py)
alike: a view of this host that lacks the test tools a recipe does not
declare, the compilers named and flagged as a system's toolchain names and
flags them, the source archive where the system looks for its download,
and the checks of what the build installed, the case table among them.
"""
import glob
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import tarfile

import recipes
import targets

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGING = os.path.join(ROOT, "packaging")
CASES = os.path.join(ROOT, "tests", "cli_cases.tsv")
ROUTER_ROW = "mips-musl-sf"  # its sysroot serves as the router's toolchain
ROUTER_CPU = "24Kc"  # OpenWrt's mips_24kc
# What the test suite uses and a recipe may leave undeclared: hidden from
# a replay unless its recipe declares it.
TEST_TOOLS = {
    "gtest": ["/usr/src/googletest", "/usr/include/gtest", "/usr/include/gmock",
              "/usr/lib/*/cmake/GTest", "/usr/lib/*/libgtest*", "/usr/lib/*/libgmock*"],
    "python3": ["/usr/bin/python3", "/usr/bin/python3.*"],
    "dash": [],  # Debian's /bin/sh: essential, never hidden
    "valgrind": ["/usr/bin/valgrind*", "/usr/lib/*/valgrind"],
    "lint": ["/usr/bin/clang-tidy*", "/usr/bin/cppcheck", "/usr/bin/pyflakes*"],
}


def say(text):
    print(f"replay: {text}", flush=True)


def hidden_paths(keep):
    paths = []
    for tool, patterns in TEST_TOOLS.items():
        if tool not in keep:
            for pattern in patterns:
                paths += glob.glob(pattern)
    return sorted(set(paths))


def run(command, cwd, env, keep=(), log=None):
    """Runs COMMAND (a list, or a shell text) in a mount namespace where
    the test tools outside KEEP are not there; returns its output, and
    exits with it when it fails."""
    hide = hidden_paths(keep)
    mounts = " ".join(
        f"mount -t tmpfs -o ro none {shlex.quote(p)};" if os.path.isdir(p) and
        not os.path.islink(p) else f"mount --bind /dev/null {shlex.quote(p)};" for p in hide)
    inner = command if isinstance(command, str) else shlex.join(command)
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                           f"{mounts} cd {shlex.quote(cwd)} && {inner}"],
                          env=env, capture_output=True, text=True, check=False)
    output = done.stdout + done.stderr
    if log is not None:
        log.append(output)
    if done.returncode != 0:
        print(output[-6000:])
        sys.exit(f"replay: failed (status {done.returncode}): {inner}")
    return output


def base_env(extra):
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LC_ALL": "C"}
    env.update(extra)
    return env


class Toolchain:
    """The compilers a system's recipe is built with: the host's, or the
    router's through the project's musl sysroot, behind wrappers named
    PREFIX-gcc and so on, as the system's toolchain names them."""

    def __init__(self, target, work, prefix, extra_flags=""):
        self.target, self.emulator = target, []
        self.bin = os.path.join(work, "toolchain", "bin")
        os.makedirs(self.bin, exist_ok=True)
        if target == "host":
            self.prefix, self.cross = "", ""
            self.cc, self.cxx = shutil.which("gcc"), shutil.which("g++")
            self.tools = {tool: shutil.which(tool) for tool in ("ar", "nm", "ranlib", "strip")}
            return
        row = next(row for row in targets.rows() if row["NAME"] == ROUTER_ROW)
        sysroot = subprocess.run(
            ["bash", os.path.join(ROOT, "sysroot/build-sysroot.sh"), "--libc", row["LIBC"],
             "--triplet", row["TRIPLET"], "--float", row["FLOAT"],
             "--cpu", " ".join(row["CPU_FLAGS"])],
            capture_output=True, text=True, check=True).stdout.strip()
        # A real toolchain brings libstdc++; ip4add needs nothing from it,
        # so an empty one stands in, and anything that did need it would
        # fail the link.
        lib = os.path.join(work, "toolchain", "lib")
        os.makedirs(lib, exist_ok=True)
        subprocess.run([f"{row['TRIPLET']}-ar", "rc", os.path.join(lib, "libstdc++.a")],
                       check=True)
        self.prefix, self.sysroot = prefix, sysroot
        for tool in ("gcc", "g++"):
            self._wrap(f"{prefix}-{tool}",
                       f"{row['TRIPLET']}-{tool} --sysroot={sysroot} -specs=ip4add.specs "
                       f"-L{lib} {extra_flags}")
        for tool in ("ar", "nm", "ranlib", "strip", "readelf"):
            self._wrap(f"{prefix}-{tool}", f"{row['TRIPLET']}-{tool}")
        self.cc, self.cxx = (os.path.join(self.bin, f"{prefix}-{t}") for t in ("gcc", "g++"))
        self.tools = {tool: os.path.join(self.bin, f"{prefix}-{tool}")
                      for tool in ("ar", "nm", "ranlib", "strip")}
        self.cross = f"{prefix}-"
        self.emulator = [row["QEMU"], "-cpu", ROUTER_CPU, "-L", sysroot]

    def _wrap(self, name, command):
        path = os.path.join(self.bin, name)
        with open(path, "w", encoding="utf-8") as out:
            out.write(f'#!/bin/sh\nexec {command} "$@"\n')
        os.chmod(path, 0o755)


def fetch(download_dir, name):
    """The release's source archive, where the system finds its download."""
    os.makedirs(download_dir, exist_ok=True)
    path = os.path.join(download_dir, name)
    data = recipes.source_archive(path, recipes.version())
    return path, data


def fill_checksum(path, name, archive):
    """Writes into the recipe file at PATH (its name in packaging/: see
    recipes.with_checksum) the checksum of ARCHIVE, as its system's own
    update step does at a version bump."""
    with open(path, encoding="utf-8") as text:
        content = text.read()
    with open(path, "w", encoding="utf-8") as out:
        out.write(recipes.with_checksum(name, content, archive, recipes.version()))


def unpack(archive, into):
    os.makedirs(into, exist_ok=True)
    with tarfile.open(archive) as tar:
        tar.extractall(into)


def check_digest(what, data, algorithm, expected):
    got = hashlib.new(algorithm, data).hexdigest()
    if got != expected:
        sys.exit(f"replay: {what}: the recipe's {algorithm} {expected} is not the archive's "
                 f"{got}: run python3 scripts/recipes.py")


def no_warnings(system, output):
    # The compiler's and the linker's; CMake's notes on variables that a
    # system passes to every project are not this build's to mend.
    # dpkg-architecture's for a cross build: it compares the host
    # architecture with the native gcc, which debhelper does not use.
    warnings = [line for line in output.splitlines() if "warning:" in line
                and "does not match CC system type" not in line]
    if warnings:
        print("\n".join(warnings[:20]))
        sys.exit(f"replay: {system}: the build warned with the system's flags")


def check_tree(system, root, allowed):
    """The installed tree holds the tool (mode 755), its manual page where
    the system installs it, and nothing else but ALLOWED."""
    found = sorted(os.path.relpath(os.path.join(folder, name), root)
                   for folder, _, names in os.walk(root) for name in names)
    binary = os.path.join(root, "usr/bin/ip4add")
    wanted = {"usr/bin/ip4add"} | set(allowed)
    if set(found) != wanted:
        sys.exit(f"replay: {system}: installed {found}, not {sorted(wanted)}")
    mode = os.stat(binary).st_mode & 0o7777
    if mode != 0o755:
        sys.exit(f"replay: {system}: usr/bin/ip4add has mode {mode:o}, not 755")
    return binary

def run_cases(system, emulator, binary):
    """Every row of the case table against the installed binary (under
    EMULATOR, a command list, where it is not this host's), but those that
    need the build with a broken pattern."""
    names = subprocess.run([sys.executable, os.path.join(ROOT, "tests/run_case.py"), "--list",
                            CASES], capture_output=True, text=True, check=True).stdout.split()
    passed = skipped = 0
    for name in names:
        if name.startswith("compile_"):
            continue
        done = subprocess.run([sys.executable, os.path.join(ROOT, "tests/run_case.py"), CASES,
                               name, "--"] + list(emulator) + [binary],
                              capture_output=True, text=True, check=False)
        if done.returncode == 77:
            skipped += 1
        elif done.returncode != 0:
            print(done.stdout + done.stderr)
            sys.exit(f"replay: {system}: the installed ip4add fails case {name}")
        else:
            passed += 1
    under = f", under {' '.join(emulator[:3])}" if emulator else ""
    say(f"{system}: the installed binary passes {passed} cases of the table "
        f"({skipped} skipped by the runner{under})")
