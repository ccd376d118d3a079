#!/usr/bin/env bash
# The demonstration: a generated, tagged sample converted the ways users do,
# in a settings store and an output folder of its own under the build folder.
set -eu
build=${1:-build}
tallory=$(cd "$build" && pwd)/bin/tallory
out=$(cd "$build" && pwd)/demo
rm -rf "$out"
mkdir -p "$out"
export XDG_CONFIG_HOME=$out/config
export XDG_DATA_HOME=$out/data

echo "== $("$tallory" --version)"
echo "== the sample: 8 seconds of a chord with a metronome at 120 BPM, and an ID3-tagged MP3 copy"
sox -n -r 44100 -c 2 -b 16 "$out/chord.wav" synth 8 sine 262 sine 330 sine 392 vol 0.25
sox -n -r 44100 -c 2 -b 16 "$out/clicks.wav" synth 0.06 sine 1500 vol 0.9 pad 0 0.44 repeat 15
sox -m "$out/chord.wav" "$out/clicks.wav" "$out/sample.wav" vol 0.6
lame --quiet -b 192 "$out/sample.wav" "$out/sample.mp3"
"$tallory" tags set "$out/sample.mp3" TIT2="Demo Chord" TPE1="Tallory" TALB="Samples" TRCK=1/3 TYER=2026
"$tallory" info "$out/sample.wav"

run() { echo "\$ tallory $*"; "$tallory" "$@"; }
echo "== WAV -> WAV (IMA ADPCM), WAV -> AIFF, normalized WAV with the tempo measured"
run convert -q "$out/sample.wav" --to wav -o "$out/out/sample-adpcm.wav" --option "wave-codec=IMA ADPCM"
run convert -q "$out/sample.wav" --to aiff -o "$out/out/sample.aif"
run convert -q "$out/sample.wav" --to wav -o "$out/out/sample-normalized.wav" --normalize --bpm
echo "== MP3 -> MP3 with the tags carried across, the encoder settings and the tempo"
run convert -q "$out/sample.mp3" --to mp3 -o "$out/out/sample.mp3" --option bitrate=128 --bpm
run tags show "$out/out/sample.mp3"
echo "== MP3 -> Ogg Vorbis and WMA, and a batch named from the tags"
run convert -q "$out/sample.mp3" --to ogg -o "$out/out/sample.ogg" --option vbr-quality=50
run convert -q "$out/sample.mp3" --to wma -o "$out/out/sample.wma"
run tags show "$out/out/sample.wma"
run convert -q "$out/sample.mp3" "$out/sample.wav" --to aiff --scheme "$out/out/batch/<artist>/<tracknum> <title>"
echo "== outputs in $out/out"
ls -lR "$out/out" | grep -v '^total'
