#!/usr/bin/env bash
# NTFS listing, deleted walk and saving against The Sleuth Kit and the physical limits (cat, cp -r).
# Builds once (cached under $BENCH_CACHE, default /tmp/salvex-bench) a 2 GiB NTFS image with about
# 20,000 files in 500 folders, 30 % of them deleted (mkntfs + an ntfs-3g mount; needs root and
# /dev/fuse), and a volume with one folder of 100,000 entries for the linearity check.
# Usage: bench/ntfs.sh [path/to/salvex-cli]
set -euo pipefail

CLI=$(realpath "${1:-${SALVEX_CLI:-$(dirname "$0")/../build/salvex-cli}}")
CACHE=${BENCH_CACHE:-/tmp/salvex-bench}
IMG=$CACHE/ntfs-2g.img
BIG=$CACHE/ntfs-100k.img
OUT=$CACHE/out
mkdir -p "$CACHE"
for tool in hyperfine fls tsk_recover mkntfs ntfs-3g /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench/ntfs.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$CLI" ] || { echo "bench/ntfs.sh: no salvex-cli at $CLI" >&2; exit 1; }

populate() {  # image, folders, files per folder, delete share in percent, largest file size
  local img=$1 folders=$2 per=$3 del=$4 largest=$5 mnt
  mnt=$(mktemp -d)
  truncate -s 2G "$img"
  mkntfs -F -Q -q -L BENCH "$img"
  ntfs-3g -o big_writes "$img" "$mnt"
  trap 'umount "$mnt" 2>/dev/null || true' EXIT
  python3 - "$mnt" "$folders" "$per" "$del" "$largest" <<'PY'
import os, random, sys
root, folders, per, dele, largest = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rng = random.Random(7)
made = []
for d in range(folders):
    folder = os.path.join(root, f"folder-{d:03d}")
    os.makedirs(folder, exist_ok=True)
    for f in range(per):
        path = os.path.join(folder, f"file-{f:05d}.bin")
        size = min(largest, rng.choice([300, 2000, 9000, 30000, 70000]) + rng.randrange(1000))
        with open(path, "wb") as fh:
            fh.write(rng.randbytes(size))
        made.append(path)
for path in rng.sample(made, len(made) * dele // 100):
    os.remove(path)
PY
  umount "$mnt"
  trap - EXIT
  rmdir "$mnt"
}

[ -f "$IMG" ] || { echo "building $IMG ..."; populate "$IMG.tmp" 500 40 30 100000; mv "$IMG.tmp" "$IMG"; }
[ -f "$BIG" ] || { echo "building $BIG ..."; populate "$BIG.tmp" 1 100000 0 200; mv "$BIG.tmp" "$BIG"; }

rm -rf "$OUT"
mkdir -p "$OUT"
json=$CACHE/results.json
hyperfine --warmup 1 --runs 5 --export-json "$CACHE/list.json" \
  -n "fls -r -p" "fls -r -p $IMG >/dev/null" \
  -n "salvex ls -r" "$CLI ls $IMG --volume 0 -r >/dev/null" \
  -n "fls -r -d -p" "fls -r -d -p $IMG >/dev/null" \
  -n "salvex ls -r --deleted" "$CLI ls $IMG --volume 0 -r --deleted >/dev/null" \
  -n "cat image" "cat $IMG >/dev/null"
hyperfine --runs 3 --export-json "$CACHE/save.json" \
  -n "tsk_recover -e" --prepare "rm -rf $OUT/tsk" "tsk_recover -e $IMG $OUT/tsk >/dev/null" \
  -n "salvex save /" --prepare "rm -rf $OUT/sx" "$CLI save $IMG --volume 0 --overwrite all --to $OUT/sx / >/dev/null 2>&1"
hyperfine --runs 3 --export-json "$CACHE/copy.json" --prepare "rm -rf $OUT/cp" \
  -n "cp -r saved" "cp -r $OUT/sx $OUT/cp"
python3 -c 'import json,sys; print(json.dumps({"results": sum((json.load(open(f))["results"] for f in sys.argv[2:]), [])}))' \
  x "$CACHE/list.json" "$CACHE/save.json" "$CACHE/copy.json" >"$json"

python3 - "$json" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
def ratio(a, b, target, rule):
    v = r[a] / r[b]
    ok = v <= target
    print(f"{a:24s} / {b:16s} = {v:5.2f}  (target {rule} {target}: {'met' if ok else 'MISSED'})")
ratio("salvex ls -r", "fls -r -p", 1.0, "<=")
ratio("salvex ls -r --deleted", "fls -r -d -p", 1.0, "<=")
ratio("salvex save /", "tsk_recover -e", 0.5, "<=")
ratio("salvex save /", "cp -r saved", 2.0, "<=")
PY

echo "peak memory (maximum resident set size, KiB):"
for cmd in "$CLI ls $IMG --volume 0 -r" "$CLI ls $IMG --volume 0 -r --deleted" "fls -r -p $IMG"; do
  kib=$(/usr/bin/time -v $cmd 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}')
  echo "  $kib  $cmd"
done

echo "one folder of 100,000 entries (linear listing):"
hyperfine --warmup 1 --runs 3 -N \
  -n "salvex ls (100k folder)" "$CLI ls $BIG --volume 0 --path folder-000" \
  -n "fls (100k folder)" "fls -p $BIG 64"
