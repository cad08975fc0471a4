"""What a release file needs from the kernel, from what it was seen to call:
every row of the case table run under qemu-user's system-call log, and for
each call the first Linux that has it, as the Linux manual pages
(Debian's manpages-dev) state it in their VERSIONS or HISTORY section.

A page that names no version for a call describes one that Linux has had
since before the versions the pages record; such a call asks for nothing
newer than the architecture's own first Linux. Before 2.6, odd minor versions were development series:
a call that appeared in 2.5.x is in every Linux from 2.6.0 on.
"""
import gzip
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CASES = os.path.join(ROOT, "tests", "cli_cases.tsv")
RUN_CASE = os.path.join(ROOT, "tests", "run_case.py")
MAN2 = "/usr/share/man/man2"
OLDEST = "not named"  # a page without a version: older than its records


def _traced_rows():
    """The rows to trace: all but those of the build with a broken pattern,
    and those that close standard output, whose descriptor qemu's log
    would take (a closed stdout makes the calls a full one makes)."""
    names = subprocess.run([sys.executable, RUN_CASE, "--list", CASES], capture_output=True,
                           text=True, check=True).stdout.split()
    with open(CASES, encoding="utf-8") as table:
        closed = {line.split("\t")[0] for line in table
                  if not line.startswith("#") and line.count("\t") >= 2
                  and line.split("\t")[2] == ">&-"}
    return [name for name in names if not name.startswith("compile_") and name not in closed]


def calls_made(emulator, binary):
    """The names of the system calls that BINARY makes over the rows of the
    case table, run under EMULATOR (qemu-user with its CPU and -L) by the
    table's runner, which also checks each row as it goes."""
    names = _traced_rows()
    seen = set()
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "calls")
        for name in names:
            if os.path.exists(log):
                os.remove(log)
            done = subprocess.run([sys.executable, RUN_CASE, CASES, name, "--"] + emulator
                                  + ["-d", "strace", "-D", log, binary], capture_output=True,
                                  text=True, check=False)
            if done.returncode not in (0, 77):  # 77: the runner cannot set the row up here
                sys.exit(f"kernel_needs: {os.path.basename(binary)} fails case {name}:\n"
                         + done.stdout + done.stderr)
            if os.path.exists(log):
                with open(log, encoding="utf-8", errors="replace") as text:
                    seen.update(re.findall(r"(?m)^\d+ (\w+)\(", text.read()))
    return sorted(seen)


def _page(call):
    path = os.path.join(MAN2, f"{call}.2.gz")
    if not os.path.exists(path):
        return None
    with gzip.open(path, "rt", encoding="utf-8", errors="replace") as text:
        page = text.read()
    alias = re.match(r"\.so (\S+)", page)
    return _page(os.path.basename(alias.group(1)).split(".")[0]) if alias else page


def first_linux(call):
    """(version, the sentence of the manual page that says so)."""
    page = _page(call)
    if page is None:
        return None, f"no manual page for {call}"
    for section in re.split(r"(?m)^\.SH\s+", page):
        heading, _, body = section.partition("\n")
        if heading.strip().strip('"') not in ("VERSIONS", "HISTORY"):
            continue
        body = re.sub(r"\\f[BIRP]", "", body).replace("\\-", "-")
        body = re.sub(r"(?m)^\.[A-Za-z]+ ?", "", body).replace("\n", " ")
        for sentence in re.split(r"(?<=[.;])\s+", body):
            if re.search(r"\b%s\b" % re.escape(call), sentence) or \
                    re.match(r"This (system )?call\b", sentence):
                version = re.search(r"Linux (\d+\.\d+(?:\.\d+)?)", sentence)
                if version:
                    return version.group(1), re.sub(r"(\w) \(\)", r"\1()",
                                                    " ".join(sentence.split()))
    return None, "the page names no version"


def stable(version):
    """The first stable Linux with VERSION: 2.5.48 is in 2.6.0."""
    parts = [int(part) for part in version.split(".")]
    if parts[0] == 2 and parts[1] % 2 == 1:
        return f"2.{parts[1] + 1}"
    return version


def needs(calls, versions):
    """The newest of CALLS' first versions, as (stable version, call)."""
    dated = [(tuple(int(p) for p in versions[c][0].split(".")), c) for c in calls
             if versions[c][0]]
    if not dated:
        return OLDEST, None
    newest = max(dated)
    return stable(versions[newest[1]][0]), newest[1]
