#!/usr/bin/env bash
# Opus speed against opusenc, in one run: encoding a 5-minute stereo WAV at
# 128 kbit/s VBR (tallory --option opus-bitrate=128, opusenc --bitrate 128).
# Each command runs ROUNDS times, alternating with its rival; the best CPU time
# of each counts. Prints the ratio (tallory / opusenc); the goal is at most 1.03.
#
# usage: bench/opus/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tallory=$build/bin/tallory
rounds=${ROUNDS:-3}
goal=1.03

for tool in sox opusenc /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench/opus: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
if [ ! -x "$tallory" ]; then
  echo "bench/opus: $tallory not found; build it with 'make' first" >&2
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

best() { printf '%s\n' "$@" | sort -g | head -n1; }

enc_ours=() enc_ref=()
for ((i = 0; i < rounds; i++)); do
  enc_ours+=("$(seconds "$tallory" convert "$work/in.wav" --to opus -o "$work/ours.opus" --option opus-bitrate=128 --overwrite -q)")
  enc_ref+=("$(seconds opusenc --quiet --bitrate 128 "$work/in.wav" "$work/ref.opus")")
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
report encode "$(best "${enc_ours[@]}")" "$(best "${enc_ref[@]}")" opusenc || status=1
printf 'size     tallory %d bytes   opusenc %d bytes\n' "$(stat -c %s "$work/ours.opus")" "$(stat -c %s "$work/ref.opus")"
exit $status
