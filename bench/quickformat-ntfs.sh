#!/usr/bin/env bash
# Recovery after a quick format of NTFS: a volume is filled through ntfs-3g with a tree of folders and
# files (texts, random data, small PDFs; a share deleted and the rest written into the gaps, so files
# fragment), the sha256 of every live file is recorded with its path, the volume is formatted again
# with `mkntfs -Q`, then `salvex-cli lost-data IMAGE --to DIR` and PhotoRec recover what they can.
# Prints, side by side, how many live files each gives back byte-exact, with their path (Salvex) and
# by content anywhere (both), and the time each took.
#   SIZE (default 2G), FILES (default 19863), KEEP=1 keeps the work folder; AFTER=N writes N files of
#   1 MiB to a copy of the formatted volume first (its MFT grows over the first former records, its
#   data over former files: those are then found below "MFT N" or reported poor).
# Needs root (FUSE), ntfs-3g, photorec (Debian testdisk), python3. The image is cached in
# ${BENCH_CACHE:-/tmp/salvex-bench-quickformat-ntfs}; delete it to rebuild.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="${SALVEX_CLI:-$here/build/salvex-cli}"
size="${SIZE:-2G}"
files="${FILES:-19863}"
cache="${BENCH_CACHE:-/tmp/salvex-bench-quickformat-ntfs}"
img="$cache/ntfs-$size-$files.img"
live="$cache/ntfs-$size-$files.live"  # sha256 <TAB> path of every live file before the format
mkdir -p "$cache"
[[ $(id -u) == 0 ]] || { echo "run as root: the volume is filled through an ntfs-3g mount" >&2; exit 1; }
for t in mkntfs ntfs-3g photorec python3; do command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 1; }; done

if [[ ! -f "$img" ]]; then
  echo "building $img ($size, $files files)..."
  rm -f "$img.tmp"
  truncate -s "$size" "$img.tmp"
  mkntfs -q -F -f -c 4096 -L BEFORE "$img.tmp" >/dev/null 2>&1
  mnt="$cache/mnt"
  mkdir -p "$mnt"
  ntfs-3g "$img.tmp" "$mnt"
  trap 'umount "$mnt" 2>/dev/null || true' EXIT
  python3 - "$mnt" "$files" "$live" <<'EOF'
import hashlib, os, random, sys
mnt, total, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random(20261207)
words = "alpha beta gamma delta report budget minutes draft final invoice photo notes".split()
# A tree of folders three levels deep, some with long names and non-ASCII characters.
folders = [""]
for a in range(24):
    top = f"/{rng.choice(words).title()} {a:02d}" + (" Übersicht" if a % 7 == 3 else "")
    folders.append(top)
    for b in range(rng.randint(2, 6)):
        mid = f"{top}/{rng.choice(words)}-{b}"
        folders.append(mid)
        for c in range(rng.randint(0, 3)):
            folders.append(f"{mid}/level3 {c} {'x' * rng.randint(1, 40)}")
for f in folders[1:]:
    os.mkdir(mnt + f)

def size_of():
    r = rng.random()
    if r < 0.25: return rng.randint(0, 700)          # resident in its record
    if r < 0.80: return rng.randint(701, 32 << 10)
    if r < 0.97: return rng.randint(32 << 10, 256 << 10)
    return rng.randint(256 << 10, 2 << 20)

def content(kind, n, seed):
    if kind == "bin":
        return random.Random(seed).randbytes(n)
    if kind == "pdf":
        body = b"%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\n"
        fill = (f"% {seed} " * (n // 8 + 1)).encode()[: max(0, n - len(body) - 6)]
        return body + fill + b"\n%%EOF"
    line = f"{seed} the quick brown fox jumps over the lazy dog\n".encode()
    return (line * (n // len(line) + 1))[:n]

written = {}
def write(i):
    kind = rng.choice(["txt", "txt", "bin", "bin", "pdf"])
    path = f"{rng.choice(folders)}/file-{i:05d}-{rng.choice(words)}.{kind}"
    data = content(kind, size_of(), i)
    with open(mnt + path, "wb") as fh:
        fh.write(data)
    written[path] = hashlib.sha256(data).hexdigest()

first = int(total * 0.8)
for i in range(first):
    write(i)
# Delete a share, then write the rest into the gaps: later files fragment.
for path in rng.sample(sorted(written), int(total * 0.3)):
    os.remove(mnt + path)
    del written[path]
for i in range(first, total):
    write(i)
with open(out, "w") as fh:
    for path in sorted(written):
        fh.write(f"{written[path]}\t{path}\n")
print(f"  {total} files written, {len(written)} live, {len(folders) - 1} folders")
EOF
  sync
  umount "$mnt"
  trap - EXIT
  mkntfs -Q -q -F -c 4096 -L AFTER "$img.tmp" >/dev/null 2>&1
  mv "$img.tmp" "$img"
fi

work="$(mktemp -d "$cache/run.XXXXXX")"
[[ -n "${KEEP:-}" ]] || trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
nlive=$(wc -l <"$live")
run_img="$img"
if [[ -n "${AFTER:-}" ]]; then
  run_img="$work/after.img"
  cp --sparse=always "$img" "$run_img"
  mkdir -p "$work/mnt"
  ntfs-3g "$run_img" "$work/mnt"
  for ((i = 0; i < AFTER; i++)); do head -c 1048576 /dev/urandom >"$work/mnt/after-$i.bin"; done
  sync
  umount "$work/mnt"
  echo "wrote $AFTER files of 1 MiB to the formatted volume"
fi

start=$(date +%s.%N)
"$cli" lost-data "$run_img" --to "$work/salvex" -q >"$work/salvex.log" 2>&1 || true
tsx=$(echo "$(date +%s.%N) - $start" | bc)

start=$(date +%s.%N)
(cd "$work" && photorec /log /d "$work/pr" /cmd "$run_img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search \
  >/dev/null 2>&1) || true
tpr=$(echo "$(date +%s.%N) - $start" | bc)

python3 - "$live" "$work" "$nlive" "$tsx" "$tpr" <<'EOF'
import collections, hashlib, os, sys
live_file, work, nlive, tsx, tpr = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
live = [l.rstrip("\n").split("\t", 1) for l in open(live_file, encoding="utf-8")]
def hashes(top):
    out = {}
    for d, _, names in os.walk(top):
        for n in names:
            p = os.path.join(d, n)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, top)] = hashlib.sha256(fh.read()).hexdigest()
    return out
sx = hashes(os.path.join(work, "salvex"))
pr = {}
for d in sorted(os.listdir(work)):
    if d.startswith("pr"):
        pr.update({d + "/" + k: v for k, v in hashes(os.path.join(work, d)).items()})
with_path = [p for h, p in live if sx.get(p.lstrip("/")) == h]
def by_content(found):
    pool = collections.Counter(found.values())
    n = 0
    for h, _ in live:
        if pool[h] > 0:
            pool[h] -= 1
            n += 1
    return n
print(f"live files before the format: {nlive}")
print(f"{'':34s} {'salvex lost-data':>18s} {'photorec':>12s}")
print(f"{'files written':34s} {len(sx):18d} {len(pr):12d}")
print(f"{'live files byte-exact, with path':34s} {len(with_path):18d} {'-':>12s}")
print(f"{'live files byte-exact, by content':34s} {by_content(sx):18d} {by_content(pr):12d}")
print(f"{'share with path':34s} {100 * len(with_path) / nlive:17.1f}% {'-':>12s}")
print(f"{'seconds':34s} {tsx:18.1f} {tpr:12.1f}")
missing = [p for h, p in live if sx.get(p.lstrip("/")) != h]
for p in missing[:10]:
    print(f"  not byte-exact with its path: {p}")
EOF
tail -1 "$work/salvex.log" | sed 's/^/  salvex: /'
[[ -z "${AFTER:-}" ]] || echo "  below \"MFT N\" folders: $(find "$work/salvex" -path '*/MFT [0-9]*' -type f | wc -l) files"
rm -f "$work/after.img"
