#!/usr/bin/env bash
# Files after a quick format of ext4: salvex against PhotoRec.
#
# Builds (cached in bench/.cache) an ext4 volume of SIZE_MIB MiB (default 512) filled by the
# kernel through a loop mount with FILES files in folders (text, zip and raw binary), deletes 30 %
# of them, records what `salvex-cli undelete` gets back of those before the format, then runs
# mkfs.ext4 over the volume with -E nodiscard (a disk that cannot discard: mke2fs would otherwise
# punch the whole image out, and nothing is left for anyone). Counts distinct files of the volume
# (live and deleted before the format) found byte-exact by `salvex-cli lost-data --to` (former
# folders with their names, former inodes, files by content) and by `photorec` over the whole
# volume, with the time each took and the load average. Needs root for the loop mount.
#
# Usage: bench/quickformat-ext.sh [path/to/salvex-cli]    (default: build/salvex-cli)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cli="$(realpath "${1:-$repo/build/salvex-cli}")"
. "$here/lib-photorec.sh"
size_mib="${SIZE_MIB:-512}"
files="${FILES:-6000}"
cache="$here/.cache"
image="$cache/quickformat-ext4-${size_mib}m-${files}.img"
work="$(mktemp -d /tmp/salvex-qfe-XXXXXX)"
cleanup() {
  mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
  rm -rf "$work"
}
trap cleanup EXIT

for tool in mkfs.ext4 photorec python3 sha256sum bc; do
  command -v "$tool" >/dev/null || { echo "bench/quickformat-ext.sh: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "bench/quickformat-ext.sh: no salvex-cli at $cli (build first, or pass its path)" >&2; exit 1; }

if [ ! -f "$image" ] || [ ! -f "$image.all" ] || [ ! -f "$image.deleted" ] || [ ! -f "$image.undelete" ]; then
  [[ $EUID -eq 0 ]] || { echo "bench/quickformat-ext.sh: run as root once, to fill the image through a loop mount" >&2; exit 1; }
  echo "building $image (once)..." >&2
  mkdir -p "$cache"
  tree="$work/tree"
  bench_tree "$tree" "$files" 20261208 salvage block folder entry volume inode extent journal group bitmap image
  rm -f "$image.tmp"
  truncate -s "${size_mib}M" "$image.tmp"
  mkfs.ext4 -q -F -L BEFORE "$image.tmp"
  mkdir -p "$work/mnt"
  mount -o loop "$image.tmp" "$work/mnt"
  cp -r "$tree"/dir* "$work/mnt/"
  (cd "$tree" && find . -type f | sed 's|^\./||' | sort) | python3 -c '
import random, sys
random.seed(7)
names = [l.strip() for l in sys.stdin if l.strip()]
for n in random.sample(names, len(names) * 3 // 10):
    print(n)' > "$work/deleted.txt"
  # Written out first: deleted before writeback, delayed allocation never puts the data on disk.
  sync
  (cd "$work/mnt" && xargs -a "$work/deleted.txt" -d '\n' rm)
  umount "$work/mnt"
  (cd "$tree" && find . -type f -print0 | xargs -0 sha256sum | awk '{print $1}' | sort -u) > "$image.all"
  (cd "$tree" && xargs -a "$work/deleted.txt" -d '\n' sha256sum | awk '{print $1}' | sort -u) > "$image.deleted"
  "$cli" undelete "$image.tmp" --volume 0 --to "$work/undelete" -q >/dev/null 2>&1 || true
  mkdir -p "$work/undelete"
  (cd "$work/undelete" && find . -type f ! -name '*.partial' -print0 | xargs -0 -r sha256sum | awk '{print $1}' | sort -u) \
    | comm -12 - "$image.deleted" | wc -l > "$image.undelete"
  rm -rf "$work/undelete"
  mkfs.ext4 -q -F -L AFTER -E nodiscard "$image.tmp"
  mv "$image.tmp" "$image"
fi

total=$(wc -l < "$image.all")
deleted=$(wc -l < "$image.deleted")
before=$(cat "$image.undelete")

load=$(cut -d' ' -f1-3 /proc/loadavg)
start=$(date +%s.%N)
"$cli" lost-data "$image" --volume 0 --to "$work/salvex" -q >/dev/null 2>"$work/salvex.err" || true
mkdir -p "$work/salvex"
salvex_time=$(echo "$(date +%s.%N) - $start" | bc)
whole_file_hashes "$work/salvex" > "$work/salvex.sha"
salvex_files=$(find "$work/salvex" -type f | wc -l)

photorec_run "$image" "$work"
photorec_time=$PHOTOREC_SECONDS
whole_file_hashes "${PHOTOREC_DIRS[@]}" > "$work/photorec.sha"
photorec_files=$(find "${PHOTOREC_DIRS[@]}" -type f ! -name report.xml 2>/dev/null | wc -l)

echo "ext4 ${size_mib} MiB, $total files written, $deleted of them deleted, then mkfs.ext4 -E nodiscard over the volume"
echo "undelete before the format: $before of $deleted deleted files byte-exact; load average before the runs: $load"
printf '%-10s %12s %14s %10s %9s\n' tool "all exact" "deleted exact" "files out" seconds
for tool in salvex photorec; do
  all=$(comm -12 "$work/$tool.sha" "$image.all" | wc -l)
  del=$(comm -12 "$work/$tool.sha" "$image.deleted" | wc -l)
  out=$([ $tool = salvex ] && echo "$salvex_files" || echo "$photorec_files")
  t=$([ $tool = salvex ] && echo "$salvex_time" || echo "$photorec_time")
  printf '%-10s %12s %14s %10s %9.1f\n' "$tool" "$all/$total" "$del/$deleted" "$out" "$t"
done
