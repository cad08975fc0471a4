"""The feeds' indexes, beside the packages they list: opkg's Packages and
Packages.gz, as OpenWrt's scripts/ipkg-make-index.sh makes them, and their
check against the files they name; and usign's signatures (of Packages and
of the release's SHA256SUMS), made and checked with signify-openbsd.
"""
import hashlib
import os
import subprocess

from formats.ipk import control_of, fields_of
from formats.tarball import fail, gunzip, gzip_n


def index(folder, names):
    """Packages: every .ipk's control stanza, sorted by file name, with
    Filename, Size and SHA256sum before its Description; and Packages.gz."""
    stanzas = []
    for name in sorted(names):
        path = os.path.join(folder, name)
        with open(path, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        added = f"Filename: {name}\nSize: {os.path.getsize(path)}\nSHA256sum: {digest}\n"
        stanzas.append(control_of(path).replace("Description:", added + "Description:", 1)
                       + "\n")
    packages = usign_padded("".join(stanzas).encode())
    return packages, gzip_n(packages, 9)



def check_index(folder, names):
    """Packages.gz unpacks to Packages; every stanza is its package's control
    file with Filename, Size and SHA256sum of the file as it stands."""
    with open(os.path.join(folder, "Packages"), encoding="utf-8") as text:
        packages = text.read()
    with open(os.path.join(folder, "Packages.gz"), "rb") as data:
        if gunzip(data.read(), "Packages.gz").decode() != packages:
            fail("Packages.gz does not unpack to Packages")
    stanzas = [stanza for stanza in packages.split("\n\n") if stanza.strip()]
    if len(stanzas) != len(names):
        fail(f"Packages has {len(stanzas)} stanzas for {len(names)} packages")
    for stanza in stanzas:
        fields = fields_of(stanza)
        path = os.path.join(folder, fields.get("Filename", ""))
        if fields.get("Filename") not in names:
            fail(f"Packages names {fields.get('Filename')!r}, no package of the release")
        with open(path, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        if fields.get("Size") != str(os.path.getsize(path)) or fields.get("SHA256sum") != digest:
            fail(f"Packages: the Size or SHA256sum of {fields['Filename']} is not the file's")
        own = fields_of(control_of(path))
        if {k: v for k, v in fields.items() if k not in ("Filename", "Size", "SHA256sum")} \
                != own:
            fail(f"Packages: the stanza of {fields['Filename']} is not its control file")



def usign_padded(packages):
    """Packages as OpenWrt's package/Makefile leaves it for usign: two more
    newlines where (64 + size) % 128 is 110 or 111, the lengths at which
    usign before 2019-08 (OpenWrt 19.07 and older) computed a wrong SHA-512
    and refused a good signature."""
    return packages + b"\n\n" if (64 + len(packages)) % 128 in (110, 111) else packages


def usign_sign(secret, path):
    """PATH.sig, usign's signature of PATH (Ed25519: signify's format, made
    by signify-openbsd; the same key gives the same bytes)."""
    done = subprocess.run(["signify-openbsd", "-S", "-s", secret, "-m", path, "-x", path + ".sig"],
                          capture_output=True, text=True, check=False)
    if done.returncode:
        fail(f"signify-openbsd could not sign {os.path.basename(path)}: {done.stderr.strip()}")


def check_usign(public, path):
    """signify-openbsd -V, which did not write it, verifies PATH.sig over
    PATH with the public key file PUBLIC, as usign -V does on a router."""
    done = subprocess.run(["signify-openbsd", "-V", "-q", "-p", public, "-m", path,
                           "-x", path + ".sig"], capture_output=True, text=True, check=False)
    if done.returncode:
        fail(f"{os.path.basename(path)}.sig does not verify with {os.path.basename(public)}: "
             f"{done.stderr.strip()}")
