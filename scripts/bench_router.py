#!/usr/bin/env python3
"""Cost of one ip4add run on the router's CPU, with the router's own shell
as the peer.

usage: python3 scripts/bench_router.py [--quick]

The 32-bit soft-float MIPS targets (the rows of cmake/targets.cmake: big-
and little-endian; uClibc-ng dynamic and static for MIPS32r2, musl static
for MIPS32r1) under qemu-user on the FPU-less core of their row (24Kc,
4Kc), each next to the empty
program built the same way, with instructions counted by the project's qemu
plugin (bench/insn_count.c) and split into loader and start-up, regcomp,
regexec, other C library calls and exit, the tool's own code and the
soft-float helpers; and the same shift as a function in the router's shell,
BusyBox ash from the sysroot, counted the same way. The plugin is built
against the plugin header of Debian's qemu source package.

Writes its table in doc/performance.md and the chart bench/target.png;
--quick prints the counts only. Needs the packages of the README's tools-install and
cross-install blocks.
"""
import contextlib
import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile

import readme
import targets
from bench_common import (ARGS, EXPECTED, ROOT, build, emulator_command, output, plugin,
                          require_packages)

# GCC's names for them carry a float mode: __muldf3, __fixdfsi, __floatunsidf.
SOFT_FLOAT_HELPER = re.compile(r"__[a-z]+(sf|df)[a-z]*\d?$")
FIXED_PLACE = "/tmp/ip4add-bench"
LIBC_NAMES = {"uclibc": "uClibc-ng", "musl": "musl"}
ASH_CALLS = 100  # calls of the ash function in the loop that prices one call

def build_target(preset):
    build_dir = build(preset, "ip4add", "ip4add_floor")
    return build_dir, emulator_command(build_dir)


def own_functions(build_dir, nm):
    """Names of the functions compiled from the tool's own sources."""
    objects = [os.path.join(build_dir, "libip4add_core.a"),
               os.path.join(build_dir, "CMakeFiles/ip4add.dir/src/main.cpp.o")]
    names = set()
    for line in output(nm, "--defined-only", *objects).splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "Tt":
            names.add(fields[2])
    return names


def call_sites(binary, triplet, own):
    """(callee, call address) for every call from the tool's own code to
    anything else, and main's entry and return addresses. Direct calls name
    their target; calls through the GOT (lw t9,N(gp); jalr t9) are named
    from readelf's GOT listing."""
    got = {}
    symbols = {}
    for line in output(f"{triplet}-nm", "--defined-only", binary).splitlines():
        fields = line.split()
        if len(fields) == 3:
            symbols[int(fields[0], 16)] = fields[2]
    for line in output(f"{triplet}-readelf", "-A", binary).splitlines():
        match = re.match(r"\s*[0-9a-f]+\s+(-?\d+)\(gp\)\s+([0-9a-f]+)(?:\s+\S+\s+\S+\s+\S+\s+(\S+))?",
                         line)
        if match:
            got[int(match.group(1))] = match.group(3) or symbols.get(int(match.group(2), 16))
    sites, entry, returns = [], None, []
    function, t9 = None, None
    for line in output(f"{triplet}-objdump", "-d", "--no-show-raw-insn",
                       binary).splitlines():
        label = re.match(r"([0-9a-f]+) <(.+)>:$", line)
        if label:
            function, t9 = label.group(2), None
            if function == "main":
                entry = int(label.group(1), 16)
            continue
        insn = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
        if function not in own or not insn:
            continue
        address, mnemonic, operands = int(insn.group(1), 16), insn.group(2), insn.group(3)
        got_load = re.match(r"t9,(-?\d+)\(gp\)", operands)
        callee = None
        if mnemonic == "lw" and got_load:
            t9 = got.get(int(got_load.group(1)))
        elif mnemonic == "jalr" and operands.endswith("t9"):
            callee = t9
        elif mnemonic in ("bal", "jal"):
            callee = re.search(r"<([^>+]+)", operands).group(1)
        elif function == "main" and mnemonic == "jr" and operands == "ra":
            returns.append(address)
        if callee and callee not in own:
            sites.append((callee.removeprefix("__GI_"), address))
    if entry is None or not returns:
        sys.exit(f"bench: no main entry or return found in {binary}")
    return sites, entry, returns


def count(plugin_path, emulator, command, sites=(), entry=None, returns=()):
    """Instructions of one run under the emulator with the plugin: total,
    per callee (summed over its call sites), before main, after main."""
    with tempfile.NamedTemporaryFile("r", suffix=".counts") as counts:
        arguments = [f"out={counts.name}"]
        arguments += [f"span={callee}:{at:x}:{at + 8:x}" for callee, at in sites]
        if entry is not None:
            arguments += [f"mark=entry:{entry:x}"] + [f"mark=return:{at:x}" for at in returns]
        result = subprocess.run(emulator + ["-plugin", plugin_path + "," + ",".join(arguments)]
                                + command, capture_output=True, text=True, env={},
                                cwd=FIXED_PLACE)
        if result.returncode != 0:
            sys.exit(f"bench: {command} failed under {emulator}:\n{result.stderr}")
        figures = {"calls": {}, "marks": {}}
        for line in counts.read().splitlines():
            kind, *rest = line.split()
            if kind == "total":
                figures["total"] = int(rest[0])
            elif kind == "span":  # a callee's call sites add up
                calls = figures["calls"]
                calls[rest[0]] = calls.get(rest[0], 0) + int(rest[1])
            else:  # of several returns, the one taken was reached last
                marks = figures["marks"]
                marks[rest[0]] = max(marks.get(rest[0], 0), int(rest[1]))
        return figures, result.stdout


@contextlib.contextmanager
def fixed_place():
    """A folder with the same path on every machine and run, one user at a
    time, which is also the working folder of every run: counts move with
    the paths of the programs and scripts (their length and even their
    letters) and, for the shell, with the working folder's."""
    with open(FIXED_PLACE + ".lock", "w", encoding="utf-8") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        shutil.rmtree(FIXED_PLACE, ignore_errors=True)
        os.makedirs(FIXED_PLACE)
        try:
            yield FIXED_PLACE
        finally:
            shutil.rmtree(FIXED_PLACE, ignore_errors=True)


def measure_target(plugin_path, target, place):
    """One target's ip4add and empty program, run from place/p/ip4add and
    place/f/ip4add."""
    label = target["label"]
    build_dir, emulator = build_target(target["NAME"])
    programs = []
    for folder, built in (("p", "ip4add"), ("f", "ip4add_floor")):
        os.makedirs(os.path.join(place, folder))
        programs.append(shutil.copy(os.path.join(build_dir, built),
                                    os.path.join(place, folder, "ip4add")))
    binary, floor = programs

    own = own_functions(build_dir, f"{target['TRIPLET']}-nm")
    sites, entry, returns = call_sites(binary, target["TRIPLET"], own)
    figures, out = count(plugin_path, emulator, [binary] + ARGS, sites, entry, returns)
    if out != EXPECTED:
        sys.exit(f"bench: {label} printed {out!r}, not {EXPECTED!r}")
    empty, _ = count(plugin_path, emulator, [floor])
    calls = figures["calls"]
    regcomp, regexec = calls.pop("regcomp", 0), calls.pop("regexec", 0)
    soft_float = sum(n for callee, n in calls.items() if SOFT_FLOAT_HELPER.match(callee))
    library = sum(n for callee, n in calls.items() if not SOFT_FLOAT_HELPER.match(callee))
    before, after = figures["marks"]["entry"], figures["marks"]["return"]
    row = {"label": label, "empty": empty["total"], "total": figures["total"],
           "start-up": before, "regcomp": regcomp, "regexec": regexec,
           "library": library + figures["total"] - after,
           "own": after - before - regcomp - regexec - library - soft_float,
           "soft-float": soft_float, "emulator": emulator}
    # The own code is what remains of main: a negative remainder means a
    # call was counted wrong, not that the tool ran backwards.
    if min(row[part] for part in ("start-up", "library", "own")) < 0:
        sys.exit(f"bench: {label}: the parts of the run do not add up: {row}")
    return row


def measure_ash(plugin_path, emulator, label, place):
    """The peer: the same shift as an ash function (bench/ip4add.sh) in the
    router's BusyBox, static, from the sysroot the build used."""
    sysroot = emulator[emulator.index("-L") + 1]
    os.makedirs(place)
    busybox = shutil.copy(os.path.join(sysroot, "bin/busybox"), os.path.join(place, "busybox"))
    with open(os.path.join(ROOT, "bench/ip4add.sh"), encoding="utf-8") as text:
        function = text.read()
    scripts = {}
    for name, body in (("e", ""), ("1", function),
                       ("n", function.replace('ip4add "$@"\n',
                                                 'i=0\nwhile [ $i -lt $3 ]; do\n'
                                                 '  ip4add "$@"; i=$((i + 1))\ndone\n'))):
        scripts[name] = os.path.join(place, name + ".sh")
        with open(scripts[name], "w", encoding="utf-8") as script:
            script.write(body)
    emulated = [emulator[0], "-cpu", emulator[emulator.index("-cpu") + 1]]
    empty, _ = count(plugin_path, emulated, [busybox, "ash", scripts["e"]])
    one, out = count(plugin_path, emulated, [busybox, "ash", scripts["1"]] + ARGS)
    if out != EXPECTED:
        sys.exit(f"bench: {label} printed {out!r}, not {EXPECTED!r}")
    loop1, _ = count(plugin_path, emulated, [busybox, "ash", scripts["n"]] + ARGS + ["1"])
    loop_n, _ = count(plugin_path, emulated, [busybox, "ash", scripts["n"]] + ARGS + [str(ASH_CALLS + 1)])
    return {"label": label, "empty": empty["total"], "total": one["total"],
            "per call": (loop_n["total"] - loop1["total"]) / ASH_CALLS}


def target_markdown(rows, shells):
    head = ("| Build (soft-float) | Empty program | ip4add | × empty | Loader and "
            "start-up | `regcomp` | `regexec` | Other C library calls and exit | Own code | "
            "Soft-float helpers |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n")
    lines = []
    for row in rows:
        cells = [row["label"], f"{row['empty']:,}", f"{row['total']:,}",
                 f"{row['total'] / row['empty']:.2f}"]
        cells += [f"{row[part]:,}" for part in ("start-up", "regcomp", "regexec", "library", "own",
                                               "soft-float")]
        lines.append("| " + " | ".join(cells) + " |")
    shell_head = ("\n| The same shift as a BusyBox `ash` function | Empty script | Script, one call | "
                  "× empty | Each further call, in a loop |\n|---|---:|---:|---:|---:|\n")
    shell_lines = [f"| {row['label']} | {row['empty']:,} | {row['total']:,} | "
                   f"{row['total'] / row['empty']:.2f} | {row['per call']:,.0f} |" for row in shells]
    return head + "\n".join(lines) + "\n" + shell_head + "\n".join(shell_lines) + "\n"


def target_chart(rows, shells, path):
    parts = [("start-up", "loader and start-up"), ("regcomp", "regcomp"), ("regexec", "regexec"),
             ("library", "other C library calls and exit"), ("own", "own code"),
             ("soft-float", "soft-float helpers")]
    with tempfile.TemporaryDirectory() as scratch:
        data = os.path.join(scratch, "target.dat")
        with open(data, "w", encoding="utf-8") as out:
            for row in rows:
                out.write(f"\"{row['label']}\" " + " ".join(str(row[key]) for key, _ in parts)
                          + " 0 0\n")
            for row in shells:
                out.write(f"\"ash function, {row['label']}\" " + "0 " * len(parts)
                          + f"{row['empty']} {row['total'] - row['empty']}\n")
        titles = [title for _, title in parts] + ["ash: start-up and exit (empty script)",
                                                  "ash: the function, defined and called once"]
        columns = [f"\"{data}\" using {i + 2}{':xtic(1)' if i == 0 else ''} title \"{title}\""
                   for i, title in enumerate(titles)]
        script = f"""
set terminal pngcairo size 1000,600 font ",10"
set output "{path}"
set title "Instructions of one run on FPU-less MIPS cores (qemu-user, soft-float)"
set style data histograms
set style histogram rowstacked
set style fill solid 0.8 border -1
set boxwidth 0.6
set ylabel "instructions"
set format y "%.0s%c"
set grid ytics
set key below maxrows 3
set xtics rotate by -25
plot {", ".join(columns)}
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def bench_rows():
    """The rows the bench runs, with their labels: big-endian first, then
    uClibc-ng before musl, dynamic before static; the router's shell once per
    sysroot (C library and byte order), after its last build."""
    rows = [row for row in targets.rows()
            if row["ARCH"] in ("mips", "mipsel") and row["FLOAT"] == "soft"]
    rows.sort(key=lambda row: (row["ARCH"] != "mips", row["LIBC"] != "uclibc",
                               row["STATIC"] == "ON"))
    for number, row in enumerate(rows):
        byte_order = "BE" if row["ARCH"] == "mips" else "LE"
        isa = "MIPS32r1" if "-march=mips32" in row["CPU_FLAGS"] else "MIPS32r2"
        row["label"] = (f"{isa} {byte_order} on {row['QEMU_CPU']}, {LIBC_NAMES[row['LIBC']]}, "
                        f"{'static' if row['STATIC'] == 'ON' else 'dynamic'}")
        following = rows[number + 1] if number + 1 < len(rows) else None
        row["with_ash"] = not following or (following["ARCH"], following["LIBC"]) != (
            row["ARCH"], row["LIBC"])
    return rows


def main():
    full = "--quick" not in sys.argv[1:]
    require_packages("tools-install", "cross-install")
    plugin_path = plugin()
    measured, shells = [], []
    with fixed_place() as place:
        for number, row in enumerate(bench_rows()):
            measured.append(measure_target(plugin_path, row, os.path.join(place, str(number))))
            if row["with_ash"]:
                shells.append(measure_ash(plugin_path, measured[-1]["emulator"],
                                          row["label"].rsplit(",", 1)[0],
                                          os.path.join(place, f"a{number}")))
    table = target_markdown(measured, shells)
    print("On the router's CPU (qemu-user, instructions counted by bench/insn_count.c):\n\n"
          + table)
    if full:
        readme.replace_section("bench-target", table)
        target_chart(measured, shells, os.path.join(ROOT, "bench/target.png"))


if __name__ == "__main__":
    main()
