# Shared by the benches that compare salvex with PhotoRec (source it): the tree of test files,
# the PhotoRec run, and the checksums of what a tool wrote.

# bench_tree ROOT COUNT SEED WORD...: COUNT files in folders of about 60 below ROOT, text, zip or
# raw binary, of sizes spread around 12 KB; the same files for the same seed and words.
bench_tree() {
  local root="$1" count="$2" seed="$3"
  shift 3
  python3 - "$root" "$count" "$seed" "$@" <<'PY'
import io, os, random, sys, zipfile
root, count, seed, words = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
random.seed(seed)
folders = max(1, count // 60)
for i in range(count):
    folder = os.path.join(root, "dir%03d" % (i % folders))
    os.makedirs(folder, exist_ok=True)
    size = int(random.expovariate(1 / 12000)) + 1
    kind = random.choice(["txt", "zip", "bin"])
    path = os.path.join(folder, "file-%05d.%s" % (i, kind))
    if kind == "txt":
        text = "".join("%d %s\n" % (n, " ".join(random.choice(words) for _ in range(8))) for n in range(size // 60 + 1))
        data = text.encode()
    elif kind == "zip":
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("part-%d.txt" % i, " ".join(random.choice(words) for _ in range(size // 7 + 1)))
            z.writestr("raw-%d.bin" % i, random.randbytes(size // 3 + 1))
        data = buf.getvalue()
    else:
        data = random.randbytes(size)
    with open(path, "wb") as out:
        out.write(data)
PY
}

# timed OUT COMMAND...: runs the command; its wall-clock seconds in TIMED_SECONDS and its processor
# seconds (user and system, all threads) in TIMED_CPU. On a shared machine the processor time is the
# steadier of the two.
timed() {
  local out="$1" start
  shift
  start=$(date +%s.%N)
  /usr/bin/time -f "%U %S" -o "$out.time" "$@" || true
  TIMED_SECONDS=$(echo "$(date +%s.%N) - $start" | bc)
  TIMED_CPU=$(awk '{printf "%.2f", $1 + $2}' "$out.time")
}

# photorec_run IMAGE WORK: PhotoRec over the whole of IMAGE, every file type, into WORK/pr.N; the
# seconds it took in PHOTOREC_SECONDS (processor seconds in PHOTOREC_CPU), its output folders in
# PHOTOREC_DIRS.
photorec_run() {
  local image="$1" work="$2"
  pushd "$work" >/dev/null
  timed "$work/photorec" photorec /log /d "$work/pr" /cmd "$image" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search >/dev/null 2>&1
  popd >/dev/null
  PHOTOREC_SECONDS=$TIMED_SECONDS PHOTOREC_CPU=$TIMED_CPU
  mapfile -t PHOTOREC_DIRS < <(find "$work" -maxdepth 1 -type d -name 'pr.*')
}

# whole_file_hashes FOLDER...: the distinct sha256 of the files below the folders, sorted, without
# partial files and the tools' reports.
whole_file_hashes() {
  local d
  for d in "$@"; do
    [ -d "$d" ] || continue
    (cd "$d" && find . -type f ! -name '*.partial' ! -name report.xml ! -name recovery-report.json -print0 | xargs -0 -r sha256sum)
  done | awk '{print $1}' | sort -u
}
