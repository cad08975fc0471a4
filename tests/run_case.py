#!/usr/bin/env python3
"""Runs one row of the command-line case table and compares stdout, stderr
and exit status exactly.

usage: run_case.py TABLE NAME -- [EMULATOR...] BINARY
       run_case.py TABLE NAME --recorded RESULTS
       run_case.py --list TABLE

Row fields are tab-separated: name, status, stdout, stderr, then the whole
argument vector, program name first. Fields take the escapes \\n \\t \\\\ and
\\xHH, and \\{N:TEXT} for TEXT repeated N times; an argument written '' is the
empty text. A stdout field of ">&-" runs the tool with standard output
closed, ">pty-hangup" with it on a pseudo-terminal whose other end is
already closed (a hung-up terminal: writes fail only once the line is
flushed), and ">PATH" with it sent to PATH; stdout is then not compared.

--recorded judges the row's run in a booted guest, as run_guest.py
recorded it, instead of running the tool here.

--list checks every row and prints the names, one per line: a row that is
malformed is refused, never dropped.

With an emulator, the program name reaches the tool through QEMU_ARGV0
(qemu-user). Any other wrapper (valgrind) is handed a link named after the
program, found through PATH, so that plain names such as "ip4add" survive;
rows with other names are skipped there.
"""
import atexit
import ctypes
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77  # CTest's SKIP_RETURN_CODE for rows that need a host process start


def unescape(field):
    def one(match):
        text = match.group(0)
        if text.startswith("\\{"):
            count, repeated = match.group(1), match.group(2)
            return unescape(repeated) * int(count)
        if text.startswith("\\x"):
            return bytes([int(text[2:], 16)])
        return {"\\n": b"\n", "\\t": b"\t", "\\\\": b"\\"}[text]

    out = b""
    pos = 0
    pattern = r"\\\{(\d+):([^}]*)\}|\\x[0-9A-Fa-f]{2}|\\[nt\\]"
    for match in re.finditer(pattern, field):
        out += field[pos:match.start()].encode() + one(match)
        pos = match.end()
    return out + field[pos:].encode()


NAME = re.compile(r"[a-z][a-z0-9_]*")


def rows(table):
    """Every row of the table, checked; exits naming the first bad one."""
    names = set()
    with open(table, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            problem = None
            if not NAME.fullmatch(fields[0]):
                problem = f"name {fields[0]!r} is not lower case, digits and underscores"
            elif fields[0] in names:
                problem = f"name {fields[0]!r} is used twice"
            elif len(fields) < 4 or not fields[1].isdigit():
                problem = "needs a name, a numeric status, stdout and stderr"
            if problem:
                sys.exit(f"{table}:{number}: {problem}")
            names.add(fields[0])
            yield fields


def find_row(table, name):
    for fields in rows(table):
        if fields[0] == name:
            return fields
    sys.exit(f"run_case: no row named {name!r} in {table}")


def run(command, argv, stdout_field):
    """Starts the tool with exactly `argv` as its argument vector."""
    binary = command[-1]
    emulator = command[:-1]
    env = dict(os.environ)
    stdout = subprocess.PIPE
    actions = []
    if stdout_field == ">&-":
        stdout = None
        actions.append(lambda: os.close(1))
    elif stdout_field == ">pty-hangup":
        master, stdout = os.openpty()
        os.close(master)
    elif stdout_field.startswith(">"):
        stdout = open(stdout_field[1:], "wb")

    if not argv:
        # No program name at all: only a direct execve can do that, and it
        # cannot be passed through an emulator.
        if emulator:
            print("run_case: an empty argument vector needs a native run; skipped")
            sys.exit(SKIP)
        libc = ctypes.CDLL(None, use_errno=True)
        no_args = (ctypes.c_char_p * 1)(None)
        environ = (ctypes.c_char_p * 1)(None)
        actions.append(lambda: libc.execve(os.fsencode(binary), no_args, environ))
        argv = [os.fsencode(binary)]
    elif emulator and os.path.basename(emulator[0]).startswith("qemu"):
        env["QEMU_ARGV0"] = os.fsdecode(argv[0])
        argv = emulator + [binary] + argv[1:]
        binary = emulator[0]
    elif emulator:
        name = os.fsdecode(argv[0])
        if not name or "/" in name:
            print(f"run_case: {emulator[0]} cannot pass the program name {name!r}; skipped")
            sys.exit(SKIP)
        links = tempfile.mkdtemp()
        atexit.register(shutil.rmtree, links, ignore_errors=True)
        os.symlink(os.path.abspath(binary), os.path.join(links, name))
        env["PATH"] = links + os.pathsep + env.get("PATH", "")
        argv = emulator + [argv[0]] + argv[1:]
        binary = emulator[0]

    def before_exec():
        for action in actions:
            action()

    return subprocess.run(argv, executable=binary, stdout=stdout, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, env=env, preexec_fn=before_exec,
                          timeout=60, check=False)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--list":
        print("\n".join(fields[0] for fields in rows(sys.argv[2])))
        return
    if len(sys.argv) < 5 or sys.argv[3] not in ("--", "--recorded"):
        sys.exit(__doc__)
    table, name, command = sys.argv[1], sys.argv[2], sys.argv[4:]
    fields = find_row(table, name)
    status, stdout_field, stderr_field = int(fields[1]), fields[2], fields[3]
    argv = [b"" if arg == "''" else unescape(arg) for arg in fields[4:]]

    if sys.argv[3] == "--recorded":
        with open(command[0], encoding="utf-8") as results:
            recorded = json.load(results)["cases"].get(name)
        if recorded is None:
            sys.exit(f"{name}: did not run in the guest")
        result = subprocess.CompletedProcess(argv, recorded[0], bytes.fromhex(recorded[1]),
                                             bytes.fromhex(recorded[2]))
    else:
        result = run(command, argv, stdout_field)
    checks = [("status", status, result.returncode),
              ("stderr", unescape(stderr_field), result.stderr)]
    if not stdout_field.startswith(">"):
        checks.append(("stdout", unescape(stdout_field), result.stdout))
    failed = [(what, want, got) for what, want, got in checks if want != got]
    for what, want, got in failed:
        print(f"{name}: {what} expected {want!r}, got {got!r}")
    if failed:
        print(f"{name}: arguments {argv!r}")
        sys.exit(1)


if __name__ == "__main__":
    main()
