#!/usr/bin/env bash
# ISO9660 benchmark: an image of 2,000 files (about 1 GB: 1,990 small files and
# 10 large ones, in 200 folders) written by tallory iso, genisoimage -J and
# xorriso -as mkisofs -J in one run, each image's files counted by xorriso and
# deleted before the next is written (the disk holds the input and one image).
# Each tool runs BENCH_ISO_ROUNDS times, interleaved; its best time counts, so
# that a busy machine disturbs the ratio less.
# Goal: tallory / the faster of the two <= 1.0.
# Usage: bench/iso/run.sh [build dir or path/to/tallory]   (default: build-rel, else build)
#        BENCH_ISO_MB=200 BENCH_ISO_ROUNDS=1 bench/iso/run.sh   (a smaller, quicker set)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
default=$here/build-rel/bin/tallory
[ -x "$default" ] || default=$here/build/bin/tallory
TALLORY=${1:-$default}
[ -d "$TALLORY" ] && TALLORY=$TALLORY/bin/tallory
[ -x "$TALLORY" ] || { echo "no tallory at $TALLORY (build it: cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release)"; exit 2; }
TOTAL_MB=${BENCH_ISO_MB:-1000}
ROUNDS=${BENCH_ISO_ROUNDS:-3}
work=$(mktemp -d "${BENCH_ISO_DIR:-/tmp}/tallory-iso-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config

# 1,990 small files of 8 to 264 KiB and 10 large ones carrying the rest.
src=$work/src
for d in $(seq 0 199); do mkdir -p "$src/folder $((d / 20))/sub $d"; done
python3 - "$src" "$TOTAL_MB" <<'PY'
import os, random, sys
src, total = sys.argv[1], int(sys.argv[2]) * 1024 * 1024
rng = random.Random(7)
block = os.urandom(1 << 20)
def write(path, size):
    with open(path, 'wb') as f:
        while size > 0:
            n = min(size, len(block))
            f.write(block[:n]); size -= n
used = 0
for i in range(1990):
    d = i % 200
    size = rng.randint(8, 264) * 1024
    write(os.path.join(src, 'folder %d' % (d // 20), 'sub %d' % d, 'file %d.dat' % i), size)
    used += size
big = max(0, (total - used) // 10)
for i in range(10):
    write(os.path.join(src, 'folder 0', 'large %d.bin' % i), big)
PY
sync
echo "input: $(du -sh "$src" | cut -f1) in $(find "$src" -type f | wc -l) files; best of $ROUNDS rounds"

seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk "BEGIN { print $e - $s }"; }
count() { xorriso -indev "$1" -find / -type f 2>/dev/null | wc -l; }
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

image=$work/out.iso
run() {  # name command...: times one run, checks the image, deletes it
  local name=$1; shift
  local t n
  sync  # no tool pays for the write-back of the one before
  t=$(seconds "$@")
  n=$(count "$image")
  [ "$n" -eq 2000 ] || { echo "$name: the image holds $n files, not 2000"; exit 1; }
  rm -f "$image"
  echo "$t"
}
tt= tg= tx=
for r in $(seq 1 "$ROUNDS"); do
  tt=$(best "$tt" "$(run tallory "$TALLORY" iso --joliet -q -o "$image" "$src")")
  tg=$(best "$tg" "$(run genisoimage genisoimage -J -quiet -o "$image" "$src")")
  tx=$(best "$tx" "$(run xorriso xorriso -as mkisofs -J -quiet -o "$image" "$src")")
done
peer=$(awk "BEGIN { print ($tg < $tx) ? $tg : $tx }")
printf 'tallory iso --joliet  %6.2f s\n' "$tt"
printf 'genisoimage -J        %6.2f s\n' "$tg"
printf 'xorriso -as mkisofs -J %5.2f s\n' "$tx"
awk "BEGIN { r = $tt / $peer; printf \"tallory / faster peer: %.2f (goal <= 1.0)\\n\", r; exit (r <= 1.0) ? 0 : 3 }"
