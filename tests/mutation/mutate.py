#!/usr/bin/env python3
"""Damages the fixture images at random (fixed seed) and runs the command line over each damaged
image: listing, deleted listing, undelete and the lost-data search. Fails on a sanitizer report,
a crash, a time-out, or a file written outside the target folder. Besides the raw volumes and
disks: GPT disks of 512- and 4096-byte sectors (built here around fixture volumes), exFAT on
4096-byte sectors, and the containers of tests/fixtures/containers.tar.xz (qcow2, VMDK, VHD, VHDX,
E01), damaged in their own tables and cut short. Prints how many images of each kind were tried.

usage: mutate.py CLI [--seconds N] [--seed S] [--keep DIR]
"""
import argparse
import collections
import gzip
import io
import lzma
import os
import random
import resource
import shutil
import subprocess
import struct
import sys
import tarfile
import tempfile
import time
import uuid
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
# Small images with every file system and partition layout the reader knows.
IMAGES = ["fat12.img.gz", "fat16.img.gz", "fat32.img.gz", "ntfs.img.gz", "exfat.img.gz", "demo.img.gz",
          "names-fat.img.gz", "mbr-extended.img.gz", "fat16-quickformat.img.gz", "exfat-4k.img.gz",
          "ext4.img.gz", "ext3.img.gz", "ext2-1k.img.gz", "ext-gpt-4k.img.gz", "ext4-quickformat.img.gz"]
# GPT disks built around a volume: (name, volume fixture, sector size).
GPT_DISKS = [("gpt-fat16.img", "fat16.img.gz", 512), ("gpt-exfat-4k.img", "exfat-4k.img.gz", 4096)]
CONTAINERS = ["disk.qcow2", "disk.vmdk", "disk-stream.vmdk", "disk.vhd", "disk.vhdx", "disk-z.E01"]
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "UndefinedBehaviorSanitizer")
TIMEOUT = 20
MEMORY_KB = 4 * 1024 * 1024


def mutate(data, rng):
    """One to four kinds of damage: flipped bytes (mostly in the first sectors, where the boot
    sector, FAT, MFT and folders lie), a zeroed sector, a copied sector, or a cut-off end."""
    data = bytearray(data)
    kinds = []
    for _ in range(rng.randint(1, 4)):
        kind = rng.choice(["flip", "flip", "flip", "zero", "copy", "truncate", "word"])
        kinds.append(kind)
        hot = min(len(data), rng.choice([1 << 12, 1 << 16, 1 << 20, len(data)]))
        if kind == "flip":
            for _ in range(rng.randint(1, 16)):
                i = rng.randrange(hot)
                data[i] ^= 1 << rng.randrange(8)
        elif kind == "word":
            # A field set to an extreme: sizes, counts, cluster numbers.
            i = rng.randrange(max(1, hot - 8))
            width = rng.choice([2, 4, 8])
            value = rng.choice([0, 0xFF, 0x7F, 0x80]) if rng.random() < 0.5 else rng.randrange(256)
            data[i:i + width] = bytes([value]) * width
        elif kind == "zero":
            s = rng.randrange(max(1, hot // 512)) * 512
            data[s:s + 512] = bytes(min(512, len(data) - s))
        elif kind == "copy":
            a = rng.randrange(max(1, hot // 512)) * 512
            b = rng.randrange(max(1, len(data) // 512)) * 512
            data[b:b + 512] = data[a:a + 512]
            data = data[:max(len(data), b + 512)]
        elif kind == "truncate":
            cut = rng.randrange(512, max(513, len(data)))
            data = data[:cut]
    return bytes(data), kinds


def gpt_disk(volume, sector):
    """A GPT disk (protective MBR, primary and backup header and entries) holding `volume` as its one
    basic-data partition, 1 MiB in."""
    entries_bytes = 128 * 128
    entry_sectors = entries_bytes // sector
    first = (1 << 20) // sector
    count = (len(volume) + sector - 1) // sector
    total = first + count + entry_sectors + 1 + 8
    disk = bytearray(total * sector)
    disk[first * sector:first * sector + len(volume)] = volume
    mbr = bytearray(512)
    mbr[446:462] = struct.pack("<BBBBBBBBII", 0, 0, 2, 0, 0xEE, 0xFF, 0xFF, 0xFF, 1, min(total - 1, 0xFFFFFFFF))
    mbr[510:512] = b"\x55\xaa"
    disk[0:512] = mbr
    entry = bytearray(128)
    entry[0:16] = uuid.UUID("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7").bytes_le
    entry[16:32] = uuid.UUID(int=0x5A17E5).bytes_le
    entry[32:48] = struct.pack("<QQ", first, first + count - 1)
    entry[56:56 + 12] = "salvex".encode("utf-16-le")
    entries = bytes(entry) + bytes(entries_bytes - 128)
    crc = zlib.crc32(entries)

    def header(current, backup, table):
        h = bytearray(struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x10000, 92, 0, 0, current, backup,
                                  2 + entry_sectors, total - entry_sectors - 2, uuid.UUID(int=0xD15C).bytes_le,
                                  table, 128, 128, crc))
        h[16:20] = struct.pack("<I", zlib.crc32(bytes(h)))
        return bytes(h)

    disk[sector:sector + 92] = header(1, total - 1, 2)
    disk[2 * sector:2 * sector + entries_bytes] = entries
    backup_table = total - 1 - entry_sectors
    disk[backup_table * sector:backup_table * sector + entries_bytes] = entries
    disk[(total - 1) * sector:(total - 1) * sector + 92] = header(total - 1, 1, backup_table)
    return bytes(disk)


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_KB * 1024, MEMORY_KB * 1024))


def listing(path):
    out = set()
    for base, dirs, files in os.walk(path):
        for name in dirs + files:
            out.add(os.path.relpath(os.path.join(base, name), path))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cli")
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--keep", help="folder that receives the images that failed")
    args = parser.parse_args()

    cli = os.path.abspath(args.cli)
    # An AddressSanitizer build reserves terabytes of address space for its shadow: it is bounded
    # by its own allocation limits instead of ulimit -v.
    ldd = subprocess.run(["ldd", cli], capture_output=True, text=True).stdout
    asan = "libasan" in ldd or "asan" in os.path.basename(os.path.dirname(cli))
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = "detect_leaks=1:abort_on_error=1:max_allocation_size_mb=2048:hard_rss_limit_mb=3072"
    env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    preexec = None if asan else limit_memory

    images = {}
    for name in IMAGES:
        path = os.path.join(FIXTURES, name)
        if os.path.exists(path):
            with gzip.open(path) as f:
                images[name] = f.read()
    for name, volume, sector in GPT_DISKS:
        path = os.path.join(FIXTURES, volume)
        if os.path.exists(path):
            with gzip.open(path) as f:
                images[name] = gpt_disk(f.read(), sector)
    containers = os.path.join(FIXTURES, "containers.tar.xz")
    if os.path.exists(containers):
        with tarfile.open(fileobj=io.BytesIO(lzma.open(containers).read())) as tar:
            for name in CONTAINERS:
                images[name] = tar.extractfile(name).read()
    if not images:
        print("mutate.py: no fixtures found", file=sys.stderr)
        return 1

    rng = random.Random(args.seed)
    started = time.monotonic()
    cases = failures = 0
    tried = collections.Counter()
    failed = collections.Counter()
    sandbox = tempfile.mkdtemp(prefix="salvex-mutation-")
    try:
        while time.monotonic() - started < args.seconds:
            name = rng.choice(sorted(images))
            damaged, kinds = mutate(images[name], rng)
            cases += 1
            tried[name] += 1
            case = os.path.join(sandbox, "case")
            os.mkdir(case)
            # A container is told by its signature, and an E01 set by its name too.
            image = os.path.join(case, "image" + (os.path.splitext(name)[1] if name in CONTAINERS else ".img"))
            with open(image, "wb") as f:
                f.write(damaged)
            target = os.path.join(case, "out")
            commands = [["ls", image, "-r", "-q"], ["ls", image, "-r", "--deleted", "-q"],
                        ["undelete", image, "--to", target, "--overwrite", "all", "-q"],
                        ["lost-data", image, "-q"]]
            before = listing(sandbox)
            problem = None
            for command in commands:
                try:
                    r = subprocess.run(["timeout", str(TIMEOUT), cli] + command, capture_output=True, cwd=case,
                                       env=env, preexec_fn=preexec, timeout=TIMEOUT + 10)
                except subprocess.TimeoutExpired:
                    problem = "hung past the time-out"
                else:
                    err = r.stderr.decode("utf-8", "replace")
                    if r.returncode == 124:
                        problem = "timed out after %d s" % TIMEOUT
                    elif r.returncode < 0 or r.returncode >= 128:
                        problem = "ended by signal (exit %d)" % r.returncode
                    elif any(mark in err for mark in SANITIZER_MARKS):
                        problem = "sanitizer report"
                    if problem:
                        problem += "\n" + err[-4000:]
                if problem:
                    problem = "%s on %s (%s): %s" % (" ".join(command[:1] + command[2:]), name, ",".join(kinds),
                                                    problem)
                    break
            outside = {p for p in listing(sandbox) - before
                       if not p.startswith(os.path.join("case", "out")) and p != os.path.join("case", "out")}
            if not problem and outside:
                problem = "files written outside the target on %s: %s" % (name, sorted(outside)[:5])
            if problem:
                failures += 1
                failed[name] += 1
                print("FAIL case %d: %s" % (cases, problem))
                if args.keep:
                    os.makedirs(args.keep, exist_ok=True)
                    shutil.copy(image, os.path.join(args.keep, "case-%d-%s" % (cases, name.replace(".gz", ""))))
            shutil.rmtree(case, ignore_errors=True)
    finally:
        shutil.rmtree(sandbox, ignore_errors=True)
    for name in sorted(images):
        print("  %-28s %5d damaged, %d failed" % (name.replace(".gz", ""), tried[name], failed[name]))
    print("mutate.py: %d damaged images, %d failed (seed %d)" % (cases, failures, args.seed))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
