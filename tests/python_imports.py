#!/usr/bin/env python3
"""No Python file of the project edits sys.path (or adds a site folder):
the scripts import each other as modules and packages of scripts/, which
Python puts on the path of whatever runs there, and a test that needs them
is given scripts/ on PYTHONPATH by CTest. An edit of the path would make a
module's meaning depend on who imported it first.

usage: python_imports.py PROJECT_ROOT
"""
import ast
import os
import sys

# Not the project's sources: what builds, releases and caches leave there.
SKIP = {".git", "build", "dist", ".cache", "__pycache__"}
EDITS = {"insert", "append", "extend", "remove", "pop", "clear", "__setitem__", "__iadd__"}


def is_sys_path(node):
    return isinstance(node, ast.Attribute) and node.attr == "path" and \
        isinstance(node.value, ast.Name) and node.value.id == "sys"


def edits(tree):
    """(line, what) of every edit of sys.path and every site.addsitedir."""
    found = []
    for node in ast.walk(tree):
        targets = []
        if isinstance(node, (ast.Assign, ast.AugAssign, ast.AnnAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
        for target in targets:
            if is_sys_path(target) or (isinstance(target, ast.Subscript)
                                       and is_sys_path(target.value)):
                found.append((node.lineno, "assigns sys.path"))
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
            if is_sys_path(node.func.value) and node.func.attr in EDITS:
                found.append((node.lineno, f"sys.path.{node.func.attr}"))
            if node.func.attr == "addsitedir":
                found.append((node.lineno, "site.addsitedir"))
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root, files, bad = sys.argv[1], 0, []
    for folder, subfolders, names in os.walk(root):
        subfolders[:] = sorted(name for name in subfolders if name not in SKIP)
        for name in sorted(names):
            if not name.endswith(".py"):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as text:
                tree = ast.parse(text.read(), path)
            files += 1
            bad += [f"{os.path.relpath(path, root)}:{line}: {what}" for line, what in edits(tree)]
    print("\n".join(bad) or f"python imports: {files} files, no edit of sys.path")
    return 1 if bad or not files else 0


if __name__ == "__main__":
    sys.exit(main())
