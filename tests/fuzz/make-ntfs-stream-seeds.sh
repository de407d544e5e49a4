#!/usr/bin/env bash
# Seeds of fuzz_ntfs_attrlist with named data streams (records 20 and 21 of the target's volume, in
# the layout tests/ntfs/NtfsImageBuilder.h writes): "named-streams" gives the folder 20 a resident
# stream and the file 21 an unnamed, a resident named and a non-resident named $DATA;
# "stream-in-extension" gives record 20 an attribute list whose named $DATA lies in record 21.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/tests/fuzz/corpus/fuzz_ntfs_attrlist"
mkdir -p "$out"
python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]
REC = 1024

def record(directory, base=0):
    r = bytearray(REC)
    r[0:4] = b"FILE"
    struct.pack_into("<HHxxxxxxxxHHHH", r, 4, 0x30, 3, 1, 1, 0x38, 1 | (2 if directory else 0))
    struct.pack_into("<II", r, 0x18, 0x40, REC)
    struct.pack_into("<Q", r, 0x20, base)
    struct.pack_into("<I", r, 0x38, 0xFFFFFFFF)
    return r

def close(r, end):
    struct.pack_into("<I", r, end, 0xFFFFFFFF)
    struct.pack_into("<I", r, 0x18, end + 8)

def resident(r, kind, name, value):
    p = struct.unpack_from("<I", r, 0x18)[0] - 8
    n = name.encode("utf-16-le")
    vo = (0x18 + len(n) + 7) & ~7
    length = (vo + len(value) + 7) & ~7
    struct.pack_into("<IIBBH", r, p, kind, length, 0, len(name), 0x18)
    struct.pack_into("<IH", r, p + 0x10, len(value), vo)
    r[p + 0x18 : p + 0x18 + len(n)] = n
    r[p + vo : p + vo + len(value)] = value
    close(r, p + length)

def nonresident(r, kind, name, runs, last_vcn, size):
    p = struct.unpack_from("<I", r, 0x18)[0] - 8
    n = name.encode("utf-16-le")
    ro = (0x40 + len(n) + 7) & ~7
    length = (ro + len(runs) + 1 + 7) & ~7
    struct.pack_into("<IIBBH", r, p, kind, length, 1, len(name), 0x40)
    struct.pack_into("<QQH", r, p + 0x10, 0, last_vcn, ro)
    struct.pack_into("<QQQ", r, p + 0x28, (last_vcn + 1) * 4096, size, size)
    r[p + 0x40 : p + 0x40 + len(n)] = n
    r[p + ro : p + ro + len(runs)] = runs
    close(r, p + length)

def file_name(parent, name, directory, size=0):
    n = name.encode("utf-16-le")
    v = bytearray(0x42 + len(n))
    struct.pack_into("<Q", v, 0, parent | (5 << 48))
    for t in (8, 16, 24, 32):
        struct.pack_into("<Q", v, t, 130000000000000000)
    struct.pack_into("<QQI", v, 0x28, size, size, 0x10000000 if directory else 0)
    v[0x40], v[0x41] = len(name), 1
    v[0x42:] = n
    return bytes(v)

def list_entry(kind, name, holder):
    n = name.encode("utf-16-le")
    length = (0x1A + len(n) + 7) & ~7
    e = bytearray(length)
    struct.pack_into("<IHBBQQ", e, 0, kind, length, len(name), 0x1A, 0, holder | (1 << 48))
    e[0x1A : 0x1A + len(n)] = n
    return bytes(e)

def protect(r):
    struct.pack_into("<H", r, 0x30, 7)
    for i in (1, 2):
        r[0x30 + 2 * i : 0x32 + 2 * i] = r[i * 512 - 2 : i * 512]
        struct.pack_into("<H", r, i * 512 - 2, 7)
    return bytes(r)

def save(name, a, b):
    with open(f"{out}/{name}", "wb") as f:
        f.write(protect(a) + protect(b))

folder = record(True)
resident(folder, 0x30, "", file_name(5, "fuzzed", True))
resident(folder, 0x80, "meta", b"folder stream")
f = record(False)
resident(f, 0x30, "", file_name(5, "ext", False, 5))
resident(f, 0x80, "", b"plain")
resident(f, 0x80, "Zone.Identifier", b"[ZoneTransfer]\r\nZoneId=3\r\n")
nonresident(f, 0x80, "big", bytes([0x11, 0x02, 0x20]), 1, 6000)
save("named-streams", folder, f)

base = record(True)
resident(base, 0x30, "", file_name(5, "fuzzed", True))
resident(base, 0x20, "", list_entry(0x30, "", 20) + list_entry(0x80, "far", 21) + list_entry(0x80, "near", 20))
resident(base, 0x80, "near", b"in the base record")
ext = record(False, 20 | (1 << 48))
resident(ext, 0x80, "far", b"in the extension record")
save("stream-in-extension", base, ext)
PY
ls -l "$out"
