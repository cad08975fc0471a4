"""What the package formats share: tar members written with GNU headers and
gzip without name or time, as the packaging systems' own tools write them,
so that the same files give the same bytes; and, for the checks, the same
archives read back with GNU tar and gzip, which did not write them."""
import io
import subprocess
import sys
import tarfile


def fail(text):
    sys.exit(f"packages: {text}")


def gzip_n(data, level=6):
    """gzip -n: no name, no time, as ipkg-build and the index compress."""
    return subprocess.run(["gzip", "-n", f"-{level}"], input=data, capture_output=True,
                          check=True).stdout


def tar(members, epoch, tar_format=tarfile.GNU_FORMAT, cut=False):
    """A tar of MEMBERS (name, mode, bytes or None for a folder[, PAX
    records]), in that order, owned by 0:0 with no owner names
    (--numeric-owner) and every time EPOCH; CUT leaves out the end blocks,
    as abuild-tar --cut does."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tar_format) as archive:
        for name, mode, data, *records in members:
            info = tarfile.TarInfo(name)
            info.mode, info.mtime, info.uid, info.gid = mode, epoch, 0, 0
            info.uname = info.gname = ""
            info.pax_headers = records[0] if records else {}
            if data is None:
                info.type = tarfile.DIRTYPE
                archive.addfile(info)
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))
        if cut:
            return out.getvalue()  # before closing writes the end blocks
    return out.getvalue()


def tar_gnu(members, epoch):
    """A tar with GNU headers, as ipkg-build's tar --format=gnu
    --numeric-owner --sort=name --mtime writes it under fakeroot."""
    return tar(members, epoch)


def headers(tar_bytes, what):
    """Every header of a tar must be GNU's (magic "ustar  "), none a PAX
    header (typeflag x or g), which opkg would skip. Returns the count."""
    offset = count = 0
    while offset + 512 <= len(tar_bytes):
        header = tar_bytes[offset:offset + 512]
        if header == bytes(512):
            return count
        if header[257:265] != b"ustar  \0":
            fail(f"{what}: a member's header is not GNU tar's ({header[257:265]!r})")
        if header[156:157] in (b"x", b"g"):
            fail(f"{what}: a PAX header, which opkg skips")
        size = int(header[124:136].strip(b"\0 ") or b"0", 8)
        offset += 512 + (size + 511) // 512 * 512
        count += 1
    fail(f"{what}: no end of archive")
    return count


def listing(path_or_bytes, what):
    """tar's verbose listing, numeric owners, full UTC times: per member
    (mode, owner, size, time, name)."""
    source = {"input": path_or_bytes} if isinstance(path_or_bytes, bytes) else {}
    done = subprocess.run(["tar", "-tvzf", "-" if source else path_or_bytes, "--numeric-owner",
                           "--full-time"], capture_output=True, env={"TZ": "UTC"}, check=False,
                          **source)
    if done.returncode != 0:
        fail(f"{what}: tar cannot list it: {done.stderr.decode().strip()}")
    rows = []
    for line in done.stdout.decode().splitlines():
        mode, owner, size, day, clock, name = line.split(maxsplit=5)
        rows.append((mode, owner, int(size), f"{day} {clock}", name))
    return rows


def gunzip(data, what):
    done = subprocess.run(["gzip", "-dc"], input=data, capture_output=True, check=False)
    if done.returncode != 0 or data[:2] != b"\x1f\x8b":
        fail(f"{what}: not gzip-compressed")
    return done.stdout

