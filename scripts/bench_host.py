#!/usr/bin/env python3
"""Cost of one ip4add run on this host, next to the spawn floor and what
users would write instead.

usage: python3 scripts/bench_host.py [--quick]

/bin/true, the dynamic and static builds, a dash function and python3's
ipaddress: instructions per whole run counted with callgrind
(deterministic, in a clean environment), runs timed with hyperfine, peak
RSS taken with /usr/bin/time. Writes its table in doc/performance.md and
the chart bench/ratios.png; --quick counts instructions only and writes
nothing (CI's guard against rot). Needs the packages of the README's tools-install block.

What the figures are held against (by people, not by a test): a dynamic run
within 1.9x the instructions of /bin/true, a static one within 1.25x, and
fewer instructions than the same shift written as a dash function.
"""
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

import readme
from bench_common import ARGS, EXPECTED, ROOT, build, require_packages, sh

CLEAN_ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
PYTHON_SHIFT = ("import ipaddress, sys; print(ipaddress.IPv4Address("
                "(int(ipaddress.IPv4Address(sys.argv[2])) + int(sys.argv[1])) % 2**32))")


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



def main():
    full = "--quick" not in sys.argv[1:]
    require_packages("tools-install")
    for preset in ("default", "static"):
        build(preset, "ip4add")

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
        readme.replace_section("bench", table)
        chart(rows, os.path.join(ROOT, "bench/ratios.png"))


if __name__ == "__main__":
    main()
