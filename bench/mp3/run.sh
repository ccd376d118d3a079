#!/usr/bin/env bash
# MP3 encoding speed against the tools a user would pick instead: a 5-minute
# stereo WAV to 128 kbps CBR and to VBR quality 5, by tallory convert, lame and
# ffmpeg's libmp3lame, in CPU time. Each command runs ROUNDS times, alternating with its
# rivals; the best time of each counts. Prints the ratios (tallory / rival);
# the goal is tallory / lame at most 1.03. With VBR the "bitrate" option is the
# lowest bitrate, so 32 matches lame -V 5.
#
# usage: bench/mp3/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tallory=$build/bin/tallory
rounds=${ROUNDS:-3}
goal=1.03

for tool in sox lame ffmpeg; do
  command -v "$tool" >/dev/null || { echo "bench/mp3: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
if [ ! -x "$tallory" ]; then
  echo "bench/mp3: $tallory not found; build it with 'make' first" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config HOME=$work

# Five minutes of programme-like material: pink noise under two tones that drift.
sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 300 pinknoise synth 300 sine mix 220-880 \
  synth 300 sine mix 330-660 vol -6dB 2>/dev/null

# CPU seconds (user + system) that one command takes: on a machine shared with
# other work the wall clock measures the neighbours as much as the encoder.
seconds() {
  local t TIMEFORMAT='%U %S'
  t=$( { time "$@" >/dev/null 2>&1 || echo failed; } 2>&1 ) || true
  case $t in *failed*) echo "bench/mp3: failed: $*" >&2; exit 1 ;; esac
  awk -v t="$t" 'BEGIN { split(t, p, " "); printf "%.4f\n", p[1] + p[2] }'
}
best() { printf '%s\n' "$@" | sort -g | head -n1; }

cbr_ours=() cbr_lame=() cbr_ff=() vbr_ours=() vbr_lame=() vbr_ff=()
for ((i = 0; i < rounds; i++)); do
  cbr_ours+=("$(seconds "$tallory" convert "$work/in.wav" --to mp3 -o "$work/ours.mp3" --option bitrate=128 --overwrite)")
  cbr_lame+=("$(seconds lame --quiet -b 128 "$work/in.wav" "$work/lame.mp3")")
  cbr_ff+=("$(seconds ffmpeg -v error -y -i "$work/in.wav" -c:a libmp3lame -b:a 128k "$work/ff.mp3")")
  vbr_ours+=("$(seconds "$tallory" convert "$work/in.wav" --to mp3 -o "$work/ours-vbr.mp3" --option enable-vbr \
    --option vbr-quality=5 --option bitrate=32 --overwrite)")
  vbr_lame+=("$(seconds lame --quiet -V 5 "$work/in.wav" "$work/lame-vbr.mp3")")
  vbr_ff+=("$(seconds ffmpeg -v error -y -i "$work/in.wav" -c:a libmp3lame -q:a 5 "$work/ff-vbr.mp3")")
done

status=0
report() {
  local name=$1 ours=$2 lame=$3 ff=$4
  local rl rf
  rl=$(awk -v a="$ours" -v b="$lame" 'BEGIN { printf "%.3f", a / b }')
  rf=$(awk -v a="$ours" -v b="$ff" 'BEGIN { printf "%.3f", a / b }')
  printf '%-4s tallory %7.3f s   lame %7.3f s   ffmpeg %7.3f s   tallory/lame %s   tallory/ffmpeg %s  %s\n' \
    "$name" "$ours" "$lame" "$ff" "$rl" "$rf" \
    "$(awk -v r="$rl" -v g="$goal" 'BEGIN { print (r <= g) ? "ok" : "over the goal " g }')"
  awk -v r="$rl" -v g="$goal" 'BEGIN { exit !(r <= g) }' || status=1
}
report cbr "$(best "${cbr_ours[@]}")" "$(best "${cbr_lame[@]}")" "$(best "${cbr_ff[@]}")"
report vbr "$(best "${vbr_ours[@]}")" "$(best "${vbr_lame[@]}")" "$(best "${vbr_ff[@]}")"
printf 'size tallory %d / %d bytes   lame %d / %d bytes (cbr / vbr)\n' "$(stat -c %s "$work/ours.mp3")" \
  "$(stat -c %s "$work/ours-vbr.mp3")" "$(stat -c %s "$work/lame.mp3")" "$(stat -c %s "$work/lame-vbr.mp3")"
exit $status
