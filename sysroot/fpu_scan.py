#!/usr/bin/env python3
"""Lists the FPU instructions in MIPS or PowerPC object code, from objdump's
disassembly.

usage: fpu_scan.py [--files] OBJDUMP FILE...   (exit 1 when any file holds one)

A soft-float build meant for FPU-less cores (MIPS 4Kc/24Kc, PowerPC e500)
must hold none: one such instruction ends the process with SIGILL on a
router whose kernel has no FPU emulator. The instruction words are
classified by their opcode rather than by mnemonic, so no spelling of
objdump's is missed.
With --files, only the names of the files (archive members) that hold one
are printed.
"""
import re
import subprocess
import sys

# MIPS: COP1, COP1X (indexed loads, fused multiply-add), LWC1, LDC1, SWC1,
# SDC1; and movf/movt, which read the FPU's condition codes.
MIPS_FPU_OPCODES = {0x11, 0x13, 0x31, 0x35, 0x39, 0x3D}
MIPS_SPECIAL, MIPS_MOVCI = 0x00, 0x01
# PowerPC: the floating-point loads and stores (lfs ... stfdu), the
# arithmetic of opcodes 59 and 63, and the indexed loads and stores of
# opcode 31 (lfsx ... stfdux, stfiwx).
PPC_FPU_OPCODES = set(range(48, 56)) | {59, 63}
PPC_X_FORM, PPC_FPU_XO = 31, {535, 567, 599, 631, 663, 695, 727, 759, 983}
FILE = re.compile(r"^(\S.*):\s+file format (\S+)")
# objdump shows a MIPS word as one number, a PowerPC one as four bytes.
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+([0-9a-f]{8}|[0-9a-f]{2}(?: [0-9a-f]{2}){3})\s+(.*)$")


def is_mips_fpu(word):
    opcode = word >> 26
    return opcode in MIPS_FPU_OPCODES or (opcode == MIPS_SPECIAL and word & 0x3F == MIPS_MOVCI)


def is_ppc_fpu(word):
    opcode = word >> 26
    return opcode in PPC_FPU_OPCODES or (opcode == PPC_X_FORM and (word >> 1) & 0x3FF in PPC_FPU_XO)


def fpu_instructions(objdump, paths):
    """Yields (file, 'address: instruction') for every FPU instruction."""
    listing = subprocess.run([objdump, "-d", *paths], capture_output=True, text=True,
                             check=True).stdout
    current, is_fpu, data_at = "", is_mips_fpu, None
    for line in listing.splitlines():
        header = FILE.match(line)
        if header:
            current = header.group(1)
            is_fpu = is_ppc_fpu if "powerpc" in header.group(2) else is_mips_fpu
            continue
        match = INSTRUCTION.match(line)
        if not match:
            continue
        address, text = int(match.group(1), 16), match.group(3)
        # Data among the code is no instruction: what objdump shows as data
        # (.long), and the word that "bl" skips to get its own address
        # (PowerPC's start-up code keeps an offset there).
        skipped, data_at = address == data_at, None
        branch = re.match(r"bl\s+(?:0x)?([0-9a-f]+)", text)
        if branch and int(branch.group(1), 16) == address + 8:
            data_at = address + 4
        if not skipped and not text.startswith(".") and is_fpu(
                int(match.group(2).replace(" ", ""), 16)):
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
