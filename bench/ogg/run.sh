#!/usr/bin/env bash
# Ogg Vorbis speed against the tools a user would pick instead: encoding a
# 5-minute stereo WAV at quality 40 (tallory) and -q 4 (oggenc), and decoding
# the same .ogg with tallory and oggdec. Each command runs ROUNDS times,
# alternating with its rival; the best CPU time (user + system) of each counts.
# Prints the ratios (tallory / reference); the goal is at most 1.03.
#
# usage: bench/ogg/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/timing.sh"
bench_init ogg "${1:-$root/build}" oggenc oggdec
rounds=${ROUNDS:-3}

enc_ours=() enc_ref=() dec_ours=() dec_ref=()
for ((i = 0; i < rounds; i++)); do
  enc_ours+=("$(bench_seconds "$tallory" convert "$work/in.wav" --to ogg -o "$work/ours.ogg" --option vbr-quality=40 --overwrite -q)")
  enc_ref+=("$(bench_seconds oggenc -Q -q 4 -o "$work/ref.ogg" "$work/in.wav")")
  dec_ours+=("$(bench_seconds "$tallory" convert "$work/ref.ogg" --to wav -o "$work/ours.wav" --overwrite -q)")
  dec_ref+=("$(bench_seconds oggdec -Q -o "$work/ref.wav" "$work/ref.ogg")")
done

status=0
bench_report encode "$(bench_best "${enc_ours[@]}")" "$(bench_best "${enc_ref[@]}")" oggenc || status=1
bench_report decode "$(bench_best "${dec_ours[@]}")" "$(bench_best "${dec_ref[@]}")" oggdec || status=1
printf 'size     tallory %d bytes   oggenc %d bytes\n' "$(stat -c %s "$work/ours.ogg")" "$(stat -c %s "$work/ref.ogg")"
exit $status
