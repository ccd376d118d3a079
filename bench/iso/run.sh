#!/usr/bin/env bash
# ISO9660 benchmark: an image of 2,000 files (about 1 GB: mostly small files,
# a few large ones, in 200 folders) written by tallory iso, genisoimage and
# xorriso in one run, each image's files checked by xorriso.
# Goal: tallory / the faster of the two <= 1.0.
# Usage: bench/iso/run.sh [build-dir or path/to/tallory]   (default: build/bin/tallory)
#        BENCH_ISO_MB=200 bench/iso/run.sh   (a smaller set)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
TALLORY=${1:-$here/build/bin/tallory}
[ -d "$TALLORY" ] && TALLORY=$TALLORY/bin/tallory
TOTAL_MB=${BENCH_ISO_MB:-1000}
work=$(mktemp -d)
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

seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk "BEGIN { print $e - $s }"; }
count() { xorriso -indev "$1" -find / -type f 2>/dev/null | wc -l; }

tt=$(seconds "$TALLORY" iso --joliet -q -o "$work/tallory.iso" "$src")
tg=$(seconds genisoimage -J -quiet -o "$work/genisoimage.iso" "$src")
tx=$(seconds xorriso -as mkisofs -J -quiet -o "$work/xorriso.iso" "$src")
for image in tallory genisoimage xorriso; do
  n=$(count "$work/$image.iso")
  [ "$n" -eq 2000 ] || { echo "$image.iso holds $n files, not 2000"; exit 1; }
done
best=$(awk "BEGIN { print ($tg < $tx) ? $tg : $tx }")
printf 'tallory iso        %6.2f s\n' "$tt"
printf 'genisoimage -J     %6.2f s\n' "$tg"
printf 'xorriso -as mkisofs %5.2f s\n' "$tx"
awk "BEGIN { r = $tt / $best; printf \"tallory / faster peer: %.2f (goal <= 1.0)\\n\", r; exit (r <= 1.0) ? 0 : 3 }"
