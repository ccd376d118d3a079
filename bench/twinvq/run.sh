#!/usr/bin/env bash
# TwinVQ decoding speed: a generated 5-minute stereo VQF file (44 kHz, 96 kbit/s)
# decoded to WAV by `tallory convert --to wav` and by `ffmpeg`, ROUNDS times
# each, alternating; the best time of each counts. Prints the ratio (tallory /
# ffmpeg; the goal is at most 1.10), and the preview player's own cost per
# second of audio: `tallory play` on ALSA's null device (decoding included).
#
# usage: bench/twinvq/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tallory=$build/bin/tallory
rounds=${ROUNDS:-3}
goal=1.10

for tool in ffmpeg python3; do
  command -v "$tool" >/dev/null || { echo "bench/twinvq: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
if [ ! -x "$tallory" ]; then
  echo "bench/twinvq: $tallory not found; build it with 'make' first" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config
python3 "$root/bench/twinvq/make_vqf.py" "$work/in.vqf" 300

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "bench/twinvq: failed: $*" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", b - a }'
}
best() { printf '%s\n' "$@" | sort -g | head -n1; }

ours=() ref=() play=()
for ((i = 0; i < rounds; i++)); do
  ours+=("$(seconds "$tallory" convert "$work/in.vqf" --to wav -o "$work/ours.wav" --overwrite)")
  ref+=("$(seconds ffmpeg -nostdin -v quiet -y -i "$work/in.vqf" -c:a pcm_s16le "$work/ref.wav")")
  play+=("$(seconds "$tallory" play --device null -q "$work/in.vqf")")
done

o=$(best "${ours[@]}") r=$(best "${ref[@]}") p=$(best "${play[@]}")
ratio=$(awk -v a="$o" -v b="$r" 'BEGIN { printf "%.4f", a / b }')
ok=$(awk -v x="$ratio" -v g="$goal" 'BEGIN { print (x <= g) ? 1 : 0 }')
printf 'decode   tallory %7.3f s   ffmpeg %7.3f s   ratio %.3f  %s\n' "$o" "$r" "$ratio" \
  "$([ "$ok" = 1 ] && echo ok || echo "over the goal $goal")"
audio=$("$tallory" info "$work/in.vqf" | awk '/^length:/ { print $4 }')
awk -v p="$p" -v d="$o" -v a="$audio" 'BEGIN {
  printf "playback %7.3f s for %.1f s of audio on the null device: %.2f ms per second of audio, decoding included (decoding to WAV: %.2f ms)\n", p, a, 1000 * p / a, 1000 * d / a }'
[ "$ok" = 1 ]
