#!/usr/bin/env bash
# salvex-cli image against GNU ddrescue (-r3) on the same failing disk: tests/faildisk serves a
# 64 MiB image through FUSE with bad ranges (EIO every time), weak sectors (EIO a set number of
# times, then good) and a slow area, and counts the reads each tool makes. Printed: bytes rescued
# and reads of each; then the checks that the rescued ranges of our image equal the source, that a
# run killed part way (SIGKILL) goes on from its map to the same map and image, and that ddrescue
# takes our map (ddrescuelog reads it, ddrescue continues it without reading a finished byte).
# Target: at least ddrescue's bytes with no more than 1.5 times its reads. Needs root (or FUSE
# rights), /dev/fuse, gddrescue, and a build with tests/faildisk (libfuse3-dev).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SALVEX_BUILD_DIR:-$here/build}"
cli="${SALVEX_CLI:-$build/salvex-cli}"
faildisk="${SALVEX_FAILDISK:-$build/tests/salvex-faildisk}"
work="$(mktemp -d /tmp/salvex-imaging.XXXXXX)"
mnt="$work/mnt"
mkdir -p "$mnt"
cleanup() { umount "$mnt" 2>/dev/null || fusermount3 -u "$mnt" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

for tool in ddrescue ddrescuelog; do command -v $tool >/dev/null || { echo "needs $tool (gddrescue)"; exit 1; }; done
[[ -x "$faildisk" ]] || { echo "needs $faildisk (build with libfuse3-dev)"; exit 1; }
[[ -e /dev/fuse ]] || { echo "needs /dev/fuse"; exit 1; }

src="$work/source.img"
head -c $((64 << 20)) < <(openssl enc -aes-128-ctr -nosalt -pass pass:salvex-imaging -in /dev/zero 2>/dev/null) >"$src"
# Sectors (512 bytes): bad ranges of 100, 4, 512, 1 and 37 sectors; weak sectors that fail 1, 2
# and 3 times; a slow area of 40000 sectors (50 ms a read).
faults=(--bad 20000-20099 --bad 50000-50003 --bad 90000-90511 --bad 100001-100001 --bad 120000-120036
        --weak 30000-30007:1 --weak 70000-70003:2 --weak 110000-110000:3 --slow 40000-79999:50)

mount_disk() { "$faildisk" "$src" "$mnt" "${faults[@]}"; }
unmount_disk() { umount "$mnt" 2>/dev/null || fusermount3 -u "$mnt"; }
reads() { awk '/^reads/ {print $2}' "$mnt/stats"; }

mount_disk
before=$(reads)
ddrescue -q -r3 "$mnt/disk" "$work/dd.img" "$work/dd.map" || true
dd_reads=$(($(reads) - before))
unmount_disk

mount_disk
before=$(reads)
"$cli" image "$mnt/disk" "$work/sx.img" --map "$work/sx.map" --retries 3 --json >"$work/sx.json" || true
sx_reads=$(($(reads) - before))
unmount_disk

dd_rescued=$(ddrescuelog -t "$work/dd.map" | awk '/rescued:/ {print}' | head -1)
sx_bytes=$(python3 -c "import json; print(json.load(open('$work/sx.json'))['image']['rescued'])")
dd_bytes=$(python3 - "$work/dd.map" <<'PY'
import sys
n = 0
lines = [l.split() for l in open(sys.argv[1]) if l.strip() and not l.startswith('#')]
for pos, size, status in (l[:3] for l in lines[1:]):
    if status == '+': n += int(size, 0)
print(n)
PY
)
echo "ddrescue -r3:           rescued $dd_bytes bytes, $dd_reads reads ($dd_rescued)"
echo "salvex-cli --retries 3: rescued $sx_bytes bytes, $sx_reads reads"
python3 -c "print('reads ratio %.2f (target <= 1.5), bytes %s ddrescue\'s' % ($sx_reads / $dd_reads, '>=' if $sx_bytes >= $dd_bytes else '<'))"

# The rescued ranges of the image are the source's bytes.
python3 - "$src" "$work/sx.img" "$work/sx.map" <<'PY'
import sys
src, img = open(sys.argv[1], 'rb'), open(sys.argv[2], 'rb')
lines = [l.split() for l in open(sys.argv[3]) if l.strip() and not l.startswith('#')]
bad = 0
for pos, size, status in (l[:3] for l in lines[1:]):
    if status != '+': continue
    pos, size = int(pos, 0), int(size, 0)
    src.seek(pos); img.seek(pos)
    if src.read(size) != img.read(size): bad += 1
print('rescued ranges equal to the source:', 'yes' if bad == 0 else 'NO (%d differ)' % bad)
sys.exit(1 if bad else 0)
PY

# Killed part way (the slow area makes the run long enough), then run again to the end.
mount_disk
"$cli" image "$mnt/disk" "$work/cut.img" --map "$work/cut.map" --retries 3 -q >/dev/null 2>&1 &
pid=$!
sleep 7
kill -KILL $pid 2>/dev/null || echo "(the run ended before it could be killed)"
wait $pid 2>/dev/null || true
echo "killed with $(ddrescuelog -t "$work/cut.map" | awk '/rescued:/ {print $2, $3}') rescued"
"$cli" image "$mnt/disk" "$work/cut.img" --map "$work/cut.map" --retries 3 -q >/dev/null || true
unmount_disk
strip() { sed '/^#/d' "$1"; }
if cmp -s "$work/cut.img" "$work/sx.img" && diff <(strip "$work/cut.map") <(strip "$work/sx.map") >/dev/null; then
  echo "interrupted run resumed to the same map and image: yes"
else
  echo "interrupted run resumed to the same map and image: NO"
fi

# ddrescue takes our map: ddrescuelog reads it, and ddrescue continues it (-r0: no retries, so a
# finished map needs no read at all).
ddrescuelog -t "$work/sx.map" >/dev/null && echo "ddrescuelog reads our map: yes"
cp "$work/sx.map" "$work/sx-dd.map"
mount_disk
before=$(reads)
ddrescue -q -r0 "$mnt/disk" "$work/sx.img" "$work/sx-dd.map" || true
echo "ddrescue continuing our map read $(($(reads) - before)) times (bad sectors are not retried with -r0)"
unmount_disk
