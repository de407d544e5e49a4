#!/usr/bin/env bash
# Throughput of the lost-drive search (salvex-cli lost-drives) over a 2 GiB disk image with two lost
# partitions, against cat of the same image (the read limit of the machine) and TestDisk's partition
# search in batch mode (testdisk /log /cmd IMAGE analyze,search: the quick search; a second "search"
# runs the deeper one; both run without a prompt and list what they found in testdisk.log); peak
# memory from /usr/bin/time -v. TestDisk's searches test only the sectors at cylinder and head
# boundaries where partitions usually start, not every sector, so its rows show what that shortcut
# costs and finds, not a throughput to compare with.
# The image is built once and cached in ${BENCH_CACHE:-/tmp/salvex-bench}: an MBR disk with a FAT32
# partition (1 GiB, 4 KiB clusters) and an NTFS partition (about 1 GiB), each filled with about 400 MiB
# of random and text files in folders, then the MBR's four entries zeroed. Needs root and FUSE for the
# NTFS filling (without them the NTFS partition stays empty).
# The page cache is warmed before each run, so the figures compare processing speed, not the disk.
# Target: at least 50 % of cat's throughput (reading ahead on one thread, sectors tested on every
# core; the --threads 1 line shows what the cores add).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="${SALVEX_CLI:-$here/build/salvex-cli}"
cache="${BENCH_CACHE:-/tmp/salvex-bench}"
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1

img="$cache/lost-drives-2g.img"
fat_start=2048 fat_size=2097152 ntfs_start=2099200 ntfs_size=2093056

fill() { # PUT MKDIR: 8 folders of 6 random blobs (8 MiB) and 20 text files each
  local put="$1" mk="$2" f i k
  for ((f = 0; f < 8; f++)); do
    "$mk" "Folder$f"
    for ((i = 0; i < 6; i++)); do
      head -c $((8 << 20)) /dev/urandom >"$cache/blob.bin"
      "$put" "$cache/blob.bin" "Folder$f/blob$i.bin"
    done
    for ((k = 0; k < 20; k++)); do
      head -c 200000 /dev/urandom | base64 >"$cache/text.txt"
      "$put" "$cache/text.txt" "Folder$f/notes-$k.txt"
    done
  done
  rm -f "$cache/blob.bin" "$cache/text.txt"
}

if [[ ! -f "$img" ]]; then
  echo "building $img (once)..."
  rm -f "$img.tmp"
  truncate -s 2G "$img.tmp"
  sfdisk --quiet --no-reread --no-tell-kernel "$img.tmp" <<LAYOUT
label: dos
unit: sectors
start=$fat_start, size=$fat_size, type=c
start=$ntfs_start, size=$ntfs_size, type=7
LAYOUT
  mkfs.fat --offset=$fat_start -F 32 -s 8 -n BENCHLOST "$img.tmp" $((fat_size / 2)) >/dev/null 2>&1
  mvol="$img.tmp@@$((fat_start * 512))"
  fat_put() { mcopy -i "$mvol" "$1" "::$2"; }
  fat_mkdir() { mmd -i "$mvol" "::$1"; }
  fill fat_put fat_mkdir
  if command -v ntfs-3g >/dev/null && [[ $(id -u) == 0 ]]; then
    part="$cache/ntfs-part.img"
    truncate -s $((ntfs_size * 512)) "$part"
    mkntfs -q -F -f -c 4096 -p $ntfs_start -H 255 -S 63 -L BENCHNTFS "$part" >/dev/null 2>&1
    mnt="$cache/mnt"; mkdir -p "$mnt"
    ntfs-3g "$part" "$mnt"
    ntfs_put() { cp "$1" "$mnt/$2"; }
    ntfs_mkdir() { mkdir -p "$mnt/$1"; }
    fill ntfs_put ntfs_mkdir
    sync; umount "$mnt"
    dd if="$part" of="$img.tmp" bs=1M seek=$((ntfs_start * 512)) oflag=seek_bytes conv=notrunc status=none
    rm -f "$part"
  fi
  dd if=/dev/zero of="$img.tmp" bs=1 seek=446 count=64 conv=notrunc status=none
  mv "$img.tmp" "$img"
fi

size=$(stat -c %s "$img")
measure() { # LABEL COMMAND...: prints seconds, MiB/s, CPU seconds (user+sys), peak RSS; the output
  # goes to $cache/LABEL.out (cat's to /dev/null: writing 2 GiB to a file is not the read limit)
  local label="$1" log="$cache/time.log" out; shift
  out="$cache/${label%% *}.out"
  [[ "$label" == cat ]] && out=/dev/null
  cat "$img" >/dev/null  # warm the page cache
  (cd "$cache" && /usr/bin/time -v "$@" >"$out" 2>"$log") || true
  local wall rss cpu
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$log")
  cpu=$(awk -F': ' '/(User|System) time/ { s += $2 } END { print s }' "$log")
  rss=$(awk -F': ' '/Maximum resident/ { print $2 }' "$log")
  [[ "$wall" == 0 || "$wall" == 0.00 ]] && wall=0.01
  printf '%-24s %8.2f s %9.1f MiB/s %6.2f s cpu %9d KiB peak\n' "$label" "$wall" "$(echo "$size / 1048576 / $wall" | bc -l)" "$cpu" "$rss"
  echo "$wall" >"$cache/last"
}

echo "== $(basename "$img") ($((size >> 20)) MiB; lost FAT32 at $fat_start, lost NTFS at $ntfs_start)"
measure "cat" cat "$img"; tcat=$(cat "$cache/last")
measure "salvex --threads 1" "$cli" lost-drives --threads 1 "$img"
measure "salvex lost-drives" "$cli" lost-drives "$img"; tsx=$(cat "$cache/last")
if command -v testdisk >/dev/null; then
  # Quick search (cylinder boundaries only), then the deeper search that a second "search" runs.
  rm -f "$cache/testdisk.log"
  measure "testdisk quick" testdisk /log /cmd "$img" analyze,search </dev/null
  ttd=$(cat "$cache/last")
  rm -f "$cache/testdisk.log"
  measure "testdisk deeper" testdisk /log /cmd "$img" analyze,search,search </dev/null
  ttdd=$(cat "$cache/last")
fi
echo "-- salvex found:"
cat "$cache/salvex.out"
printf 'salvex vs cat: %.0f %% of its throughput (target: at least 50 %%)\n' "$(echo "100 * $tcat / $tsx" | bc -l)"
echo "load: $(uptime)"
if [[ -n "${ttd:-}" ]]; then
  echo "-- testdisk deeper search found (it reads only the sectors where partitions usually start):"
  awk '/^interface_write/ { n++ } n == 2 && /^ *[0-9]+ [*PLE] / { print }' "$cache/testdisk.log"
  printf 'salvex time / testdisk time: quick %.1fx, deeper %.1fx\n' "$(echo "$tsx / $ttd" | bc -l)" "$(echo "$tsx / $ttdd" | bc -l)"
fi
exit 0
