"""The release's signing keys, and signing and checking with them through
openssl (which the clients' own checks match: apk's are openssl's calls).

A key folder holds the private halves under fixed names (KEY_FILES); the
release is given one with --keys DIR or IP4ADD_KEYS. Without one it makes
throwaway keys in its build folder and says so, in its output and in the
KEYS file of the release, so that a test release is never taken for a
signed one. Only public halves are ever written into a release.
"""
import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile

USIGN_COMMENT = "ip4add release key"
OPENPGP_UID = "ip4add releases <ip4add@example.org>"


def _run(*command, **kwargs):
    done = subprocess.run(command, capture_output=True, check=False, **kwargs)
    if done.returncode:
        sys.exit(f"keys: {' '.join(command)}: {done.stderr.decode().strip()}")
    return done.stdout


def _make_openpgp(out):
    """An Ed25519 OpenPGP signing key without passphrase, exported armoured."""
    with tempfile.TemporaryDirectory() as home:
        gpg = ["gpg", "--homedir", home, "--batch", "--pinentry-mode", "loopback",
               "--passphrase", ""]
        _run(*gpg, "--quick-gen-key", OPENPGP_UID, "ed25519", "sign", "never")
        with open(out, "wb") as key:
            key.write(_run(*gpg, "--armor", "--export-secret-keys"))


# The private key of each scheme in a key folder, and how a throwaway one is made.
KEY_FILES = {
    # apk v3 (OpenWrt 25.12 and later): EC P-256, as OpenWrt's own keys
    "apk": ("apk-ec-p256.pem", lambda out: _run("openssl", "ecparam", "-name", "prime256v1",
                                                "-genkey", "-noout", "-out", out)),
    # apk v2 (Alpine): RSA, as abuild-keygen makes them
    "alpine": ("alpine-rsa.pem", lambda out: _run("openssl", "genrsa", "-out", out)),
    # opkg's feed and SHA256SUMS: usign's Ed25519, made by signify (the same
    # keys); usign refuses a passphrase
    "usign": ("usign.sec", lambda out: _run("signify-openbsd", "-G", "-n", "-c", USIGN_COMMENT,
                                            "-p", out[:-len(".sec")] + ".pub", "-s", out)),
    # the apt repository: OpenPGP (apt refuses SHA-1)
    "openpgp": ("openpgp-secret.asc", _make_openpgp),
}
ENVIRONMENT = "IP4ADD_KEYS"
THROWAWAY = "THROWAWAY"  # in a folder of throwaway keys


def public_pem(private):
    return _run("openssl", "pkey", "-in", private, "-pubout")


def ec_point(pem):
    """The uncompressed point of an EC P-256 public key (PEM bytes): its
    DER's last 65 bytes, what apk names a key by."""
    der = base64.b64decode(b"".join(pem.strip().splitlines()[1:-1]))
    return der[-65:]


def sign(private, data, digest):
    """A signature (DER for EC, PKCS#1 v1.5 for RSA) over DATA with DIGEST
    (sha256, sha512), as openssl dgst -sign makes it."""
    return _run("openssl", "dgst", f"-{digest}", "-sign", private, input=data)


def verify(public_pem_bytes, data, digest, signature, work):
    """openssl dgst -verify of SIGNATURE over DATA against a public key."""
    key, sig = os.path.join(work, "verify.pub.pem"), os.path.join(work, "verify.sig")
    with open(key, "wb") as out:
        out.write(public_pem_bytes)
    with open(sig, "wb") as out:
        out.write(signature)
    done = subprocess.run(["openssl", "dgst", f"-{digest}", "-verify", key, "-signature", sig],
                          input=data, capture_output=True, check=False)
    return done.returncode == 0


def release_keys(folder, work):
    """{scheme: private key path} and whether they are throwaway: from
    FOLDER (or $IP4ADD_KEYS), else made new in WORK."""
    folder = folder or os.environ.get(ENVIRONMENT)
    if folder:
        found = {scheme: os.path.join(folder, name) for scheme, (name, _) in KEY_FILES.items()}
        missing = [path for path in found.values() if not os.path.isfile(path)]
        if missing:
            sys.exit(f"keys: the key folder has no {', '.join(missing)}")
        # A folder of throwaway keys given again (reproduce.py) stays one.
        throwaway = os.path.exists(os.path.join(folder, THROWAWAY))
        if throwaway:
            print(f"keys: the THROWAWAY keys of {folder}")
        return found, throwaway
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work, mode=0o700)
    with open(os.path.join(work, THROWAWAY), "w", encoding="utf-8") as out:
        out.write("These keys were made for one build; nobody publishes them.\n")
    made = {}
    for scheme, (name, make) in KEY_FILES.items():
        made[scheme] = os.path.join(work, name)
        make(made[scheme])
    print(f"keys: THROWAWAY keys made for this build only, in {os.path.relpath(work)}: the "
          f"release is signed, but by no key anyone publishes (give --keys DIR or "
          f"${ENVIRONMENT} for a real release)")
    return made, True


def usign_public(secret):
    """usign's public key (the file opkg-key adds) from a signify secret key
    without passphrase: the algorithm, the key number and the public half,
    which an Ed25519 secret key ends with; and the key number in hex, the
    fingerprint that names it in /etc/opkg/keys/."""
    with open(secret, encoding="ascii") as text:
        raw = base64.b64decode(text.read().splitlines()[1])
    if raw[:4] != b"EdBK" or int.from_bytes(raw[4:8], "big"):
        sys.exit("keys: the usign key is not an Ed25519 key without passphrase")
    number, public = raw[32:40], raw[72:104]
    pem = (f"untrusted comment: {USIGN_COMMENT} public key\n"
           + base64.b64encode(b"Ed" + number + public).decode() + "\n")
    return pem.encode(), number.hex()


def openpgp_keyring(secret):
    """The binary public keyring of an OpenPGP secret key, as apt's
    Signed-By takes it, and the key's fingerprint."""
    with tempfile.TemporaryDirectory() as home:
        gpg = ["gpg", "--homedir", home, "--batch"]
        _run(*gpg, "--import", secret)
        listing = _run(*gpg, "--with-colons", "--list-keys").decode()
        return _run(*gpg, "--export"), re.search(r"^fpr:+([0-9A-F]+):", listing, re.M).group(1)


def no_private_keys(dist):
    """Fails if any file under DIST holds a private key, however named:
    PEM and OpenPGP armour, or a signify secret key."""
    for folder, _, names in os.walk(dist):
        for name in names:
            with open(os.path.join(folder, name), "rb") as data:
                raw = data.read()
            if b"PRIVATE KEY" in raw or b"\nRWRCS" in raw:
                sys.exit(f"keys: {os.path.relpath(os.path.join(folder, name), dist)} "
                         "holds a private key")
