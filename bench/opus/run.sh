#!/usr/bin/env bash
# Opus speed against opusenc, in one run: encoding a 5-minute stereo WAV at
# 128 kbit/s VBR (tallory --option opus-bitrate=128, opusenc --bitrate 128).
# Each command runs ROUNDS times, alternating with its rival; the best CPU time
# (user + system) of each counts. Prints the ratio (tallory / opusenc), the goal
# being at most 1.03, and both files' sizes, which should be close.
#
# usage: bench/opus/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/timing.sh"
bench_init opus "${1:-$root/build}" opusenc
rounds=${ROUNDS:-3}

enc_ours=() enc_ref=()
for ((i = 0; i < rounds; i++)); do
  enc_ours+=("$(bench_seconds "$tallory" convert "$work/in.wav" --to opus -o "$work/ours.opus" --option opus-bitrate=128 --overwrite -q)")
  enc_ref+=("$(bench_seconds opusenc --quiet --bitrate 128 "$work/in.wav" "$work/ref.opus")")
done

status=0
bench_report encode "$(bench_best "${enc_ours[@]}")" "$(bench_best "${enc_ref[@]}")" opusenc || status=1
printf 'size     tallory %d bytes   opusenc %d bytes\n' "$(stat -c %s "$work/ours.opus")" "$(stat -c %s "$work/ref.opus")"
exit $status
