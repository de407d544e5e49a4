#!/usr/bin/env bash
# Compares what PhotoRec and salvex-cli's lost-data search recover from images whose planted files are
# listed in a manifest with "clusters=first+count" notes (tests/fixtures/carving-manifest.txt style).
# Usage: bench/photorec-compare.sh [IMAGE MANIFEST FIRST_DATA_SECTOR SECTORS_PER_CLUSTER]
#   default: the carving fixture (FAT16, cluster 2 at sector 100, 4 sectors per cluster).
# Prints one row per planted file: found by each tool, and how many leading bytes of the recovered file
# equal the original (the original is read back from the image: the files were written contiguously).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="${SALVEX_CLI:-$here/build/salvex-cli}"
work="$(mktemp -d "${TMPDIR:-/tmp}/salvex-prcmp.XXXXXX")"
trap 'rm -rf "$work"' EXIT
if (($# == 0)); then
  gunzip -c "$here/tests/fixtures/carving.img.gz" >"$work/carving.img"
  set -- "$work/carving.img" "$here/tests/fixtures/carving-manifest.txt" 100 4
fi
img="$1" manifest="$2" data="$3" spc="$4"
command -v photorec >/dev/null || { echo "photorec missing (apt-get install testdisk)" >&2; exit 1; }

(cd "$work" && photorec /log /d "$work/pr" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search >/dev/null 2>&1) || true
"$cli" lost-data "$img" --volume 0 --to "$work/sx" >/dev/null

# common_prefix A B: number of equal leading bytes; -1 when the files are equal.
common_prefix() {
  local out
  out="$(cmp "$1" "$2" 2>&1 || true)"
  case "$out" in
    "") echo -1 ;;
    *differ*) echo "$out" | sed -n 's/.*byte \([0-9]*\).*/\1/p' | awk '{ print $1 - 1 }' ;;
    *EOF*) echo "$out" | sed -n 's/.*after byte \([0-9]*\).*/\1/p' ;;
    *) echo 0 ;;
  esac
}

printf '%-14s %8s | %-8s %9s %-5s | %-8s %9s %-5s\n' file size photorec correct exact salvex correct exact
total=0 prfound=0 sxfound=0 prexact=0 sxexact=0
matched="$work/matched"; : >"$matched"
while IFS=$'\t' read -r kind state size sha path notes; do
  [[ "$kind" == file && "$notes" == clusters=* ]] || continue
  first="${notes#clusters=}" first="${first%+*}"
  sector=$((data + (first - 2) * spc))
  orig="$work/orig"
  dd if="$img" of="$orig" bs=512 skip="$sector" count=$(((size + 511) / 512)) status=none
  truncate -s "$size" "$orig"
  [[ "$(sha256sum <"$orig" | cut -d' ' -f1)" == "$sha" ]] || { echo "original of $path not contiguous" >&2; continue; }
  total=$((total + 1))
  row=()
  for tool in pr sx; do
    f=""
    if [[ $tool == pr ]]; then f="$(ls "$work"/pr.*/f$(printf '%07d' "$sector")* 2>/dev/null | head -n1 || true)"
    else f="$(ls "$work/sx/cluster $first."* 2>/dev/null | head -n1 || true)"; fi
    if [[ -z "$f" ]]; then row+=(no - -); continue; fi
    echo "$f" >>"$matched"
    n="$(common_prefix "$orig" "$f")"
    # -1: no difference within the shorter file.
    fsize=$(stat -c %s "$f")
    if ((n < 0)); then n=$((fsize < size ? fsize : size)); fi
    # exact: the recovered file is the original, no byte more or less.
    exact=no
    if [[ "$(sha256sum <"$f" | cut -d' ' -f1)" == "$sha" ]]; then exact=yes
    elif [[ "$(head -c "$size" "$f" | sha256sum | cut -d' ' -f1)" == "$sha" ]]; then exact=prefix; fi
    row+=(yes "$n" "$exact")
    if [[ $tool == pr ]]; then
      prfound=$((prfound + 1))
      if [[ $exact == yes ]]; then prexact=$((prexact + 1)); fi
    else
      sxfound=$((sxfound + 1))
      if [[ $exact == yes ]]; then sxexact=$((sxexact + 1)); fi
    fi
  done
  printf '%-14s %8s | %-8s %9s %-6s | %-8s %9s %-6s\n' "${path#/}" "$size" "${row[@]}"
done < <(grep -v '^#' "$manifest")
# Everything else a tool wrote is a false hit (or a piece of a planted file saved a second time).
prall=$(find "$work"/pr.* -type f ! -name report.xml 2>/dev/null | wc -l)
sxall=$(find "$work/sx" -type f 2>/dev/null | wc -l)
prbytes=$(find "$work"/pr.* -type f ! -name report.xml -printf '%s\n' 2>/dev/null | awk '{ s += $1 } END { print s + 0 }')
sxbytes=$(find "$work/sx" -type f -printf '%s\n' 2>/dev/null | awk '{ s += $1 } END { print s + 0 }')
echo "planted $total"
echo "photorec: found $prfound, byte-exact $prexact, false hits $((prall - prfound)); $prall files, $prbytes bytes written"
echo "salvex:   found $sxfound, byte-exact $sxexact, false hits $((sxall - sxfound)); $sxall files, $sxbytes bytes written"
echo "exact: the recovered file equals the original; prefix: it starts with the original and goes on."
