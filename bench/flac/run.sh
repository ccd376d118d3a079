#!/usr/bin/env bash
# FLAC speed against the flac command, in one run: encoding a 5-minute stereo
# WAV at level 5 (tallory --option flac-level=5, flac -5) and decoding the same
# .flac to WAV (tallory, flac -d); then the cost of --replaygain on the encode.
# Each command runs ROUNDS times, alternating with its rival; the best CPU time
# (user + system) of each counts. Prints the ratios (tallory / reference); the
# goal is at most 1.03. --replaygain measures on a thread of its own, so its goal
# (1.05 over the plain conversion) is on the time the conversion takes (wall
# clock); the processor time it adds is printed beside it.
#
# usage: bench/flac/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/timing.sh"
bench_init flac "${1:-$root/build}" flac
rounds=${ROUNDS:-3}

enc_ours=() enc_ref=() dec_ours=() dec_ref=() plain=() gain=() plain_cpu=() gain_cpu=()
for ((i = 0; i < rounds; i++)); do
  enc_ours+=("$(bench_seconds "$tallory" convert "$work/in.wav" --to flac -o "$work/ours.flac" --option flac-level=5 --overwrite -q)")
  enc_ref+=("$(bench_seconds flac -s -f -5 -o "$work/ref.flac" "$work/in.wav")")
  dec_ours+=("$(bench_seconds "$tallory" convert "$work/ref.flac" --to wav -o "$work/ours.wav" --overwrite -q)")
  dec_ref+=("$(bench_seconds flac -s -f -d -o "$work/ref.wav" "$work/ref.flac")")
  t=$(bench_run "$tallory" convert "$work/in.wav" --to flac -o "$work/plain.flac" --overwrite -q)
  plain+=("${t% *}") plain_cpu+=("${t#* }")
  t=$(bench_run "$tallory" convert "$work/in.wav" --to flac -o "$work/gain.flac" --replaygain --overwrite -q)
  gain+=("${t% *}") gain_cpu+=("${t#* }")
done

status=0
bench_report encode "$(bench_best "${enc_ours[@]}")" "$(bench_best "${enc_ref[@]}")" "flac -5" || status=1
bench_report decode "$(bench_best "${dec_ours[@]}")" "$(bench_best "${dec_ref[@]}")" "flac -d" || status=1
bench_report gain "$(bench_best "${gain[@]}")" "$(bench_best "${plain[@]}")" "plain" 1.05 || status=1
gain_cpu_best=$(bench_best "${gain_cpu[@]}") plain_cpu_best=$(bench_best "${plain_cpu[@]}")
printf 'gain cpu tallory %7.3f s   plain     %7.3f s   ratio %.3f  (processor time, both threads)\n' \
  "$gain_cpu_best" "$plain_cpu_best" "$(awk -v a="$gain_cpu_best" -v b="$plain_cpu_best" 'BEGIN { printf "%.4f", a / b }')"
printf 'size     tallory %d bytes   flac %d bytes\n' "$(stat -c %s "$work/ours.flac")" "$(stat -c %s "$work/ref.flac")"
exit $status
