#!/usr/bin/env bash
# Deleted files recovered byte-exact from the kernel-written ext4 and ext3 fixtures, side by side:
# salvex-cli undelete, extundelete --restore-all, ext4magic -r, tsk_recover (deleted files).
# A file counts when a recovered file anywhere in the tool's output has the manifest's sha256.
# Usage: bench/ext-undelete.sh [path/to/salvex-cli]    (default: build/salvex-cli)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cli="$(realpath "${1:-$repo/build/salvex-cli}")"
work="$(mktemp -d /tmp/salvex-undelete-XXXXXX)"
trap 'rm -rf "$work"' EXIT

count() { # MANIFEST DIR: manifest "cleared" files found in DIR by hash
  local want have
  want="$(awk -F'\t' '$1 == "file" && $2 == "cleared" { print $4 }' "$1" | sort -u)"
  have="$(find "$2" -type f -exec sha256sum {} + 2>/dev/null | cut -d' ' -f1 | sort -u)"
  comm -12 <(printf '%s\n' "$want") <(printf '%s\n' "$have") | grep -c . || true
}

printf '%-8s %7s %12s %12s %10s %12s\n' image deleted salvex extundelete ext4magic tsk_recover
for name in ext4 ext3; do
  img="$work/$name.img"
  gzip -dc "$repo/tests/fixtures/$name.img.gz" >"$img"
  manifest="$repo/tests/fixtures/$name-manifest.txt"
  total="$(awk -F'\t' '$1 == "file" && $2 == "cleared"' "$manifest" | wc -l)"
  "$cli" undelete "$img" --volume 0 --to "$work/$name-salvex" >/dev/null 2>&1
  (cd "$work" && mkdir -p "$name-extundelete" && cd "$name-extundelete" &&
    timeout 300 extundelete "$img" --restore-all >/dev/null 2>&1)
  echo "  extundelete on $name: exit $?" >&2
  timeout 300 ext4magic "$img" -r -d "$work/$name-ext4magic" >/dev/null 2>&1
  echo "  ext4magic on $name: exit $?" >&2
  timeout 300 tsk_recover "$img" "$work/$name-tsk" >/dev/null 2>&1
  printf '%-8s %7s %12s %12s %10s %12s\n' "$name" "$total" "$(count "$manifest" "$work/$name-salvex")" \
    "$(count "$manifest" "$work/$name-extundelete")" "$(count "$manifest" "$work/$name-ext4magic")" \
    "$(count "$manifest" "$work/$name-tsk")"
done
