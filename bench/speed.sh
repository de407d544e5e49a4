#!/usr/bin/env bash
# The speed targets in one table: listing, saving everything and undeleting on the 2 GiB FAT32 and
# NTFS benchmark images, side by side with The Sleuth Kit in the same hyperfine run, saved into a
# tmpfs (/dev/shm) so that the target disk's write-back does not decide. Targets: listings at most
# 0.5x fls, save and undelete at most 0.5x tsk_recover. Builds the images once through bench/fat.sh
# and bench/ntfs.sh when they are missing.
# Usage: bench/speed.sh [path/to/salvex-cli]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cli="$(realpath "${1:-$here/../build/salvex-cli}")"
fat="$here/.cache/fat32-bench.img"
ntfs="${BENCH_CACHE:-/tmp/salvex-bench}/ntfs-2g.img"
[ -f "$fat" ] || "$here/fat.sh" "$cli" >/dev/null
[ -f "$ntfs" ] || "$here/ntfs.sh" "$cli" >/dev/null
shm=$(mktemp -d /dev/shm/salvex-speed-XXXXXX)
trap 'rm -rf "$shm"' EXIT
runs=${RUNS:-3}

for image in "$fat" "$ntfs"; do
  name=$(basename "$image" .img)
  cat "$image" >/dev/null  # the page cache holds the image for every contender alike
  # hyperfine takes one --prepare per command, in the order of the commands. undelete exits 1 when
  # some deleted files come back partial (their clusters were given out again), as on these images.
  hyperfine --style basic --runs "$runs" --export-json "$shm/$name.json" \
    --prepare true -n fls "fls -r -p $image >/dev/null" \
    --prepare true -n ls "$cli ls $image -r >/dev/null" \
    --prepare true -n fls-deleted "fls -r -d -p $image >/dev/null" \
    --prepare true -n ls-deleted "$cli ls $image -r --deleted >/dev/null" \
    --prepare "rm -rf $shm/t" -n tsk_recover-e "tsk_recover -e $image $shm/t >/dev/null" \
    --prepare "rm -rf $shm/s" -n save "$cli save $image --quiet --to $shm/s / >/dev/null" \
    --prepare "rm -rf $shm/t" -n tsk_recover "tsk_recover $image $shm/t >/dev/null" \
    --prepare "rm -rf $shm/u" -n undelete "$cli undelete $image --quiet --to $shm/u >/dev/null || test \$? -eq 1" >/dev/null
  rm -rf "$shm/t" "$shm/s" "$shm/u"
  python3 - "$shm/$name.json" "$name" <<'PY'
import json, sys
t = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
print(sys.argv[2])
for ours, theirs, target in [("ls", "fls", 0.5), ("ls-deleted", "fls-deleted", 0.5),
                             ("save", "tsk_recover-e", 0.5), ("undelete", "tsk_recover", 0.5)]:
    ratio = t[ours] / t[theirs]
    print(f"  {ours:<11} {t[ours]*1000:9.1f} ms / {theirs:<14} {t[theirs]*1000:9.1f} ms = {ratio:5.2f}x"
          f"  (target <= {target}x: {'met' if ratio <= target else 'MISSED'})")
PY
done
