#!/usr/bin/env bash
# Good-disk read rate of salvex-cli image against dd bs=1M: a ${SIZE_MIB:-2048} MiB image attached read-only as a
# loop device that reads its file with direct I/O, as a disk is read, with no second page cache
# under it (losetup -r --direct-io; where that is not permitted, the image file itself, and the
# script says so), each tool copying it to a file in ${OUT_DIR:-a temporary folder} (a tmpfs there takes the
# target's disk out of the figures), the source's cached pages dropped before every run (the image
# file's and the loop device's own, not the whole machine's), the order of the tools turned round
# on every run, the median of ${RUNS:-5} printed with the CPU time (user+sys) and the load average.
# salvex-cli syncs its target before it exits; dd conv=fsync is its like-for-like peer, plain dd
# the one the target is set against. Target: salvex-cli at least 90 % of dd's rate. Needs root for
# losetup and blockdev.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="${SALVEX_CLI:-$here/build/salvex-cli}"
runs="${RUNS:-5}"
# Below a second or two a copy measures process start and page-cache noise more than reading.
mib="${SIZE_MIB:-2048}"
work="$(mktemp -d /tmp/salvex-imaging-speed.XXXXXX)"
out="$(mktemp -d "${OUT_DIR:-$work}/out.XXXXXX")"
loop=""
cleanup() { [[ -n "$loop" ]] && losetup -d "$loop"; rm -rf "$work" "$out"; }
trap cleanup EXIT

head -c $((mib << 20)) < <(openssl enc -aes-128-ctr -nosalt -pass pass:salvex-speed -in /dev/zero 2>/dev/null) >"$work/good.img"
source="$work/good.img"
if loop=$(losetup -f --show -r --direct-io=on "$work/good.img" 2>/dev/null); then
  source="$loop"
  echo "source: loop device $loop ($mib MiB, direct I/O $(cat "/sys/block/${loop#/dev/}/loop/dio" 2>/dev/null || echo '?'))"
else
  loop=""
  echo "source: the image file (losetup is not permitted here)"
fi

drop() {
  rm -f "$out/out.img" "$out/out.map"; sync
  dd if="$work/good.img" iflag=nocache count=0 status=none
  [[ -n "$loop" ]] && blockdev --flushbufs "$loop"
  return 0
}
timed() { # LABEL COMMAND...: appends "wall cpu" to $work/LABEL.times
  local label="$1"; shift
  /usr/bin/time -f "%e %U %S" -o "$work/time.one" "$@" >/dev/null 2>&1 || true
  awk '{ print $1, $2 + $3 }' "$work/time.one" >>"$work/$label.times"
}
run_dd() { timed dd dd if="$source" of="$out/out.img" bs=1M status=none; }
run_ddsync() { timed ddsync dd if="$source" of="$out/out.img" bs=1M conv=fsync status=none; }
run_sx() { timed sx "$cli" image "$source" "$out/out.img" --map "$out/out.map" -q; }
tools=(run_dd run_ddsync run_sx)
: >"$work/dd.times"; : >"$work/ddsync.times"; : >"$work/sx.times"
for ((i = 0; i < runs; i++)); do
  for ((k = 0; k < ${#tools[@]}; k++)); do
    drop; "${tools[(i + k) % ${#tools[@]}]}"
  done
done
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
wall() { cut -d' ' -f1 <"$work/$1.times" | median; }
cpu() { cut -d' ' -f2 <"$work/$1.times" | median; }
dd_s=$(wall dd); ddsync_s=$(wall ddsync); sx_s=$(wall sx)
echo "dd bs=1M:            median $dd_s s ($(echo "$mib / $dd_s" | bc) MiB/s), cpu $(cpu dd) s"
echo "dd bs=1M conv=fsync: median $ddsync_s s ($(echo "$mib / $ddsync_s" | bc) MiB/s), cpu $(cpu ddsync) s"
echo "salvex-cli image:    median $sx_s s ($(echo "$mib / $sx_s" | bc) MiB/s), cpu $(cpu sx) s"
echo "salvex-cli at $(echo "100 * $dd_s / $sx_s" | bc) % of dd's rate, $(echo "100 * $ddsync_s / $sx_s" | bc) % of dd conv=fsync's (target >= 90 %)"
echo "load: $(uptime)"
