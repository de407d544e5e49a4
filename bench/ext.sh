#!/usr/bin/env bash
# ext4 benchmark against The Sleuth Kit and the physical limits.
#
# Builds once (cached in bench/.cache, never committed) a 2 GiB ext4 image holding about 20,000
# files in 500 folders, 30 % of them deleted (mkfs.ext4, a loop mount, cp of a prepared tree, rm),
# then times in interleaved rounds: listing (fls -r -p / salvex-cli ls -r), the deleted listing
# (fls -r -d -p / salvex-cli ls -r --deleted), saving the whole Root (tsk_recover -e /
# salvex-cli save), and the limits (cat of the image, cp -r of the saved tree). Saves go to a tmpfs
# (/dev/shm) so that the target disk's write-back does not decide. Prints the ratios against the
# targets, the load average around the runs and the peak memory of each tool.
#
# Needs root for the loop mount while the image is built.
# Usage: [RUNS=5] bench/ext.sh [path/to/salvex-cli]    (default: build/salvex-cli)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cli="$(realpath "${1:-$repo/build/salvex-cli}")"
cache="$here/.cache"
image="$cache/ext4-bench.img"
work="$(mktemp -d /tmp/salvex-bench-XXXXXX)"
cleanup() {
  mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
  rm -rf "$work"
}
shm="$(mktemp -d /dev/shm/salvex-bench-XXXXXX)"
trap 'cleanup; rm -rf "$shm"' EXIT

for tool in fls tsk_recover mkfs.ext4 python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench/ext.sh: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "bench/ext.sh: no salvex-cli at $cli (build first, or pass its path)" >&2; exit 1; }

if [ ! -f "$image" ]; then
  echo "building $image (once)..." >&2
  mkdir -p "$cache"
  tree="$work/tree"
  python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(20240607)
for d in range(500):
    folder = os.path.join(root, "folder%03d" % d)
    os.makedirs(folder)
    for f in range(40):
        size = int(random.expovariate(1 / 6000)) + 1
        name = "file-%03d-%02d.%s" % (d, f, random.choice(["txt", "bin", "dat", "jpg"]))
        with open(os.path.join(folder, name), "wb") as out:
            out.write(random.randbytes(size))
PY
  rm -f "$image.tmp"
  truncate -s 2G "$image.tmp"
  mkfs.ext4 -q -F -L BENCH "$image.tmp"
  mkdir -p "$work/mnt"
  mount -o loop "$image.tmp" "$work/mnt"
  cp -r "$tree"/folder* "$work/mnt/"
  # Written out before the deletions, as on a volume in use; without it delayed allocation would
  # never give most of the deleted files blocks at all.
  sync
  # 30 % deleted, chosen with a fixed seed.
  (cd "$tree" && find . -type f | sed 's|^\./||' | sort) | python3 -c '
import random, sys
random.seed(7)
names = [l.strip() for l in sys.stdin if l.strip()]
for n in random.sample(names, len(names) * 3 // 10):
    print(n)' > "$work/deleted.txt"
  (cd "$work/mnt" && xargs -a "$work/deleted.txt" -n 500 rm)
  sync
  umount "$work/mnt"
  mv "$image.tmp" "$image"
fi

cd "$work"
cat "$image" > /dev/null  # warm the page cache for every contender alike

# Each round runs every contender once, the reference just before salvex, so that both meet the
# same load on a shared machine; a ratio is taken within a round and the median of the rounds is
# given. The first round is a warm-up and is not counted.
echo "load before: $(uptime)"
python3 - "$shm" "$image" "$cli" "${RUNS:-5}" <<'PY'
import os, resource, shutil, statistics, subprocess, sys, time
work, image, cli, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
saved, tsk, copy = f"{work}/saved", f"{work}/tsk", f"{work}/copy"
def fresh(*paths):
    for p in paths:
        shutil.rmtree(p, ignore_errors=True)
    subprocess.run(["sync"])
cpu = {}
def timed(cmd, prepare=None):
    if prepare:
        prepare()
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    # The processor time (user + system) as well: on a loaded machine the wall time is mostly waiting.
    cpu[id(cmd)] = (after.ru_utime - used.ru_utime) + (after.ru_stime - used.ru_stime)
    return wall
pairs = [
    ("ls -r vs fls -r -p", ["fls", "-r", "-p", image], [cli, "ls", image, "--volume", "0", "-r"], None, 0.5),
    ("ls -r --deleted vs fls -r -d -p", ["fls", "-r", "-d", "-p", image],
     [cli, "ls", image, "--volume", "0", "-r", "--deleted"], None, 0.5),
    ("save / vs tsk_recover -e", ["tsk_recover", "-e", image, tsk],
     [cli, "save", image, "--volume", "0", "--to", saved, "/"], lambda: fresh(tsk, saved), 0.5),
    ("save / vs cp -r of the saved tree", ["cp", "-r", saved, copy],
     [cli, "save", image, "--volume", "0", "--to", saved, "/"], None, 2.0),
]
ratios = {p[0]: [] for p in pairs}
cpuRatios = {p[0]: [] for p in pairs}
times = {p[0]: ([], []) for p in pairs}
cat = []
for round in range(runs + 1):
    for name, ref, ours, prepare, _ in pairs:
        if name.startswith("save / vs cp"):
            fresh(copy, saved)
            subprocess.run(ours, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            a = timed(ref)
            b = timed(ours, lambda: fresh(saved))
        else:
            a = timed(ref, prepare)
            b = timed(ours, prepare)
        if round:
            cpuRatios[name].append(cpu[id(ours)] / max(cpu[id(ref)], 1e-3))
            ratios[name].append(b / a)
            times[name][0].append(a)
            times[name][1].append(b)
    c = timed(["cat", image])
    if round:
        cat.append(c)
print(f"{runs} rounds; ratio = salvex / reference, median of the rounds (each round runs both under the same load)")
for name, _, _, _, target in pairs:
    r = statistics.median(ratios[name])
    ref, ours = statistics.median(times[name][0]), statistics.median(times[name][1])
    print(f"{name:<34} {ours*1000:9.1f} ms / {ref*1000:9.1f} ms  ratio {r:5.2f}x "
          f"(rounds {min(ratios[name]):.2f}-{max(ratios[name]):.2f}; target <= {target}x: {'met' if r <= target else 'MISSED'})")
print("processor time (user + system), median of the rounds' ratios:")
for name, _, _, _, _ in pairs:
    print(f"  {name:<32} {statistics.median(cpuRatios[name]):5.2f}x")
print(f"{'cat of the image':<34} {statistics.median(cat)*1000:9.1f} ms")
PY
echo "load after: $(uptime)"

peak() {  # peak resident memory in MiB of one run
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {printf "%.1f", $2 / 1024}'
}
rm -rf "$shm/saved" "$shm/tsk" "$shm/copy"
echo "peak memory (MiB): fls $(peak fls -r -p "$image"), ls $(peak "$cli" ls "$image" --volume 0 -r)," \
  "tsk_recover $(peak tsk_recover -e "$image" "$shm/tsk"), save $(peak "$cli" save "$image" --volume 0 --to "$shm/saved" /)"
