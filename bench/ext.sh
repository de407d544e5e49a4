#!/usr/bin/env bash
# ext4 benchmark against The Sleuth Kit and the physical limits.
#
# Builds once (cached in bench/.cache, never committed) a 2 GiB ext4 image holding about 20,000
# files in 500 folders, 30 % of them deleted (mkfs.ext4, a loop mount, cp of a prepared tree, rm),
# then times in one hyperfine run: listing (fls -r -p / salvex-cli ls -r), the deleted listing
# (fls -r -d -p / salvex-cli ls -r --deleted), saving the whole Root (tsk_recover -e /
# salvex-cli save), and the limits (cat of the image, cp -r of the saved tree). Prints the ratios
# against the targets and the peak memory of each tool.
#
# Needs root for the loop mount while the image is built.
# Usage: bench/ext.sh [path/to/salvex-cli]    (default: build/salvex-cli)
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
trap cleanup EXIT

for tool in hyperfine fls tsk_recover mkfs.ext4 python3 /usr/bin/time; do
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
  # 30 % deleted, chosen with a fixed seed.
  (cd "$tree" && find . -type f | sed 's|^\./||' | sort) | python3 -c '
import random, sys
random.seed(7)
names = [l.strip() for l in sys.stdin if l.strip()]
for n in random.sample(names, len(names) * 3 // 10):
    print(n)' > "$work/deleted.txt"
  (cd "$work/mnt" && xargs -a "$work/deleted.txt" -n 500 rm)
  umount "$work/mnt"
  mv "$image.tmp" "$image"
fi

cd "$work"
cat "$image" > /dev/null  # warm the page cache for every contender alike

# hyperfine takes one --prepare per command, in the order of the commands.
hyperfine --style basic --warmup 1 --runs "${RUNS:-5}" --export-json "$work/times.json" \
  --prepare true -n fls "fls -r -p $image" \
  --prepare true -n ls "$cli ls $image --volume 0 -r" \
  --prepare true -n fls-deleted "fls -r -d -p $image" \
  --prepare true -n ls-deleted "$cli ls $image --volume 0 -r --deleted" \
  --prepare "rm -rf $work/tsk" -n tsk_recover "tsk_recover -e $image $work/tsk" \
  --prepare "rm -rf $work/saved" -n save "$cli save $image --volume 0 --to $work/saved /" \
  --prepare true -n cat "cat $image" \
  --prepare "rm -rf $work/copy; [ -d $work/saved ] || $cli save $image --volume 0 --to $work/saved / >/dev/null" \
  -n cp "cp -r $work/saved $work/copy" >/dev/null

peak() {  # peak resident memory in MiB of one run
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {printf "%.1f", $2 / 1024}'
}
rm -rf "$work/saved" "$work/tsk"
mem_fls=$(peak fls -r -p "$image")
mem_ls=$(peak "$cli" ls "$image" --volume 0 -r)
mem_tsk=$(peak tsk_recover -e "$image" "$work/tsk")
mem_save=$(peak "$cli" save "$image" --volume 0 --to "$work/saved" /)

python3 - "$work/times.json" "$mem_fls" "$mem_ls" "$mem_tsk" "$mem_save" <<'PY'
import json, sys
t = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
mem = dict(zip(["fls", "ls", "tsk_recover", "save"], sys.argv[2:]))
def line(name, a, b, target, better="<="):
    ratio = t[a] / t[b]
    ok = ratio <= target
    print(f"{name:<34} {t[a]*1000:9.1f} ms / {t[b]*1000:9.1f} ms = {ratio:5.2f}x  (target {better} {target}x: {'met' if ok else 'MISSED'})")
print("times are means of hyperfine runs; ratio = salvex / reference")
line("ls -r vs fls -r -p", "ls", "fls", 1.0)
line("ls -r --deleted vs fls -r -d -p", "ls-deleted", "fls-deleted", 1.0)
line("save / vs tsk_recover -e", "save", "tsk_recover", 0.5)
line("save / vs cp -r of the saved tree", "save", "cp", 2.0)
print(f"{'cat of the image':<34} {t['cat']*1000:9.1f} ms")
print("peak memory (MiB): " + ", ".join(f"{k} {v}" for k, v in mem.items()))
PY
