#!/bin/sh
# Regenerates the sample clusters used by test_filetypes.cpp: real files made by common tools, of which
# the first 4 KiB (or one 4 KiB cluster from inside an MP3 stream) are kept.
# Needs: imagemagick, ghostscript, sox, lame, zip, tar.
set -eu
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A noisy picture compresses badly, so every image file is longer than one cluster.
convert -seed 1 -size 128x128 plasma:fractal picture.miff
for ext in jpg png gif bmp tif; do
  convert picture.miff "picture.$ext"
done
# Debian's ImageMagick policy forbids writing PDF and PostScript; Ghostscript draws the PDF instead.
cat >picture.ps <<'PS'
%!PS
/Helvetica findfont 24 scalefont setfont
1 1 20 { dup 30 mul 40 moveto (Salvex sample page) show 0.05 mul setgray } for
showpage
PS
ps2pdf -dCompatibilityLevel=1.4 picture.ps picture.pdf

sox -n -r 44100 -c 2 -b 16 sound.wav synth 3 sine 440 sine 660
# MPEG-1 Layer III with CRC-protected frames, and MPEG-2 Layer III (22050 Hz) without.
lame --quiet -p -b 128 sound.wav mpeg1-crc.mp3
lame --quiet -b 64 --resample 22.05 sound.wav mpeg2.mp3

head -c 20000 /dev/urandom | base64 > notes.txt
zip -q archive.zip notes.txt picture.bmp
# POSIX ustar headers; GNU tar's default format writes "ustar  " instead.
tar --format=ustar -cf archive.tar notes.txt picture.bmp

for ext in jpg png gif bmp tif pdf; do
  head -c 4096 "picture.$ext" >"$out/sample-$ext.bin"
done
head -c 4096 sound.wav >"$out/sample-wav.bin"
head -c 4096 archive.zip >"$out/sample-zip.bin"
head -c 4096 archive.tar >"$out/sample-tar.bin"
# The third cluster of each stream: it starts inside a frame and ends inside another.
dd if=mpeg1-crc.mp3 of="$out/sample-mp3-mpeg1-crc-cluster2.bin" bs=4096 skip=2 count=1 status=none
dd if=mpeg2.mp3 of="$out/sample-mp3-mpeg2-cluster2.bin" bs=4096 skip=2 count=1 status=none
