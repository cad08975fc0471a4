#!/usr/bin/env python3
"""Runs a shell script that calls ip4add as router scripts do and compares
its standard output with the expected text; standard error must stay empty
and the status 0.

usage: run_router.py SCRIPT EXPECTED SHELL... -- [EMULATOR...] BINARY

SHELL is the command that runs the script (dash; or the emulator, BusyBox
and "ash"). The script finds "ip4add" through PATH: a link to BINARY, or,
under an emulator, a host script that starts BINARY in it with the program
name "ip4add" (qemu-user starts host programs for its guests, not guest
ones).
"""
import os
import shlex
import subprocess
import sys
import tempfile


def main():
    if len(sys.argv) < 6 or "--" not in sys.argv[4:]:
        sys.exit(__doc__)
    script, expected_path = sys.argv[1:3]
    split = sys.argv.index("--", 4)
    shell, tool = sys.argv[3:split], sys.argv[split + 1:]
    with open(expected_path, encoding="utf-8") as expected_file:
        expected = expected_file.read()

    with tempfile.TemporaryDirectory() as bin_dir:
        ip4add = os.path.join(bin_dir, "ip4add")
        if len(tool) == 1:
            os.symlink(os.path.abspath(tool[0]), ip4add)
        else:
            with open(ip4add, "w", encoding="utf-8") as wrapper:
                wrapper.write("#!/bin/sh\nQEMU_ARGV0=ip4add exec "
                              + " ".join(shlex.quote(word) for word in tool) + ' "$@"\n')
            os.chmod(ip4add, 0o755)
        env = {"PATH": bin_dir + ":/usr/bin:/bin", "LC_ALL": "C"}
        result = subprocess.run(shell + [script], capture_output=True, text=True, env=env,
                                check=False)

    failed = False
    if result.stdout != expected:
        failed = True
        sys.stdout.write(f"stdout differs\n--- expected\n{expected}--- got\n{result.stdout}")
    if result.stderr:
        failed = True
        sys.stdout.write(f"stderr not empty:\n{result.stderr}")
    if result.returncode != 0:
        failed = True
        print(f"status {result.returncode}, expected 0")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
