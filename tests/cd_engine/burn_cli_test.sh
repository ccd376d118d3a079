#!/usr/bin/env bash
# tallory cd burn: WAVE and AIFF files burned into a cue/bin image that
# cd-paranoia (libcdio) rips back to the same samples; refusals leave no files.
set -u
tallory=$(realpath "$1")
work=$(mktemp -d /tmp/tallory_burn_cli_XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
sox -n -r 44100 -b 16 -c 2 one.wav synth 3.3 sine 440 sine 660 2>/dev/null
sox -n -r 44100 -b 16 -c 2 two.aiff synth 2.01 whitenoise vol 0.5 2>/dev/null
sox -n -r 22050 -b 16 -c 1 mono.wav synth 1 sine 300 2>/dev/null

"$tallory" cd burn -q one.wav two.aiff --image disc.cue
check "burn succeeds" '[ $? -eq 0 ] && [ -s disc.cue ] && [ -s disc.bin ]'
check "two tracks in the cue" '[ "$(grep -c "TRACK .. AUDIO" disc.cue)" = 2 ]'
for n in 1 2; do
    cd-paranoia -q -c -d disc.cue "$n" "p$n.wav" > /dev/null 2>&1
    tail -c +45 "p$n.wav" > "p$n.raw"
done
src=(one.wav two.aiff)
for n in 1 2; do
    f=${src[$((n - 1))]}
    sox "$f" -t raw -e signed -b 16 -L "s$n.raw" 2>/dev/null
    len=$(stat -c %s "s$n.raw")
    check "track $n ripped by cd-paranoia equals its file" 'cmp -s -n "$len" "s$n.raw" "p$n.raw"'
    # The rest of the track's last sector is silence.
    check "track $n is padded with zeros" '[ -s "p$n.raw" ] && [ -z "$(tail -c +$((len + 1)) "p$n.raw" | tr -d "\000" | head -c 1)" ]'
done

"$tallory" cd burn -q one.wav --image disc.cue 2>/dev/null
check "an existing image is refused" '[ $? -eq 1 ]'
"$tallory" cd burn -q one.wav --image disc.cue --overwrite
check "--overwrite replaces it" '[ $? -eq 0 ] && [ "$(grep -c "TRACK .. AUDIO" disc.cue)" = 1 ]'
"$tallory" cd burn -q mono.wav --image bad.cue 2>err.txt
check "a non-CD WAVE is refused" '[ $? -eq 1 ] && [ ! -e bad.cue ] && [ ! -e bad.bin ] && [ -s err.txt ]'
"$tallory" cd burn -q missing.wav --image bad.cue 2>/dev/null
check "a missing file is refused" '[ $? -eq 1 ] && [ ! -e bad.cue ]'
"$tallory" cd burn one.wav 2>/dev/null
check "--image is required" '[ $? -eq 2 ]'
exit $((failures > 0))
