#!/usr/bin/env bash
# Regenerates movie-faststart.mp4: a short H.264 clip with its index (moov) before its media data,
# as phones and streaming tools write it. The carving tests cut its media data in two with other
# data between, which the movie's box sizes alone do not show. Needs: ffmpeg (with libx264).
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=10 -t 2 -c:v libx264 -pix_fmt yuv420p -g 5 \
  -movflags +faststart "$out/movie-faststart.mp4"
