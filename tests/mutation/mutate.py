#!/usr/bin/env python3
"""Damages the fixture images at random (fixed seed) and runs the command line over each damaged
image: listing, deleted listing, undelete and the lost-data search. Fails on a sanitizer report,
a crash, a time-out, or a file written outside the target folder.

usage: mutate.py CLI [--seconds N] [--seed S] [--keep DIR]
"""
import argparse
import gzip
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
# Small images with every file system and partition layout the reader knows.
IMAGES = ["fat12.img.gz", "fat16.img.gz", "fat32.img.gz", "ntfs.img.gz", "exfat.img.gz", "demo.img.gz",
          "names-fat.img.gz", "mbr-extended.img.gz", "fat16-quickformat.img.gz"]
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
    if not images:
        print("mutate.py: no fixtures found", file=sys.stderr)
        return 1

    rng = random.Random(args.seed)
    started = time.monotonic()
    cases = failures = 0
    sandbox = tempfile.mkdtemp(prefix="salvex-mutation-")
    try:
        while time.monotonic() - started < args.seconds:
            name = rng.choice(sorted(images))
            damaged, kinds = mutate(images[name], rng)
            cases += 1
            case = os.path.join(sandbox, "case")
            os.mkdir(case)
            image = os.path.join(case, "image.img")
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
                print("FAIL case %d: %s" % (cases, problem))
                if args.keep:
                    os.makedirs(args.keep, exist_ok=True)
                    shutil.copy(image, os.path.join(args.keep, "case-%d-%s" % (cases, name[:-3])))
            shutil.rmtree(case, ignore_errors=True)
    finally:
        shutil.rmtree(sandbox, ignore_errors=True)
    print("mutate.py: %d damaged images, %d failed (seed %d)" % (cases, failures, args.seed))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
