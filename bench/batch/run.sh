#!/usr/bin/env bash
# Batch benchmark: eight 1-minute WAV files encoded to MP3 (codec-bound work)
# with --jobs 1 and --jobs 2 in one run, outputs compared byte for byte, and
# the lame command encoding the same files one after another as the tool a
# user would pick instead. Goal: --jobs 2 at least 1.8 times as fast as
# --jobs 1 on two otherwise idle cores.
# Usage: bench/batch/run.sh [build-dir or path/to/tallory]   (default: build/bin/tallory)
#        BENCH_FORMAT=ogg|aiff bench/batch/run.sh   (another target; aiff is I/O-bound)
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
TALLORY=${1:-$here/build/bin/tallory}
# A build folder, like the other benchmarks take, names its program.
[ -d "$TALLORY" ] && TALLORY=$TALLORY/bin/tallory
FORMAT=${BENCH_FORMAT:-mp3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data TALLORY_AUDIO_DEVICE=null

mkdir -p "$work/in"
for i in 1 2 3 4 5 6 7 8; do
  sox -n -r 44100 -c 2 -b 16 "$work/in/track$i.wav" synth 60 pinknoise vol 0.$i
done

seconds() { local s e; s=$(date +%s.%N); "$@"; e=$(date +%s.%N); awk "BEGIN { print $e - $s }"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

probe=$("$TALLORY" convert "$work/in/track1.wav" --to "$FORMAT" --scheme "$work/probe/<sourcename>" -q 2>&1) || {
  echo "batch benchmark cannot run: $probe"
  exit 77
}
t1=$(seconds "$TALLORY" convert "$work"/in/*.wav --to "$FORMAT" --scheme "$work/jobs1/<sourcename>" --jobs 1 -q)
t2=$(seconds "$TALLORY" convert "$work"/in/*.wav --to "$FORMAT" --scheme "$work/jobs2/<sourcename>" --jobs 2 -q)
# Ogg streams carry a random serial number, so two runs never match byte for
# byte; their samples, decoded by sox, must.
same() {
  cmp -s "$1" "$2" && return 0
  [[ $FORMAT == ogg ]] && [[ $(sox "$1" -t raw - | md5sum) == $(sox "$2" -t raw - | md5sum) ]]
}
for f in "$work"/jobs1/*; do
  same "$f" "$work/jobs2/$(basename "$f")" || { echo "outputs differ: $(basename "$f")"; exit 1; }
done
mkdir -p "$work/other"
if [[ $FORMAT == mp3 ]]; then
  other="lame, one by one"
  ts=$(seconds bash -c "for f in '$work'/in/*.wav; do lame --quiet -b 128 \"\$f\" '$work/other/'\$(basename \"\$f\" .wav).mp3; done")
else
  other="sox, one by one"
  ext=$([[ $FORMAT == aiff ]] && echo aif || echo "$FORMAT")
  ts=$(seconds bash -c "for f in '$work'/in/*.wav; do sox \"\$f\" '$work/other/'\$(basename \"\$f\" .wav).$ext; done")
fi

printf 'cores online: %s, load average: %s\n' "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'tallory --jobs 1: %6.2f s\n' "$t1"
printf 'tallory --jobs 2: %6.2f s\n' "$t2"
printf '%-17s %6.2f s\n' "$other:" "$ts"
echo "speed-up --jobs 2 over --jobs 1: $(ratio "$t1" "$t2") (goal >= 1.8)"
echo "time of tallory --jobs 2 / $other: $(ratio "$t2" "$ts")"
