#!/usr/bin/env bash
# A formatted camera card: salvex-cli lost-data against PhotoRec, by file type and for photos
# written in two pieces.
#
# Builds a 64 MiB exFAT volume (mkfs.exfat on a file, 4 KiB clusters) and writes into its free
# clusters, as a camera's card holds them after a quick format: every sample of
# tests/filetypes/samples/card once (whole), PHOTOS whole photos (ImageMagick, 200-600 KiB), and
# FRAGMENTED photos in two pieces (the first 2-12 clusters, then 1-60 clusters of another file or of
# noise, then the rest). Then counts byte-exact recoveries of each tool and their times, and prints
# the table per type and the ratio of times.
#
# Needs: mkfs.exfat, imagemagick, photorec, python3. Usage: bench/card-carving.sh [salvex-cli]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cli="$(realpath "${1:-$repo/build/salvex-cli}")"
. "$here/lib-photorec.sh"
photos="${PHOTOS:-40}" fragmented="${FRAGMENTED:-30}"
work="$(mktemp -d /tmp/salvex-card-XXXXXX)"
[ -n "${KEEP:-}" ] && echo "work folder kept: $work" >&2 || trap 'rm -rf "$work"' EXIT
for tool in mkfs.exfat convert photorec python3 bc /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench/card-carving.sh: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

mkdir -p "$work/photos"
for i in $(seq 1 $((photos + fragmented))); do
  convert -seed "$i" -size $((600 + (i % 7) * 80))x$((450 + (i % 5) * 60)) plasma:fractal -quality 92 "$work/photos/p$i.jpg"
done
truncate -s 64M "$work/card.img"
mkfs.exfat -c 4K -L CARD "$work/card.img" >/dev/null
python3 - "$work/card.img" "$repo/tests/filetypes/samples/card" "$work/photos" "$photos" "$work/planted.txt" <<'PY'
import hashlib, os, random, struct, sys
image, samples, photos, whole, planted = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
random.seed(2026)
with open(image, "r+b") as f:
    boot = f.read(512)
    heap, count = struct.unpack_from("<II", boot, 0x58)
    sector = 1 << boot[0x6C]
    cluster = sector << boot[0x6D]
    at = lambda c: heap * sector + (c - 2) * cluster
    nxt = 64  # past the new, empty tree
    rows = []
    def put(c, data):
        f.seek(at(c)); f.write(data)
    def clusters(data):
        return (len(data) + cluster - 1) // cluster
    def noise(n):
        return bytes(random.getrandbits(8) for _ in range(n * cluster))
    for name in sorted(os.listdir(samples)):
        data = open(os.path.join(samples, name), "rb").read()
        put(nxt, data); rows.append((name.rsplit(".", 1)[1].upper(), "whole", hashlib.sha256(data).hexdigest()))
        nxt += clusters(data) + 1
    names = sorted(os.listdir(photos), key=lambda n: int(n[1:-4]))
    for name in names[:whole]:
        data = open(os.path.join(photos, name), "rb").read()
        put(nxt, data); rows.append(("JPG", "whole", hashlib.sha256(data).hexdigest()))
        nxt += clusters(data) + random.randint(0, 3)
    others = [open(os.path.join(samples, n), "rb").read() for n in ("tone.wav", "clip.mp4", "tone.ogg", "photo.heic")]
    for name in names[whole:]:
        data = open(os.path.join(photos, name), "rb").read()
        first = random.randint(2, 12)
        gap = random.choice([noise(random.randint(1, 60)), random.choice(others)])
        gap += b"\0" * (-len(gap) % cluster)
        put(nxt, data[:first * cluster])
        put(nxt + first, gap)
        put(nxt + first + len(gap) // cluster, data[first * cluster:])
        rows.append(("JPG", "two pieces", hashlib.sha256(data).hexdigest()))
        nxt += first + len(gap) // cluster + clusters(data[first * cluster:]) + 1
    assert nxt < count, "card too small"
with open(planted, "w") as out:
    for r in rows: out.write("\t".join(r) + "\n")
PY

load=$(cut -d' ' -f1-3 /proc/loadavg)
photorec_run "$work/card.img" "$work"
pr_time=$PHOTOREC_SECONDS pr_cpu=$PHOTOREC_CPU
timed "$work/salvex" "$cli" lost-data "$work/card.img" --to "$work/sx" -q >/dev/null 2>&1
sx_time=$TIMED_SECONDS sx_cpu=$TIMED_CPU

python3 - "$work" "$pr_time" "$sx_time" "$load" "$pr_cpu" "$sx_cpu" <<'PY'
import collections, glob, hashlib, os, sys
work, pr_time, sx_time, load = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
pr_cpu, sx_cpu = float(sys.argv[5]), float(sys.argv[6])
def hashes(roots):
    out = collections.Counter()
    for root in roots:
        for d, _, names in os.walk(root):
            for n in names:
                if n.endswith((".partial", ".time")) or n in ("report.xml", "recovery-report.json"): continue
                out[hashlib.sha256(open(os.path.join(d, n), "rb").read()).hexdigest()] += 1
    return out
pr = hashes(glob.glob(os.path.join(work, "pr.*")))
sx = hashes([os.path.join(work, "sx")])
rows = [l.rstrip("\n").split("\t") for l in open(os.path.join(work, "planted.txt"))]
table = collections.OrderedDict()
for kind, how, digest in rows:
    key = kind + (" (two pieces)" if how == "two pieces" else "")
    t = table.setdefault(key, [0, 0, 0])
    t[0] += 1; t[1] += digest in pr; t[2] += digest in sx
print("%-18s %7s %9s %7s" % ("type", "planted", "photorec", "salvex"))
for key, (n, p, s) in table.items():
    print("%-18s %7d %9d %7d" % (key, n, p, s))
tot = [sum(v[i] for v in table.values()) for i in range(3)]
print("%-18s %7d %9d %7d" % ("all", *tot))
print("files written: photorec %d, salvex %d" % (sum(pr.values()), sum(sx.values())))
print("time: photorec %.2f s, salvex %.2f s (salvex takes %.2f of PhotoRec's time); load average before: %s" % (pr_time, sx_time, sx_time / pr_time, load))
print("processor time: photorec %.2f s, salvex %.2f s (salvex takes %.2f of PhotoRec's)" % (pr_cpu, sx_cpu, sx_cpu / max(pr_cpu, 0.01)))
PY
