#!/usr/bin/env bash
# tallory convert for one file: formats by name or extension, options and their
# refusals, the overwrite flags, limits, normalization and the tempo, checked
# with sox and ffprobe.
set -u
TALLORY=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect() {  # name, exit code, pattern in the combined output, command...
    local name=$1 code=$2 pattern=$3; shift 3
    local out rc
    out=$("$@" 2>&1); rc=$?
    if [[ $rc -eq $code ]] && grep -qE -- "$pattern" <<<"$out"; then ok; else bad "$name: exit $rc, want $code: $(head -3 <<<"$out")"; fi
}

sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth 3 sine 440 vol 0.25

expect "by name" 0 "" "$TALLORY" convert -q "$work/in.wav" --to AIFF -o "$work/a.aif"
expect "by extension" 0 "" "$TALLORY" convert -q "$work/in.wav" --to .ogg -o "$work/a.ogg"
[[ $(soxi -D "$work/a.aif") == 3.000000 ]] && ok || bad "aiff duration $(soxi -D "$work/a.aif")"
[[ $(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/a.ogg") == vorbis ]] && ok || bad "ogg codec"

expect "unknown format" 1 'unknown format "ape"' "$TALLORY" convert "$work/in.wav" --to ape -o "$work/x.ape"

# FLAC and Opus by name and extension, their options, and loudness tags.
expect "to flac" 0 "" "$TALLORY" convert -q "$work/in.wav" --to flac -o "$work/a.flac" --option flac-level=8
flac -s -t "$work/a.flac" 2>/dev/null && ok || bad "flac -t rejects a.flac"
expect "to opus" 0 "" "$TALLORY" convert -q "$work/in.wav" --to .opus -o "$work/a.opus" --option opus-bitrate=96 --option opus-vbr=0
[[ $(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/a.opus") == opus ]] && ok || bad "opus codec"
expect "flac level refused" 1 "option flac-level: Value must be a compression level from 0 \(fastest\) to 8 \(smallest\)" \
    "$TALLORY" convert "$work/in.wav" --to flac -o "$work/y.flac" --option flac-level=9
[[ ! -e "$work/y.flac" ]] && ok || bad "a refused flac option left an output"
expect "replaygain" 0 "Loudness: " "$TALLORY" convert "$work/a.flac" --to flac -o "$work/rg.flac" --replaygain
metaflac --show-tag=REPLAYGAIN_TRACK_GAIN "$work/rg.flac" | grep -qE '^REPLAYGAIN_TRACK_GAIN=-?[0-9]+\.[0-9]{2} dB$' && ok || bad "no track gain"
expect "replaygain wav" 0 "Wave files cannot hold loudness tags" "$TALLORY" convert "$work/a.opus" --to wav -o "$work/rg.wav" --replaygain
expect "not writable" 1 "Track files cannot be written" "$TALLORY" convert "$work/in.wav" --to cda -o "$work/x.cda"
expect "unreadable name" 1 "no extension of a readable format" "$TALLORY" convert "$work/in.txt" --to wav -o "$work/x.wav"
expect "missing source" 1 "conversion failed" "$TALLORY" convert -q "$work/missing.wav" --to wav -o "$work/x.wav"
expect "refused value" 1 "option bitrate: Value must be a number ended by either kbps, bps or nothing" \
    "$TALLORY" convert "$work/in.wav" --to mp3 -o "$work/x.mp3" --option "bitrate=128 kbps"
expect "unknown option" 1 'unknown option "loudness" for MP3 files' \
    "$TALLORY" convert "$work/in.wav" --to mp3 -o "$work/x.mp3" --option loudness=11
[[ ! -e "$work/x.mp3" ]] && ok || bad "a refused option left an output"

# Existing outputs: refused without a terminal or with --no-overwrite, replaced with --overwrite.
echo keep > "$work/exists.wav"
expect "no terminal, no flag" 1 "Output file already exists" "$TALLORY" convert "$work/in.wav" --to wav -o "$work/exists.wav" < /dev/null
expect "no-overwrite" 1 "Output file already exists" "$TALLORY" convert "$work/in.wav" --to wav -o "$work/exists.wav" --no-overwrite
[[ $(cat "$work/exists.wav") == keep ]] && ok || bad "refused output was touched"
expect "overwrite" 0 "" "$TALLORY" convert -q "$work/in.wav" --to wav -o "$work/exists.wav" --overwrite
cmp -s "$work/in.wav" "$work/exists.wav" && ok || bad "PCM WAV to WAV is not byte-identical"
expect "both flags" 2 "" "$TALLORY" convert "$work/in.wav" --to wav -o "$work/y.wav" --overwrite --no-overwrite
expect "same file" 1 "The source file is equal to the destination file" "$TALLORY" convert "$work/in.wav" --to wav -o "$work/in.wav" --overwrite

# Limits: start and end in milliseconds.
expect "limits" 0 "" "$TALLORY" convert -q "$work/in.wav" --to wav -o "$work/cut.wav" --start 1000 --end 2500
frames=$(soxi -s "$work/cut.wav")
(( frames >= 66150 && frames < 66150 + 16384 )) && ok || bad "1.5 s cut has $frames frames"
expect "negative start" 2 "" "$TALLORY" convert "$work/in.wav" --to wav -o "$work/z.wav" --start -5

# Normalization reaches full scale.
expect "normalize" 0 "" "$TALLORY" convert -q "$work/in.wav" --to wav -o "$work/norm.wav" --normalize
peak=$(sox "$work/norm.wav" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')
awk -v p="$peak" 'BEGIN {exit !(p > 0.999)}' && ok || bad "normalized peak $peak"

# The tempo of a metronome, printed on standard output; the stored setting is left as it was.
sox -n -r 44100 -c 2 -b 16 "$work/click.wav" synth 0.05 sine 1500 pad 0 0.45 repeat 39
expect "bpm" 0 "^tempo: 1(19|20)\.[0-9] BPM$" "$TALLORY" convert -q "$work/click.wav" --to wav -o "$work/c.wav" --bpm
expect "bpm setting restored" 1 "no value" "$TALLORY" settings get Settings BPMAnalysis

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
