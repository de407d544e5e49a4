#!/usr/bin/env python3
"""`save /` of one or more salvex-cli builds against tsk_recover on one image, in interleaved rounds.

Each round runs tsk_recover and then every build once, into a tmpfs (/dev/shm), so that a ratio is
taken under the load of its own round; the median of the rounds is given, for the wall time and for
the processor time (user + system), which a shared, loaded machine disturbs less. The first round is
a warm-up. Meant for comparing a change with the build before it on the bench images.

Usage: bench/save-ab.py IMAGE CLI[,CLI...] [ROUNDS]     (TSK=-a for tsk_recover -a; default -e)
"""
import os, resource, shutil, statistics, subprocess, sys, tempfile, time

image, clis = sys.argv[1], sys.argv[2].split(",")
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 8
mode = os.environ.get("TSK", "-e")
work = tempfile.mkdtemp(prefix="salvex-save-ab-", dir="/dev/shm")


def run(cmd, out, make):
    shutil.rmtree(out, ignore_errors=True)
    if make:
        os.makedirs(out)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    shutil.rmtree(out, ignore_errors=True)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


try:
    subprocess.run(["cat", image], stdout=subprocess.DEVNULL, check=True)  # warm for everyone alike
    print("load before:", os.popen("uptime").read().strip())
    ours = {c: [] for c in clis}
    theirs = []
    for r in range(rounds + 1):
        t = run(["tsk_recover", mode, image, f"{work}/t"], f"{work}/t", False)
        for c in clis:
            s = run([c, "save", image, "--volume", "0", "--quiet", "--to", f"{work}/s", "/"], f"{work}/s", True)
            if r:
                ours[c].append((s[0] / t[0], s[1] / t[1], *s))
        if r:
            theirs.append(t)
    med = lambda xs: statistics.median(xs)
    print(f"tsk_recover {mode}: wall {med(x[0] for x in theirs):.3f} s, cpu {med(x[1] for x in theirs):.3f} s")
    for c in clis:
        v = ours[c]
        print(f"{c}: wall ratio {med(x[0] for x in v):.2f} (rounds {min(x[0] for x in v):.2f}-{max(x[0] for x in v):.2f}),"
              f" cpu ratio {med(x[1] for x in v):.2f}; wall {med(x[2] for x in v):.3f} s, cpu {med(x[3] for x in v):.3f} s")
    print("load after:", os.popen("uptime").read().strip())
finally:
    shutil.rmtree(work, ignore_errors=True)
