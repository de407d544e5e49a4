#!/usr/bin/env python3
"""Fills a freshly made NTFS image (mkntfs -c 4096) with FILES files in folders of PER files by writing
MFT records and index blocks directly: ntfs-3g writes a few hundred files a second, hours for a million.

The MFT is moved to a new run large enough for every record (the boot sector, the $MFT record and
$MFTMirr follow it); the root folder's index is rebuilt with the system files and the new folders.
Small files are resident, one in ten has 1-3 clusters of its own. DELETED percent of the files are
deleted as Windows does it: the record's in-use flag cleared, its bit in the MFT bitmap and its
clusters in $Bitmap freed, its entry gone from the folder's index.
Usage: scale-ntfs.py IMAGE FILES PER DELETED
"""
import mmap
import random
import struct
import sys

image, total, per, deleted_share = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(28)
TIME = (2024 - 1601) * 365 * 86400 * 10**7  # a fixed time stamp, near enough to 2024
I30 = "$I30".encode("utf-16-le")
END = 0xFFFFFFFF

fh = open(image, "r+b")
mem = mmap.mmap(fh.fileno(), 0)
bps, spc = struct.unpack_from("<HB", mem, 11)
total_sectors, mft_lcn = struct.unpack_from("<QQ", mem, 0x28)
cluster = bps * spc
RECORD, BLOCK = 1024, 4096
if cluster != 4096 or struct.unpack_from("<b", mem, 0x40)[0] != -10:
    sys.exit("scale-ntfs.py: make the volume with mkntfs -c 4096 (1 KiB records, 4 KiB clusters)")
clusters_total = total_sectors * bps // cluster


def align8(n):
    return (n + 7) & ~7


def runs_of(raw, at):
    """Mapping pairs at `at` -> [(lcn, length)]."""
    out, lcn = [], 0
    while raw[at]:
        h = raw[at]
        ll, ol = h & 15, h >> 4
        length = int.from_bytes(raw[at + 1:at + 1 + ll], "little")
        lcn += int.from_bytes(raw[at + 1 + ll:at + 1 + ll + ol], "little", signed=True)
        out.append((lcn, length))
        at += 1 + ll + ol
    return out


def encode_runs(runs):
    out, prev = bytearray(), 0
    for lcn, length in runs:
        ln = length.to_bytes((length.bit_length() + 8) // 8, "little")
        delta = lcn - prev
        off = delta.to_bytes((delta.bit_length() + 8) // 8 + (1 if delta < 0 else 0), "little", signed=True)
        out += bytes([len(off) << 4 | len(ln)]) + ln + off
        prev = lcn
    return out + b"\0"


def unfix(rec, size):
    rec = bytearray(rec)
    ofs, count = struct.unpack_from("<HH", rec, 4)
    for i in range(1, count):
        rec[i * 512 - 2:i * 512] = rec[ofs + 2 * i:ofs + 2 * i + 2]
    return rec


def fix(rec):
    ofs, count = struct.unpack_from("<HH", rec, 4)
    usn = (struct.unpack_from("<H", rec, ofs)[0] + 1) & 0xFFFF or 1
    struct.pack_into("<H", rec, ofs, usn)
    for i in range(1, count):
        rec[ofs + 2 * i:ofs + 2 * i + 2] = rec[i * 512 - 2:i * 512]
        struct.pack_into("<H", rec, i * 512 - 2, usn)
    return rec


def attributes(rec):
    at = struct.unpack_from("<H", rec, 0x14)[0]
    while at + 8 <= len(rec):
        kind, length = struct.unpack_from("<II", rec, at)
        if kind == END or length == 0:
            return
        yield kind, at, bytes(rec[at:at + length])
        at += length


def value(attr):
    length, offset = struct.unpack_from("<IH", attr, 0x10)
    return attr[offset:offset + length]


# What mkntfs made: the MFT's records, the cluster bitmap and the MFT mirror's place.
mft0 = unfix(mem[mft_lcn * cluster:mft_lcn * cluster + RECORD], RECORD)
old_runs, old_bitmap = None, None
for kind, at, attr in attributes(mft0):
    if kind == 0x80:
        old_size = struct.unpack_from("<Q", attr, 0x30)[0]
        old_runs = runs_of(attr, struct.unpack_from("<H", attr, 0x20)[0])
    if kind == 0xB0:
        if attr[8]:
            bm_runs = runs_of(attr, struct.unpack_from("<H", attr, 0x20)[0])
            bm_size = struct.unpack_from("<Q", attr, 0x30)[0]
            old_bitmap = b"".join(mem[l * cluster:(l + n) * cluster] for l, n in bm_runs)[:bm_size]
        else:
            old_bitmap = value(attr)
old_mft = b"".join(mem[l * cluster:(l + n) * cluster] for l, n in old_runs)[:old_size]
existing = old_size // RECORD
records = [unfix(old_mft[i * RECORD:(i + 1) * RECORD], RECORD) for i in range(existing)]


def data_runs(number):
    for kind, at, attr in attributes(records[number]):
        if kind == 0x80:
            return runs_of(attr, struct.unpack_from("<H", attr, 0x20)[0])


vol_bitmap_runs = data_runs(6)
vol_bitmap = bytearray(b"".join(mem[l * cluster:(l + n) * cluster] for l, n in vol_bitmap_runs))
mirror_runs = data_runs(1)


class Allocator:
    """Free clusters in order, around what mkntfs used."""

    def __init__(self):
        self.used, start = [], None  # [(first, end)] of mkntfs's clusters
        for i in range(clusters_total + 1):
            bit = i < clusters_total and vol_bitmap[i >> 3] >> (i & 7) & 1
            if bit and start is None:
                start = i
            elif not bit and start is not None:
                self.used.append((start, i))
                start = None
        self.next = 0

    def take(self, n, used=True):
        first = self.next
        for begin, end in self.used:
            if begin < first + n and end > first:
                first = max(first, end)
        if first + n > clusters_total:
            sys.exit("scale-ntfs.py: the image is too small")
        self.next = first + n
        if used:
            for c in range(first, first + n):
                vol_bitmap[c >> 3] |= 1 << (c & 7)
        return first


alloc = Allocator()

# --- building records and indexes


def resident(kind, val, name=b"", indexed=False, instance=0):
    name_off = 0x18
    val_off = align8(name_off + len(name))
    length = align8(val_off + len(val))
    out = bytearray(length)
    struct.pack_into("<IIBBHHHIHBB", out, 0, kind, length, 0, len(name) // 2, name_off, 0, instance, len(val), val_off,
                     1 if indexed else 0, 0)
    out[name_off:name_off + len(name)] = name
    out[val_off:val_off + len(val)] = val
    return bytes(out)


def nonresident(kind, runs, size, name=b"", instance=0):
    clusters = sum(n for _, n in runs)
    pairs = encode_runs(runs)
    name_off = 0x40
    pairs_off = align8(name_off + len(name))
    length = align8(pairs_off + len(pairs))
    out = bytearray(length)
    struct.pack_into("<IIBBHHHQQHB5xQQQ", out, 0, kind, length, 1, len(name) // 2, name_off, 0, instance, 0,
                     max(clusters - 1, 0), pairs_off, 0, clusters * cluster, size, size)
    out[name_off:name_off + len(name)] = name
    out[pairs_off:pairs_off + len(pairs)] = pairs
    return bytes(out)


def std_info(attrs):
    return struct.pack("<QQQQIIII", TIME, TIME, TIME, TIME, attrs, 0, 0, 0) + bytes(24)


def file_name(parent_ref, name, alloc_size, size, attrs):
    encoded = name.encode("utf-16-le")
    return struct.pack("<QQQQQQQIIBB", parent_ref, TIME, TIME, TIME, TIME, alloc_size, size, attrs, 0,
                       len(encoded) // 2, 1) + encoded


def record(number, seq, flags, attrs):
    out = bytearray(RECORD)
    body = b"".join(attrs) + struct.pack("<II", END, 0)
    used = 0x38 + len(body)
    if used > RECORD:
        sys.exit("scale-ntfs.py: record %d too large" % number)
    struct.pack_into("<4sHHQHHHHIIQHHI", out, 0, b"FILE", 0x30, 3, 0, seq, 1, 0x38, flags, used, RECORD, 0,
                     len(attrs), 0, number)
    out[0x38:used] = body
    return out


def index_entry(ref, key, child=None):
    length = 16 + align8(len(key)) + (8 if child is not None else 0)
    out = bytearray(length)
    struct.pack_into("<QHHI", out, 0, ref, length, len(key), 1 if child is not None else 0)
    out[16:16 + len(key)] = key
    if child is not None:
        struct.pack_into("<Q", out, length - 8, child)
    return bytes(out)


def end_entry(child=None):
    if child is None:
        return struct.pack("<QHHI", 0, 16, 0, 2)
    return struct.pack("<QHHIQ", 0, 24, 0, 3, child)


ROOT_ROOM = 420  # bytes of entries an index root may take next to the other attributes


def build_index(keys):
    """keys: sorted [(ref, filename value)]. Returns (root entries, large, [INDX block bodies])."""
    items = [(ref, key, None) for ref, key in keys]
    last_child, blocks, leaf = None, [], True

    def size(level, last):
        return sum(len(index_entry(r, k, c)) for r, k, c in level) + len(end_entry(last))

    while size(items, last_child) > ROOT_ROOM:
        up, current, room = [], [], BLOCK - 0x40 - 24
        used = 0
        for ref, key, child in items:
            e = len(index_entry(ref, key, child))
            if current and used + e > room:
                # This item goes up; the block ends with its child.
                vcn = len(blocks)
                blocks.append((current, child, leaf))
                up.append((ref, key, vcn))
                current, used = [], 0
                continue
            current.append((ref, key, child))
            used += e
        vcn = len(blocks)
        blocks.append((current, last_child, leaf))
        items, last_child, leaf = up, vcn, False
    root = b"".join(index_entry(r, k, c) for r, k, c in items) + end_entry(last_child)
    bodies = []
    for vcn, (entries, last, is_leaf) in enumerate(blocks):
        body = b"".join(index_entry(r, k, c) for r, k, c in entries) + end_entry(last)
        out = bytearray(BLOCK)
        struct.pack_into("<4sHHQQIIIB", out, 0, b"INDX", 0x28, 9, 0, vcn, 0x28, 0x28 + len(body), BLOCK - 0x18,
                         0 if is_leaf else 1)
        out[0x40:0x40 + len(body)] = body
        bodies.append(fix(out))
    return root, bool(blocks), bodies


def index_attrs(keys, instance):
    root, large, bodies = build_index(keys)
    head = struct.pack("<IIIB3x", 0x30, 1, BLOCK, 1) + struct.pack("<IIIB3x", 16, 16 + len(root), 16 + len(root),
                                                                    1 if large else 0)
    attrs = [resident(0x90, head + root, I30, instance=instance)]
    if large:
        first = alloc.take(len(bodies))
        for i, body in enumerate(bodies):
            mem[(first + i) * cluster:(first + i + 1) * cluster] = body
        attrs.append(nonresident(0xA0, [(first, len(bodies))], len(bodies) * BLOCK, I30, instance + 1))
        bits = bytearray(align8((len(bodies) + 7) // 8))
        for i in range(len(bodies)):
            bits[i >> 3] |= 1 << (i & 7)
        attrs.append(resident(0xB0, bytes(bits), I30, instance=instance + 2))
    return attrs


def sort_key(item):
    name = item[1][66:].decode("utf-16-le")
    return [ord(c) for c in name.upper()]


# --- the new folders and files
folders = (total + per - 1) // per
first_new = existing
count = first_new + folders + total
count = (count + 63) // 64 * 64
root_seq = struct.unpack_from("<H", records[5], 0x10)[0]
ROOT_REF = 5 | root_seq << 48
mft_bits = bytearray(align8((count + 7) // 8))
mft_bits[:len(old_bitmap)] = old_bitmap
new_records = {}
root_keys = []
live = gone = 0
number = first_new
for d in range(folders):
    folder_no = number
    number += 1
    folder_ref = folder_no | 1 << 48
    keys = []
    for i in range(d * per, min(total, (d + 1) * per)):
        file_no = number
        number += 1
        name = "file-%07d.dat" % i
        deleted = rng.randrange(100) < deleted_share
        if rng.random() < 0.9:
            size = rng.randrange(1, 600)
            data = (b"scale file %08d " % i) * (size // 20 + 1)
            data_attr = resident(0x80, data[:size], instance=2)
            alloc_size = align8(size)
        else:
            size = rng.randrange(4097, 12288)
            n = (size + cluster - 1) // cluster
            first = alloc.take(n, used=not deleted)
            data = (b"scale file %08d " % i) * (size // 20 + 1)
            mem[first * cluster:first * cluster + size] = data[:size]
            data_attr = nonresident(0x80, [(first, n)], size, instance=2)
            alloc_size = n * cluster
        fn = file_name(folder_ref, name, alloc_size, size, 0x20)
        new_records[file_no] = record(file_no, 2 if deleted else 1, 0 if deleted else 1,
                                      [resident(0x10, std_info(0x20)), resident(0x30, fn, indexed=True, instance=1),
                                       data_attr])
        if deleted:
            gone += 1
        else:
            live += 1
            mft_bits[file_no >> 3] |= 1 << (file_no & 7)
            keys.append((file_no | 1 << 48, fn))
    keys.sort(key=sort_key)
    fname = "Folder-%05d" % d
    fn = file_name(ROOT_REF, fname, 0, 0, 0x10000000)
    new_records[folder_no] = record(folder_no, 1, 3, [resident(0x10, std_info(0x10)),
                                                      resident(0x30, fn, indexed=True, instance=1)] +
                                    index_attrs(keys, 2))
    mft_bits[folder_no >> 3] |= 1 << (folder_no & 7)
    root_keys.append((folder_ref, fn))

# The root's index: the system files (every in-use record whose name's parent is the root) and the
# new folders.
for n in range(existing):
    rec = records[n]
    if rec[:4] != b"FILE" or not struct.unpack_from("<H", rec, 0x16)[0] & 1 or struct.unpack_from("<Q", rec, 0x20)[0]:
        continue
    for kind, at, attr in attributes(rec):
        if kind == 0x30:
            val = value(attr)
            if struct.unpack_from("<Q", val, 0)[0] & 0xFFFFFFFFFFFF == 5 and val[65] != 2:
                root_keys.append((n | struct.unpack_from("<H", rec, 0x10)[0] << 48, val))
root_keys.sort(key=sort_key)
kept = [attr for kind, at, attr in attributes(records[5]) if kind not in (0x90, 0xA0, 0xB0)]
instance = struct.unpack_from("<H", records[5], 0x28)[0]
root_flags = struct.unpack_from("<H", records[5], 0x16)[0]
records[5] = record(5, root_seq, root_flags, kept + index_attrs(root_keys, instance))
struct.pack_into("<H", records[5], 0x12, 1)

# The new MFT and its bitmap, and the $MFT record that describes them.
mft_clusters = count * RECORD // cluster
mft_first = alloc.take(mft_clusters)
bitmap_clusters = (len(mft_bits) + cluster - 1) // cluster
bitmap_first = alloc.take(bitmap_clusters)
mem[bitmap_first * cluster:bitmap_first * cluster + len(mft_bits)] = mft_bits
kept = [attr for kind, at, attr in attributes(records[0]) if kind not in (0x80, 0xB0)]
seq0 = struct.unpack_from("<H", records[0], 0x10)[0]
records[0] = record(0, seq0, 1, kept + [nonresident(0x80, [(mft_first, mft_clusters)], count * RECORD, instance=8),
                                        nonresident(0xB0, [(bitmap_first, bitmap_clusters)], len(mft_bits),
                                                    instance=9)])
base = mft_first * cluster
for n in range(count):
    rec = records[n] if n < existing else new_records.get(n)
    if rec is None:
        rec = record(n, 1, 0, [])
    mem[base + n * RECORD:base + (n + 1) * RECORD] = fix(bytearray(rec))
mirror = bytes(mem[base:base + 4 * RECORD])
lcn, _ = mirror_runs[0]
mem[lcn * cluster:lcn * cluster + len(mirror)] = mirror
# Clusters: the old MFT's run stays allocated (harmless), the new one is in the bitmap already.
at = 0
for lcn, n in vol_bitmap_runs:
    mem[lcn * cluster:(lcn + n) * cluster] = vol_bitmap[at:at + n * cluster]
    at += n * cluster
for sector in (0, total_sectors):
    if (sector + 1) * bps <= len(mem) and mem[sector * bps + 3:sector * bps + 7] == b"NTFS":
        struct.pack_into("<Q", mem, sector * bps + 0x30, mft_first)
mem.flush()
print(live, gone, folders)
