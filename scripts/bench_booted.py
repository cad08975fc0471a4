#!/usr/bin/env python3
"""Cost of a call on a booted router kernel: user and kernel instructions
of a router script's loop, per call.

usage: python3 scripts/bench_booted.py [--quick]

For each booted guest of cmake/targets.cmake (its first musl row with a
static and a dynamic file), boots the guest's kernel under qemu-system with
-icount (counts repeat run to run) and the project's plugin
bench/boot_count.c, which splits user from kernel instructions by address
and takes both counts at marks (bench/mark.S). The guest's /init,
bench/booted.sh, runs loops of CALLS calls as a router script makes them,
each once with output appended to a file and once captured with $(...):
an empty loop, the empty program (bench/floor.cpp, built by the same
presets, static and dynamic), ip4add static and dynamic, and the same shift
as a BusyBox ash function; then one call of each under BusyBox time -v for
its page faults. Each file is held against the empty program of its own
linkage.

Writes its table in doc/performance.md and the per-call costs that the
release quotes in bench/booted.json; --quick runs 100 calls a loop and prints the
counts only. Needs the packages of the README's tools-install and
cross-install blocks.
"""
import json
import os
import re
import subprocess
import sys
import tempfile

import readme
import targets
from bench_common import BOOTED_COSTS, ROOT, build, emulator_command, plugin, require_packages

CALLS = 1000
QUICK_CALLS = 100
# Where kernel code starts, and the marker's bytes in memory.
KERNEL_START = {"mips": 0x80000000, "mipsel": 0x80000000, "arm": 0xC0000000,
                "aarch64": 0xFFFF000000000000}
MARKER = {"mips": "34001234", "mipsel": "34120034", "arm": "0cc00ce0", "aarch64": "8c010c8a"}
POOL = 65536  # a /16: the script that shifts through a whole pool
# A usual router core of the architecture and its usual clock, for an
# estimate of seconds: 24Kc SoCs (AR9331, MT7628) run at 400–580 MHz,
# Cortex-A7 ones (IPQ4018) at 717 MHz, Cortex-A53 ones (MT7622) at 1.35 GHz.
CORE = {"mips": ("24Kc", 400), "mipsel": ("24Kc", 400), "arm": ("Cortex-A7", 717),
        "aarch64": ("Cortex-A53", 1350)}


def guests():
    """One row per booted guest: the first musl row with both linkages."""
    chosen = {}
    for row in targets.rows():
        if row["BOOT"] and row["LIBC"] == "musl" and row["STATIC"] == "ON" \
                and row["BOOT"] not in chosen:
            chosen[row["BOOT"]] = row
    return list(chosen.values())


def malloc_build(preset):
    """PRESET's ip4add as it is without the arena: the C library's malloc."""
    folder = os.path.join(ROOT, "build", f"{preset}-malloc")
    subprocess.run(["cmake", "--preset", preset, "-B", folder, "-DIP4ADD_PATTERN_ARENA=OFF",
                    "-DBUILD_TESTING=OFF"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "ip4add"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    return folder


def measure(row, calls, count_plugin):
    name, arch = row["NAME"], row["ARCH"]
    static_dir = build(name, "ip4add", "ip4add_floor")
    dynamic_dir = build(f"{name}-dynamic", "ip4add", "ip4add_floor")
    emulator = emulator_command(static_dir)
    sysroot = emulator[emulator.index("-L") + 1]
    # The peer, as the qemu-user bench runs it: bench/ip4add.sh's function,
    # without the script's own call.
    with open(os.path.join(ROOT, "bench/ip4add.sh"), encoding="utf-8") as text:
        function = text.read().replace('ip4add "$@"\n', "")
    kernel = subprocess.run(["bash", "sysroot/build-kernel.sh"] + row["BOOT_KERNEL"], cwd=ROOT,
                            check=True, capture_output=True, text=True).stdout.strip()
    with tempfile.TemporaryDirectory() as work:
        mark = os.path.join(work, "mark")
        subprocess.run([f"{row['TRIPLET']}-gcc", "-nostdlib", "-static", "-o", mark,
                        os.path.join(ROOT, "bench/mark.S")], check=True)
        members = [f"init={ROOT}/bench/booted.sh", f"bin/mark={mark}",
                   f"bin/noop-static={static_dir}/ip4add_floor",
                   f"bin/noop-dynamic={dynamic_dir}/ip4add_floor",
                   f"bin/ip4add-static={static_dir}/ip4add",
                   f"bin/ip4add-dynamic={dynamic_dir}/ip4add",
                   f"bin/ip4add-static-malloc={malloc_build(name)}/ip4add",
                   f"bin/ip4add-dynamic-malloc={malloc_build(name + '-dynamic')}/ip4add",
                   f"calls=@{calls}\n", f"function.sh=@{function}"]
        image = os.path.join(work, "initramfs.cpio")
        subprocess.run([sys.executable, os.path.join(ROOT, "tests/run_guest.py"), "image", image,
                        "--busybox", f"{sysroot}/bin/busybox", "--sysroot", sysroot] + members,
                       check=True)
        counts = os.path.join(work, "counts")
        command = [row["BOOT_QEMU"]] + row["BOOT_ARGS"] + [
            # The real-time clock on guest time too: malta's kernel
            # calibrates its timer against it, and host time would put
            # a varying number of timer interrupts into each call.
            "-icount", "shift=0", "-rtc", "clock=vm", "-kernel", kernel, "-initrd", image, "-plugin",
            f"{count_plugin},out={counts},kernel={KERNEL_START[arch]:x},marker={MARKER[arch]}"]
        console = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                 text=True, errors="replace", timeout=3600, check=False).stdout
        with open(counts, encoding="utf-8") as text:
            marks = [tuple(map(int, line.split()[1:])) for line in text
                     if line.startswith("mark ")]
    lines = console.replace("\r", "").splitlines()
    if "bench-done" not in lines or any(line.startswith("bench-wrong") for line in lines):
        sys.exit("bench: the guest did not finish its loops; console:\n"
                 + "\n".join(lines[-30:]))
    loops = [line.split()[1] for line in lines if line.startswith("bench-loop ")]
    if len(marks) != 2 * len(loops):
        sys.exit(f"bench: {len(marks)} marks for {len(loops)} loops")
    per_call = {}
    for number, loop in enumerate(loops):
        start, end = marks[2 * number], marks[2 * number + 1]
        per_call[loop] = ((end[0] - start[0]) / calls, (end[1] - start[1]) / calls)
    faults = {}
    for line in lines:
        match = re.match(r"bench-faults (\S+) Minor .*: (\d+)", line)
        if match:
            faults[match.group(1)] = int(match.group(2))
    kernel_name = next((line.split(None, 1)[1] for line in lines
                        if line.startswith("bench-kernel ")), "?")
    return {"row": row, "kernel": kernel_name, "per_call": per_call, "faults": faults}


LOOPS = [("empty", "empty loop"), ("noop-static", "empty static program"),
         ("noop-dynamic", "empty dynamic program"),
         ("ip4add-static", "ip4add, static"),
         ("ip4add-static-malloc", "ip4add, static, with the C library's `malloc`"),
         ("ip4add-dynamic", "ip4add, dynamic"),
         ("ip4add-dynamic-malloc", "ip4add, dynamic, with the C library's `malloc`"),
         ("function", "the same shift as an `ash` function")]


def table(results):
    out = ["| Guest | Per call | To a file: user + kernel | Kernel | Captured `$(…)` | Kernel "
           "| Minor page faults |", "|---|---|---:|---:|---:|---:|---:|"]
    for result in results:
        row = result["row"]
        guest = f"`{row['BOOT_QEMU']} {' '.join(row['BOOT_ARGS'][:4])}`, {row['NAME']}"
        for loop, label in LOOPS:
            file_user, file_kernel = result["per_call"][f"{loop}-file"]
            cap_user, cap_kernel = result["per_call"][f"{loop}-capture"]
            faults = result["faults"].get(loop, "")
            out.append(f"| {guest} | {label} | {file_user + file_kernel:,.0f} | "
                       f"{file_kernel:,.0f} | {cap_user + cap_kernel:,.0f} | {cap_kernel:,.0f} | "
                       f"{faults} |")
            guest = ""
    return "\n".join(out) + "\n"


def summary(results):
    lines = []
    for result in results:
        calls = result["per_call"]

        def kernel(loop):
            return calls[f"{loop}-file"][1]

        static = kernel("ip4add-static") / kernel("noop-static")
        static_malloc = kernel("ip4add-static-malloc") / kernel("noop-static")
        dynamic = kernel("ip4add-dynamic") / kernel("noop-dynamic")
        dynamic_malloc = kernel("ip4add-dynamic-malloc") / kernel("noop-dynamic")
        either = sum(calls["ip4add-dynamic-file"]) / sum(calls["ip4add-static-file"])
        tool = sum(calls["ip4add-static-capture"])
        function = sum(calls["function-capture"])
        pool = tool * POOL
        core, mhz = CORE[result["row"]["ARCH"]]
        lines.append(
            f"- {result['row']['NAME']} on Linux {result['kernel']}: a call costs the kernel "
            f"{static:.2f}× what a call of the empty program of its linkage does for the "
            f"static file ({static_malloc:.2f}× with the C library's `malloc`), "
            f"{dynamic:.2f}× for the dynamic one ({dynamic_malloc:.2f}×); all told, a call of "
            f"the dynamic file costs {either:.2f}× one of the static file. Captured with "
            f"`$(…)`, a call of the static file costs {tool / function:.1f}× the `ash` "
            f"function. A loop over a whole /16 pool ({POOL:,} calls, captured) is "
            f"{pool / 1e9:.1f} billion instructions: an estimate of {pool / (mhz * 1e6):.0f} s "
            f"on a {core} at {mhz} MHz, at one instruction per clock, which it rarely reaches; "
            f"{function * POOL / (mhz * 1e6):.0f} s for the function.")
    return "\n".join(lines) + "\n"


def costs(results):
    """Per family (its row), what a call of each file costs the whole
    system, to a file: the release's tables quote it."""
    return {result["row"]["ROW"]: {
        "guest": f"{result['row']['BOOT_QEMU']} -cpu {result['row']['BOOT_ARGS'][3]}",
        "kernel": result["kernel"],
        "static": round(sum(result["per_call"]["ip4add-static-file"])),
        "dynamic": round(sum(result["per_call"]["ip4add-dynamic-file"]))}
        for result in results}


def main():
    quick = sys.argv[1:] == ["--quick"]
    if sys.argv[1:] not in ([], ["--quick"]):
        sys.exit(__doc__)
    require_packages("tools-install", "cross-install")
    count_plugin = plugin("boot_count")
    calls = QUICK_CALLS if quick else CALLS
    results = [measure(row, calls, count_plugin) for row in guests()]
    text = table(results)
    print(text)
    print(summary(results))
    if not quick:
        readme.replace_section("bench-booted", text)
        readme.replace_section("bench-booted-summary", summary(results))
        with open(BOOTED_COSTS, "w", encoding="utf-8") as out:
            json.dump(costs(results), out, indent=1, sort_keys=True)
            out.write("\n")


if __name__ == "__main__":
    main()
