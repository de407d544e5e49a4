#!/usr/bin/env python3
"""Fills a freshly made FAT32 image (mkfs.fat -F 32 -s 8) with FILES files in folders of PER files,
writing the directories and the FAT directly: mtools takes hours for a million files.

Every name has a long-name entry; DELETED percent of the files are deleted as Windows does it (0xE5
over the short and long entries, the chain freed, the data left). Prints the live and deleted counts.
Usage: scale-fat.py IMAGE FILES PER DELETED
"""
import mmap
import random
import struct
import sys

image, total, per, deleted_share = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(28)

with open(image, "r+b") as fh:
    mem = mmap.mmap(fh.fileno(), 0)
    bps, spc, reserved, nfats = struct.unpack_from("<HBHB", mem, 11)
    fat_sectors, root_cluster = struct.unpack_from("<I", mem, 36)[0], struct.unpack_from("<I", mem, 44)[0]
    total_sectors = struct.unpack_from("<I", mem, 32)[0]
    cluster_bytes = bps * spc
    fat_start = reserved * bps
    data_start = (reserved + nfats * fat_sectors) * bps
    cluster_count = (total_sectors - reserved - nfats * fat_sectors) // spc
    fat = bytearray(mem[fat_start:fat_start + fat_sectors * bps])
    next_cluster = [root_cluster + 1]

    def allocate(n, link=True):
        first = next_cluster[0]
        if first + n > cluster_count + 2:
            sys.exit("scale-fat.py: the image is too small")
        next_cluster[0] += n
        if link:
            for c in range(first, first + n - 1):
                struct.pack_into("<I", fat, c * 4, c + 1)
            struct.pack_into("<I", fat, (first + n - 1) * 4, 0x0FFFFFFF)
        return first

    def offset(cluster):
        return data_start + (cluster - 2) * cluster_bytes

    DATE, TIME = ((2024 - 1980) << 9) | (6 << 5) | 7, (12 << 11) | (30 << 5)

    def short_entry(name11, attr, cluster, size):
        return struct.pack("<11sBBBHHHHHHHI", name11, attr, 0, 0, TIME, DATE, DATE,
                           cluster >> 16, TIME, DATE, cluster & 0xFFFF, size)

    def checksum(name11):
        s = 0
        for b in name11:
            s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
        return s

    def entries(long_name, name11, attr, cluster, size, gone):
        units = list(struct.unpack("<%dH" % len(long_name), long_name.encode("utf-16-le")))
        count = (len(units) + 12) // 13
        units += [0] if len(units) % 13 else []
        units += [0xFFFF] * (count * 13 - len(units))
        out = bytearray()
        check = checksum(name11)
        for i in range(count, 0, -1):
            part = units[(i - 1) * 13:i * 13]
            order = 0xE5 if gone else (i | (0x40 if i == count else 0))
            out += struct.pack("<B5HBBB6HH2H", order, *part[:5], 0x0F, 0, check, *part[5:11], 0, *part[11:])
        entry = bytearray(short_entry(name11, attr, cluster, size))
        if gone:
            entry[0] = 0xE5
        return out + entry

    def write_folder(first, raw):
        mem[offset(first):offset(first) + len(raw)] = raw

    folders = (total + per - 1) // per
    root_entries = bytearray(mem[offset(root_cluster):offset(root_cluster) + 32])  # the volume label
    live = gone_count = 0
    for d in range(folders):
        names = range(d * per, min(total, (d + 1) * per))
        raw = bytearray(short_entry(b".          ", 0x10, 0, 0) + short_entry(b"..         ", 0x10, 0, 0))
        for i in names:
            size = rng.randrange(1, 3000) if rng.random() < 0.95 else rng.randrange(4096, 20000)
            n = (size + cluster_bytes - 1) // cluster_bytes
            gone = rng.randrange(100) < deleted_share
            first = allocate(n, link=not gone)
            data = (b"scale file %08d " % i) * (size // 20 + 1)
            mem[offset(first):offset(first) + size] = data[:size]
            raw += entries("file-%07d.dat" % i, b"F%05d~1DAT" % (i % 100000), 0x20, first, size, gone)
            gone_count += gone
            live += not gone
        folder_clusters = (len(raw) + cluster_bytes - 1) // cluster_bytes
        folder_first = allocate(folder_clusters)
        raw[0:32] = short_entry(b".          ", 0x10, folder_first, 0)
        raw += bytes(folder_clusters * cluster_bytes - len(raw))
        write_folder(folder_first, raw)
        root_entries += entries("Folder-%05d" % d, b"F%05d~1   " % d, 0x10, folder_first, 0, False)
    root_clusters = (len(root_entries) + cluster_bytes - 1) // cluster_bytes
    # The root keeps its first cluster and gets a chain for the rest.
    chain = [root_cluster] + ([allocate(root_clusters - 1)] if root_clusters > 1 else [])
    if root_clusters > 1:
        struct.pack_into("<I", fat, root_cluster * 4, chain[1])
    root_entries += bytes(root_clusters * cluster_bytes - len(root_entries))
    mem[offset(root_cluster):offset(root_cluster) + cluster_bytes] = root_entries[:cluster_bytes]
    if root_clusters > 1:
        write_folder(chain[1], root_entries[cluster_bytes:])
    for copy in range(nfats):
        at = fat_start + copy * fat_sectors * bps
        mem[at:at + len(fat)] = fat
    # FSInfo: the free count and the next free cluster are hints; "unknown" is always right.
    fsinfo = struct.unpack_from("<H", mem, 48)[0] * bps
    struct.pack_into("<II", mem, fsinfo + 488, 0xFFFFFFFF, 0xFFFFFFFF)
    mem.flush()
    print(live, gone_count, folders)
