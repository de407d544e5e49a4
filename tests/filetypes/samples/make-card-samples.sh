#!/usr/bin/env bash
# Regenerates tests/filetypes/samples/card/: one small whole file per type a camera, phone or
# office card holds, made by the encoders Debian ships. The carving test writes them onto a volume,
# formats it and expects each back by its content, cut at its own end.
# Needs: imagemagick (with libheif and libwebp), ffmpeg, sox, lame, flac, vorbis-tools, exiftool,
# sqlite3, ghostscript, python3.
#
# Camera raw files have no encoder in Debian. Their samples wrap a real TIFF or JPEG made here in the
# published container layout of each maker (raw.py below): the raw data is not a real sensor dump,
# but every offset, size and tag the carver reads is where the cameras put it.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/card"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
rm -rf "$out"
mkdir -p "$out"

# Pictures: noise compresses badly, so every file spans several 4 KiB clusters.
convert -seed 3 -size 160x120 plasma:fractal picture.png
convert picture.png -quality 80 photo.jpg
exiftool -q -overwrite_original -Make=Canon '-Model=Canon EOS R6' '-DateTimeOriginal=2026:05:01 12:30:05' photo.jpg
cp photo.jpg "$out/photo.jpg"
# A larger photo for the fragmented-photo row: written in two pieces around another file.
convert -seed 4 -size 320x240 plasma:fractal -quality 90 "$out/burst.jpg"
convert picture.png -quality 60 photo.heic
exiftool -q -overwrite_original -Make=Apple '-Model=iPhone 15' '-DateTimeOriginal=2026:05:04 10:20:30' photo.heic
cp photo.heic "$out/photo.heic"
convert picture.png -quality 60 "$out/photo.avif"
convert picture.png -quality 70 "$out/photo.webp"
convert picture.png -resize 96x72 -depth 8 -compress lzw picture.tif
cp picture.tif "$out/picture.tif"
cp picture.tif nef.tif
exiftool -q -overwrite_original -Make=NIKON '-Model=NIKON Z 6' '-DateTimeOriginal=2026:05:02 08:00:00' nef.tif
mv nef.tif "$out/camera.nef"
cp picture.tif dng.tif
exiftool -q -overwrite_original -DNGVersion=1.4.0.0 -Make=Google '-Model=Pixel 8' dng.tif
mv dng.tif "$out/phone.dng"

# Video: ffmpeg writes the media data before the movie header unless told otherwise.
ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=10 -f lavfi -i sine=frequency=440 -t 1 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac -b:a 32k "$out/clip.mp4"
ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=10 -t 1 -c:v mjpeg -q:v 8 "$out/clip.mov"
ffmpeg -v error -f lavfi -i testsrc=size=176x144:rate=10 -f lavfi -i sine=frequency=440:sample_rate=8000 -t 1 \
  -c:v h263 -c:a aac -ar 8000 -ac 1 -b:a 12k "$out/clip.3gp"
ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=10 -f lavfi -i sine=frequency=440 -t 1 \
  -c:v mpeg4 -c:a libmp3lame -b:a 32k "$out/clip.avi"
ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=10 -f lavfi -i sine=frequency=440 -t 1 \
  -c:v libx264 -pix_fmt yuv420p -c:a ac3 -b:a 64k -mpegts_m2ts_mode 1 -f mpegts "$out/clip.mts"
ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=10 -f lavfi -i sine=frequency=440 -t 1 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac -b:a 32k "$out/clip.mkv"
ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=10 -t 1 -c:v libvpx -b:v 50k "$out/clip.webm"

# Sound.
sox -n -r 22050 -c 1 -b 16 tone.wav synth 0.6 sine 440
cp tone.wav "$out/tone.wav"
flac --silent -o "$out/tone.flac" tone.wav
oggenc --quiet -q 1 -o "$out/tone.ogg" tone.wav
ffmpeg -v error -i tone.wav -c:a aac -b:a 32k "$out/tone.m4a"
lame --quiet -b 64 --tt "Harbour Lights" --ta "The Salvagers" --add-id3v2 tone.wav "$out/song.mp3"

# Documents and databases.
cat >page.ps <<'PS'
%!PS
/Helvetica findfont 20 scalefont setfont
1 1 12 { dup 40 mul 40 moveto (Salvex card sample) show 0.08 mul setgray } for
showpage
PS
ps2pdf page.ps page.pdf
python3 - page.pdf "$out" <<'PY'
import io, os, random, sqlite3, sys, zipfile
pdf, out = sys.argv[1:]
# An incremental update, as a reader that saves a changed title writes it: new objects, a
# cross-reference section and a trailer pointing back at the previous one, a second %%EOF.
data = open(pdf, "rb").read()
prev = int(data[data.rindex(b"startxref") + 9:].split()[0])
size = int(data[data.rindex(b"/Size") + 5:].split()[0].rstrip(b"/>"))
root = data[data.rindex(b"/Root") + 5:].split(b"R")[0].strip() + b" R"
obj = b"%d 0 obj\n<< /Title (Harbour survey 2026) /Producer (Salvex samples) >>\nendobj\n" % size
at = len(data)
update = obj + b"xref\n0 1\n0000000000 65535 f \n%d 1\n%010d 00000 n \n" % (size, at)
xref = at + len(obj)
update += b"trailer\n<< /Size %d /Root %s /Info %d 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (size + 1, root, size, prev, xref)
open(os.path.join(out, "report.pdf"), "wb").write(data + update)

random.seed(26)
noise = bytes(random.getrandbits(8) for _ in range(9000))  # keeps each archive past one cluster
def core(title):
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<cp:coreProperties '
            'xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" '
            'xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>%s</dc:title>'
            '<dc:creator>Salvex</dc:creator></cp:coreProperties>' % title)
def ooxml(name, main, content_type, title):
    with zipfile.ZipFile(os.path.join(out, name), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml",
                   '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/'
                   'package/2006/content-types"><Default Extension="xml" ContentType="application/xml"/>'
                   '<Override PartName="/%s" ContentType="%s"/><Override PartName="/docProps/core.xml" '
                   'ContentType="application/vnd.openxmlformats-package.core-properties+xml"/></Types>'
                   % (main, content_type))
        z.writestr("_rels/.rels", '<?xml version="1.0"?><Relationships/>')
        z.writestr("docProps/core.xml", core(title))
        z.writestr(main, '<?xml version="1.0"?><root/>')
        z.writestr(os.path.dirname(main) + "/media/noise.bin", noise, zipfile.ZIP_STORED)
ox = "application/vnd.openxmlformats-officedocument."
ooxml("letter.docx", "word/document.xml", ox + "wordprocessingml.document.main+xml", "Letter to the harbour master")
ooxml("ledger.xlsx", "xl/workbook.xml", ox + "spreadsheetml.sheet.main+xml", "Ledger")
ooxml("slides.pptx", "ppt/presentation.xml", ox + "presentationml.presentation.main+xml", "Slides")
def stored_first(name, mimetype, files):
    with zipfile.ZipFile(os.path.join(out, name), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("mimetype", mimetype, zipfile.ZIP_STORED)
        for path, text in files:
            z.writestr(path, text)
        z.writestr("Pictures/noise.bin", noise, zipfile.ZIP_STORED)
stored_first("minutes.odt", "application/vnd.oasis.opendocument.text",
             [("content.xml", "<office:document-content/>"), ("META-INF/manifest.xml", "<manifest/>")])
stored_first("book.epub", "application/epub+zip",
             [("META-INF/container.xml", "<container/>"), ("OEBPS/content.opf", "<package/>")])
db = os.path.join(out, "contacts.sqlite")
con = sqlite3.connect(db)
con.execute("create table contact(name text, number text)")
con.executemany("insert into contact values (?, ?)", [("name %d" % i, "%010d" % (i * 7919)) for i in range(400)])
con.commit()
con.close()
PY

# Camera raw containers around real image data (see the note at the top).
convert picture.png -quality 70 preview.jpg
python3 - picture.tif preview.jpg "$out" <<'PY'
import os, struct, sys
tif, jpg, out = sys.argv[1:]
tiff = open(tif, "rb").read()
jpeg = open(jpg, "rb").read()
assert tiff[:4] == b"II*\0"

def ifd(entries, next_ifd, at, extra):
    """Little-endian IFD at offset `at`; values longer than 4 bytes go into `extra` (after the IFD)."""
    entries = sorted(entries)
    body = struct.pack("<H", len(entries))
    data_at = at + 2 + 12 * len(entries) + 4
    blob = b""
    for tag, typ, values in entries:
        fmt = {2: "s", 3: "H", 4: "I"}[typ]
        raw = values if typ == 2 else struct.pack("<%d%s" % (len(values), fmt), *values)
        count = len(values)
        if len(raw) <= 4:
            body += struct.pack("<HHI", tag, typ, count) + raw.ljust(4, b"\0")
        else:
            body += struct.pack("<HHII", tag, typ, count, data_at + len(blob))
            blob += raw + (b"\0" if len(raw) % 2 else b"")
    return body + struct.pack("<I", next_ifd) + blob

def tiff_raw(magic, make, model, header_extra=b""):
    """A TIFF whose IFD0 holds the preview JPEG and whose IFD1 holds the raw strip, last in the file."""
    strip = tiff[8:8 + 6000]  # image bytes of the real TIFF stand in for sensor data
    header = magic + header_extra
    ifd0_at = len(header)
    def build(ifd1_at, jpeg_at, strip_at):
        e0 = [(0x10F, 2, make + b"\0"), (0x110, 2, model + b"\0"), (0x111, 4, [jpeg_at]), (0x117, 4, [len(jpeg)]),
              (0x132, 2, b"2026:05:03 09:15:00\0")]
        e1 = [(0x100, 4, [100]), (0x101, 4, [30]), (0x111, 4, [strip_at]), (0x117, 4, [len(strip)])]
        d0 = ifd(e0, ifd1_at, ifd0_at, None)
        d1 = ifd(e1, 0, ifd1_at, None)
        return d0, d1
    d0, d1 = build(0, 0, 0)
    ifd1_at = ifd0_at + len(d0)
    jpeg_at = ifd1_at + len(d1)
    strip_at = jpeg_at + len(jpeg)
    d0, d1 = build(ifd1_at, jpeg_at, strip_at)
    return header + d0 + d1 + jpeg + strip

def offset_magic(first_ifd):
    return struct.pack("<I", first_ifd)

# Canon CR2: TIFF with "CR", version 2.0 and the raw IFD's offset after the header.
cr2 = bytearray(tiff_raw(b"II*\0" + offset_magic(16), b"Canon", b"Canon EOS 5D Mark IV", b"CR\x02\x00\0\0\0\0"))
open(os.path.join(out, "canon.cr2"), "wb").write(cr2)
# Olympus ORF and Panasonic RW2: TIFF with their own magic numbers.
open(os.path.join(out, "olympus.orf"), "wb").write(tiff_raw(b"IIRO" + offset_magic(8), b"OLYMPUS IMAGING CORP.", b"E-M10"))
open(os.path.join(out, "panasonic.rw2"), "wb").write(tiff_raw(b"IIU\0" + offset_magic(8), b"Panasonic", b"DC-G9"))
open(os.path.join(out, "sony.arw"), "wb").write(tiff_raw(b"II*\0" + offset_magic(8), b"SONY", b"ILCE-7M3"))
open(os.path.join(out, "pentax.pef"), "wb").write(tiff_raw(b"II*\0" + offset_magic(8), b"PENTAX", b"PENTAX K-3"))

# Fujifilm RAF: a big-endian header naming the camera, then the offsets and lengths of the preview
# JPEG, the CFA header and the CFA data.
strip = tiff[8:8 + 7000]
header = b"FUJIFILMCCD-RAW 0201FF383501" + b"X-T3".ljust(32, b"\0") + b"0100" + b"\0" * 20
jpeg_at = 160
cfa_header = b"\0\0\0\x01" + b"\0" * 60
cfa_header_at = jpeg_at + len(jpeg)
cfa_at = cfa_header_at + len(cfa_header)
header = header.ljust(84, b"\0") + struct.pack(">6I", jpeg_at, len(jpeg), cfa_header_at, len(cfa_header), cfa_at, len(strip))
raf = header.ljust(jpeg_at, b"\0") + jpeg + cfa_header + strip
open(os.path.join(out, "fuji.raf"), "wb").write(raf)

# Canon CR3: ISO base media with the "crx " brand; the preview and the raw data in mdat.
def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload
ftyp = box(b"ftyp", b"crx " + struct.pack(">I", 1) + b"crx isom")
cmt1 = box(b"CMT1", tiff[:512])
moov = box(b"moov", box(b"uuid", bytes.fromhex("85c0b687820f11e08111f4ce462b6a48") + cmt1))
mdat = box(b"mdat", jpeg + strip)
open(os.path.join(out, "canon.cr3"), "wb").write(ftyp + moov + mdat)
PY
ls -l "$out"
