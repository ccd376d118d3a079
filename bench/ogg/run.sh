#!/usr/bin/env bash
# Ogg Vorbis speed against the tools a user would pick instead: encoding a
# 5-minute stereo WAV at quality 40 (tallory) and -q 4 (oggenc), and decoding
# the same .ogg with tallory and oggdec. Each command runs ROUNDS times,
# alternating with its rival; the best time of each counts. Prints the ratios
# (tallory / reference); the goal is at most 1.03.
#
# usage: bench/ogg/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tallory=$build/bin/tallory
rounds=${ROUNDS:-3}
goal=1.03

for tool in sox oggenc oggdec; do
  command -v "$tool" >/dev/null || { echo "bench/ogg: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
if [ ! -x "$tallory" ]; then
  echo "bench/ogg: $tallory not found; build it with 'make' first" >&2
  exit 1
fi
if ! "$tallory" convert --help >/dev/null 2>&1; then
  echo "bench/ogg: this tallory has no 'convert' command; benchmark not run" >&2
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config

# Five minutes of programme-like material: pink noise under two tones that drift.
sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 300 pinknoise synth 300 sine mix 220-880 \
  synth 300 sine mix 330-660 vol -6dB 2>/dev/null

# Seconds (wall clock) that one command takes.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "bench/ogg: failed: $*" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'
}

best() { printf '%s\n' "$@" | sort -g | head -n1; }

enc_ours=() enc_ref=() dec_ours=() dec_ref=()
for ((i = 0; i < rounds; i++)); do
  enc_ours+=("$(seconds "$tallory" convert "$work/in.wav" --to ogg -o "$work/ours.ogg" --option vbr-quality=40 --overwrite)")
  enc_ref+=("$(seconds oggenc -Q -q 4 -o "$work/ref.ogg" "$work/in.wav")")
  dec_ours+=("$(seconds "$tallory" convert "$work/ref.ogg" --to wav -o "$work/ours.wav" --overwrite)")
  dec_ref+=("$(seconds oggdec -Q -o "$work/ref.wav" "$work/ref.ogg")")
done

report() {
  local name=$1 ours=$2 ref=$3 rival=$4
  local ratio verdict
  ratio=$(awk -v a="$ours" -v b="$ref" 'BEGIN { printf "%.4f", a / b }')
  verdict=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { print (r <= g) ? 1 : 0 }')
  printf '%-8s tallory %7.3f s   %-7s %7.3f s   ratio %.3f  %s\n' "$name" "$ours" "$rival" "$ref" "$ratio" \
    "$([ "$verdict" = 1 ] && echo ok || echo "over the goal $goal")"
  [ "$verdict" = 1 ]
}

status=0
report encode "$(best "${enc_ours[@]}")" "$(best "${enc_ref[@]}")" oggenc || status=1
report decode "$(best "${dec_ours[@]}")" "$(best "${dec_ref[@]}")" oggdec || status=1
printf 'size     tallory %d bytes   oggenc %d bytes\n' "$(stat -c %s "$work/ours.ogg")" "$(stat -c %s "$work/ref.ogg")"
exit $status
