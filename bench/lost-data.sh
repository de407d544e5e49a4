#!/usr/bin/env bash
# Throughput of the lost-data searches over 2 GiB volumes against cat (the read limit of the machine)
# and PhotoRec in batch mode over the same image; peak memory from /usr/bin/time -v.
# The images are built once and cached in ${BENCH_CACHE:-/tmp/salvex-bench-lostdata}: a FAT32 volume filled with
# random data and pictures/archives/documents, every file deleted and the volume quick-formatted; an
# NTFS volume filled the same way with its files deleted (needs root and FUSE for ntfs-3g).
# Targets: at least PhotoRec's throughput and at least 50 % of cat's.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="${SALVEX_CLI:-$here/build/salvex-cli}"
cache="${BENCH_CACHE:-/tmp/salvex-bench-lostdata}"
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1

samples() { # DIR: one file of each content type, made by the carving fixture's recipe
  local d="$1"
  [[ -f "$d/picture.jpg" ]] && return 0
  mkdir -p "$d"
  (cd "$d" && convert -seed 3 -size 400x300 plasma:fractal p.miff && for e in jpg png gif bmp tif; do convert p.miff -strip "picture.$e"; done
   sox -n -r 44100 -c 2 -b 16 music.wav synth 4 sine 330 sine 550 && lame --quiet -b 128 music.wav music.mp3
   head -c 300000 /dev/urandom | base64 >notes.txt && zip -q -X archive.zip notes.txt picture.bmp
   tar --format=ustar -cf archive.tar notes.txt picture.bmp && rm -f p.miff)
}

fill() { # TARGET_WRITER DIR: ~1.6 GiB of files, one planted sample between random blocks
  local put="$1" d="$2" i s
  for ((i = 0; i < 160; i++)); do
    head -c $((8 << 20)) /dev/urandom >"$cache/blob.bin"
    "$put" "$cache/blob.bin" "blob$i.bin"
    for s in "$d"/*.*; do "$put" "$s" "s${i}_$(basename "$s")"; done
  done
  rm -f "$cache/blob.bin"
}

fat_img="$cache/fat32-2g.img"
if [[ ! -f "$fat_img" ]]; then
  samples "$cache/samples"
  rm -f "$fat_img"
  mkfs.fat -C -F 32 -s 8 -n BENCHFAT "$fat_img" $((2 << 20)) >/dev/null
  fat_put() { mcopy -i "$fat_img" "$1" "::$2"; }
  fill fat_put "$cache/samples"
  mdel -i "$fat_img" '::*' 2>/dev/null || true
  mkfs.fat -F 32 -s 8 -n BENCHFAT "$fat_img" >/dev/null
fi

ntfs_img="$cache/ntfs-2g.img"
if [[ ! -f "$ntfs_img" ]] && command -v ntfs-3g >/dev/null && [[ $(id -u) == 0 ]]; then
  samples "$cache/samples"
  truncate -s 2G "$ntfs_img.tmp"
  mkntfs -q -F -f -c 4096 "$ntfs_img.tmp" >/dev/null 2>&1
  mnt="$cache/mnt"; mkdir -p "$mnt"
  if ntfs-3g "$ntfs_img.tmp" "$mnt"; then
    ntfs_put() { cp "$1" "$mnt/$2"; }
    fill ntfs_put "$cache/samples"
    rm -f "$mnt"/*
    sync; umount "$mnt"
    mv "$ntfs_img.tmp" "$ntfs_img"
  fi
fi

measure() { # LABEL COMMAND...: prints seconds, MB/s, peak RSS
  local label="$1" log="$cache/time.log" bytes="$2"; shift 2
  sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true
  /usr/bin/time -v "$@" >/dev/null 2>"$log" || true
  local wall rss
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$log")
  rss=$(awk -F': ' '/Maximum resident/ { print $2 }' "$log")
  printf '%-28s %8.2f s %9.1f MB/s %9d KiB peak\n' "$label" "$wall" "$(echo "$bytes / 1048576 / $wall" | bc -l)" "$rss"
  echo "$wall" >"$cache/last"
}

for img in "$fat_img" "$ntfs_img"; do
  [[ -f "$img" ]] || { echo "skipped $(basename "$img") (not built)"; continue; }
  size=$(stat -c %s "$img")
  echo "== $(basename "$img") ($((size >> 20)) MiB)"
  measure "cat" "$size" cat "$img"; tcat=$(cat "$cache/last")
  rm -rf "$cache/pr"
  (cd "$cache" && measure "photorec (batch)" "$size" photorec /log /d "$cache/pr" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search)
  tpr=$(cat "$cache/last"); rm -rf "$cache"/pr*
  measure "salvex lost-data" "$size" "$cli" lost-data "$img" --volume 0; tsx=$(cat "$cache/last")
  # The folder search alone, warm: the processing rate against cat's.
  cat "$img" >/dev/null; start=$(date +%s.%N); cat "$img" >/dev/null; wcat=$(echo "$(date +%s.%N) - $start" | bc -l)
  start=$(date +%s.%N); "$cli" lost-data "$img" --volume 0 --no-files -q >/dev/null 2>&1 || true
  wsx=$(echo "$(date +%s.%N) - $start" | bc -l)
  printf 'warm: cat %.2f s, lost-data --no-files %.2f s = %.0f %% of cat'"'"'s rate (target: at least 50 %%)\n' "$wcat" "$wsx" "$(echo "100 * $wcat / $wsx" | bc -l)"
  printf 'salvex vs cat: %.0f %% of its throughput; vs photorec: %.2fx\n' "$(echo "100 * $tcat / $tsx" | bc -l)" "$(echo "$tpr / $tsx" | bc -l)"
done
