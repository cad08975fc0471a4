"""What the host and the router benchmarks share: the arguments of a run,
the checks that their packages are there, and running commands.
"""
import os
import subprocess
import sys

import readme

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"


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
