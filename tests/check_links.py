#!/usr/bin/env python3
"""Checks that every relative link of the README and of doc/*.md leads
somewhere: to a file or folder that exists and, with a #fragment into a
Markdown file, to a heading of it (by GitHub's anchors: lower case,
punctuation dropped, spaces as hyphens, -1, -2... for repeated headings).

usage: check_links.py ROOT

Links inside code (fenced blocks and `spans`) are text, not links; links
with a scheme (https:, mailto:) are not followed.
"""
import glob
import os
import re
import sys

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")


def prose(path):
    """The lines of PATH outside fenced code blocks, inline code removed."""
    with open(path, encoding="utf-8") as text:
        fenced = False
        for number, line in enumerate(text, 1):
            if line.lstrip().startswith("```"):
                fenced = not fenced
                continue
            if not fenced:
                yield number, re.sub(r"`[^`]*`", "", line)


def anchors(path):
    found, seen = set(), {}
    with open(path, encoding="utf-8") as text:
        fenced = False
        for line in text:
            if line.lstrip().startswith("```"):
                fenced = not fenced
            match = None if fenced else re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
            if not match:
                continue
            heading = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", match.group(1))
            slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def problems(root):
    documents = [os.path.join(root, "README.md")] + sorted(
        glob.glob(os.path.join(root, "doc", "*.md")))
    found, checked = [], 0
    for document in documents:
        for number, line in prose(document):
            for target in LINK.findall(line):
                if re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue
                checked += 1
                path, _, fragment = target.partition("#")
                where = os.path.normpath(os.path.join(os.path.dirname(document), path)) \
                    if path else document
                name = f"{os.path.relpath(document, root)}:{number}: {target}"
                if not os.path.exists(where):
                    found.append(f"{name}: no file {os.path.relpath(where, root)}")
                elif fragment and where.endswith(".md") and fragment not in anchors(where):
                    found.append(f"{name}: no heading #{fragment} in "
                                 f"{os.path.relpath(where, root)}")
    return found, checked, len(documents)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    found, checked, documents = problems(sys.argv[1])
    for problem in found:
        print(problem)
    print(f"doc links: {checked} links in {documents} documents, {len(found)} broken")
    sys.exit(1 if found or not checked else 0)


if __name__ == "__main__":
    main()
