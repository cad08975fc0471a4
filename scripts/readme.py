#!/usr/bin/env python3
"""The README's marked parts, read and written in one place.

usage: readme.py block NAME...     the commands of the blocks marked NAME
       readme.py packages NAME...  the Debian packages that the apt-get
                                   lines of those blocks install

A block marked <!-- readme: NAME --> is the ```sh block after the marker:
commands a user copies, which CI runs as written (the package lists stand
there once; CI and the benchmark read them from there). A section is the
text between <!-- NAME:begin --> and <!-- NAME:end -->, written by the
scripts that measure or derive it (release, benchmark, targets), never
typed.
"""
import os
import re
import sys

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def _text():
    with open(README, encoding="utf-8") as readme:
        return readme.read()


def block(name):
    match = re.search(r"<!-- readme: %s -->\s*```sh\n(.*?)```" % re.escape(name), _text(), re.S)
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


def section(name):
    """The text between the markers of section NAME; exits if they lack."""
    begin, end = _markers(name)
    text = _text()
    start, stop = text.find(begin), text.find(end)
    if start < 0 or stop < 0:
        sys.exit(f"README.md lacks the markers {begin} {end}")
    return text[start + len(begin) + 1:stop]


def replace_section(name, new):
    """Puts NEW between the markers of section NAME."""
    section(name)  # the markers must be there
    begin, end = _markers(name)
    text = _text()
    start, stop = text.find(begin), text.find(end)
    with open(README, "w", encoding="utf-8") as readme:
        readme.write(text[:start + len(begin)] + "\n" + new + text[stop:])


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("block", "packages"):
        sys.exit(__doc__)
    for name in sys.argv[2:]:
        print(block(name) if sys.argv[1] == "block" else " ".join(packages(name)))


if __name__ == "__main__":
    main()
