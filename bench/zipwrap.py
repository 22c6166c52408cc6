#!/usr/bin/env python3
"""zipwrap - wraps streams made by a compressor's own tool into a ZIP, byte for byte.

  zipwrap.py [-t EPOCH] METHOD ROOT STREAMS LIST OUT.zip

METHOD is bzip2, zstd or xz (ZIP methods 12, 93, 95). LIST names the entries in
archive order, one a line, relative to ROOT; folders are entries too. Each file's
entry holds the bytes of STREAMS/NAME as they are, so that an extractor decodes
exactly the stream the reference tool decodes; its CRC-32, size, time and mode come
from ROOT/NAME. Empty files are stored (method 0, no data), as Info-ZIP zip and
7-Zip store them: 7-Zip takes an xz stream of nothing for data after the end.
Folders are stored with time EPOCH (default 2024-01-02 03:04:05 UTC) so that the
archive does not depend on when the corpus was made. Names are UTF-8
(flag bit 11); times are DOS local times, as Info-ZIP zip writes them; there are no
extra fields and no data descriptors. An archive that would need Zip64 is refused.
"""
import os
import stat
import struct
import sys
import time
import zlib

METHODS = {"bzip2": (12, 46), "zstd": (93, 63), "xz": (95, 63)}  # method, version needed (APPNOTE 4.4.3)
STORED = (0, 10)
MADE_BY = (3 << 8) | 63  # UNIX, 6.3
UTF8_NAMES = 0x0800
LOCAL_SIG, CENTRAL_SIG, END_SIG = 0x04034B50, 0x02014B50, 0x06054B50
LIMIT_32, LIMIT_16 = 0xFFFFFFFF, 0xFFFF  # at these Zip64 takes over
DOS_DIRECTORY = 0x10
CHUNK = 1 << 20


def dos_time(epoch):
    """DOS date and time (local time, 2 s steps); years before 1980 become 1980-01-01 00:00."""
    t = time.localtime(epoch)
    if t.tm_year < 1980:
        return 0, (1 << 5) | 1
    return ((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2),
            ((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday)


def crc_of(path):
    crc = 0
    with open(path, "rb") as f:
        while block := f.read(CHUNK):
            crc = zlib.crc32(block, crc)
    return crc


def fits(what, value, limit):
    if value >= limit:
        raise SystemExit(f"zipwrap: {what} needs Zip64, which this writer does not make")


def wrap(method_name, root, streams, names, out, folder_epoch):
    method, needed = METHODS[method_name]
    central = bytearray()
    count = 0
    with open(out, "wb") as z:
        for name in names:
            source = os.path.join(root, name)
            st = os.lstat(source)
            is_dir = stat.S_ISDIR(st.st_mode)
            if not is_dir and not stat.S_ISREG(st.st_mode):
                raise SystemExit(f"zipwrap: {name}: neither a file nor a folder")
            entry_name = (name.rstrip("/") + "/" if is_dir else name).encode("utf-8")
            if is_dir:
                entry_method, entry_needed, crc, size, packed = *STORED, 0, 0, 0
                dtime, ddate = dos_time(folder_epoch)
                attributes = (st.st_mode & 0xFFFF) << 16 | DOS_DIRECTORY
            else:
                stream = os.path.join(streams, name)
                entry_method, entry_needed = (method, needed) if st.st_size else STORED
                crc, size = crc_of(source), st.st_size
                packed = os.path.getsize(stream) if st.st_size else 0
                dtime, ddate = dos_time(st.st_mtime)
                attributes = (st.st_mode & 0xFFFF) << 16
            offset = z.tell()
            for what, value in (("a size", size), ("a size", packed), ("an offset", offset)):
                fits(what, value, LIMIT_32)
            fits("the name length", len(entry_name), LIMIT_16 + 1)
            z.write(struct.pack("<IHHHHHIIIHH", LOCAL_SIG, entry_needed, UTF8_NAMES, entry_method, dtime, ddate,
                                crc, packed, size, len(entry_name), 0))
            z.write(entry_name)
            if packed:
                with open(stream, "rb") as f:
                    while block := f.read(CHUNK):
                        z.write(block)
                if z.tell() - offset - 30 - len(entry_name) != packed:
                    raise SystemExit(f"zipwrap: {stream} changed while it was read")
            central += struct.pack("<IHHHHHHIIIHHHHHII", CENTRAL_SIG, MADE_BY, entry_needed, UTF8_NAMES, entry_method,
                                   dtime, ddate, crc, packed, size, len(entry_name), 0, 0, 0, 0, attributes, offset)
            central += entry_name
            count += 1
        start = z.tell()
        fits("the entry count", count, LIMIT_16)
        fits("the central directory", start + len(central), LIMIT_32)
        z.write(central)
        z.write(struct.pack("<IHHHHIIH", END_SIG, 0, 0, count, count, len(central), start, 0))


def main(argv):
    folder_epoch = 1704164645
    if len(argv) > 1 and argv[1] == "-t":
        folder_epoch = int(argv[2])
        argv = argv[:1] + argv[3:]
    if len(argv) != 6 or argv[1] not in METHODS:
        sys.exit("usage: zipwrap.py [-t EPOCH] bzip2|zstd|xz ROOT STREAMS LIST OUT.zip")
    _, method_name, root, streams, listing, out = argv
    with open(listing, encoding="utf-8") as f:
        names = [line.rstrip("\n") for line in f if line.strip()]
    partial = out + ".part"
    try:
        wrap(method_name, root, streams, names, partial, folder_epoch)
    except BaseException:
        if os.path.exists(partial):
            os.remove(partial)
        raise
    os.replace(partial, out)


if __name__ == "__main__":
    main(sys.argv)
