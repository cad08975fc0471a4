#!/usr/bin/env python3
"""The marked parts of the documents (README.md and doc/*.md), read and
written in one place.

usage: readme.py block NAME...     the commands of the README's blocks NAME
       readme.py packages NAME...  the Debian packages that the apt-get
                                   lines of those blocks install

A block marked <!-- readme: NAME --> is the ```sh block after the marker
in the README: commands a user copies, which CI runs as written (the
package lists stand there once; CI and the benchmarks read them from
there). A section is the text between <!-- NAME:begin --> and
<!-- NAME:end -->, in whichever one document holds it, written by the
script that measures or derives it (release, benchmarks, targets), never
typed.
"""
import glob
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")


def documents():
    return [README] + sorted(glob.glob(os.path.join(ROOT, "doc", "*.md")))


def _text(path):
    with open(path, encoding="utf-8") as document:
        return document.read()


def block(name):
    match = re.search(r"<!-- readme: %s -->\s*```sh\n(.*?)```" % re.escape(name), _text(README),
                      re.S)
    if not match:
        sys.exit(f"README.md has no block marked <!-- readme: {name} -->")
    return match.group(1).strip()


def packages(name):
    """The packages that the apt-get install commands of block NAME name."""
    found = []
    for command in re.findall(r"apt-get install ([^&;\n]*)", block(name)):
        found += [word for word in command.split() if not word.startswith("-")]
    return found


def _markers(name):
    return f"<!-- {name}:begin -->", f"<!-- {name}:end -->"


def home(name):
    """The one document that holds section NAME; exits unless exactly one
    does, so that a table cannot stand in two places."""
    begin, end = _markers(name)
    holders = [path for path in documents() if begin in _text(path) or end in _text(path)]
    if len(holders) != 1:
        where = ", ".join(os.path.relpath(path, ROOT) for path in holders) or "no document"
        sys.exit(f"section {name}: its markers {begin} {end} must stand in one document, "
                 f"not in {where}")
    return holders[0]


def section(name):
    """The text between the markers of section NAME."""
    path = home(name)
    begin, end = _markers(name)
    text = _text(path)
    start, stop = text.find(begin), text.find(end)
    if start < 0 or stop < start:
        sys.exit(f"{os.path.relpath(path, ROOT)} lacks one of the markers {begin} {end}")
    return text[start + len(begin) + 1:stop]


def replace_section(name, new):
    """Puts NEW between the markers of section NAME, in its document."""
    section(name)  # the markers must be there, once
    path = home(name)
    begin, end = _markers(name)
    text = _text(path)
    start, stop = text.find(begin), text.find(end)
    with open(path, "w", encoding="utf-8") as document:
        document.write(text[:start + len(begin)] + "\n" + new + text[stop:])


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("block", "packages"):
        sys.exit(__doc__)
    for name in sys.argv[2:]:
        print(block(name) if sys.argv[1] == "block" else " ".join(packages(name)))


if __name__ == "__main__":
    main()
