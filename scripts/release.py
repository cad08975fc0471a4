#!/usr/bin/env python3
"""Builds the release: per router CPU family a static binary and one linked
against the router's own musl, the tables of what each was run on, and the
source archive.

usage: python3 scripts/release.py [--dist DIR] [--no-docs] [--keys DIR] [--again]

For every target of cmake/targets.cmake with a RELEASE name, in the table's
order: configures and builds its preset and strips the binary into DIR
(default dist/) as ip4add-VERSION-NAME (VERSION from CMakeLists.txt's
project()). Then it runs the file, 5 10.0.0.1, under the row's qemu with
every CPU model that the row CLAIMS (each must print 10.0.0.6; a dynamic
file with the sysroot's musl as the router's) and every one it is NOT_ON
(each must fail), asks the sysroot's BusyBox under the same model what
uname -m says there, and counts the instructions of one run on the row's
own CPU model with the project's qemu plugin. From those runs alone it
writes:

- per family: both files with size and instructions per run, the
  floating-point ABI as the ELF file states it, the Linux it needs, what
  the dynamic file saves and costs against the static one (with a booted
  router's cost of a call where bench/booted.json, which the booted
  benchmark writes, has one), the CPU models the files ran on and died on;
- OpenWrt's package architectures (scripts/openwrt.py), each with the files
  of the first family that ran on its stand-in CPU model, or the reason why
  none can;
- uname -m to the static files to try, in order;
- per file, the system calls that it makes over the case table under
  qemu-user's log, and the Linux it therefore needs (kernel_needs.py).

It then checks the README's router steps: under qemu-user, for every CPU
model, trying the static files of its uname -m in order ends at one that
works; and on every booted guest of the targets table, the README's pick,
check and install blocks, run as written in the router's BusyBox ash on
the router's kernel (tests/guest_steps.sh), keep the first file of the
guest's uname -m line that runs there, check it by its line of SHA256SUMS,
and install it so that ip4add 5 10.0.0.1 prints 10.0.0.6 from the PATH;
then check and install the family's dynamic file the same way. The source
archive ip4add-VERSION.tar.gz (the committed tree, recipes.py) must build
and pass the host's suite unpacked in a bare folder; the packaging recipes
stand beside it in DIR/packaging/, each with the archive's checksum written
in as its system's own update step writes it. Then the packages
(packages.py): an .ipk per OpenWrt package architecture served (its
family's dynamic file) and per Entware architecture (the static file), the
feed index Packages and Packages.gz, per OpenWrt architecture an apk v3
package in a signed feed of its own (apk/ARCH/, for OpenWrt 25.12 and
later), per Alpine architecture a signed apk v2 package and index
(alpine/ARCH/), and the Debian packages, each checked with tools and code
that did not write it (tar, gzip, zlib, openssl, dpkg-deb) and each written
twice to the same bytes. The signing keys come from --keys DIR or
$IP4ADD_KEYS (keys.py); without either, throwaway keys are made for the
build, and the output and KEYS say so. No private key may stand in DIR.
The .deb files stand in an apt repository, debian/, signed with the
release's OpenPGP key; Packages is signed for usign. Needs root, for the
Debian builds. Writes SHA256SUMS (of every file but itself and its
signature SHA256SUMS.sig, usign's),
LICENSE, NOTICE (musl's copyright, which its licence asks to go with every
copy) and RELEASE.md into DIR, and the five tables into doc/routers.md
and doc/packaging.md unless --no-docs. The suites of the presets are run
by CI, not here.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import bench_common
import kernel_needs
import keys
import openwrt
import packages
import readme
import recipes
import targets
from formats import feeds

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = ["5", "10.0.0.1"]
EXPECTED = "10.0.0.6\n"
TIMEOUT = 60  # seconds for one emulated run: a hang is a failure, not a wait


def run(*command, **kwargs):
    return subprocess.run(command, check=True, cwd=ROOT, **kwargs)


def attempt(command, cwd=None):
    """Runs COMMAND in an empty environment: (status, stdout)."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, env={}, timeout=TIMEOUT,
                              cwd=cwd, check=False)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired:
        return "timeout", ""


def cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    sys.exit(f"release: {name} missing from {build_dir}/CMakeCache.txt")


def float_abi(readelf, binary):
    """The floating-point ABI as the file's attributes state it."""
    attributes = subprocess.run([readelf, "-A", binary], capture_output=True, text=True,
                                check=True).stdout
    stated = re.search(r"(?:FP ABI|Tag_GNU_Power_ABI_FP):\s+(.+)", attributes)
    if stated:
        return stated.group(1).strip().capitalize()
    arm = re.search(r"Tag_FP_arch: (\S+)", attributes)
    if arm:
        passing = "hard-float ABI" if "Tag_ABI_VFP_args: VFP registers" in attributes \
            else "soft-float ABI"
        return f"{arm.group(1)}, {passing}"
    if "Tag_ABI_HardFP_use" not in attributes and "Tag_CPU_arch" in attributes:
        return "Soft float (no FPU instruction)"
    # These have their FPU in every core: no attribute says so.
    header = subprocess.run([readelf, "-h", binary], capture_output=True, text=True,
                            check=True).stdout
    machine = re.search(r"Machine:\s+(.+)", header).group(1).strip()
    flags = re.search(r"Flags:\s+(.+)", header).group(1).strip()
    return {"Advanced Micro Devices X86-64": "SSE2, in every x86-64",
            "AArch64": "FP/SIMD, in every ARMv8-A",
            "Intel 80386": "x87",
            "RISC-V": "RV64 F and D, " + flags.split(", ")[-1],
            "LoongArch": "64-bit FPU, double-float ABI"
            if "DOUBLE-FLOAT" in flags else flags}.get(machine, machine)


def build(row, dist, release_version):
    preset = row["NAME"]
    run("cmake", "--preset", preset, stdout=subprocess.DEVNULL)
    run("cmake", "--build", "--preset", preset, "--target", "ip4add", stdout=subprocess.DEVNULL)
    build_dir = os.path.join(ROOT, "build", preset)
    name = f"ip4add-{release_version}-{row['RELEASE']}"
    path = os.path.join(dist, name)
    run(cache_value(build_dir, "CMAKE_STRIP"), "-o", path, os.path.join(build_dir, "ip4add"))
    with open(path, "rb") as data:
        digest = hashlib.sha256(data.read()).hexdigest()
    with open(os.path.join(build_dir, "sysroot.txt"), encoding="utf-8") as text:
        sysroot = text.read().strip()
    return {"row": row, "name": name, "path": path, "size": os.path.getsize(path),
            "digest": digest, "sysroot": sysroot, "static": row["STATIC"] == "ON",
            "abi": float_abi(cache_value(build_dir, "CMAKE_READELF"), path)}


def models(row):
    """The CPU models a row's file runs on: the suite's first, then its claims."""
    return list(dict.fromkeys(([row["QEMU_CPU"]] if row["QEMU_CPU"] else []) + row["CLAIMS"]))


def try_on_cpus(release):
    """Runs the file under every claimed and every excluded CPU model, and
    asks BusyBox what uname -m says there. Exits on a claim that fails."""
    row, busybox = release["row"], os.path.join(release["sysroot"], "bin/busybox")
    release["ran"], release["died"] = {}, []
    for model in models(row):
        emulator = [row["QEMU"], "-L", release["sysroot"], "-cpu", model]
        status, out = attempt(emulator + [release["path"]] + ARGS)
        if status != 0 or out != EXPECTED:
            sys.exit(f"release: {release['name']} under {' '.join(emulator)} gave status "
                     f"{status}, {out!r}: a CPU it claims")
        status, uname = attempt(emulator + [busybox, "uname", "-m"])
        if status != 0:
            sys.exit(f"release: BusyBox uname -m failed under {' '.join(emulator)}")
        release["ran"][model] = uname.strip()
    for model in row["NOT_ON"]:
        emulator = [row["QEMU"], "-L", release["sysroot"], "-cpu", model]
        status, out = attempt(emulator + [release["path"]] + ARGS)
        if status == 0 or out == EXPECTED:
            sys.exit(f"release: {release['name']} ran under {' '.join(emulator)}, which it "
                     "must not claim: it is NOT_ON there")
        release["died"].append(model)


def count_instructions(release, plugin):
    """Instructions of one run, loader included, on the row's own CPU. The
    file runs as ./NAME from its folder: musl's start-up reads the program
    name to its end, so the count would move with the path of the folder."""
    row = release["row"]
    with tempfile.NamedTemporaryFile("r", suffix=".counts") as counts:
        status, out = attempt([row["QEMU"], "-L", release["sysroot"], "-cpu", models(row)[0],
                               "-plugin", f"{plugin},out={counts.name}", "./" + release["name"]]
                              + ARGS, cwd=os.path.dirname(release["path"]))
        total = re.search(r"^total (\d+)", counts.read(), re.M)
    if status != 0 or out != EXPECTED or not total:
        sys.exit(f"release: counting {release['name']} failed (status {status})")
    release["instructions"] = int(total.group(1))


def uname_order(releases):
    """uname -m -> the files that ran where it said so, in the table's order."""
    order = {}
    for release in releases:
        for uname in release["ran"].values():
            order.setdefault(uname, [])
            if release["name"] not in order[uname]:
                order[uname].append(release["name"])
    return dict(sorted(order.items()))


def check_pick(releases, order):
    """The README's way to pick a file, under every CPU model a file ran on:
    the files of its uname -m, tried in order, end at one that works there
    (a file of another CPU fails, as on the router, and harms nothing)."""
    by_name = {release["name"]: release for release in releases}
    tried = 0
    for release in releases:
        for model, uname in release["ran"].items():
            emulator = [release["row"]["QEMU"], "-cpu", model]
            for name in order[uname]:
                tried += 1
                status, out = attempt(emulator + [by_name[name]["path"]] + ARGS)
                if status == 0 and out == EXPECTED:
                    break
            else:
                sys.exit(f"release: no file of uname {uname} runs under {' '.join(emulator)}")
    return tried


def steps_script(dynamic):
    """The README's router steps as written, each after a marker: picked
    among the static files, then checked and installed; then checked and
    installed again with DYNAMIC, as OpenWrt 21.02 and later take it."""
    def step(name):
        return [f"echo steps-{name}", readme.block(name)]

    lines = ['echo "steps-uname $(uname -m)"'] + step("router-pick") + step("router-install")
    lines += [f"f={dynamic}"] + step("router-install") + ["echo steps-done"]
    return "\n".join(lines) + "\n"


def check_steps_booted(releases, order, dist):
    """The README's router steps on every booted guest of the targets table,
    run as written in the router's BusyBox ash on its kernel: in a folder of
    the static files of the guest's uname -m line, the family's dynamic
    file and SHA256SUMS, the pick step must keep the first file of the line
    that ran on the guest's CPU, the check step accept it, and ip4add on
    the PATH print the right line; the same for the dynamic file."""
    by_name = {release["name"]: release for release in releases}
    guests = {}
    for release in releases:
        row = release["row"]
        if row["BOOT"] and release["static"] and row["BOOT"] not in guests:
            guests[row["BOOT"]] = release
    for guest, release in guests.items():
        row = release["row"]
        cpu = row["BOOT_ARGS"][row["BOOT_ARGS"].index("-cpu") + 1]
        if cpu not in release["ran"]:
            sys.exit(f"release: {release['name']} was not run on {cpu}, its guest's CPU")
        uname = release["ran"][cpu]
        line = order[uname]
        # The first of the line that runs there: of this byte order, for
        # this CPU (the other MIPS file fails at once, as on the router).
        picked = next(name for name in line if cpu in by_name[name]["ran"]
                      and by_name[name]["row"]["QEMU"] == row["QEMU"])
        dynamic = next(other for other in releases
                       if other["row"]["ROW"] == row["ROW"] and not other["static"])
        kernel = subprocess.run(["bash", "sysroot/build-kernel.sh"] + row["BOOT_KERNEL"],
                                cwd=ROOT, check=True, capture_output=True,
                                text=True).stdout.strip()
        with tempfile.TemporaryDirectory() as work:
            steps = os.path.join(work, "steps.sh")
            with open(steps, "w", encoding="utf-8") as text:
                text.write(steps_script(dynamic["name"]))
            image = os.path.join(work, "initramfs.cpio")
            # As a user copies them to the router: without the execute bit.
            files = []
            for name in line + [dynamic["name"]]:
                shutil.copyfile(by_name[name]["path"], os.path.join(work, name))
                os.chmod(os.path.join(work, name), 0o644)
                files.append(f"release/{name}={os.path.join(work, name)}")
            subprocess.run([sys.executable, os.path.join(ROOT, "tests/run_guest.py"), "image",
                            image, "--busybox", os.path.join(release["sysroot"], "bin/busybox"),
                            "--sysroot", dynamic["sysroot"],
                            f"init={ROOT}/tests/guest_steps.sh", f"steps.sh={steps}",
                            f"release/SHA256SUMS={os.path.join(dist, 'SHA256SUMS')}"] + files,
                           check=True)
            command = [row["BOOT_QEMU"]] + row["BOOT_ARGS"] + ["-kernel", kernel,
                                                                "-initrd", image]
            try:
                console = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                         text=True, errors="replace", timeout=300,
                                         check=False).stdout
            except subprocess.TimeoutExpired:
                sys.exit(f"release: the {guest} guest did not power off within 300 s")
        lines = console.replace("\r", "").splitlines()
        start = next((i for i, text in enumerate(lines) if text.startswith("steps-uname")), None)
        want = [f"steps-uname {uname}", "steps-router-pick", picked,
                "steps-router-install", f"{picked}: OK", EXPECTED.strip(),
                "steps-router-install", f"{dynamic['name']}: OK", EXPECTED.strip(),
                "steps-done", "steps-status 0"]
        got = lines[start:start + len(want)] if start is not None else lines[-20:]
        if got != want:
            sys.exit(f"release: the README's router steps on the booted {guest} guest printed\n"
                     + "\n".join(got) + "\nand not\n" + "\n".join(want))
        print(f"release: the README's router steps pass as written on the booted {guest} guest "
              f"({uname}): {picked} picked of {len(line)}, {dynamic['name']} installed too")


def families(releases):
    """The release files by family (row), static first."""
    grouped = {}
    for release in releases:
        grouped.setdefault(release["row"]["ROW"], []).append(release)
    return grouped


def pair(files):
    return (next(release for release in files if release["static"]),
            next(release for release in files if not release["static"]))


def booted_costs():
    """What a call of each file costs a booted router, per family, as the
    booted benchmark measured it (bench/booted.json), where it did."""
    if not os.path.exists(bench_common.BOOTED_COSTS):
        return {}
    with open(bench_common.BOOTED_COSTS, encoding="utf-8") as text:
        return json.load(text)


def trade(files, booted, short=False):
    """What the dynamic file of a family saves and costs against the static."""
    static, dynamic = pair(files)
    saved = static["size"] - dynamic["size"]
    run_ratio = dynamic["instructions"] / static["instructions"]
    cost = booted.get(static["row"]["ROW"])
    if short:
        text = f"{saved / 1000:.0f} KB less, {run_ratio:.1f}× a run"
        return text + (f", {cost['dynamic'] / cost['static']:.2f}× a booted call" if cost else "")
    cells = [f"{saved:,} B of flash",
             f"{run_ratio:.2f}× the instructions ({dynamic['instructions']:,} for "
             f"{static['instructions']:,})"]
    cells.append(f"{cost['dynamic'] / cost['static']:.2f}× ({cost['dynamic']:,} for "
                 f"{cost['static']:,}, `{cost['guest']}`)" if cost else "not measured")
    return cells


def files_table(releases):
    lines = ["| Family | Static file (any firmware) | Size | Instructions a run | Dynamic file "
             "(the router's musl) | Size | Instructions a run | Floating point | Needs Linux |",
             "|---|---|---:|---:|---|---:|---:|---|---|"]
    for family, files in families(releases).items():
        static, dynamic = pair(files)
        linux = {release["linux"][0] for release in files}
        lines.append(f"| {family} | `{static['name']}` | {static['size']:,} B | "
                     f"{static['instructions']:,} | `{dynamic['name']}` | {dynamic['size']:,} B | "
                     f"{dynamic['instructions']:,} | {static['abi']} | "
                     + (f"≥ {linux.pop()}" if len(linux) == 1 else
                        f"static ≥ {static['linux'][0]}, dynamic ≥ {dynamic['linux'][0]}") + " |")
    booted = booted_costs()
    lines += ["", "| Family | The dynamic file saves | and costs a run | and a call on a booted "
              "router, kernel included |", "|---|---:|---|---|"]
    for family, files in families(releases).items():
        lines.append(f"| {family} | " + " | ".join(trade(files, booted)) + " |")
    lines += ["", "| Family | Both files ran on (qemu CPU models) | Both died on, as they must |",
              "|---|---|---|"]
    for family, files in families(releases).items():
        ran = [model for model in files[0]["ran"] if all(model in f["ran"] for f in files)]
        died = [model for model in files[0]["died"] if all(model in f["died"] for f in files)]
        lines.append(f"| {family} | `{files[0]['row']['QEMU']}`: "
                     + ", ".join(f"`{model}`" for model in ran) + " | "
                     + ", ".join(f"`{model}`" for model in died) + " |")
    return "\n".join(lines) + "\n"


def openwrt_table(releases):
    lines = ["| `DISTRIB_ARCH` | Subtargets (examples) | On OpenWrt 21.02 and later | On older "
             "OpenWrt | The dynamic file against the static "
             "| Its stand-in CPU, on which both ran |",
             "|---|---|---|---|---|---|"]
    booted = booted_costs()
    served = subtargets = 0
    for arch, count, examples, qemu, model in openwrt.ARCHITECTURES:
        fitting = families_on(releases, qemu, model)
        if qemu and not fitting:
            sys.exit(f"release: no file ran under {qemu} -cpu {model}, the stand-in of {arch}")
        if fitting:
            served, subtargets = served + 1, subtargets + count
            static = next(release["name"] for release in fitting[0] if release["static"])
            dynamic = next(release["name"] for release in fitting[0] if not release["static"])
            cells = [f"`{dynamic}`", f"`{static}`", trade(fitting[0], booted, short=True),
                     f"`{qemu} -cpu {model}`"]
        else:
            cells = ["none", "none", "", model]  # the reason, where there is no stand-in
        lines.append(f"| `{arch}` | {count} ({examples}) | " + " | ".join(cells) + " |")
    total = sum(count for _, count, _, _, _ in openwrt.ARCHITECTURES)
    summary = (f"\n{served} of {len(openwrt.ARCHITECTURES)} package architectures, "
               f"{subtargets} of {total} subtargets.\n")
    return "\n".join(lines) + "\n" + summary


def families_on(releases, qemu, model):
    """The families whose files all ran under QEMU -cpu MODEL, in the
    table's order."""
    return [files for files in families(releases).values() if files[0]["row"]["QEMU"] == qemu
            and all(model in release["ran"] for release in files)]


def served(releases):
    """(package architecture, the files of the family that serves it, qemu
    program, stand-in model): for each OpenWrt architecture a family serves
    and for each of Entware's, the first whose files both ran on its
    stand-in, as in the table; and the same for Alpine's."""
    openwrt_archs = [(arch, families_on(releases, qemu, model)[0], qemu, model)
                     for arch, _, _, qemu, model in openwrt.ARCHITECTURES if qemu]

    def first(what, arch, qemu, model):
        fitting = families_on(releases, qemu, model)
        if not fitting:
            sys.exit(f"release: no file ran under {qemu} -cpu {model}, {what}")
        return arch, fitting[0], qemu, model

    return (openwrt_archs,
            [first(f"Entware's {feed}", arch, qemu, model)
             for feed, arch, qemu, model in openwrt.ENTWARE],
            [first(f"Alpine's {arch}", arch, qemu, model)
             for arch, qemu, model in packages.ALPINE])


def kernel_table(releases, versions):
    lines = ["| File | System calls over the case table | Needs Linux |", "|---|---|---|"]
    for release in releases:
        needed, call = release["linux"]
        lines.append(f"| `{release['name']}` | " + ", ".join(release["calls"])
                     + f" | ≥ {needed}" + (f" (`{call}`)" if call else "") + " |")
    lines += ["", "| Call | First in Linux | As its manual page says |", "|---|---|---|"]
    for call, (version, sentence) in sorted(versions.items()):
        lines.append(f"| `{call}` | {version or kernel_needs.OLDEST} | {sentence} |")
    return "\n".join(lines) + "\n"


def uname_table(order):
    lines = ["| `uname -m` | Files to try, in this order |", "|---|---|"]
    for uname, names in order.items():
        lines.append(f"| `{uname}` | " + ", ".join(f"`{name}`" for name in names) + " |")
    return "\n".join(lines) + "\n"


def source_archive(dist, release_version, check=True):
    """ip4add-VERSION.tar.gz of the committed tree (HEAD), the same bytes for
    the same tree (recipes.py); it must build and pass the host's suite
    unpacked in a bare folder (unless not CHECK)."""
    name = f"ip4add-{release_version}.tar.gz"
    path = os.path.join(dist, name)
    data = recipes.source_archive(path, release_version)
    if not check:
        return {"name": name, "data": data}
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run(["tar", "-xzf", path, "-C", scratch], check=True)
        tree = os.path.join(scratch, f"ip4add-{release_version}")
        check = subprocess.run(["cmake", "--workflow", "--preset", "default"], cwd=tree,
                               capture_output=True, text=True, check=False)
        if check.returncode != 0:
            sys.exit(f"release: the source archive does not build and pass its suite:\n"
                     f"{check.stdout[-3000:]}{check.stderr[-3000:]}")
        passed = re.search(r"tests passed, (\d+) tests failed out of (\d+)", check.stdout)
    print(f"release: {name} builds and passes its {passed.group(2)} tests in a bare folder")
    return {"name": name, "data": data}


def shipped_recipes(dist, archive, release_version):
    """packaging/ of the committed tree into DIST, each recipe with the
    checksum of the source archive beside it, as its system's update step
    writes it: what a packager copies comes with the archive it names.
    Returns the files' names."""
    names = []
    for name, (mode, data) in sorted(recipes.released(archive, release_version).items()):
        path = os.path.join(dist, "packaging", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
        os.chmod(path, mode)
        names.append(f"packaging/{name}")
    print(f"release: {len(names)} files of the packaging recipes, with the checksums of "
          "the source archive")
    return names


def notice(releases):
    # The files come from more than one musl (1.2.5 where the compiler is
    # Debian 13's): each distinct notice once.
    texts = {}
    for release in releases:
        with open(os.path.join(release["sysroot"], "usr/share/musl/COPYRIGHT"),
                  encoding="utf-8") as text:
            texts.setdefault(text.read(), None)
    musl = "\n".join(texts)
    return ("ip4add is under the MIT licence (LICENSE). Its static files contain musl, the C\n"
            "library, whose licence asks that its copyright notice and permission notice go\n"
            "with every copy; that text follows. They also contain code of GCC's runtime\n"
            "library (libgcc), whose GCC Runtime Library Exception asks for no notice.\n"
            "The dynamic files contain neither: they use the router's own musl.\n\n" + musl)


def trace_calls(releases):
    """Every file over the case table under qemu-user's system-call log, on
    the row's own CPU (two at a time): what it asks of the kernel, and so
    the oldest Linux it can run on; returns each call's first version."""
    def trace(release):
        row = release["row"]
        emulator = [row["QEMU"], "-L", release["sysroot"], "-cpu", models(row)[0]]
        return kernel_needs.calls_made(emulator, release["path"])

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for release, calls in zip(releases, pool.map(trace, releases)):
            release["calls"] = calls
    versions = {call: kernel_needs.first_linux(call)
                for call in sorted({call for release in releases for call in release["calls"]})}
    for release in releases:
        release["linux"] = kernel_needs.needs(release["calls"], versions)
        print(f"release: {release['name']} calls {', '.join(release['calls'])}: "
              f"needs Linux {release['linux'][0]}")
    return versions


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    parser.add_argument("--no-docs", action="store_true")
    parser.add_argument("--again", action="store_true",
                        help="only what scripts/reproduce.py compares: the files, the archive, "
                        "the recipes and the packages but the .deb files, after the CPU runs "
                        "that choose them; no counts, booted steps, tables or docs")
    parser.add_argument("--keys", help="the folder of the signing keys (default: "
                        f"${keys.ENVIRONMENT}, else throwaway keys made for this build)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("release: needs root: the Debian packages are built in a mount namespace "
                 "that hides the test tools they do not declare (system_build.py)")

    release_version = recipes.version()
    stale = recipes.stale(recipes.tree_files(release_version))
    if stale:
        sys.exit(f"release: the recipes {', '.join(stale)} are not current: run python3 "
                 "scripts/recipes.py and commit")
    # A release folder holds one release: nothing stale beside it.
    shutil.rmtree(args.dist, ignore_errors=True)
    os.makedirs(args.dist)
    plugin = bench_common.plugin()
    releases = []
    for row in targets.rows():
        if not row["RELEASE"]:
            continue
        releases.append(build(row, args.dist, release_version))
        try_on_cpus(releases[-1])
        if not args.again:
            count_instructions(releases[-1], plugin)
        print(f"release: {releases[-1]['name']}: {releases[-1]['size']:,} bytes, "
              f"{releases[-1].get('instructions', 0):,} instructions a run; ran on "
              f"{len(releases[-1]['ran'])} CPU models, died on {len(releases[-1]['died'])}")
    archive = source_archive(args.dist, release_version, check=not args.again)
    names = [release["name"] for release in releases] + [archive["name"]]
    names += shipped_recipes(args.dist, archive["data"], release_version)
    private, throwaway = keys.release_keys(args.keys, os.path.join(ROOT, "build", "release-keys"))
    packaged, packages_table = packages.write(args.dist, *served(releases), private, throwaway,
                                              debs=not args.again)
    names += packaged
    with open(os.path.join(args.dist, "SHA256SUMS"), "w", encoding="utf-8") as sums:
        for name in names:
            with open(os.path.join(args.dist, name), "rb") as data:
                sums.write(f"{hashlib.sha256(data.read()).hexdigest()}  {name}\n")
    feeds.usign_sign(private["usign"], os.path.join(args.dist, "SHA256SUMS"))
    feeds.check_usign(os.path.join(args.dist, packages.key_names(throwaway)["usign"]),
                      os.path.join(args.dist, "SHA256SUMS"))
    with open(os.path.join(args.dist, "NOTICE"), "w", encoding="utf-8") as out:
        out.write(notice(releases))
    shutil.copy(os.path.join(ROOT, "LICENSE"), args.dist)
    if args.again:
        keys.no_private_keys(args.dist)
        return
    statics = [release for release in releases if release["static"]]
    order = uname_order(statics)
    tried = check_pick(statics, order)
    print(f"release: the README's way to pick a file works under every CPU model ({tried} runs)")
    check_steps_booted(releases, order, args.dist)
    versions = trace_calls(releases)

    tables = {"release": files_table(releases), "release-openwrt": openwrt_table(releases),
              "release-uname": uname_table(order),
              "release-kernel": kernel_table(releases, versions),
              "release-packages": packages_table}
    with open(os.path.join(args.dist, "RELEASE.md"), "w", encoding="utf-8") as out:
        out.write(f"# ip4add {release_version}\n\n" + "\n".join(tables.values()))
    if not args.no_docs:
        for name, table in tables.items():
            readme.replace_section(name, table)
    keys.no_private_keys(args.dist)
    print("\n".join(tables.values()), end="")
    if throwaway:
        print("release: signed with THROWAWAY keys (see KEYS): a test release")


if __name__ == "__main__":
    main()
