#!/usr/bin/env bash
# Deleted files after a quick format of FAT32: salvex against PhotoRec.
#
# Builds (cached in bench/.cache) a FAT32 volume of SIZE_MIB MiB (default 512: the 2 GiB of the
# issue take minutes to fill with mtools on a shared machine; SIZE_MIB=2048 builds that one),
# fills it with FILES files in folders (text, zip and raw binary), deletes 30 % of them, records
# what `salvex-cli undelete` gets back before the format, formats the volume again over itself
# (mkfs.fat, which keeps the data area), and counts byte-exact recoveries of the deleted files:
# `salvex-cli lost-data --to` (folders found, with the deleted entries they still hold, and
# files found by their content) against `photorec` over the whole volume. Prints the counts
# side by side.
#
# Usage: bench/quickformat-fat.sh [path/to/salvex-cli]    (default: build/salvex-cli)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cli="$(realpath "${1:-$repo/build/salvex-cli}")"
. "$here/lib-photorec.sh"
size_mib="${SIZE_MIB:-512}"
files="${FILES:-6000}"
cache="$here/.cache"
image="$cache/quickformat-fat32-${size_mib}m-${files}.img"
work="$(mktemp -d /tmp/salvex-qf-XXXXXX)"
trap 'rm -rf "$work"' EXIT

for tool in mkfs.fat mcopy mdel photorec python3 sha256sum bc; do
  command -v "$tool" >/dev/null || { echo "bench/quickformat-fat.sh: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "bench/quickformat-fat.sh: no salvex-cli at $cli (build first, or pass its path)" >&2; exit 1; }

if [ ! -f "$image" ] || [ ! -f "$image.deleted" ] || [ ! -f "$image.undelete" ]; then
  echo "building $image (once)..." >&2
  mkdir -p "$cache"
  tree="$work/tree"
  bench_tree "$tree" "$files" 20261207 salvage cluster folder entry volume sector chain record table boot image
  rm -f "$image.tmp"
  mkfs.fat -F 32 -n BEFORE -C "$image.tmp" $((size_mib * 1024)) >/dev/null
  export MTOOLS_SKIP_CHECK=1
  (cd "$tree" && mcopy -s -i "$image.tmp" dir* ::/)
  (cd "$tree" && find . -type f | sed 's|^\./||' | sort) | python3 -c '
import random, sys
random.seed(7)
names = [l.strip() for l in sys.stdin if l.strip()]
for n in random.sample(names, len(names) * 3 // 10):
    print(n)' > "$work/deleted.txt"
  sed 's|^|::/|' "$work/deleted.txt" | xargs -n 500 mdel -i "$image.tmp"
  (cd "$tree" && xargs -a "$work/deleted.txt" -d '\n' sha256sum | awk '{print $1}' | sort -u) > "$image.deleted"
  # What undelete gets before the format: the goal's denominator.
  "$cli" undelete "$image.tmp" --to "$work/undelete" -q >/dev/null 2>&1 || true
  (cd "$work/undelete" && find . -type f ! -name '*.partial' -print0 | xargs -0 -r sha256sum | awk '{print $1}' | sort -u) \
    | comm -12 - "$image.deleted" | wc -l > "$image.undelete"
  rm -rf "$work/undelete"
  mkfs.fat -F 32 -n AFTER "$image.tmp" >/dev/null
  mv "$image.tmp" "$image"
fi

deleted=$(wc -l < "$image.deleted")
before=$(cat "$image.undelete")

exact() { # FOLDER...: distinct deleted files found byte-exact in them
  whole_file_hashes "$@" | comm -12 - "$image.deleted" | wc -l
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
start=$(date +%s.%N)
"$cli" lost-data "$image" --to "$work/salvex" -q >/dev/null 2>"$work/salvex.err" || true
salvex_time=$(echo "$(date +%s.%N) - $start" | bc)
salvex=$(exact "$work/salvex")
salvex_files=$(find "$work/salvex" -type f | wc -l)

photorec_run "$image" "$work"
photorec_time=$PHOTOREC_SECONDS
photorec=$(exact "${PHOTOREC_DIRS[@]}")
photorec_files=$(find "${PHOTOREC_DIRS[@]}" -type f ! -name report.xml 2>/dev/null | wc -l)

echo "FAT32 ${size_mib} MiB, $files files, $deleted deleted before a quick format (mkfs.fat over the volume)"
echo "undelete before the format: $before of $deleted deleted files byte-exact (the goal is 85 % of this); load average before the runs: $load"
printf '%-10s %10s %8s %10s %9s\n' tool exact "% goal" "files out" seconds
printf '%-10s %10s %8s %10s %9.1f\n' salvex "$salvex" "$(( before ? salvex * 100 / before : 0 ))" "$salvex_files" "$salvex_time"
printf '%-10s %10s %8s %10s %9.1f\n' photorec "$photorec" "$(( before ? photorec * 100 / before : 0 ))" "$photorec_files" "$photorec_time"
