#!/usr/bin/env python3
"""Checks what the shipped binary needs at run time and, optionally, its
stripped size, its ELF header and that it is soft-float through and through.

usage: check_binary.py --readelf R --strip S --binary B --allow [REGEX...]
                       [--max-stripped-bytes N] [--header REGEX...]
                       [--soft-float OBJDUMP --fpu-scan FPU_SCAN_PY]
                       [--imports-within EXPORTS] [--loader-in SYSROOT]
                       [--load-align N]

Every NEEDED entry must match one of the --allow patterns (none at all for a
static binary): the routers the tool is for often have no C++ runtime, so
libstdc++ must never creep in. With --soft-float the binary must be marked
soft-float and the FPU scan must find no FPU instruction in its
disassembly: FPU-less router cores die on the first one.

--imports-within: every symbol the binary imports must stand in EXPORTS (one
name a line; # comments), the symbols of the oldest C library it is meant
to run with. --loader-in: the program interpreter must be a file of
SYSROOT, the name the target's C library gives its loader. --load-align:
every loadable segment must be aligned to N and lie at a file offset
congruent to its address modulo N, so that a kernel with N-byte pages can
map it.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile


def readelf(tool, flag, binary):
    return subprocess.run([tool, "-W", flag, binary], capture_output=True, text=True,
                          check=True).stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readelf", required=True)
    parser.add_argument("--strip", required=True)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--allow", nargs="*", default=[])
    parser.add_argument("--max-stripped-bytes", type=int)
    parser.add_argument("--header", nargs="*", default=[])
    parser.add_argument("--soft-float", metavar="OBJDUMP")
    parser.add_argument("--fpu-scan", metavar="FPU_SCAN_PY")
    parser.add_argument("--imports-within", metavar="EXPORTS")
    parser.add_argument("--loader-in", metavar="SYSROOT")
    parser.add_argument("--load-align", type=int)
    args = parser.parse_args()

    problems = []
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", readelf(args.readelf, "-d", args.binary))
    for lib in needed:
        if not any(re.fullmatch(pattern, lib) for pattern in args.allow):
            problems.append(f"needs {lib}, which is not allowed")

    if args.imports_within:
        with open(args.imports_within, encoding="utf-8") as names:
            exports = {line.strip() for line in names if line.strip() and line[0] != "#"}
        symbols = readelf(args.readelf, "--dyn-syms", args.binary).replace("\n", " \n")
        # Weak references (crtbegin's transactional-memory hooks) may stay
        # unresolved; what the program calls must be there.
        imports = set(re.findall(r"\sGLOBAL\s+\S+\s+UND\s+(\S+?)(?:@\S*)?\s*$", symbols, re.M))
        problems += [f"imports {name}, which {os.path.basename(args.imports_within)} lacks"
                     for name in sorted(imports - exports)]
    segments = readelf(args.readelf, "-lW", args.binary)
    if args.loader_in:
        loader = re.search(r"Requesting program interpreter: (\S+)\]", segments)
        if not loader or not os.path.exists(args.loader_in + loader.group(1)):
            problems.append(f"program interpreter {loader and loader.group(1)} is not a file of "
                            f"{args.loader_in}")
    if args.load_align:
        for line in segments.splitlines():
            fields = line.split()
            if fields[:1] == ["LOAD"]:
                offset, address, align = (int(fields[i], 16) for i in (1, 2, -1))
                if align < args.load_align or (address - offset) % args.load_align:
                    problems.append(f"segment at {address:#x} (offset {offset:#x}, align "
                                    f"{align:#x}) cannot be mapped with {args.load_align}-byte pages")

    header = readelf(args.readelf, "-h", args.binary)
    for pattern in args.header:
        if not re.search(pattern, header, re.M):
            problems.append(f"ELF header does not match {pattern!r}")

    with tempfile.TemporaryDirectory() as scratch:
        stripped = os.path.join(scratch, "stripped")
        subprocess.run([args.strip, "-o", stripped, args.binary], check=True)
        size = os.path.getsize(stripped)
        if args.soft_float:
            scan = subprocess.run([sys.executable, args.fpu_scan, args.soft_float, stripped],
                                  capture_output=True, text=True, check=False)
            if scan.returncode != 0:
                problems += scan.stdout.splitlines() or [f"FPU scan failed: {scan.stderr}"]
            # MIPS says "FP ABI: Soft float", PowerPC "Tag_GNU_Power_ABI_FP:
            # soft float, 64-bit long double".
            fp_abi = re.search(r"(?:FP ABI|Tag_GNU_Power_ABI_FP): (.*)",
                               readelf(args.readelf, "-A", args.binary))
            fp_abi = fp_abi.group(1) if fp_abi else "(none)"
            if not fp_abi.lower().startswith("soft float"):
                problems.append(f"FP ABI is {fp_abi!r}, not soft float")

    print(f"NEEDED: {' '.join(needed) or '(none)'}; stripped size: {size} bytes")
    if args.max_stripped_bytes is not None and size > args.max_stripped_bytes:
        problems.append(f"stripped size {size} exceeds {args.max_stripped_bytes} bytes")
    for problem in problems:
        print(f"check_binary: {problem}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
