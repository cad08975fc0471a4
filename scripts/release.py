#!/usr/bin/env python3
"""Builds the release binaries: one static file per router family.

usage: python3 scripts/release.py [--dist DIR] [--no-readme]

For every row of cmake/targets.cmake with a RELEASE name, in the table's
order: configures and builds its preset, strips the binary into DIR
(default dist/) as ip4add-VERSION-NAME (VERSION from CMakeLists.txt's
project()), runs it once under the row's emulator (5 10.0.0.1 must print
10.0.0.6), then writes SHA256SUMS (for sha256sum -c) and RELEASE.md, the
table of the files (name, the CPUs it fits, stripped size, floating-point
ABI as the ELF file states it), which also replaces the README's release
table unless --no-readme. The suites of the presets are run by CI, not here.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

import readme
import targets

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"

def version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as text:
        match = re.search(r"project\(ip4add\s+VERSION\s+(\S+)", text.read())
    if not match:
        sys.exit("release: no project(ip4add VERSION ...) in CMakeLists.txt")
    return match.group(1)


def run(*command, **kwargs):
    return subprocess.run(command, check=True, cwd=ROOT, **kwargs)


def cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    sys.exit(f"release: {name} missing from {build_dir}/CMakeCache.txt")


def float_abi(readelf, binary):
    """The floating-point ABI as the file's attributes state it."""
    attributes = subprocess.run([readelf, "-A", binary], capture_output=True, text=True,
                                check=True).stdout
    mips = re.search(r"FP ABI:\s+(.+)", attributes)
    if mips:
        return mips.group(1).strip()
    arm = re.search(r"Tag_FP_arch: (\S+)", attributes)
    if arm:
        passing = "hard-float ABI" if "Tag_ABI_VFP_args: VFP registers" in attributes \
            else "soft-float ABI"
        return f"{arm.group(1)}, {passing}"
    # x86-64 and ARMv8-A have their FPU in every core: no attribute says so.
    header = subprocess.run([readelf, "-h", binary], capture_output=True, text=True,
                            check=True).stdout
    machine = re.search(r"Machine:\s+(.+)", header).group(1).strip()
    return {"Advanced Micro Devices X86-64": "SSE2, in every x86-64",
            "AArch64": "FP/SIMD, in every ARMv8-A"}.get(machine, machine)


def build(row, dist, release_version):
    preset = row["NAME"]
    run("cmake", "--preset", preset, stdout=subprocess.DEVNULL)
    run("cmake", "--build", "--preset", preset, "--target", "ip4add", stdout=subprocess.DEVNULL)
    build_dir = os.path.join(ROOT, "build", preset)
    name = f"ip4add-{release_version}-{row['RELEASE']}"
    path = os.path.join(dist, name)
    run(cache_value(build_dir, "CMAKE_STRIP"), "-o", path, os.path.join(build_dir, "ip4add"))
    emulator = row["EMULATOR"]
    smoke = subprocess.run(emulator + [path] + ARGS, capture_output=True, text=True, env={})
    if smoke.stdout != EXPECTED or smoke.returncode != 0:
        sys.exit(f"release: {name} under {emulator or 'the host'} printed {smoke.stdout!r} "
                 f"(status {smoke.returncode}), not {EXPECTED!r}")
    with open(path, "rb") as data:
        digest = hashlib.sha256(data.read()).hexdigest()
    return {"name": name, "fits": row["FITS"], "size": os.path.getsize(path), "digest": digest,
            "ran": "under " + " ".join(emulator) if emulator else "on the host",
            "abi": float_abi(cache_value(build_dir, "CMAKE_READELF"), path)}


def table(rows):
    lines = ["| File | Fits | Stripped size | Floating point |", "|---|---|---:|---|"]
    for row in rows:
        lines.append(f"| `{row['name']}` | {row['fits']} | {row['size']:,} B | {row['abi']} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    parser.add_argument("--no-readme", action="store_true")
    args = parser.parse_args()

    # A release folder holds one release: nothing stale beside it.
    shutil.rmtree(args.dist, ignore_errors=True)
    os.makedirs(args.dist)
    release_version = version()
    rows = []
    for row in targets.rows():
        if not row["RELEASE"]:
            continue
        rows.append(build(row, args.dist, release_version))
        print(f"release: {rows[-1]['name']}: {rows[-1]['size']:,} bytes; printed "
              f"{EXPECTED.strip()} {rows[-1]['ran']}")
    with open(os.path.join(args.dist, "SHA256SUMS"), "w", encoding="utf-8") as sums:
        sums.writelines(f"{row['digest']}  {row['name']}\n" for row in rows)
    markdown = table(rows)
    with open(os.path.join(args.dist, "RELEASE.md"), "w", encoding="utf-8") as out:
        out.write(f"# ip4add {release_version}\n\n" + markdown)
    if not args.no_readme:
        readme.replace_section("release", markdown)
    print(markdown, end="")


if __name__ == "__main__":
    main()
