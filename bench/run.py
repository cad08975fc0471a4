#!/usr/bin/env python3
"""Cost of one ip4add run next to the spawn floor and what users would
write instead: /bin/true, a dash function, python3's ipaddress.

usage: bench/run.py [--quick]

Counts instructions per whole run with callgrind (deterministic, in a clean
environment), times the runs with hyperfine and takes peak RSS with
/usr/bin/time; writes bench/results.md, the README's table and the chart
bench/ratios.png. --quick counts instructions only (CI's guard against rot).
Run it as root: it installs the tools it lacks with apt-get.

What the figures are held against (by people, not by a test): a dynamic run
within 1.9× the instructions of /bin/true, a static one within 1.25×, and
fewer instructions than the same shift written as a dash function.
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"
CLEAN_ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
PYTHON_SHIFT = ("import ipaddress, sys; print(ipaddress.IPv4Address("
                "(int(ipaddress.IPv4Address(sys.argv[2])) + int(sys.argv[1])) % 2**32))")
README_BEGIN = "<!-- bench:begin -->"
README_END = "<!-- bench:end -->"


def sh(*command, **kwargs):
    return subprocess.run(command, check=True, cwd=ROOT, **kwargs)


def install_missing(commands):
    packages = [package for command, package in commands if not shutil.which(command)]
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


def update_readme(table):
    path = os.path.join(ROOT, "README.md")
    with open(path, encoding="utf-8") as readme:
        text = readme.read()
    start, end = text.find(README_BEGIN), text.find(README_END)
    if start < 0 or end < 0:
        sys.exit("bench: README.md has no bench markers")
    text = text[:start + len(README_BEGIN)] + "\n" + table + text[end:]
    with open(path, "w", encoding="utf-8") as readme:
        readme.write(text)


def main():
    full = "--quick" not in sys.argv[1:]
    tools = [("valgrind", "valgrind"), ("dash", "dash"), ("cmake", "cmake")]
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
    print(table)
    floor = rows[0]["ir"]
    dynamic, static, dash = (rows[i]["ir"] for i in (1, 2, 3))
    print(f"instructions per run: ip4add dynamic {dynamic:,} ({dynamic / floor:.3f}× /bin/true), "
          f"static {static:,} ({static / floor:.3f}×), dash function {dash:,}")
    if full:
        print(f"peak RSS: ip4add {rows[1]['rss']:,.0f} KiB, /bin/true {rows[0]['rss']:,.0f} KiB")
        with open(os.path.join(ROOT, "bench/results.md"), "w", encoding="utf-8") as out:
            out.write(table)
        update_readme(table)
        chart(rows, os.path.join(ROOT, "bench/ratios.png"))


if __name__ == "__main__":
    main()
