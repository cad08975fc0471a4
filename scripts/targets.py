#!/usr/bin/env python3
"""The router targets of cmake/targets.cmake, for the scripts outside CMake,
and what is written from them without building anything.

usage: targets.py [--check]

As a module: rows() gives every row with its derived facts, as CMake's
cmake/Ip4addTargets.cmake derives them (CMake reads the table; this asks it).

As a script: rewrites the target presets of CMakePresets.json (a configure,
build, test and workflow preset per row, one line each) and the table of
targets in doc/targets.md. With --check it writes nothing and fails when either is
not what the table gives (CI runs it; so does the host's test suite).
"""
import json
import os
import subprocess
import sys
import tempfile

import readme

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRESETS = os.path.join(ROOT, "CMakePresets.json")
LIBC_NAMES = {"glibc": "glibc 2.36", "uclibc": "uClibc-ng 1.0.35", "musl": "musl 1.2.3"}
# A row of another Debian release (SUITE) takes its sources from there too.
SUITES = {"trixie": ("Debian 13", {"musl": "musl 1.2.5"})}
PARENT = "target"  # the hidden configure preset that every target preset inherits


def rows():
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "targets.json")
        subprocess.run(["cmake", f"-DIP4ADD_TARGETS_JSON={path}", "-P",
                        os.path.join(ROOT, "cmake/Ip4addTargets.cmake")], check=True)
        with open(path, encoding="utf-8") as data:
            return json.load(data)


def emulator(row):
    return " ".join(row["EMULATOR"]) or "the host itself"


def booted(row):
    """The booted guest: qemu-system's board and CPU, and the kernel's origin."""
    if not row["BOOT"]:
        return ""
    args = row["BOOT_ARGS"]
    machine, cpu = args[args.index("-M") + 1], args[args.index("-cpu") + 1]
    kernel = row["BOOT_KERNEL"]
    origin = f"Debian's `{kernel[1]}`" if kernel[0] == "--debian" else "a minimal Malta kernel"
    return f"`{row['BOOT_QEMU']} -M {machine} -cpu {cpu}`, {origin}"


def libc_name(row):
    return SUITES.get(row["SUITE"], ("", {}))[1].get(row["LIBC"], LIBC_NAMES[row["LIBC"]])


def suite_note(row):
    """The Debian release the compiler comes from, where not this machine's."""
    return f" ({SUITES[row['SUITE']][0]})" if row["SUITE"] else ""


def description(row):
    float_abi = "soft-float" if row["FLOAT"] == "soft" else "hard-float"
    cpu = " ".join([row["TRIPLET"] + suite_note(row)] + row["CPU_FLAGS"])
    linkage = "static" if row["STATIC"] == "ON" else "dynamic"
    return (f"{cpu}, {float_abi}, {libc_name(row)}, {linkage}; "
            f"tests {'under ' + emulator(row) if row['EMULATOR'] else 'on the host'}")


def target_presets(row):
    name = row["NAME"]
    return {
        "configurePresets": {"name": name, "inherits": PARENT, "displayName": description(row)},
        "buildPresets": {"name": name, "configurePreset": name},
        "testPresets": {"name": name, "inherits": "default", "configurePreset": name},
        "workflowPresets": {"name": name, "steps": [{"type": kind, "name": name}
                                                    for kind in ("configure", "build", "test")]},
    }


def presets_text(current, targets):
    """CMakePresets.json with the hand-written presets as they are and one
    preset of each kind per target, every preset on one line."""
    names = {row["NAME"] for row in targets}
    generated = [target_presets(row) for row in targets]
    out = ["{", f'  "version": {current["version"]},',
           '  "cmakeMinimumRequired": ' + json.dumps(current["cmakeMinimumRequired"]) + ","]
    kinds = ["configurePresets", "buildPresets", "testPresets", "workflowPresets"]
    for number, kind in enumerate(kinds):
        presets = [preset for preset in current[kind] if preset["name"] not in names]
        presets += [preset[kind] for preset in generated]
        lines = ["    " + json.dumps(preset, ensure_ascii=False) for preset in presets]
        out.append(f'  "{kind}": [')
        out.append(",\n".join(lines))
        out.append("  ]" + ("," if number < len(kinds) - 1 else ""))
    return "\n".join(out) + "\n}\n"


def targets_table(targets):
    lines = ["| Preset | Compiler and CPU flags | Float | C library | Linkage | Tests run under "
             "| And booted on | Release file |", "|---|---|---|---|---|---|---|---|"]
    for row in targets:
        flags = " ".join(row["CPU_FLAGS"])
        cell = f"`{row['TRIPLET']}`{suite_note(row)}" + (f" `{flags}`" if flags else "")
        lines.append(f"| `{row['NAME']}` | {cell} | {row['FLOAT']} | {libc_name(row)} | "
                     f"{'static' if row['STATIC'] == 'ON' else 'dynamic'} | "
                     f"{'`' + emulator(row) + '`' if row['EMULATOR'] else emulator(row)} | "
                     f"{booted(row)} | {row['RELEASE'] or ''} |")
    return "\n".join(lines) + "\n"


def main():
    check = sys.argv[1:] == ["--check"]
    if sys.argv[1:] not in ([], ["--check"]):
        sys.exit(__doc__)
    targets = rows()
    with open(PRESETS, encoding="utf-8") as text:
        old_presets = text.read()
    new_presets = presets_text(json.loads(old_presets), targets)
    table = targets_table(targets)
    if check:
        stale = []
        if new_presets != old_presets:
            stale.append("CMakePresets.json")
        if readme.section("targets") != table:
            stale.append(f"the table of targets in {os.path.relpath(readme.home('targets'), ROOT)}")
        if stale:
            sys.exit(f"targets: {' and '.join(stale)} differ from cmake/targets.cmake: "
                     "run python3 scripts/targets.py")
        print(f"targets: {len(targets)} rows; CMakePresets.json and the table of targets agree")
        return
    with open(PRESETS, "w", encoding="utf-8") as text:
        text.write(new_presets)
    readme.replace_section("targets", table)


if __name__ == "__main__":
    main()
