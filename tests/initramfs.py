#!/usr/bin/env python3
"""Writes an initramfs: a newc cpio archive that the kernel unpacks as its
first root file system. No root, no loop mount, no cpio tool: the format is
a 110-byte text header per member, padded to 4 bytes.

usage: initramfs.py OUT MEMBER...
  MEMBER  PATH=FILE   a regular file from the host, executable when FILE is
          PATH=@TEXT  a regular file holding TEXT, executable when it
                      starts with #!
          PATH/       a folder
          PATH->DEST  a symbolic link
Folders above a member are added as needed. Owners are root, times zero:
the same members give the same bytes.
"""
import os
import sys


def member(name, mode, data=b"", number=1):
    name_bytes = name.encode() + b"\0"
    fields = [number, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name_bytes), 0]
    header = b"070701" + b"".join(b"%08X" % field for field in fields)
    out = header + name_bytes
    out += b"\0" * (-len(out) % 4)
    return out + data + b"\0" * (-len(data) % 4)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    entries = {}  # archive path -> (mode, data)

    def add_folders(path):
        parts = path.split("/")[:-1]
        for end in range(1, len(parts) + 1):
            entries.setdefault("/".join(parts[:end]), (0o040755, b""))

    for item in sys.argv[2:]:
        if "->" in item:
            path, dest = item.split("->", 1)
            add_folders(path)
            entries[path] = (0o120777, dest.encode())
        elif item.endswith("/"):
            add_folders(item.rstrip("/") + "/x")
        elif "=" in item:
            path, source = item.split("=", 1)
            add_folders(path)
            if source.startswith("@"):
                text = source[1:].encode()
                entries[path] = (0o100755 if text.startswith(b"#!") else 0o100644, text)
            else:
                with open(source, "rb") as file:
                    data = file.read()
                executable = os.stat(source).st_mode & 0o111
                entries[path] = (0o100755 if executable else 0o100644, data)
        else:
            sys.exit(f"initramfs: cannot read member {item!r}")

    archive = b""
    for number, path in enumerate(sorted(entries), 1):
        mode, data = entries[path]
        archive += member(path, mode, data, number)
    archive += member("TRAILER!!!", 0, b"", 0)
    archive += b"\0" * (-len(archive) % 512)
    with open(sys.argv[1], "wb") as out:
        out.write(archive)


if __name__ == "__main__":
    main()
