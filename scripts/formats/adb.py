"""The checks of the release's apk v3 files (OpenWrt 25.12 and later): a
reader of its own, written from apk's format documents and not from
formats/apk3.py, that refuses what apk refuses, so that a fault of the
writer is not read back as it was written.

It inflates with zlib, walks every block (tag, length, eight-byte
padding, order: the ADB block, then signatures, then data) and every value
of the ADB block against the schema (a value's type is the slot's;
offsets, lengths and alignment inside the block), and then holds the
package or the index to what apk checks: each file's SHA-256 and size
against its DATA block, the index's signature (openssl, over the message
apk computes, by the public key that the release publishes) and each
entry's hash against its package's ADB block.
"""
import hashlib
import os
import re
import struct
import zlib

import keys
from formats.tarball import fail

# The value types, the top four bits of a value
SPECIAL, INT, INT32, INT64 = 0x0, 0x1, 0x2, 0x3
BLOB8, BLOB16, BLOB32, ARRAY, OBJECT = 0x8, 0x9, 0xA, 0xD, 0xE
ALIGN = {INT32: 4, INT64: 8, BLOB8: 1, BLOB16: 2, BLOB32: 4, ARRAY: 4, OBJECT: 4}

# The schemas, as apk's documents give them: an object's slots by number,
# each "blob", "int", an object's schema (a dict) or [schema] for an array.
ACL = {1: ("mode", "int"), 2: ("user", "blob"), 3: ("group", "blob")}
DEPENDENCY = {1: ("name", "blob"), 2: ("version", "blob"), 3: ("match", "int")}
INFO = {1: ("name", "blob"), 2: ("version", "blob"), 3: ("hashes", "blob"),
        4: ("description", "blob"), 5: ("arch", "blob"), 6: ("license", "blob"),
        7: ("origin", "blob"), 8: ("maintainer", "blob"), 9: ("url", "blob"),
        10: ("repo-commit", "blob"), 11: ("build-time", "int"), 12: ("installed-size", "int"),
        13: ("file-size", "int"), 14: ("provider-priority", "int"),
        15: ("depends", [DEPENDENCY]), 16: ("provides", [DEPENDENCY]),
        17: ("replaces", [DEPENDENCY]), 18: ("install-if", [DEPENDENCY]),
        19: ("recommends", [DEPENDENCY]), 20: ("layer", "int"), 21: ("tags", ["blob"])}
FILE = {1: ("name", "blob"), 2: ("acl", ACL), 3: ("size", "int"), 4: ("mtime", "int"),
        5: ("hash", "blob"), 6: ("target", "blob")}
FOLDER = {1: ("name", "blob"), 2: ("acl", ACL), 3: ("files", [FILE])}
SCRIPTS = {1: ("trigger", "blob"), 2: ("pre-install", "blob"), 3: ("post-install", "blob"),
           4: ("pre-deinstall", "blob"), 5: ("post-deinstall", "blob"),
           6: ("pre-upgrade", "blob"), 7: ("post-upgrade", "blob")}
PACKAGE = {1: ("info", INFO), 2: ("paths", [FOLDER]), 3: ("scripts", SCRIPTS),
           4: ("triggers", ["blob"]), 5: ("replaces-priority", "int")}
INDEX = {1: ("description", "blob"), 2: ("packages", [INFO])}
SCHEMAS = {b"pckg": PACKAGE, b"indx": INDEX}

# apk's version grammar: numbers, a letter, suffixes, a commit hash, -rN.
VERSION = re.compile(r"[0-9]+(\.[0-9]+)*[a-z]?"
                     r"(_(alpha|beta|pre|rc|cvs|svn|git|hg|p)[0-9]*)*(~[0-9a-f]+)?(-r[0-9]+)?")


class Reader:
    """One ADB block's values, each checked as it is read."""

    def __init__(self, block, what):
        self.block, self.what = block, what
        if len(block) < 8:
            fail(f"{what}: an ADB block of {len(block)} bytes has no header")

    def _at(self, offset, size, align):
        if offset % align or offset < 8 or offset + size > len(self.block):
            fail(f"{self.what}: a value at {offset} (+{size}, aligned to {align}) lies outside "
                 f"its ADB block of {len(self.block)} bytes or out of alignment")
        return offset

    def value(self, raw, schema):
        kind, low = raw >> 28, raw & 0x0FFFFFFF
        if kind == SPECIAL and low == 0:
            return None
        if schema == "int":
            if kind == INT:
                return low
            if kind in (INT32, INT64):
                size = 4 if kind == INT32 else 8
                return int.from_bytes(self.block[self._at(low, size, size):low + size], "little")
            fail(f"{self.what}: an integer slot holds a value of type {kind:x}")
        if schema == "blob":
            if kind not in (BLOB8, BLOB16, BLOB32):
                fail(f"{self.what}: a blob slot holds a value of type {kind:x}")
            width = {BLOB8: 1, BLOB16: 2, BLOB32: 4}[kind]
            size = int.from_bytes(self.block[self._at(low, width, ALIGN[kind]):low + width],
                                  "little")
            self._at(low + width, size, 1)
            return bytes(self.block[low + width:low + width + size])
        if kind not in ((ARRAY, OBJECT) if isinstance(schema, list) else (OBJECT,)):
            fail(f"{self.what}: an object or array slot holds a value of type {kind:x}")
        (count,) = struct.unpack_from("<I", self.block, self._at(low, 4, 4))
        if count < 1:
            fail(f"{self.what}: an object of no slot count")
        slots = struct.unpack_from(f"<{count - 1}I", self.block, self._at(low, 4 * count, 4) + 4)
        if isinstance(schema, list):
            return [self.value(slot, schema[0]) for slot in slots]
        out = {}
        for number, slot in enumerate(slots, 1):
            if number not in schema:
                if slot:
                    fail(f"{self.what}: slot {number} is set and the schema has none")
                continue
            name, inner = schema[number]
            value = self.value(slot, inner)
            if value is not None:
                out[name] = value
        return out

    def root(self, schema):
        compat, version = self.block[0], self.block[1]
        if compat != 0 or version != 0:
            fail(f"{self.what}: ADB compat {compat}, version {version}: not apk v3's 0, 0")
        return self.value(struct.unpack_from("<I", self.block, 4)[0], schema)


def read(data, what):
    """(schema, ADB block, [(key id, signature)], [(folder, file, bytes)]) of
    an apk v3 file, compressed or not, every block walked."""
    if data[:4] == b"ADBd":
        inflater = zlib.decompressobj(-15)
        try:
            data = inflater.decompress(data[4:]) + inflater.flush()
        except zlib.error as error:
            fail(f"{what}: its deflate stream does not inflate: {error}")
        if not inflater.eof or inflater.unused_data:
            fail(f"{what}: its deflate stream is cut short or has bytes after it")
    if data[:4] != b"ADB.":
        fail(f"{what}: no apk v3 file (magic {data[:4]!r})")
    schema, offset, adb, signatures, files = data[4:8], 8, None, [], []
    order = 0
    while offset < len(data):
        if len(data) - offset < 4:
            fail(f"{what}: a block header cut short at {offset}")
        (tag,) = struct.unpack_from("<I", data, offset)
        kind, size = tag >> 30, tag & 0x3FFFFFFF
        end = offset + size
        if size < 4 or end > len(data):
            fail(f"{what}: a block at {offset} of size {size} overruns the file")
        padded = end + -end % 8
        if padded > len(data) or any(data[end:padded]):
            fail(f"{what}: the block at {offset} is not padded with zeros to eight bytes")
        if kind < order or (kind == 0 and adb is not None) or kind == 3:
            fail(f"{what}: a block of type {kind} out of order (ADB, SIG, DATA)")
        order, body = kind, data[offset + 4:end]
        if kind == 0:
            adb = body
        elif kind == 1:
            if len(body) < 18 or body[0] != 0:
                fail(f"{what}: a signature block of an unknown version")
            signatures.append((body[1], body[2:18], body[18:]))
        else:
            if adb is None or len(body) < 8:
                fail(f"{what}: a data block before the ADB block, or without its numbers")
            folder, number = struct.unpack_from("<II", body)
            files.append((folder, number, body[8:]))
        offset = padded
    if adb is None:
        fail(f"{what}: no ADB block")
    return schema, adb, signatures, files


def check_package(data, what, want):
    """An OpenWrt apk v3 package, as apk add would take it: its info
    (name, version, arch of WANT), every file's hash and size against its
    data, the program's digest, modes, times and scripts of WANT. Returns
    its ADB block and info."""
    schema, adb, _, blobs = read(data, what)
    if schema != b"pckg":
        fail(f"{what}: schema {schema!r}, not a package")
    package = Reader(adb, what).root(PACKAGE)
    info = package.get("info", {})
    for field in ("name", "version", "arch"):
        if info.get(field, b"").decode() != want[field]:
            fail(f"{what}: {field} {info.get(field)!r}, not {want[field]!r}")
    if not VERSION.fullmatch(want["version"]):
        fail(f"{what}: version {want['version']!r}, which apk refuses as invalid")
    uid = info.get("hashes", b"")
    blanked = adb.replace(uid, bytes(len(uid)), 1)
    if len(uid) != 20 or hashlib.sha256(blanked).digest()[:20] != uid:
        fail(f"{what}: its unique id is not the SHA-256 of its ADB block")
    data_of = {(folder, number): body for folder, number, body in blobs}
    if [(folder, number) for folder, number, _ in blobs] != sorted(data_of):
        fail(f"{what}: data blocks repeated or out of order")
    found, listed = {}, set()
    folders = package.get("paths", [])
    names = [folder.get("name", b"").decode() for folder in folders]
    if names != sorted(names):
        fail(f"{what}: folders not sorted")
    for folder_number, folder in enumerate(folders, 1):
        for number, entry in enumerate(folder.get("files", []), 1):
            path = "/".join(filter(None, [names[folder_number - 1],
                                          entry.get("name", b"").decode()]))
            body = data_of.get((folder_number, number), b"")
            listed.add((folder_number, number))
            if entry.get("size", 0) != len(body) or \
                    entry.get("hash") != hashlib.sha256(body).digest():
                fail(f"{what}: {path}: its size or SHA-256 is not its data's")
            acl = entry.get("acl", {})
            if (acl.get("user"), acl.get("group")) != (b"root", b"root") or \
                    entry.get("mtime") != want["epoch"]:
                fail(f"{what}: {path}: not root's, or its time is not the source's date")
            found[path] = (acl.get("mode"), body)
    if set(data_of) - listed:
        fail(f"{what}: a data block of no listed file")
    program = found.get(want["program"])
    if not program or program[0] != 0o755 or \
            hashlib.sha256(program[1]).hexdigest() != want["digest"]:
        fail(f"{what}: {want['program']} is not the release file, mode 0755")
    listing = "".join(f"/{path}\n" for path in sorted(found) if path != want["list"])
    if found.get(want["list"], (None, b""))[1].decode() != listing:
        fail(f"{what}: {want['list']} does not list the package's files")
    scripts = sorted(package.get("scripts", {}))
    if scripts != want["scripts"]:
        fail(f"{what}: scripts {scripts}, not {want['scripts']}")
    return adb, info


def check_feed(folder, arch, public_pem, work):
    """packages.adb of FOLDER, as apk update and apk add take it: signed by
    the key of PUBLIC_PEM (openssl verifies the message apk computes), each
    entry its package's info with the SHA-256 of its ADB block and its
    size, every entry's arch ARCH, every .apk of the folder listed."""
    what = f"{os.path.basename(folder)}/packages.adb"
    with open(os.path.join(folder, "packages.adb"), "rb") as data:
        schema, adb, signatures, blobs = read(data.read(), what)
    if schema != b"indx" or blobs:
        fail(f"{what}: schema {schema!r} with {len(blobs)} data blocks: not an index")
    key_id = hashlib.sha512(keys.ec_point(public_pem)).digest()[:16]
    signed = [(digest, signature) for digest, key, signature in signatures if key == key_id]
    if not signed:
        fail(f"{what}: no signature by the release's key")
    for digest, signature in signed:
        message = schema + bytes([0, digest]) + key_id + hashlib.sha512(adb).digest()
        if digest != 4 or not keys.verify(public_pem, message, "sha512", signature, work):
            fail(f"{what}: its signature does not verify with the release's key")
    entries = Reader(adb, what).root(INDEX).get("packages", [])
    names = sorted(name for name in os.listdir(folder) if name.endswith(".apk"))
    listed = [f"{e['name'].decode()}-{e['version'].decode()}.apk" for e in entries]
    if sorted(listed) != names:
        fail(f"{what}: lists {listed}, the folder holds {names}")
    for entry, name in zip(entries, listed):
        with open(os.path.join(folder, name), "rb") as data:
            raw = data.read()
        _, package_adb, _, _ = read(raw, name)
        info = Reader(package_adb, name).root(PACKAGE).get("info", {})
        if entry.get("hashes") != hashlib.sha256(package_adb).digest() or \
                entry.get("file-size") != len(raw):
            fail(f"{what}: the hash or size of {name} is not its package's")
        if entry.get("arch", b"").decode() != arch:
            fail(f"{what}: {name} is of arch {entry.get('arch')!r}, the feed's is {arch}")
        rest = {k: v for k, v in entry.items() if k not in ("hashes", "file-size")}
        if rest != {k: v for k, v in info.items() if k != "hashes"}:
            fail(f"{what}: the entry of {name} is not its package's info")
    return len(entries)
