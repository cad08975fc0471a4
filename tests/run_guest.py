#!/usr/bin/env python3
"""Boots a router CPU's kernel under qemu-system with the files under test
in an initramfs, and records what its /init (guest_init.sh) printed.

usage: run_guest.py boot RESULTS --table TABLE --init INIT --runner RUNNER
                    --busybox BUSYBOX --tool BINARY --broken BINARY
                    [--script NAME=FILE...] [--fpu-probe FILE] [--sysroot DIR]
                    -- QEMU_SYSTEM ARGS...
       run_guest.py check RESULTS WHAT [EXPECTED]
       run_guest.py image OUT --busybox BUSYBOX [--sysroot DIR] MEMBER...

boot writes RESULTS (JSON) and fails only when the guest did not finish;
each result is then judged by its own test: run_case.py --recorded for a
row of the case table, check for the rest:
  script NAME EXPECTED  stdout as EXPECTED holds, stderr empty, status 0
  pipe                  the tool killed by SIGPIPE: 141 through the shell
  fpu                   the FPU emulator's counter did not move during the
                        runs, and moved for the probe
A dynamic file takes its loader and libraries from --sysroot.

image writes an initramfs for any booted run (the release's router steps,
the booted benchmark): the MEMBERs as initramfs.py takes them, BusyBox with
the applets a guest's /init uses, the usual mount points, and the loader and
libraries of every dynamic file among the members from --sysroot.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

import run_case  # the table's own reader, beside this file

APPLETS = ["sh", "ash", "mount", "mkdir", "cat", "sleep", "true", "poweroff", "uname", "time",
           "grep", "cp", "chmod", "sha256sum"]
FOLDERS = ["dev/", "proc/", "sys/", "tmp/"]


def hexed(data):
    return data.hex() if data else "-"


def case_lines(table, scripts):
    """The table's rows, then the scripts, as guest_run.cpp reads them."""
    lines = []
    for fields in run_case.rows(table):
        name, stdout_field = fields[0], fields[2]
        argv = [b"" if arg == "''" else run_case.unescape(arg) for arg in fields[4:]]
        mode = "pipe"
        if stdout_field == ">&-":
            mode = "closed"
        elif stdout_field == ">pty-hangup":
            mode = "pty-hangup"
        elif stdout_field.startswith(">"):
            mode = stdout_field[1:]
        program = "/bin/ip4add_broken_pattern" if name.startswith("compile_") else "/bin/ip4add"
        lines.append(" ".join([name, mode, program, str(len(argv))] + [hexed(a) for a in argv]))
    for name in scripts:
        argv = [b"ash", f"/tests/{name}.sh".encode()]
        lines.append(" ".join([f"script.{name}", "pipe", "/bin/busybox", "2"]
                              + [hexed(a) for a in argv]))
    return "\n".join(lines) + "\n"


def runtime_files(binary, sysroot):
    """The loader and libraries a dynamic file needs, from the sysroot."""
    members = {}
    if not sysroot:
        return members
    headers = subprocess.run(["readelf", "-lW", binary], capture_output=True, text=True,
                             check=True).stdout
    interp = re.search(r"Requesting program interpreter: ([^\]]+)\]", headers)
    if not interp:
        return members
    members[interp.group(1)] = os.path.realpath(sysroot + interp.group(1))
    dynamic = subprocess.run(["readelf", "-dW", binary], capture_output=True, text=True,
                             check=True).stdout
    for needed in re.findall(r"\(NEEDED\).*\[([^\]]+)\]", dynamic):
        for folder in ("/lib", "/usr/lib"):
            path = sysroot + folder + "/" + needed
            if os.path.exists(path):
                members["/lib/" + needed] = os.path.realpath(path)
                break
    return members


def is_elf(path):
    with open(path, "rb") as file:
        return file.read(4) == b"\x7fELF"


def image(out, busybox, members, sysroot=None):
    """Writes the initramfs OUT: MEMBERS, BusyBox and its applets, the mount
    points, and what the dynamic files among MEMBERS need from SYSROOT."""
    members = list(members) + [f"bin/busybox={busybox}"] + FOLDERS
    members += [f"bin/{applet}->busybox" for applet in APPLETS]
    libraries = {}
    for item in members:
        source = item.split("=", 1)[1] if "=" in item and "->" not in item else ""
        if source and not source.startswith("@") and is_elf(source):
            libraries.update(runtime_files(source, sysroot))
    members += [f"{path.lstrip('/')}={source}" for path, source in libraries.items()]
    subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                 "initramfs.py"), out] + members, check=True)


def boot(args):
    scripts = dict(item.split("=", 1) for item in args.script)
    with tempfile.TemporaryDirectory() as work:
        initramfs = os.path.join(work, "initramfs.cpio")
        cases = os.path.join(work, "cases")
        with open(cases, "w", encoding="utf-8") as file:
            file.write(case_lines(args.table, scripts))
        members = [f"init={args.init}", f"bin/ip4add={args.tool}",
                   f"bin/ip4add_broken_pattern={args.broken}",
                   f"bin/ip4add_guest_run={args.runner}", f"cases={cases}"]
        members += [f"tests/{name}.sh={path}" for name, path in scripts.items()]
        if args.fpu_probe:
            members.append(f"bin/fpu_probe={args.fpu_probe}")
        image(initramfs, args.busybox, members, args.sysroot)
        command = args.qemu + ["-initrd", initramfs]
        try:
            console = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                     timeout=args.timeout, check=False).stdout
        except subprocess.TimeoutExpired as expired:
            console = expired.stdout or b""
            print(f"run_guest: the guest did not power off within {args.timeout} s")

    results = {"cases": {}}
    for line in console.decode("utf-8", "replace").replace("\r", "").split("\n"):
        words = line.split()
        if not words:
            continue
        if words[0] == "case" and len(words) == 5:
            name, status, out, err = words[1:]
            results["cases"][name] = [int(status), "" if out == "-" else out,
                                      "" if err == "-" else err]
        elif words[0].startswith("guest-"):
            results[words[0][6:]] = words[1:]
    with open(args.results, "w", encoding="utf-8") as out:
        json.dump(results, out, indent=1)
    print(f"{len(results['cases'])} cases ran; kernel {' '.join(results.get('kernel', []))}")
    if "done" not in results:
        print("run_guest: the guest did not finish; its console ends with:")
        print("\n".join(console.decode("utf-8", "replace").splitlines()[-40:]))
        sys.exit(1)


def check(results_path, what, expected_path):
    with open(results_path, encoding="utf-8") as file:
        results = json.load(file)
    problems = []
    if what.startswith("script."):
        got = results["cases"].get(what)
        if got is None:
            sys.exit(f"{what}: did not run in the guest")
        with open(expected_path, "rb") as file:
            expected = file.read()
        status, out, err = got[0], bytes.fromhex(got[1]), bytes.fromhex(got[2])
        if out != expected:
            problems.append(f"stdout differs\n--- expected\n{expected.decode()}"
                            f"--- got\n{out.decode('utf-8', 'replace')}")
        if err:
            problems.append(f"stderr not empty: {err!r}")
        if status != 0:
            problems.append(f"status {status}, expected 0")
    elif what == "pipe":
        if results.get("pipe") != ["141"]:
            problems.append(f"status through the shell {results.get('pipe')}, expected 141")
    elif what == "fpu":
        runs, probe = results.get("fpu", []), results.get("fpu-probe", [])
        if len(runs) != 2 or "-" in runs:
            problems.append(f"no FPU emulation counter in the guest ({runs})")
        elif runs[0] != runs[1]:
            problems.append(f"FPU instructions emulated during the runs: {runs[0]} -> {runs[1]}")
        if len(probe) != 2 or "-" in probe or int(probe[1]) <= int(probe[0]):
            problems.append(f"the counter did not move for the FPU probe ({probe})")
        else:
            print(f"counter {runs[0]} -> {runs[1]} over the runs; "
                  f"{int(probe[1]) - int(probe[0])} for the probe")
    else:
        sys.exit(f"run_guest: cannot check {what!r}")
    for problem in problems:
        print(f"{what}: {problem}")
    sys.exit(1 if problems else 0)


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "check":
        check(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
        return
    if len(sys.argv) >= 3 and sys.argv[1] == "image":
        parser = argparse.ArgumentParser(usage=__doc__)
        parser.add_argument("out")
        parser.add_argument("--busybox", required=True)
        parser.add_argument("--sysroot")
        parser.add_argument("members", nargs="*")
        args = parser.parse_intermixed_args(sys.argv[2:])
        image(args.out, args.busybox, args.members, args.sysroot)
        return
    if "--" not in sys.argv or len(sys.argv) < 3 or sys.argv[1] != "boot":
        sys.exit(__doc__)
    split = sys.argv.index("--")
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("results")
    for option in ("table", "init", "runner", "busybox", "tool", "broken"):
        parser.add_argument("--" + option.replace("_", "-"), required=True)
    parser.add_argument("--script", action="append", default=[])
    parser.add_argument("--fpu-probe")
    parser.add_argument("--sysroot")
    parser.add_argument("--timeout", type=int, default=300)
    args = parser.parse_args(sys.argv[2:split])
    args.qemu = sys.argv[split + 1:]
    boot(args)


if __name__ == "__main__":
    main()
