#!/usr/bin/env python3
"""Runs the examples of the manual page and the README and compares what
they print with what the documents show.

usage: doc_examples.py BINARY DOCUMENT...

An example is a line "$ COMMAND" in a literal block (.Bd -literal ... .Ed
in the manual page, a ```console block in Markdown), followed by the lines
it prints, standard error merged in, up to the next "$ " line or the end of
the block. COMMAND runs in sh with BINARY on PATH as "ip4add".
"""
import os
import subprocess
import sys
import tempfile

ROFF_ESCAPES = [("\\-", "-"), ("\\&", ""), ("\\e", "\\")]


def blocks(path):
    with open(path, encoding="utf-8") as text:
        lines = text.read().splitlines()
    roff = path.endswith(".1")
    block = None
    for line in lines:
        if block is None:
            if (roff and line.startswith(".Bd -literal")) or (not roff and line == "```console"):
                block = []
        elif (roff and line == ".Ed") or (not roff and line == "```"):
            yield block
            block = None
        else:
            if roff:
                for escape, plain in ROFF_ESCAPES:
                    line = line.replace(escape, plain)
            block.append(line)


def examples(path):
    for block in blocks(path):
        command, output = None, []
        for line in block:
            if line.startswith("$ "):
                if command is not None:
                    yield command, output
                command, output = line[2:], []
            elif command is not None:
                output.append(line)
        if command is not None:
            yield command, output


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    binary, documents = sys.argv[1], sys.argv[2:]
    failed = checked = 0
    with tempfile.TemporaryDirectory() as bin_dir:
        os.symlink(os.path.abspath(binary), os.path.join(bin_dir, "ip4add"))
        env = {"PATH": bin_dir + ":/usr/bin:/bin", "LC_ALL": "C"}
        for document in documents:
            for command, want in examples(document):
                got = subprocess.run(["sh", "-c", command], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, env=env,
                                     timeout=30, check=False).stdout.splitlines()
                checked += 1
                if got != want:
                    failed += 1
                    print(f"{os.path.basename(document)}: $ {command}\n  shows {want}\n  prints {got}")
    print(f"doc examples: {checked} checked, {failed} differ")
    sys.exit(1 if failed or not checked else 0)


if __name__ == "__main__":
    main()
