"""Regenerated parts of README.md: the text between <!-- NAME:begin --> and
<!-- NAME:end --> is written by the scripts that measure it (the benchmark,
the release), never typed."""
import os
import sys

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def replace_section(name, text):
    """Puts TEXT between the markers of section NAME; exits if they lack."""
    begin, end = f"<!-- {name}:begin -->", f"<!-- {name}:end -->"
    with open(README, encoding="utf-8") as readme:
        old = readme.read()
    start, stop = old.find(begin), old.find(end)
    if start < 0 or stop < 0:
        sys.exit(f"README.md lacks the markers {begin} {end}")
    with open(README, "w", encoding="utf-8") as readme:
        readme.write(old[:start + len(begin)] + "\n" + text + old[stop:])
