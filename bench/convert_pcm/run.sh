#!/usr/bin/env bash
# PCM conversion speed: a 5-minute 44.1 kHz stereo WAV converted to WAV and to
# AIFF by tallory, sox and ffmpeg, with cp as the floor, and normalized by
# tallory and `sox --norm`. Prints each wall time and the ratios to sox.
# Usage: bench/convert_pcm/run.sh [build-dir]   (default: build, an optimised build)
set -eu
build=${1:-build}
tallory=$(cd "$build" && pwd)/bin/tallory
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config

sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth 300 sine 440 sine 660 vol 0.5
# Warm the page cache so that every contender reads from memory.
cat "$work/in.wav" > /dev/null

best() {  # best of three wall times in seconds
    local best=999999 t
    for _ in 1 2 3; do
        rm -f "$work"/out.*
        local s=$(date +%s.%N)
        "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
        local e=$(date +%s.%N)
        t=$(echo "$e - $s" | bc -l)
        best=$(echo "if ($t < $best) $t else $best" | bc -l)
    done
    printf '%.3f' "$best"
}

cp_t=$(best cp "$work/in.wav" "$work/out.wav")
t_wav=$(best "$tallory" convert -q "$work/in.wav" --to wav -o "$work/out.wav" --overwrite)
s_wav=$(best sox "$work/in.wav" "$work/out.wav")
f_wav=$(best ffmpeg -nostdin -v error -y -i "$work/in.wav" "$work/out.wav")
t_aif=$(best "$tallory" convert -q "$work/in.wav" --to aiff -o "$work/out.aif" --overwrite)
s_aif=$(best sox "$work/in.wav" "$work/out.aif")
f_aif=$(best ffmpeg -nostdin -v error -y -i "$work/in.wav" "$work/out.aif")
t_norm=$(best "$tallory" convert -q "$work/in.wav" --to wav -o "$work/out.wav" --normalize --overwrite)
s_norm=$(best sox --norm "$work/in.wav" "$work/out.wav")

ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
printf '%-22s %8s %8s %8s %8s %14s\n' "5 min WAV ->" tallory sox ffmpeg cp "tallory/sox"
printf '%-22s %8s %8s %8s %8s %14s\n' "WAV" "$t_wav" "$s_wav" "$f_wav" "$cp_t" "$(ratio "$t_wav" "$s_wav")"
printf '%-22s %8s %8s %8s %8s %14s\n' "AIFF" "$t_aif" "$s_aif" "$f_aif" "-" "$(ratio "$t_aif" "$s_aif")"
printf '%-22s %8s %8s %8s %8s %14s\n' "WAV normalized" "$t_norm" "$s_norm" "-" "-" "$(ratio "$t_norm" "$s_norm")"
echo "goal: WAV and AIFF ratios <= 1.00; normalized <= 2.00"
