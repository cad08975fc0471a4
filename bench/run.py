#!/usr/bin/env python3
"""Cost of one ip4add run next to the spawn floor and what users would
write instead, on this host and on the router's CPU.

usage: bench/run.py [--quick]

On the host: /bin/true, the dynamic and static builds, a dash function and
python3's ipaddress. Counts instructions per whole run with callgrind
(deterministic, in a clean environment), times the runs with hyperfine and
takes peak RSS with /usr/bin/time.

On the router's CPU: the soft-float MIPS builds (big- and little-endian;
uClibc-ng dynamic and static, musl static) under qemu-user on the FPU-less
24Kc, each next to the empty program built the same way, with instructions counted by the
project's qemu plugin and split into loader and start-up, regcomp, regexec,
other C library calls and exit, the tool's own code and the soft-float
helpers; and the same shift as a function in the router's shell, BusyBox
ash from the sysroot, counted the same way. The plugin is built against the
plugin header of Debian's qemu source package.

Writes bench/results.md, the README's two tables and the charts
bench/ratios.png and bench/target.png. --quick counts instructions only and
writes nothing (CI's guard against rot). Run it as root: it installs the
tools it lacks with apt-get.

What the figures are held against (by people, not by a test): a dynamic run
within 1.9× the instructions of /bin/true, a static one within 1.25×, and
fewer instructions than the same shift written as a dash function.
"""
import contextlib
import fcntl
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "cmake"))
from readme import replace_section  # noqa: E402
ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"
CLEAN_ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
PYTHON_SHIFT = ("import ipaddress, sys; print(ipaddress.IPv4Address("
                "(int(ipaddress.IPv4Address(sys.argv[2])) + int(sys.argv[1])) % 2**32))")


def sh(*command, **kwargs):
    return subprocess.run(command, check=True, cwd=ROOT, **kwargs)


def install_missing(commands):
    packages = [package for command, package in commands
                if not (shutil.which(command) or command.startswith("/") and os.path.exists(command))]
    if packages:
        sh("apt-get", "update", "-qq")
        sh("apt-get", "install", "-y", "-qq", *packages,
           env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def build():
    for preset in ("default", "static"):
        sh("cmake", "--preset", preset, stdout=subprocess.DEVNULL)
        sh("cmake", "--build", "--preset", preset, "--target", "ip4add",
           stdout=subprocess.DEVNULL)


def contenders():
    # The interpreter itself, not a launcher script in front of it.
    python = subprocess.run(["python3", "-c", "import sys; print(sys.executable)"],
                            capture_output=True, text=True, check=True).stdout.strip()
    return [
        ("/bin/true (floor)", ["/bin/true"]),
        ("ip4add, dynamic", [os.path.join(ROOT, "build/default/ip4add")] + ARGS),
        ("ip4add, static", [os.path.join(ROOT, "build/static/ip4add")] + ARGS),
        ("dash function", ["/usr/bin/dash", os.path.join(ROOT, "bench/ip4add.sh")] + ARGS),
        ("python3 ipaddress", [python, "-c", PYTHON_SHIFT] + ARGS),
    ]


def check_output(label, command):
    if label.startswith("/bin/true"):
        return
    out = subprocess.run(command, capture_output=True, text=True, env=CLEAN_ENV).stdout
    if out != EXPECTED:
        sys.exit(f"bench: {label} printed {out!r}, not {EXPECTED!r}")


def instructions(command):
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
                            + command, capture_output=True, text=True, env=CLEAN_ENV)
    match = re.search(r"Collected : (\d+)", result.stderr)
    if not match:
        sys.exit(f"bench: callgrind gave no count for {command}:\n{result.stderr}")
    return int(match.group(1))


def timings(commands):
    with tempfile.TemporaryDirectory() as scratch:
        export = os.path.join(scratch, "hyperfine.json")
        sh("hyperfine", "-N", "--warmup", "30", "--min-runs", "300", "--style", "none",
           "--export-json", export, *[_quote(command) for command in commands],
           stdout=subprocess.DEVNULL, env=dict(os.environ, **CLEAN_ENV))
        with open(export, encoding="utf-8") as data:
            return json.load(data)["results"]


def _quote(command):
    return " ".join("'" + part.replace("'", "'\\''") + "'" for part in command)


def peak_rss(command, runs=20):
    samples = []
    for _ in range(runs):
        result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, capture_output=True,
                                text=True, env=CLEAN_ENV)
        samples.append(int(result.stderr.strip().splitlines()[-1]))
    return statistics.median(samples)


def markdown(rows, full):
    floor = rows[0]
    if full:
        head = ("| Command | Instructions | × true | Median time | Range | × true | Peak RSS | × true |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|\n")
    else:
        head = "| Command | Instructions | × true |\n|---|---:|---:|\n"
    lines = []
    for row in rows:
        cells = [row["label"], f"{row['ir']:,}", f"{row['ir'] / floor['ir']:.2f}"]
        if full:
            cells += [f"{row['median'] * 1e3:.2f} ms",
                      f"{row['min'] * 1e3:.2f}–{row['max'] * 1e3:.2f} ms",
                      f"{row['median'] / floor['median']:.2f}",
                      f"{row['rss']:,.0f} KiB", f"{row['rss'] / floor['rss']:.2f}"]
        lines.append("| " + " | ".join(cells) + " |")
    return head + "\n".join(lines) + "\n"


def chart(rows, path):
    with tempfile.TemporaryDirectory() as scratch:
        data = os.path.join(scratch, "ratios.dat")
        with open(data, "w", encoding="utf-8") as out:
            for row in rows:
                out.write(f"\"{row['label']}\" {row['ir'] / rows[0]['ir']:.4f} "
                          f"{row['median'] / rows[0]['median']:.4f} "
                          f"{row['rss'] / rows[0]['rss']:.4f}\n")
        script = f"""
set terminal pngcairo size 900,420 font ",10"
set output "{path}"
set title "Cost of one run, relative to /bin/true (log scale)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set yrange [0.5:*]
set ylabel "× /bin/true"
set grid ytics
set key top left
plot "{data}" using 2:xtic(1) title "instructions (callgrind)", \\
     "" using 3 title "median wall time (hyperfine)", \\
     "" using 4 title "peak RSS"
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


# --- on the router's CPU ------------------------------------------------------
# Soft-float MIPS builds under qemu-user on the FPU-less 24Kc, counted by the
# project's own qemu plugin (bench/insn_count.c): instructions per run, split
# at main's entry and return and at every call the tool's own code makes
# into the C library or the compiler's soft-float helpers.
# Preset, label, and whether the sysroot's BusyBox ash runs the peer (once
# per C library and byte order).
TARGET_PRESETS = [
    ("mips-uclibc", "MIPS BE, uClibc-ng, dynamic", False),
    ("mips-uclibc-static", "MIPS BE, uClibc-ng, static", True),
    ("mips-musl-sf", "MIPS BE, musl, static", True),
    ("mipsel-uclibc", "MIPS LE, uClibc-ng, dynamic", False),
    ("mipsel-uclibc-static", "MIPS LE, uClibc-ng, static", True),
    ("mipsel-musl-sf", "MIPS LE, musl, static", True),
]
# GCC's names for them carry a float mode: __muldf3, __fixdfsi, __floatunsidf.
SOFT_FLOAT_HELPER = re.compile(r"__[a-z]+(sf|df)[a-z]*\d?$")
FIXED_PLACE = "/tmp/ip4add-bench"
ASH_CALLS = 100  # calls of the ash function in the loop that prices one call
CACHE = os.environ.get("IP4ADD_CACHE_DIR") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ.get("HOME", "/tmp"), ".cache"),
    "ip4add")


def plugin():
    """The counting plugin, built against the plugin header of Debian's qemu
    (its source package), cached by the plugin's own hash."""
    source = os.path.join(ROOT, "bench/insn_count.c")
    with open(source, "rb") as text:
        key = hashlib.sha256(text.read()).hexdigest()[:12]
    built = os.path.join(CACHE, f"insn_count-{key}.so")
    if not os.path.exists(built):
        os.makedirs(CACHE, exist_ok=True)
        with tempfile.TemporaryDirectory() as scratch:
            sh("bash", "cmake/debian-package.sh", "source", "qemu", scratch, "*/include/qemu/qemu-plugin.h")
            sh("gcc", "-O2", "-Wall", "-shared", "-fPIC", "-I" + os.path.join(scratch, "include/qemu"),
               source, "-o", built + ".new")
        os.replace(built + ".new", built)
    return built


def build_target(preset):
    sh("cmake", "--preset", preset, stdout=subprocess.DEVNULL)
    sh("cmake", "--build", "--preset", preset, "--target", "ip4add", "ip4add_floor",
       stdout=subprocess.DEVNULL)
    build_dir = os.path.join(ROOT, "build", preset)
    with open(os.path.join(build_dir, "emulator.txt"), encoding="utf-8") as text:
        emulator = text.read().strip().split(";")
    return build_dir, emulator


def tool(emulator, name):
    """A binutils program of the emulated target (mips-linux-gnu-NAME)."""
    triplet = {"qemu-mips": "mips-linux-gnu", "qemu-mipsel": "mipsel-linux-gnu"}[emulator[0]]
    return f"{triplet}-{name}"


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


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


def call_sites(binary, emulator, own):
    """(callee, call address) for every call from the tool's own code to
    anything else, and main's entry and return addresses. Direct calls name
    their target; calls through the GOT (lw t9,N(gp); jalr t9) are named
    from readelf's GOT listing."""
    got = {}
    symbols = {}
    for line in output(tool(emulator, "nm"), "--defined-only", binary).splitlines():
        fields = line.split()
        if len(fields) == 3:
            symbols[int(fields[0], 16)] = fields[2]
    for line in output(tool(emulator, "readelf"), "-A", binary).splitlines():
        match = re.match(r"\s*[0-9a-f]+\s+(-?\d+)\(gp\)\s+([0-9a-f]+)(?:\s+\S+\s+\S+\s+\S+\s+(\S+))?",
                         line)
        if match:
            got[int(match.group(1))] = match.group(3) or symbols.get(int(match.group(2), 16))
    sites, entry, returns = [], None, []
    function, t9 = None, None
    for line in output(tool(emulator, "objdump"), "-d", "--no-show-raw-insn", binary).splitlines():
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


def measure_target(plugin_path, preset, label, place):
    """One preset's ip4add and empty program, run from place/p/ip4add and
    place/f/ip4add."""
    build_dir, emulator = build_target(preset)
    programs = []
    for folder, built in (("p", "ip4add"), ("f", "ip4add_floor")):
        os.makedirs(os.path.join(place, folder))
        programs.append(shutil.copy(os.path.join(build_dir, built),
                                    os.path.join(place, folder, "ip4add")))
    binary, floor = programs

    sites, entry, returns = call_sites(binary, emulator, own_functions(build_dir, tool(emulator, "nm")))
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
    head = ("| Build (soft-float, `-cpu 24Kc`) | Empty program | ip4add | × empty | Loader and "
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
set title "Instructions of one run on a MIPS32r2 24Kc (qemu-user, soft-float)"
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


def main():
    full = "--quick" not in sys.argv[1:]
    tools = [("valgrind", "valgrind"), ("dash", "dash"), ("cmake", "cmake"), ("gcc", "gcc"),
             ("qemu-mips", "qemu-user"), ("mips-linux-gnu-g++", "g++-mips-linux-gnu"),
             ("mipsel-linux-gnu-g++", "g++-mipsel-linux-gnu"), ("bzip2", "bzip2"),
             ("xz", "xz-utils"), ("/usr/src/uClibc-ng-1.0.35.tar.xz", "uclibc-source"),
             ("/usr/src/gcc-12", "gcc-12-source")]
    if full:
        tools += [("hyperfine", "hyperfine"), ("gnuplot", "gnuplot-nox")]
        if not os.path.exists("/usr/bin/time"):
            tools.append(("/usr/bin/time", "time"))
    install_missing(tools)
    build()

    rows = []
    for label, command in contenders():
        check_output(label, command)
        rows.append({"label": label, "command": command, "ir": instructions(command)})
    if full:
        for row, result in zip(rows, timings([row["command"] for row in rows])):
            row.update(median=result["median"], min=result["min"], max=result["max"])
        for row in rows:
            row["rss"] = peak_rss(row["command"])

    table = markdown(rows, full)
    print("On this host (x86-64, callgrind):\n\n" + table)
    floor = rows[0]["ir"]
    dynamic, static, dash = (rows[i]["ir"] for i in (1, 2, 3))
    print(f"instructions per run: ip4add dynamic {dynamic:,} ({dynamic / floor:.3f}× /bin/true), "
          f"static {static:,} ({static / floor:.3f}×), dash function {dash:,}")
    if full:
        print(f"peak RSS: ip4add {rows[1]['rss']:,.0f} KiB, /bin/true {rows[0]['rss']:,.0f} KiB")
        with open(os.path.join(ROOT, "bench/results.md"), "w", encoding="utf-8") as out:
            out.write(table)
        replace_section("bench", table)
        chart(rows, os.path.join(ROOT, "bench/ratios.png"))

    plugin_path = plugin()
    targets, shells = [], []
    with fixed_place() as place:
        for number, (preset, label, with_ash) in enumerate(TARGET_PRESETS):
            targets.append(measure_target(plugin_path, preset, label,
                                          os.path.join(place, str(number))))
            if with_ash:
                shells.append(measure_ash(plugin_path, targets[-1]["emulator"],
                                          label.rsplit(",", 1)[0], os.path.join(place, f"a{number}")))
    target_table = target_markdown(targets, shells)
    print("\nOn the router's CPU (qemu-user, instructions counted by bench/insn_count.c):\n\n"
          + target_table)
    if full:
        replace_section("bench-target", target_table)
        target_chart(targets, shells, os.path.join(ROOT, "bench/target.png"))

if __name__ == "__main__":
    main()
