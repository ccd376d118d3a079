#!/usr/bin/env bash
# Decoding speed: a 5-minute MP3 and WMA decoded to WAV by tallory, ffmpeg and
# mpg123 (MP3 only, when installed) in one run; prints times and the ratio to ffmpeg.
# Usage: bench/decode/run.sh [build-dir]   (default: build, an optimised build)
set -eu
build=${1:-build}
tallory=$(cd "$build" && pwd)/bin/tallory
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config

sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth 300 sine 440 sine 660 vol 0.5
lame --quiet -b 192 "$work/in.wav" "$work/in.mp3"
ffmpeg -nostdin -v error -i "$work/in.wav" -c:a wmav2 -b:a 128k "$work/in.wma"

best() {  # best of three wall times in seconds
    local best=999999 t s e
    for _ in 1 2 3; do
        rm -f "$work/out.wav"
        s=$(date +%s.%N)
        "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
        e=$(date +%s.%N)
        t=$(echo "$e - $s" | bc -l)
        best=$(echo "if ($t < $best) $t else $best" | bc -l)
    done
    printf '%.3f' "$best"
}
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

printf '%-16s %8s %8s %8s %16s\n' "5 min -> WAV" tallory ffmpeg mpg123 "tallory/ffmpeg"
for f in mp3 wma; do
    t=$(best "$tallory" convert -q "$work/in.$f" --to wav -o "$work/out.wav" --overwrite)
    a=$(best ffmpeg -nostdin -v error -y -i "$work/in.$f" "$work/out.wav")
    m=-
    if [ "$f" = mp3 ] && command -v mpg123 >/dev/null; then m=$(best mpg123 -q -w "$work/out.wav" "$work/in.mp3"); fi
    printf '%-16s %8s %8s %8s %16s\n' "$f" "$t" "$a" "$m" "$(ratio "$t" "$a")"
done
echo "goal: tallory/ffmpeg <= 1.10"
