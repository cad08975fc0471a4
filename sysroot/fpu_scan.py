#!/usr/bin/env python3
"""Lists the FPU instructions in MIPS object code, from objdump's disassembly.

usage: fpu_scan.py [--files] OBJDUMP FILE...   (exit 1 when any file holds one)

A soft-float build meant for FPU-less cores (24Kc and the like) must hold
none: one such instruction ends the process with SIGILL on a router whose
kernel has no FPU emulator. The instruction words are classified by their
major opcode rather than by mnemonic, so no spelling of objdump's is missed.
With --files, only the names of the files (archive members) that hold one
are printed.
"""
import re
import subprocess
import sys

# COP1, COP1X (indexed loads, fused multiply-add), LWC1, LDC1, SWC1, SDC1.
FPU_OPCODES = {0x11, 0x13, 0x31, 0x35, 0x39, 0x3D}
SPECIAL, MOVCI = 0x00, 0x01  # movf/movt read the FPU's condition codes
FILE = re.compile(r"^(\S.*):\s+file format ")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+([0-9a-f]{8})\s+(.*)$")


def is_fpu(word):
    opcode = word >> 26
    return opcode in FPU_OPCODES or (opcode == SPECIAL and word & 0x3F == MOVCI)


def fpu_instructions(objdump, paths):
    """Yields (file, 'address: instruction') for every FPU instruction."""
    listing = subprocess.run([objdump, "-d", *paths], capture_output=True, text=True,
                             check=True).stdout
    current = ""
    for line in listing.splitlines():
        header = FILE.match(line)
        if header:
            current = header.group(1)
            continue
        match = INSTRUCTION.match(line)
        if match and is_fpu(int(match.group(2), 16)):
            yield current, f"{match.group(1)}: {match.group(3).strip()}"


def main():
    args = sys.argv[1:]
    files_only = args[:1] == ["--files"]
    args = args[1:] if files_only else args
    if len(args) < 2:
        sys.exit(__doc__)
    found = list(fpu_instructions(args[0], args[1:]))
    if files_only:
        print("\n".join(dict.fromkeys(path for path, _ in found)))
    else:
        for path, hit in found[:20]:
            print(f"FPU instruction in {path} at {hit}")
        if len(found) > 20:
            print(f"... and {len(found) - 20} more")
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
