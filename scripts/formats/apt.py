"""The apt repository of the release's Debian packages: a flat repository
(a user's Suites is "./") of the .deb files, Packages and Packages.gz
(apt-ftparchive; apt fetches the compressed one and unpacks it into its
lists, where for a file: address it would link to an uncompressed one in
place, unchecked after the fact), Release with their SHA-256 sums and the source's date,
InRelease and Release.gpg signed with the release's OpenPGP key (SHA-512;
no MD5 or SHA-1 anywhere, which apt refuses or distrusts). The checks are
gpgv's, with the keyring that the release publishes, and the sums read
back against the files.
"""
import email.utils
import hashlib
import os
import re
import subprocess
import tempfile

from formats.tarball import fail, gzip_n

NO_WEAK_SUMS = ["-o", "APT::FTPArchive::MD5=false", "-o", "APT::FTPArchive::SHA1=false",
                "-o", "APT::FTPArchive::SHA512=false"]
STRONG_DIGESTS = {"8", "9", "10"}  # OpenPGP's SHA-256, SHA-384, SHA-512


def _run(command, cwd=None):
    done = subprocess.run(command, cwd=cwd, capture_output=True, check=False,
                          env=dict(os.environ, LC_ALL="C.UTF-8"))
    if done.returncode:
        fail(f"{command[0]}: {done.stderr.decode().strip()}")
    return done.stdout


def index(folder, epoch, architectures):
    """Packages, Packages.gz and Release of the .deb files in FOLDER."""
    packages = _run(["apt-ftparchive", *NO_WEAK_SUMS, "packages", "."], cwd=folder)
    for name, data in (("Packages", packages), ("Packages.gz", gzip_n(packages, 9))):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
    release = _run(["apt-ftparchive", *NO_WEAK_SUMS,
                    "-o", "APT::FTPArchive::Release::Origin=ip4add",
                    "-o", "APT::FTPArchive::Release::Label=ip4add",
                    "-o", "APT::FTPArchive::Release::Date="
                    + email.utils.formatdate(epoch, usegmt=True),
                    "-o", "APT::FTPArchive::Release::Architectures=" + " ".join(architectures),
                    "-o", "APT::FTPArchive::Release::Description=ip4add's releases",
                    "release", "."], cwd=folder)
    with open(os.path.join(folder, "Release"), "wb") as out:
        out.write(release)
    return ["Packages", "Packages.gz", "Release"]


def sign(folder, secret):
    """InRelease and Release.gpg of FOLDER's Release, by the OpenPGP key in
    SECRET (an armoured secret key without passphrase)."""
    with tempfile.TemporaryDirectory() as home:
        gpg = ["gpg", "--homedir", home, "--batch", "--yes", "--pinentry-mode", "loopback",
               "--passphrase", "", "--digest-algo", "SHA512"]
        _run(gpg + ["--import", secret])
        release = os.path.join(folder, "Release")
        _run(gpg + ["--clearsign", "-o", os.path.join(folder, "InRelease"), release])
        _run(gpg + ["--armor", "--detach-sign", "-o", release + ".gpg", release])
    return ["InRelease", "Release.gpg"]


def check(folder, keyring):
    """gpgv verifies InRelease and Release.gpg with KEYRING, each by a
    digest of the SHA-2 family; InRelease holds Release; Release's SHA-256
    sums and sizes are the files'; no weak sum anywhere."""
    release_path = os.path.join(folder, "Release")
    for signed in (["InRelease"], ["Release.gpg", "Release"]):
        done = subprocess.run(["gpgv", "--status-fd", "1", "--keyring", keyring]
                              + [os.path.join(folder, name) for name in signed],
                              capture_output=True, text=True, check=False)
        digests = re.findall(r"^\[GNUPG:\] VALIDSIG (?:\S+ ){7}(\d+)", done.stdout, re.M)
        if done.returncode or not digests or set(digests) - STRONG_DIGESTS:
            fail(f"debian/{signed[0]} does not verify with {os.path.basename(keyring)} by a "
                 f"SHA-2 digest: {done.stderr.strip()}")
    with open(release_path, encoding="utf-8") as text:
        release = text.read()
    with open(os.path.join(folder, "InRelease"), encoding="utf-8") as text:
        if release not in text.read():
            fail("debian/InRelease does not hold Release")
    sums = re.findall(r"^ ([0-9a-f]{64}) +(\d+) (\S+)$", release, re.M)
    if not sums or re.search(r"^(MD5Sum|SHA1):", release, re.M):
        fail("debian/Release has no SHA-256 sums, or weak ones")
    with open(os.path.join(folder, "Packages"), encoding="utf-8") as text:
        packages = text.read()
    if re.search(r"^(MD5sum|SHA1):", packages, re.M):
        fail("debian/Packages carries weak sums")
    listed = re.findall(r"^Filename: \./(\S+)\nSize: (\d+)\nSHA256: (\w+)$", packages, re.M)
    for index, digest, size, name in ([("Release", *entry) for entry in sums]
                                      + [("Packages", d, s, n) for n, s, d in listed]):
        with open(os.path.join(folder, name), "rb") as data:
            raw = data.read()
        if hashlib.sha256(raw).hexdigest() != digest or len(raw) != int(size):
            fail(f"debian/{index}: the sum of {name} is not the file's")
    return len(sums)
