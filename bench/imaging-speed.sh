#!/usr/bin/env bash
# Good-disk read rate of salvex-cli image against dd bs=1M: a 512 MiB image attached read-only as a
# loop device (losetup -r; where that is not permitted, the image file itself, and the script says
# so), each tool copying it to a file, page cache dropped before every run, runs alternated, the
# median of ${RUNS:-5} printed. A block device is read with direct I/O, a file through the page
# cache. Target: salvex-cli at least 90 % of dd's rate. Needs root for losetup and drop_caches.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="${SALVEX_CLI:-$here/build/salvex-cli}"
runs="${RUNS:-5}"
work="$(mktemp -d /tmp/salvex-imaging-speed.XXXXXX)"
loop=""
cleanup() { [[ -n "$loop" ]] && losetup -d "$loop"; rm -rf "$work"; }
trap cleanup EXIT

head -c $((512 << 20)) < <(openssl enc -aes-128-ctr -nosalt -pass pass:salvex-speed -in /dev/zero 2>/dev/null) >"$work/good.img"
source="$work/good.img"
if loop=$(losetup -f --show -r "$work/good.img" 2>/dev/null); then
  source="$loop"
  echo "source: loop device $loop (512 MiB)"
else
  loop=""
  echo "source: the image file (losetup is not permitted here)"
fi

drop() { sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || echo "(page cache not dropped)" >&2; }
seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s.%N); echo "$end - $start" | bc; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
: >"$work/dd.times"
: >"$work/sx.times"
for ((i = 0; i < runs; i++)); do
  rm -f "$work/out.img" "$work/out.map"; drop
  seconds dd if="$source" of="$work/out.img" bs=1M >>"$work/dd.times"
  rm -f "$work/out.img" "$work/out.map"; drop
  seconds "$cli" image "$source" "$work/out.img" --map "$work/out.map" -q >>"$work/sx.times"
done
dd_s=$(median <"$work/dd.times")
sx_s=$(median <"$work/sx.times")
echo "dd bs=1M:         median $dd_s s ($(echo "512 / $dd_s" | bc) MiB/s)"
echo "salvex-cli image: median $sx_s s ($(echo "512 / $sx_s" | bc) MiB/s)"
echo "salvex-cli at $(echo "100 * $dd_s / $sx_s" | bc) % of dd's rate (target >= 90 %)"
