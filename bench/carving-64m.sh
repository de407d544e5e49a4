#!/usr/bin/env bash
# A new user's test of the lost-data search: a 64 MiB FAT16 volume (4 KiB clusters) gets 15 files of today's common
# types between blocks of random data, every file is deleted and the volume quick-formatted; then
# bench/photorec-compare.sh compares PhotoRec and salvex-cli on it (found, byte-exact, false hits).
# Needs: imagemagick, sox, lame, zip, sqlite3, python3, mtools, dosfstools, photorec.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/salvex-carve64.XXXXXX")"
trap '[[ -n "${KEEP:-}" ]] || rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
src="$work/src" img="$work/carve64.img" manifest="$work/manifest.txt"
mkdir -p "$src"
(
  cd "$src"
  convert -seed 5 -size 1600x1200 plasma:fractal p.miff
  convert p.miff -quality 90 photo.jpg
  convert p.miff -resize 800x600 picture.png
  convert p.miff -resize 400x300 picture.gif
  convert p.miff -resize 640x480 picture.bmp
  convert p.miff -resize 640x480 picture.tif
  rm p.miff
  sox -n -r 44100 -c 2 -b 16 sound.wav synth 6 sine 330 sine 550
  sox -n -r 44100 -c 2 -b 16 m.wav synth 20 sine 440 sine 660
  lame --quiet -b 192 --tt "Bench tune" --ta Salvex --add-id3v2 m.wav song.mp3 && rm m.wav
  head -c 400000 /dev/urandom | base64 >notes.txt
  zip -q -X archive.zip notes.txt picture.bmp
  tar --format=ustar -cf archive.tar notes.txt picture.gif
  sqlite3 data.sqlite "create table t(a,b); with recursive n(i) as (select 1 union all select i+1 from n where i<20000) insert into t select i, hex(randomblob(16)) from n;"
  python3 - <<'PY'
import struct, zipfile
ct = '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>'
with zipfile.ZipFile("report.docx", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("[Content_Types].xml", ct)
    z.writestr("word/document.xml", "<w:document>" + "<w:p>Salvage bench text.</w:p>" * 4000 + "</w:document>")
with zipfile.ZipFile("sheet.ods", "w") as z:
    z.writestr(zipfile.ZipInfo("mimetype"), "application/vnd.oasis.opendocument.spreadsheet")
    z.writestr("content.xml", "<office:document-content>" + "<table:table-row/>" * 8000 + "</office:document-content>",
               zipfile.ZIP_DEFLATED)
objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>"]
text = b"BT /F1 12 Tf 72 720 Td (Salvex bench) Tj ET\n" * 400
objs.append(b"<< /Length %d >>\nstream\n" % len(text) + text + b"\nendstream")
out = b"%PDF-1.7\n"
offsets = []
for i, o in enumerate(objs, 1):
    offsets.append(len(out))
    out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1) + b"".join(b"%010d 00000 n \n" % o for o in offsets)
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open("paper.pdf", "wb").write(out)
ev = b"".join(bytes([0x00, 0x90, 60 + i % 12, 0x60, 0x60, 0x80, 60 + i % 12, 0x40]) for i in range(500))
ev += bytes([0x00, 0xFF, 0x2F, 0x00])
open("tune.mid", "wb").write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(ev)) + ev)
code = bytes([0x0E, 0x1F, 0xBA, 0x0D, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x00, 0x4C, 0xCD, 0x21]) + b"Bench$"
code += bytes(20000 - len(code))
total = 32 + len(code)
hdr = b"MZ" + struct.pack("<HHHHHHHHHHHH", total % 512, (total + 511) // 512, 0, 2, 0, 0xFFFF, 0, 0xB8, 0, 0, 0, 0x1C)
open("tool.exe", "wb").write(hdr.ljust(32, b"\0") + code)
PY
  rm notes.txt
)
mkfs.fat -C -F 16 -s 8 -n CARVE64 "$img" 65536 >/dev/null
data=$(fsstat "$img" | sed -n 's/^\*\* Cluster Area: \([0-9]*\) - .*/\1/p')
{
  echo "# image: carve64.img"
  echo "# Columns (tab-separated): kind state size sha256 path [notes]"
} >"$manifest"
i=0
for f in "$src"/*; do
  i=$((i + 1))
  head -c $(((i % 5 + 1) * 300000)) /dev/urandom >"$work/blob"
  mcopy -i "$img" "$work/blob" "::blob$i.bin"
  name="$(basename "$f")"
  mcopy -i "$img" "$f" "::$name"
  # First cluster from the directory entry, cluster count from the size (mcopy writes contiguously).
  first=$(python3 - "$img" "$name" <<'PY'
import subprocess, sys
out = subprocess.run(["istat", sys.argv[1], subprocess.run(["ifind", "-n", sys.argv[2], sys.argv[1]], capture_output=True, text=True).stdout.strip()], capture_output=True, text=True).stdout
sectors = out.split("Sectors:")[1].split()
print(sectors[0])
PY
)
  size=$(stat -c %s "$f")
  printf 'file\torphan\t%s\t%s\t/%s\tclusters=%s+%s\n' "$size" "$(sha256sum <"$f" | cut -d' ' -f1)" "$name" \
    $(((first - data) / 8 + 2)) $(((size + 4095) / 4096)) >>"$manifest"
done
mdel -i "$img" '::*'
mkfs.fat -F 16 -s 8 -n CARVE64 "$img" >/dev/null
"$here/bench/photorec-compare.sh" "$img" "$manifest" "$data" 8
