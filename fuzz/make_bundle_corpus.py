#!/usr/bin/env python3
"""The bundle fuzzer's seeds, from bundles that trevask and PKZIP.EXE made.

usage: make_bundle_corpus.py BUNDLES_DIR OUT_DIR

BUNDLES_DIR holds stored.zip (a whole run), failed.zip (a run whose folder C
could not be listed) and kind.zip (a file that became a folder, its old
copy kept as gone). Written: those, and what the programs do not write on
small trees: the same bundle deflated, in zip64 form, without its top
archive, and damaged in the ways -t tells apart.
"""
import io
import struct
import sys
import zipfile


def raw_members(data):
    """(info, raw data) of each member, in directory order."""
    z = zipfile.ZipFile(io.BytesIO(data))
    out = []
    for i in z.infolist():
        n, e = struct.unpack_from("<HH", data, i.header_offset + 26)
        at = i.header_offset + 30 + n + e
        out.append((i, data[at:at + i.compress_size]))
    return out


def rewrite(data, change=lambda info, body: body, method=None):
    """The bundle written anew, each member's content through change."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as z, zipfile.ZipFile(out, "w") as w:
        for i in z.infolist():
            info = zipfile.ZipInfo(i.filename, i.date_time)
            info.external_attr, info.create_system = i.external_attr, i.create_system
            info.compress_type = i.compress_type if method is None else method
            w.writestr(info, change(i, z.read(i)))
    return out.getvalue()


def zip64(data):
    """Every size and offset saturated and given in zip64 fields."""
    out, central = bytearray(), bytearray()
    for i, body in raw_members(data):
        name = i.filename.encode()
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034b50, 45, i.flag_bits, i.compress_type, 0, 0x21,
                           i.CRC, 0xFFFFFFFF, 0xFFFFFFFF, len(name), 20)
        out += name + struct.pack("<HHQQ", 1, 16, i.file_size, i.compress_size) + body
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, i.create_system << 8 | 45, 45,
                               i.flag_bits, i.compress_type, 0, 0x21, i.CRC, 0xFFFFFFFF,
                               0xFFFFFFFF, len(name), 28, 0, 0, 0, i.external_attr, 0xFFFFFFFF)
        central += name + struct.pack("<HHQQQ", 1, 24, i.file_size, i.compress_size, offset)
    count, dir_at = len(raw_members(data)), len(out)
    out += central
    record_at = len(out)
    out += struct.pack("<IQHHIIQQQQ", 0x06064b50, 44, 45, 45, 0, 0, count, count, len(central),
                       dir_at)
    out += struct.pack("<IIQI", 0x07064b50, 0, record_at, 1)
    out += struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return bytes(out)


def flip_in(data, member, into):
    """A byte of member's data flipped in place: its CRC no longer holds."""
    for i, body in raw_members(data):
        if i.filename == member:
            n, e = struct.unpack_from("<HH", data, i.header_offset + 26)
            at = i.header_offset + 30 + n + e + into
            return data[:at] + bytes([data[at] ^ 0x20]) + data[at + 1:]
    raise KeyError(member)


def main(src, dst):
    read = lambda name: open(f"{src}/{name}", "rb").read()
    stored = read("stored.zip")
    seeds = {
        "stored.zip": stored,
        "failed-run.zip": read("failed.zip"),
        "kind-change.zip": read("kind.zip"),
        "deflated.zip": rewrite(stored, method=zipfile.ZIP_DEFLATED),
        "zip64.zip": zip64(stored),
        # The bundle's own CRC of a folder archive, and a file's inside one
        # whose bundle CRC holds.
        "damaged-folder-archive.zip": flip_in(stored, "B/B.zip", 40),
        "damaged-member.zip": rewrite(stored, change=lambda i, b: flip_in(b, "x.bin", 10)
                                      if i.filename == "B/X/X.zip" else b),
        "truncated.zip": stored[:len(stored) * 2 // 3],
    }
    # A failed run before its top archive: no Data.zip, and the folder
    # entry C/ left without its archive.
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(stored)) as z, zipfile.ZipFile(out, "w") as w:
        for i in z.infolist():
            if i.filename not in ("Data.zip", "C/C.zip"):
                w.writestr(i, z.read(i))
    seeds["failed-no-top.zip"] = out.getvalue()
    # The local header of C/C.zip names C/D.zip.
    at = stored.index(b"C/C.zip")
    seeds["damaged-local-name.zip"] = stored[:at] + b"C/D.zip" + stored[at + 7:]
    for name, body in seeds.items():
        with open(f"{dst}/{name}", "wb") as f:
            f.write(body)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
