"""The feeds' indexes, beside the packages they list: opkg's Packages and
Packages.gz, as OpenWrt's scripts/ipkg-make-index.sh makes them, and their
check against the files they name.
"""
import hashlib
import os

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
    packages = "".join(stanzas).encode()
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

