"""What the host and the router benchmarks (and the release, which counts
a run of each file) share: the arguments of a run, the checks that their
packages are there, running commands, and the instruction-counting qemu
plugin.
"""
import hashlib
import os
import subprocess
import sys
import tempfile

import readme

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"
# What a call of each file costs a booted router: the booted benchmark
# writes it, the release quotes it.
BOOTED_COSTS = os.path.join(ROOT, "bench", "booted.json")
CACHE = os.environ.get("IP4ADD_CACHE_DIR") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ.get("HOME", "/tmp"), ".cache"),
    "ip4add")


def sh(*command, **kwargs):
    return subprocess.run(command, check=True, cwd=ROOT, **kwargs)


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def require_packages(*blocks):
    """Stops with the apt-get line to run when a package of the README's
    install blocks BLOCKS is missing: the benchmark installs nothing itself."""
    wanted = [package for block in blocks for package in readme.packages(block)]
    missing = [package for package in dict.fromkeys(wanted)
               if "install ok installed" not in subprocess.run(
                   ["dpkg-query", "-W", "-f=${Status}", package], capture_output=True,
                   text=True, check=False).stdout]
    if missing:
        sys.exit("bench: missing packages; install them first (as root):\n"
                 f"  apt-get install -y {' '.join(missing)}")


def build(preset, *targets):
    """Configures and builds PRESET's TARGETS; returns its build folder."""
    sh("cmake", "--preset", preset, stdout=subprocess.DEVNULL)
    sh("cmake", "--build", "--preset", preset, "--target", *targets, stdout=subprocess.DEVNULL)
    return os.path.join(ROOT, "build", preset)


def emulator_command(build_dir):
    """The build's own emulator command: its row's, with its sysroot (-L)."""
    with open(os.path.join(build_dir, "emulator.txt"), encoding="utf-8") as text:
        return text.read().strip().split(";")


def plugin(name="insn_count"):
    """A counting plugin (bench/NAME.c), built against the plugin header of
    Debian's qemu (its source package), cached by the plugin's own hash."""
    source = os.path.join(ROOT, f"bench/{name}.c")
    with open(source, "rb") as text:
        key = hashlib.sha256(text.read()).hexdigest()[:12]
    built = os.path.join(CACHE, f"{name}-{key}.so")
    if not os.path.exists(built):
        os.makedirs(CACHE, exist_ok=True)
        with tempfile.TemporaryDirectory() as scratch:
            sh("bash", "sysroot/debian-package.sh", "source", "qemu", scratch,
               "*/include/qemu/qemu-plugin.h")
            sh("gcc", "-O2", "-Wall", "-shared", "-fPIC",
               "-I" + os.path.join(scratch, "include/qemu"), source, "-o", built + ".new")
        os.replace(built + ".new", built)
    return built
