#!/usr/bin/env bash
# Counts, per planted sample, how many copies PhotoRec and salvex-cli's lost-data search recover with
# the sample's exact bytes at the start, on an image filled by bench/lost-data.sh (samples planted
# many times between random blocks).
# Usage: bench/photorec-compare-samples.sh IMAGE SAMPLES_DIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="${SALVEX_CLI:-$here/build/salvex-cli}"
img="$1" samples="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/salvex-prsamples.XXXXXX")"
trap 'rm -rf "$work"' EXIT
command -v photorec >/dev/null || { echo "photorec missing (apt-get install testdisk)" >&2; exit 1; }
(cd "$work" && photorec /log /d "$work/pr" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search >/dev/null 2>&1) || true
"$cli" lost-data "$img" --volume 0 --to "$work/sx" >/dev/null
python3 - "$samples" "$work" "$work/sx" <<'PY'
import glob, hashlib, os, sys
samples, work, sx = sys.argv[1:]
pr = glob.glob(os.path.join(work, "pr.*"))  # photorec numbers its output folders: pr.1, pr.2, ...
planted = {}
for name in sorted(os.listdir(samples)):
    data = open(os.path.join(samples, name), 'rb').read()
    planted[name] = (len(data), hashlib.sha256(data).hexdigest())
sizes = sorted({s for s, _ in planted.values()})
def count(roots):
    found = {n: 0 for n in planted}
    files = 0
    for d, _, names in (w for root in roots for w in os.walk(root)):
        for n in names:
            files += 1
            with open(os.path.join(d, n), 'rb') as f:
                head = f.read(max(sizes))
            for name, (size, digest) in planted.items():
                if len(head) >= size and hashlib.sha256(head[:size]).hexdigest() == digest:
                    found[name] += 1
    return found, files
p, pf = count(pr)
s, sf = count([sx])
print(f"{'sample':16} {'size':>8} {'photorec':>9} {'salvex':>7}")
for name, (size, _) in planted.items():
    print(f"{name:16} {size:8} {p[name]:9} {s[name]:7}")
print(f"{'files written':16} {'':8} {pf:9} {sf:7}")
PY
