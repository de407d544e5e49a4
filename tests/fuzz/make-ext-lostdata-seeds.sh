#!/usr/bin/env bash
# Seeds of fuzz_ext_lostdata from the committed ext fixtures: the first 1 MiB of a volume (what
# the target mounts), trailing zeros left out. "ext3-all-free" has group 0's block bitmap
# cleared, so that every folder block is a lost folder and every file's data is carved.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/tests/fuzz/corpus/fuzz_ext_lostdata"
mkdir -p "$out"
python3 - "$root/tests/fixtures" "$out" <<'PY'
import gzip, struct, sys
fixtures, out = sys.argv[1], sys.argv[2]
def volume(name):
    return bytearray(gzip.open(f"{fixtures}/{name}.img.gz").read()[: 1 << 20])
def save(name, data):
    with open(f"{out}/{name}", "wb") as f:
        f.write(bytes(data).rstrip(b"\0"))
save("ext4", volume("ext4"))
save("ext4-quickformat", volume("ext4-quickformat"))
v = volume("ext3")
bs = 1024 << struct.unpack_from("<I", v, 1024 + 24)[0]
gdt = (2 if bs == 1024 else 1) * bs  # the descriptors follow the superblock's block
bitmap = struct.unpack_from("<I", v, gdt)[0]
v[bitmap * bs : (bitmap + 1) * bs] = bytes(bs)
save("ext3-all-free", v)
PY
ls -l "$out"
