"""The apk v3 package and index (OpenWrt 25.12 and later), as apk-tools 3
writes them with apk mkpkg and apk mkndx, so that the same inputs give the
same ADB block as apk itself.

A file is "ADB." and a four-byte schema ("pckg", "indx"), then blocks,
each a little-endian u32 of type (top two bits: ADB 0, SIG 1, DATA 2) and
size (header included), padded to eight bytes: one ADB block, the SIG
blocks, then a DATA block per non-empty file ((directory, file) numbers,
then the bytes). "ADBd" and a raw deflate stream of the whole of that is
the compressed form, which OpenWrt's apk (built without zstd) reads.

The ADB block is an eight-byte header (compat and format version, the
root value) and the values it points at. A value is a u32 whose top four
bits give its type; small integers and null sit in the value itself,
everything else at an offset: blobs behind a length, objects and arrays as
a slot count and the slots, trailing null slots left out. apk writes each
value as the call that sets it runs, and a value of bytes it has written
before is pointed at, not written again; this writer makes the same calls
in the same order.
"""
import hashlib
import struct
import zlib

NULL = 0
INT, INT32, INT64 = 0x10000000, 0x20000000, 0x30000000
BLOB8, BLOB16, BLOB32 = 0x80000000, 0x90000000, 0xA0000000
OBJECT = 0xE0000000  # arrays too: they differ from objects in schema only
BLOCK_ADB, BLOCK_SIG, BLOCK_DATA = 0, 1, 2
SIGN_VERSION, HASH_SHA512 = 0, 4

# Slot numbers of apk's schemas (apk_adb.h)
INFO = {"name": 1, "version": 2, "hashes": 3, "description": 4, "arch": 5, "license": 6,
        "origin": 7, "maintainer": 8, "url": 9, "repo-commit": 10, "build-time": 11,
        "installed-size": 12, "file-size": 13, "provider-priority": 14, "depends": 15}
INFO_SLOTS = 21
PKG_INFO, PKG_PATHS, PKG_SCRIPTS = 1, 2, 3
SCRIPTS = {"trigger": 1, "pre-install": 2, "post-install": 3, "pre-deinstall": 4,
           "post-deinstall": 5, "pre-upgrade": 6, "post-upgrade": 7}
DIR_NAME, DIR_ACL, DIR_FILES = 1, 2, 3
FILE_NAME, FILE_ACL, FILE_SIZE, FILE_MTIME, FILE_HASH = 1, 2, 3, 4, 5
ACL_MODE, ACL_USER, ACL_GROUP = 1, 2, 3
DEP_NAME = 1
INDEX_PACKAGES = 2
UID_BYTES = 20  # info.hashes of a package: its unique id, SHA-1's length


class Adb:
    """An ADB block being written."""

    def __init__(self):
        self.data = bytearray(8)  # compat 0, version 0, reserved, root
        self.written = {}

    def _put(self, raw, align, share=True):
        if share and (raw, align) in self.written:
            return self.written[(raw, align)]
        self.data += bytes(-len(self.data) % align)
        offset = len(self.data)
        self.data += raw
        if share:
            self.written[(raw, align)] = offset
        return offset

    def blob(self, value, share=True):
        if value is None:
            return NULL
        if len(value) < 0x100:
            return BLOB8 | self._put(bytes([len(value)]) + value, 1, share)
        if len(value) < 0x10000:
            return BLOB16 | self._put(struct.pack("<H", len(value)) + value, 2, share)
        return BLOB32 | self._put(struct.pack("<I", len(value)) + value, 4, share)

    def int(self, value):
        if value < 0x10000000:
            return INT | value
        if value < 0x100000000:
            return INT32 | self._put(struct.pack("<I", value), 4)
        return INT64 | self._put(struct.pack("<Q", value), 8)

    def obj(self, slots):
        """SLOTS: the values of slots 1, 2, ...; NULL where unset."""
        slots = list(slots)
        while slots and slots[-1] == NULL:
            slots.pop()
        if not slots:
            return NULL
        return OBJECT | self._put(struct.pack(f"<{len(slots) + 1}I", len(slots) + 1, *slots), 4)

    def root(self, value):
        struct.pack_into("<I", self.data, 4, value)


def block(kind, content):
    raw = struct.pack("<I", kind << 30 | (4 + len(content))) + content
    return raw + bytes(-len(raw) % 8)


def compress(raw, level=6):
    """ADBd: the file deflated raw (no zlib header), at zlib's default
    level, as apk's own deflate writes it: the same bytes."""
    packer = zlib.compressobj(level, zlib.DEFLATED, -15)
    return b"ADBd" + packer.compress(raw) + packer.flush()


def inflate(data):
    return zlib.decompress(data[4:], -15) if data[:4] == b"ADBd" else data


def blocks(data):
    """(type, content) of each block of an apk v3 file, compressed or not."""
    raw, offset, out = inflate(data), 8, []
    while offset < len(raw):
        (head,) = struct.unpack_from("<I", raw, offset)
        size = head & 0x3FFFFFFF
        out.append((head >> 30, raw[offset + 4:offset + size]))
        offset += size + -size % 8
    return out


def _info_values(adb, info):
    """The info fields apk mkpkg is given, written in slot order: text,
    depends as a list of names."""
    slots = [NULL] * INFO_SLOTS
    for field, slot in sorted(INFO.items(), key=lambda item: item[1]):
        value = info.get(field)
        if value is None:
            continue
        if field == "depends":
            deps = [adb.obj([adb.blob(name.encode())]) for name in value]
            slots[slot - 1] = adb.obj(deps)
        else:
            slots[slot - 1] = adb.blob(value.encode())
    return slots


def _acl(adb, mode):
    return adb.obj([adb.int(mode), adb.blob(b"root"), adb.blob(b"root")])


def package(info, files, scripts, epoch):
    """The .apk (uncompressed) of FILES, as apk mkpkg makes it from a tree
    owned by root: FILES {path: (mode, bytes)} of regular files, their
    folders 0755 with every time EPOCH; INFO the info fields; SCRIPTS
    {kind: text}. Returns (file bytes, the ADB block)."""
    adb = Adb()
    info_slots = _info_values(adb, info)
    folders = {""}
    for path in files:
        parts = path.split("/")[:-1]
        folders.update("/".join(parts[:i + 1]) for i in range(len(parts)))
    paths, data_blocks = [], []
    for number, folder in enumerate(sorted(folders), 1):
        entries = sorted((path.rsplit("/", 1)[-1], path) for path in files
                         if path.rpartition("/")[0] == folder)
        file_values = []
        for index, (name, path) in enumerate(entries, 1):
            mode, content = files[path]
            slots = [NULL] * 6
            slots[FILE_NAME - 1] = adb.blob(name.encode())
            slots[FILE_HASH - 1] = adb.blob(hashlib.sha256(content).digest())
            slots[FILE_MTIME - 1] = adb.int(epoch)
            slots[FILE_SIZE - 1] = adb.int(len(content))
            slots[FILE_ACL - 1] = _acl(adb, mode)
            file_values.append(adb.obj(slots))
            if content:
                data_blocks.append(block(BLOCK_DATA, struct.pack("<II", number, index) + content))
        name = adb.blob(folder.encode() if folder else None)
        acl = _acl(adb, 0o755)
        paths.append(adb.obj([name, acl, adb.obj(file_values)]))
    installed = sum(len(content) for _, content in files.values()) or 1
    info_slots[INFO["installed-size"] - 1] = adb.int(installed)
    uid = adb.blob(bytes(UID_BYTES), share=False)
    info_slots[INFO["hashes"] - 1] = uid
    package_slots = [adb.obj(info_slots), adb.obj(paths)]
    script_slots = [NULL] * len(SCRIPTS)
    for kind, text in scripts.items():
        script_slots[SCRIPTS[kind] - 1] = adb.blob(text.encode())
    package_slots.append(adb.obj(script_slots))
    adb.root(adb.obj(package_slots))
    # The unique id: SHA-256 of the block with the id's bytes zero, cut short.
    at = (uid & 0x0FFFFFFF) + 1  # past the blob's length byte
    adb.data[at:at + UID_BYTES] = hashlib.sha256(adb.data).digest()[:UID_BYTES]
    content = bytes(adb.data)
    return b"ADB.pckg" + block(BLOCK_ADB, content) + b"".join(data_blocks), content


def _read(adb, value):
    """A value of a written ADB block, as the tree of Python values it
    stands for: bytes, int, None, or a list of slots for an object."""
    kind, at = value & 0xF0000000, value & 0x0FFFFFFF
    if kind == 0:
        return None
    if kind == INT:
        return at
    if kind == INT32:
        return struct.unpack_from("<I", adb, at)[0]
    if kind == INT64:
        return struct.unpack_from("<Q", adb, at)[0]
    if kind in (BLOB8, BLOB16, BLOB32):
        width = {BLOB8: 1, BLOB16: 2, BLOB32: 4}[kind]
        size = int.from_bytes(adb[at:at + width], "little")
        return bytes(adb[at + width:at + width + size])
    count = struct.unpack_from("<I", adb, at)[0]
    return [_read(adb, slot) for slot in struct.unpack_from(f"<{count - 1}I", adb, at + 4)]


def _copy(adb, value):
    """Writes a value read with _read into ADB, children first, as apk's
    copy between two blocks does."""
    if value is None:
        return NULL
    if isinstance(value, bytes):
        return adb.blob(value)
    if isinstance(value, int):
        return adb.int(value)
    return adb.obj([_copy(adb, slot) for slot in value])


def root_of(content):
    return _read(content, struct.unpack_from("<I", content, 4)[0])


def index(packages):
    """The ADB block of packages.adb, as apk mkndx makes it: PACKAGES is
    [(file bytes, file size)], listed by name; each entry is the package's
    info with hashes the SHA-256 of its ADB block and its file size."""
    entries = []
    for data, size in packages:
        content = next(body for kind, body in blocks(data) if kind == BLOCK_ADB)
        entries.append((root_of(content)[PKG_INFO - 1], content, size))
    entries.sort(key=lambda entry: entry[0][INFO["name"] - 1])
    adb, listed = Adb(), []
    for info, content, size in entries:
        slots = [_copy(adb, value) for value in info] + [NULL] * (INFO_SLOTS - len(info))
        slots[INFO["hashes"] - 1] = adb.blob(hashlib.sha256(content).digest())
        slots[INFO["file-size"] - 1] = adb.int(size)
        listed.append(adb.obj(slots))
    slots = [NULL] * INDEX_PACKAGES
    slots[INDEX_PACKAGES - 1] = adb.obj(listed)
    adb.root(adb.obj(slots))
    return bytes(adb.data)


def key_id(public_point):
    """What a SIG block names its key by: the first 16 bytes of SHA-512 of
    the public key's bits (an EC point, uncompressed)."""
    return hashlib.sha512(public_point).digest()[:16]


def signed_message(schema, key, content):
    """What the SIG block's signature (ECDSA with SHA-512) is over: the
    schema, the signature's header and SHA-512 of the ADB block."""
    return schema + bytes([SIGN_VERSION, HASH_SHA512]) + key + hashlib.sha512(content).digest()


def signed_index(content, key, signature):
    """packages.adb, uncompressed: the ADB block of the index and its SIG
    block (KEY, the key id; SIGNATURE, DER)."""
    sig = bytes([SIGN_VERSION, HASH_SHA512]) + key + signature
    return b"ADB.indx" + block(BLOCK_ADB, content) + block(BLOCK_SIG, sig)


def _openwrt_script(lines):
    return "#!/bin/sh\n" + "".join(line + "\n" for line in lines)


# The scripts that OpenWrt's include/package-pack.mk gives every apk
# package: the firmware's own defaults (add_group_and_user, default_postinst,
# default_prerm), nothing where there is no /lib/functions.sh.
FUNCTIONS = ['[ -s ${IPKG_INSTROOT}/lib/functions.sh ] || exit 0',
             '. ${IPKG_INSTROOT}/lib/functions.sh', 'export root="${IPKG_INSTROOT}"',
             'export pkgname="{name}"']
POST_INSTALL = ['[ "${IPKG_NO_SCRIPT}" = "1" ] && exit 0'] + FUNCTIONS + [
    "add_group_and_user", "default_postinst"]


def openwrt_scripts(name):
    post_install = [line.replace("{name}", name) for line in POST_INSTALL]
    return {"post-install": _openwrt_script(post_install),
            "post-upgrade": _openwrt_script(["export PKG_UPGRADE=1"] + post_install),
            "pre-deinstall": _openwrt_script(
                [line.replace("{name}", name) for line in FUNCTIONS] + ["default_prerm"])}


def openwrt_version(recipe):
    """OpenWrt's VERSION for apk: PKG_VERSION-rPKG_RELEASE."""
    return f"{recipe['PKG_VERSION']}-r{recipe['PKG_RELEASE']}"


def openwrt_package(program, arch, recipe, epoch):
    """The .apk (deflated) that OpenWrt 25.12's package-pack.mk makes with apk
    mkpkg from the recipe's install step: PROGRAM as /usr/bin/NAME, and
    lib/apk/packages/NAME.list, the sorted list of the other files; for
    package architecture ARCH. Returns (file name, bytes)."""
    name = recipe["PKG_NAME"]
    files = {f"usr/bin/{name}": (0o755, program),
             f"lib/apk/packages/{name}.list": (0o644, f"/usr/bin/{name}\n".encode())}
    info = {"name": name, "version": openwrt_version(recipe),
            # make's $(strip) of the description: whitespace runs made one space
            "description": " ".join(recipe["description"].split()), "arch": arch,
            "license": recipe["PKG_LICENSE"],
            "origin": f"feeds/packages/{recipe['SECTION']}/{name}", "url": recipe["URL"],
            "maintainer": recipe["PKG_MAINTAINER"], "depends": ["libc"]}
    raw, _ = package(info, files, openwrt_scripts(name), epoch)
    return f"{name}-{info['version']}.apk", compress(raw)


def signed_feed(packages, sign, key):
    """packages.adb (deflated) of PACKAGES [(file bytes)], signed: SIGN(message)
    gives the DER signature, KEY the key id."""
    content = index([(data, len(data)) for data in packages])
    return compress(signed_index(content, key, sign(signed_message(b"indx", key, content))))
