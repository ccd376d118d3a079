#!/usr/bin/env bash
# FLAC speed against the flac command, in one run: encoding a 5-minute stereo
# WAV at level 5 (tallory --option flac-level=5, flac -5) and decoding the same
# .flac to WAV (tallory, flac -d); then the cost of --replaygain on the encode.
# Each command runs ROUNDS times, alternating with its rival; the best CPU time
# of each counts. Prints the ratios (tallory / reference); the goal is at most
# 1.03, and 1.05 (wall clock) for --replaygain over the plain conversion.
#
# usage: bench/flac/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tallory=$build/bin/tallory
rounds=${ROUNDS:-3}
goal=1.03

for tool in sox flac /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench/flac: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
if [ ! -x "$tallory" ]; then
  echo "bench/flac: $tallory not found; build it with 'make' first" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config

# Five minutes of programme-like material: pink noise under two tones that drift.
sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 300 pinknoise synth 300 sine mix 220-880 \
  synth 300 sine mix 330-660 vol -6dB 2>/dev/null

# CPU seconds (user + system) that one command takes.
seconds() {
  /usr/bin/time -f '%U %S' -o "$work/cpu" "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; exit 1; }
  awk '{ printf "%.4f\n", $1 + $2 }' "$work/cpu"
}

# Wall-clock seconds: the loudness measurement runs on a thread of its own, so
# what a user waits for is the time that counts for --replaygain.
wall() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'
}

best() { printf '%s\n' "$@" | sort -g | head -n1; }

enc_ours=() enc_ref=() dec_ours=() dec_ref=() plain=() gain=()
for ((i = 0; i < rounds; i++)); do
  enc_ours+=("$(seconds "$tallory" convert "$work/in.wav" --to flac -o "$work/ours.flac" --option flac-level=5 --overwrite -q)")
  enc_ref+=("$(seconds flac -s -f -5 -o "$work/ref.flac" "$work/in.wav")")
  dec_ours+=("$(seconds "$tallory" convert "$work/ref.flac" --to wav -o "$work/ours.wav" --overwrite -q)")
  dec_ref+=("$(seconds flac -s -f -d -o "$work/ref.wav" "$work/ref.flac")")
  plain+=("$(wall "$tallory" convert "$work/in.wav" --to flac -o "$work/plain.flac" --overwrite -q)")
  gain+=("$(wall "$tallory" convert "$work/in.wav" --to flac -o "$work/gain.flac" --replaygain --overwrite -q)")
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
report encode "$(best "${enc_ours[@]}")" "$(best "${enc_ref[@]}")" "flac -5" || status=1
report decode "$(best "${dec_ours[@]}")" "$(best "${dec_ref[@]}")" "flac -d" || status=1
goal=1.05 report gain "$(best "${gain[@]}")" "$(best "${plain[@]}")" "plain" || status=1
printf 'size     tallory %d bytes   flac %d bytes\n' "$(stat -c %s "$work/ours.flac")" "$(stat -c %s "$work/ref.flac")"
exit $status
