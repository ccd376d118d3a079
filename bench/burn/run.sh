#!/usr/bin/env bash
# Recording cost: a MINUTES-long (default 70) audio disc of ten CD-format WAV
# files burned by tallory cd burn onto the simulated recorder at unlimited
# speed. Prints the engine's own processor time for the disc-at-once pass (as
# the recording reports it: the pass's thread time less the time spent inside
# the recorder's commands) per minute of audio, the recorder's share, and the
# whole command's (conversion into the temporary tracks and the image included). Goal: the pass costs under 1% of the time
# a 52x drive takes to write that minute (60 s / 52 = 1.15 s), so the engine
# is never what holds a drive up. cdrdao is timed only where it can write to
# a simulated device, which Debian's cdrdao cannot; otherwise the absolute
# figures stand alone.
#
# usage: bench/burn/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tallory=$build/bin/tallory
[ -d "$build" ] || tallory=$build
minutes=${MINUTES:-70}
tracks=10

[ -x "$tallory" ] || { echo "bench/burn: $tallory not found; build it with 'make' first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config HOME=$work TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

# Ten WAVE files of noise (CD format: copied byte for byte into the temporary tracks).
python3 - "$work" "$minutes" "$tracks" <<'PY'
import os, struct, sys
work, minutes, tracks = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
frames = minutes * 60 * 44100 // tracks
block = os.urandom(1 << 20)
for i in range(tracks):
    data = frames * 4
    with open(os.path.join(work, 'track%02d.wav' % (i + 1)), 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', 36 + data) + b'WAVEfmt ' +
                struct.pack('<IHHIIHH', 16, 1, 2, 44100, 176400, 4, 16) + b'data' + struct.pack('<I', data))
        left = data
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n
PY
sync

TIMEFORMAT='%U %S'
t=$( { time "$tallory" cd burn "$work"/track*.wav --image "$work/disc.cue" 2>"$work/log.txt" >/dev/null; } 2>&1 ) || {
  echo "bench/burn: the burn failed:" >&2; cat "$work/log.txt" >&2; exit 1; }
whole=$(awk -v t="$t" 'BEGIN { split(t, p, " "); printf "%.3f\n", p[1] + p[2] }')
line=$(grep -a 'Disc written:' "$work/log.txt" | tail -1)
[ -n "$line" ] || { echo "bench/burn: no timing line in the log" >&2; cat "$work/log.txt" >&2; exit 1; }
pass=$(echo "$line" | sed -E 's/.*Disc written: ([0-9.]+) s of processor time in the engine, ([0-9.]+) s in the recorder.s commands, for ([0-9.]+) minutes.*/\1 \2 \3/')
read -r cpu drive audio <<<"$pass"
[ "$(stat -c %s "$work/disc.bin")" -ge $((minutes * 60 * 75 * 2352)) ] || { echo "bench/burn: the image is short" >&2; exit 1; }

if command -v cdrdao >/dev/null; then
  echo "cdrdao is installed, but it writes only to real devices: no simulated device to time it on"
fi
awk -v cpu="$cpu" -v drive="$drive" -v audio="$audio" -v whole="$whole" 'BEGIN {
  per = cpu / audio * 1000
  budget = 60.0 / 52 * 1000 * 0.01
  printf "audio                      %8.2f minutes\n", audio
  printf "disc-at-once pass, engine  %8.3f s processor time, %.2f ms per minute of audio\n", cpu, per
  printf "  in the recorder commands %8.3f s (the simulated drive storing the disc)\n", drive
  printf "whole command              %8.3f s processor time, %.2f ms per minute of audio\n", whole, whole / audio * 1000
  printf "pass / 52x real time       %8.3f%% (goal < 1%%: %.1f ms per minute)\n", per / (60000.0 / 52) * 100, budget
  exit (per <= budget) ? 0 : 3
}'
