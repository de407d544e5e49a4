#!/usr/bin/env bash
# Speed and memory at scale: FAT32 and NTFS volumes with many files (default 100,000 and 1,000,000),
# 30 % of them deleted, built in seconds by bench/scale-fat.py and bench/scale-ntfs.py over mkfs.fat
# and mkntfs (mtools and ntfs-3g take hours for a million files) and checked against fls.
#
# Times in one hyperfine run per volume, each command beside its peer (warm page cache, saves into a
# tmpfs): ls -r / fls -r -p, ls -r --deleted / fls -r -d -p, find / fls -r -p | grep, save / /
# tsk_recover -e (as bench/speed.sh pairs them; -a, which writes only the live files as save / does,
# is shown beside it), undelete / tsk_recover, lost-data --no-files / cat of the image (the read
# limit).
# Then the peak memory of every salvex command (/usr/bin/time -v), and, when two sizes ran, how
# each time grew. Targets: ratio to the peer <= 0.5 (lost-data: <= 2, half of cat's rate), memory
# <= 64 MB, growth <= 1.1 x the growth of the file count.
#
# Usage: bench/scale.sh [path/to/salvex-cli]
#   SCALE_FILES="20000" for a quick try; RUNS=n runs per command (default 2, 1 past 200,000 files);
#   SCALE_CACHE=dir for the images (default /tmp/salvex-scale; sparse, deleted after the run unless
#   KEEP=1); SCALE_FS="fat ntfs"; PEER_TIMEOUT=seconds stops each run of fls and tsk_recover after
#   that long (they grow much faster than linearly: at a million files a run takes many minutes),
#   and its time is then shown as at least that.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cli="$(realpath "${1:-$here/../build/salvex-cli}")"
cache="${SCALE_CACHE:-/tmp/salvex-scale}"
per=1000
mkdir -p "$cache"
for tool in hyperfine fls icat tsk_recover mkfs.fat mkntfs python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench/scale.sh: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
[ -x "$cli" ] || { echo "bench/scale.sh: no salvex-cli at $cli (build first, or pass its path)" >&2; exit 1; }
shm=$(mktemp -d /dev/shm/salvex-scale-XXXXXX)
trap 'rm -rf "$shm"' EXIT

build() {  # fs files -> image path
  local fs=$1 n=$2 img="$cache/scale-$1-$2.img"
  if [ ! -f "$img" ]; then
    echo "building $img ..." >&2
    rm -f "$img.tmp"
    if [ "$fs" = fat ]; then
      mkfs.fat -F 32 -s 8 -n SCALE -C "$img.tmp" $(((n * 6 + 262144) )) >/dev/null
      python3 "$here/scale-fat.py" "$img.tmp" "$n" "$per" 30 >"$img.counts"
    else
      truncate -s $(((n * 3 + 262144) * 1024)) "$img.tmp"
      mkntfs -F -Q -q -c 4096 -L SCALE "$img.tmp" >/dev/null 2>&1
      python3 "$here/scale-ntfs.py" "$img.tmp" "$n" "$per" 30 >"$img.counts"
    fi
    mv "$img.tmp" "$img"
  fi
  # The check, on a sample (fls over the whole volume takes minutes at a million files): fls sees
  # every folder, every entry of three of them, and their files hold what the generator wrote.
  read -r live gone folders <"$img.counts"
  local seen sample inode entries head
  seen=$(fls "$img" 2>/dev/null | grep -c 'Folder-[0-9]*$' || true)
  [ "$seen" = "$folders" ] || { echo "bench/scale.sh: fls sees $seen folders in $img, the generator wrote $folders" >&2; exit 1; }
  for sample in 0 $((folders / 2)) $((folders - 1)); do
    inode=$(fls "$img" 2>/dev/null | awk -v name="$(printf 'Folder-%05d' "$sample")" '$NF == name {print $(NF-1)}' | tr -d ':' | sed 's/-.*//')
    entries=$(fls "$img" "$inode" 2>/dev/null | grep -c 'file-' || true)
    [ "$entries" = "$per" ] || [ "$sample" = $((folders - 1)) ] || { echo "bench/scale.sh: fls sees $entries entries in folder $sample of $img, the generator wrote $per" >&2; exit 1; }
    local lines
    lines=$(fls "$img" "$inode" 2>/dev/null | grep -v '\*' | grep 'file-' | head -3 || true)
    while read -r _ ref name; do
      head=$(icat "$img" "${ref%:}" 2>/dev/null | head -c 20 || true)
      grep -q "scale file 0*${name:5:7}" <<<"$head" ||
        { echo "bench/scale.sh: $name of folder $sample does not hold what was written" >&2; exit 1; }
    done <<<"$lines"
  done
  echo "$img"
}

peak() {  # peak resident memory in MB of one run
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident/ {printf "%.1f", $2 / 1024}'
}

for n in ${SCALE_FILES:-100000 1000000}; do
  runs=${RUNS:-$([ "$n" -gt 200000 ] && echo 1 || echo 2)}
  for fs in ${SCALE_FS:-fat ntfs}; do
    img=$(build "$fs" "$n")
    name="$fs-$n"
    cat "$img" >/dev/null  # the page cache holds the image for every contender alike
    peer=""
    [ -z "${PEER_TIMEOUT:-}" ] || peer="timeout $PEER_TIMEOUT "
    echo "== $name: $(cat "$img.counts" | awk '{print $1 " live, " $2 " deleted files in " $3 " folders"}'); load average $(cut -d' ' -f1-3 /proc/loadavg)"
    hyperfine --style basic --runs "$runs" --ignore-failure --export-json "$cache/$name.json" \
      --prepare true -n fls "${peer}fls -r -p $img >/dev/null" \
      --prepare true -n ls "$cli ls $img -r >/dev/null" \
      --prepare true -n fls-deleted "${peer}fls -r -d -p $img >/dev/null" \
      --prepare true -n ls-deleted "$cli ls $img -r --deleted >/dev/null" \
      --prepare true -n fls-grep "${peer}fls -r -p $img | grep -i '77[^/]*\$' >/dev/null" \
      --prepare true -n find "$cli find $img '*77*' >/dev/null" \
      --prepare "rm -rf $shm/t" -n tsk_recover-e "${peer}tsk_recover -e $img $shm/t >/dev/null" \
      --prepare "rm -rf $shm/s" -n save "$cli save $img --quiet --to $shm/s / >/dev/null" \
      --prepare "rm -rf $shm/s $shm/t" -n tsk_recover-a "${peer}tsk_recover -a $img $shm/t >/dev/null" \
      --prepare "rm -rf $shm/t $shm/s" -n tsk_recover "${peer}tsk_recover $img $shm/t >/dev/null" \
      --prepare "rm -rf $shm/u" -n undelete "$cli undelete $img --quiet --to $shm/u >/dev/null" \
      --prepare "rm -rf $shm/t $shm/u" -n cat "cat $img >/dev/null" \
      --prepare true -n lost-data "$cli lost-data $img --no-files --quiet >/dev/null 2>&1 || true" >/dev/null
    rm -rf "$shm/t" "$shm/s" "$shm/u"
    {
      echo "ls $(peak "$cli" ls "$img" -r)"
      echo "ls-deleted $(peak "$cli" ls "$img" -r --deleted)"
      echo "find $(peak "$cli" find "$img" '*77*')"
      echo "save $(peak "$cli" save "$img" --quiet --to "$shm/s" /)"; rm -rf "$shm/s"
      echo "undelete $(peak "$cli" undelete "$img" --quiet --to "$shm/u")"; rm -rf "$shm/u"
      echo "lost-data $(peak "$cli" lost-data "$img" --no-files --quiet)"
    } >"$cache/$name.mem"
    python3 - "$cache" "$name" "${PEER_TIMEOUT:-0}" <<'PY'
import json, os, sys
cache, name, limit = sys.argv[1], sys.argv[2], float(sys.argv[3])
t = {r["command"]: r["mean"] for r in json.load(open(f"{cache}/{name}.json"))["results"]}
mem = dict(line.split() for line in open(f"{cache}/{name}.mem"))
for ours, theirs, target in [("ls", "fls", 0.5), ("ls-deleted", "fls-deleted", 0.5), ("find", "fls-grep", 0.5),
                             ("save", "tsk_recover-e", 0.5), ("undelete", "tsk_recover", 0.5), ("lost-data", "cat", 2)]:
    ratio = t[ours] / t[theirs]
    m = float(mem[ours])
    # A peer stopped at the time limit took at least that: the ratio is at most what is shown.
    at_most = "<=" if limit and theirs != "cat" and t[theirs] >= limit - 1 else "  "
    if ours == "save":
        # tsk_recover -e also writes the deleted files; -a writes the same files as save /.
        cut = "<=" if limit and t["tsk_recover-a"] >= limit - 1 else "  "
        print(f"  {'save':<10} {t['save']:8.2f} s / {'tsk_recover-a':<13} {t['tsk_recover-a']:8.2f} s = "
              f"{cut}{t['save'] / t['tsk_recover-a']:5.2f}x (the same files; no target)")
    print(f"  {ours:<10} {t[ours]:8.2f} s / {theirs:<13} {t[theirs]:8.2f} s = {at_most}{ratio:5.2f}x (<= {target}: "
          f"{'met' if ratio <= target else 'MISSED'})   peak {m:6.1f} MB ({'met' if m <= 64 else 'MISSED'})")
PY
    [ -n "${KEEP:-}" ] || rm -f "$img" "$img.counts"
  done
done

# Growth between the sizes that ran (from the results of this run and earlier ones in the cache).
python3 - "$cache" "${PEER_TIMEOUT:-0}" ${SCALE_FILES:-100000 1000000} <<'PY'
import json, os, sys
cache, limit, sizes = sys.argv[1], float(sys.argv[2]), sorted(int(s) for s in sys.argv[3:])
if len(sizes) < 2:
    sys.exit(0)
small, big = sizes[0], sizes[-1]
print(f"growth from {small} to {big} files (target <= {1.1 * big / small:.1f}x):")
for fs in ("fat", "ntfs"):
    a, b = f"{cache}/{fs}-{small}.json", f"{cache}/{fs}-{big}.json"
    if not (os.path.exists(a) and os.path.exists(b)):
        continue
    ta = {r["command"]: r["mean"] for r in json.load(open(a))["results"]}
    tb = {r["command"]: r["mean"] for r in json.load(open(b))["results"]}
    # A run stopped at the time limit has no growth to show.
    stopped = lambda c: limit and (ta[c] >= limit - 1 or tb[c] >= limit - 1)
    print("  " + fs + ": " + ", ".join(f"{c} {tb[c] / ta[c]:.1f}x" if not stopped(c) else f"{c} (stopped)" for c in ta))
PY
