#!/usr/bin/env bash
# tallory cd burn: files of any readable format burned into a cue/bin image
# that cd-paranoia (libcdio) rips back to the samples sox decodes; resampled
# sources keep their length; --verify, --test, Ctrl-C and the exit codes.
set -u
tallory=$(realpath "$1")
work=$(mktemp -d /tmp/tallory_burn_cli_XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A settings store and a temporary folder of this test's own.
export XDG_CONFIG_HOME="$work/config" TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"
failures=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
sectors_of() {  # bytes -> whole sectors, as bytes
    echo $(( ($1 + 2351) / 2352 * 2352 ))
}
rip() {  # cue track out.raw: the track as cd-paranoia reads it, without the WAVE header
    cd-paranoia -q -c -d "$1" "$2" rip.wav > /dev/null 2>&1
    tail -c +45 rip.wav > "$3"
}
sox -n -r 44100 -b 16 -c 2 one.wav synth 3.3 sine 440 sine 660 2>/dev/null
sox -n -r 44100 -b 16 -c 2 two.aiff synth 2.01 whitenoise vol 0.5 2>/dev/null
sox -n -r 44100 -b 16 -c 2 three.flac synth 1.7 pinknoise vol 0.5 2>/dev/null
sox -n -r 22050 -b 16 -c 1 mono.wav synth 1 sine 300 2>/dev/null
sox -n -r 48000 -c 2 four.ogg synth 2.3 sine 500 2>/dev/null
sox -n -r 48000 -b 16 -c 2 five.wav synth 1.9 sine 700 2>/dev/null
lame --quiet -b 192 --tt 'Say "Hi"' --ta 'The Band' five.wav five.mp3

"$tallory" cd burn -q one.wav two.aiff three.flac --image disc.cue
check "burn succeeds" '[ $? -eq 0 ] && [ -s disc.cue ] && [ -s disc.bin ]'
check "three tracks in the cue" '[ "$(grep -c "TRACK .. AUDIO" disc.cue)" = 3 ]'
check "no temporary track is left" '[ -z "$(ls -A "$TMPDIR")" ]'
src=(one.wav two.aiff three.flac)
for n in 1 2 3; do
    f=${src[$((n - 1))]}
    rip disc.cue "$n" "p$n.raw"
    sox "$f" -t raw -e signed -b 16 -L "s$n.raw" 2>/dev/null
    len=$(stat -c %s "s$n.raw")
    check "track $n ($f) ripped by cd-paranoia equals the file as sox decodes it" 'cmp -s -n "$len" "s$n.raw" "p$n.raw"'
    check "track $n is padded with zeros to its last sector" \
        '[ "$(stat -c %s "p$n.raw")" = "$(sectors_of "$len")" ] && [ -z "$(tail -c +$((len + 1)) "p$n.raw" | tr -d "\000" | head -c 1)" ]'
done

# Sources at other rates or channels are converted, and keep their length.
"$tallory" cd burn -q mono.wav four.ogg five.mp3 --image conv.cue
check "a mono 22 kHz WAVE, a 48 kHz Ogg and a 48 kHz MP3 burn" '[ $? -eq 0 ] && [ "$(grep -c "TRACK .. AUDIO" conv.cue)" = 3 ]'
n=1
for f in mono.wav four.ogg five.mp3; do
    rip conv.cue "$n" "c$n.raw"
    # sox has no MP3 decoder here; ffmpeg decodes it without the encoder's delay and padding, as we do.
    case "$f" in
        *.mp3) want=$(ffmpeg -v error -i "$f" -f s16le -ar 44100 -ac 2 - | wc -c) ;;
        *) want=$(sox "$f" -t raw -r 44100 -c 2 -b 16 -e signed - 2>/dev/null | wc -c) ;;
    esac
    got=$(stat -c %s "c$n.raw")
    check "track $n ($f) has the sectors of its resampled length" '[ "$got" = "$(sectors_of "$want")" ]'
    n=$((n + 1))
done
"$tallory" cd burn -q five.mp3 one.wav --cd-text --image text.cue
check "--cd-text burns from the tags" '[ $? -eq 0 ] && [ -s text.cue ]'
# libcdio reads the image's texts (a cue sheet cannot hold a double quote: the image shows ').
cd-info --no-device-info --cue-file text.cue > info.txt 2>/dev/null
check "... the title and artist of the MP3 in the CD-TEXT (libcdio)" \
    'grep -q "TITLE: Say .Hi." info.txt && grep -q "PERFORMER: The Band" info.txt'
check "... a file without tags named after the file" 'grep -q "TITLE: one$" info.txt'

"$tallory" cd burn one.wav four.ogg --image v.cue --verify 2>verify.txt
check "--verify of a good burn exits 0 and says so" '[ $? -eq 0 ] && grep -q "^Verified: 2 tracks" verify.txt'
# Sector 300 is in track 2 (track 1 has 248 sectors).
TALLORY_SIM_DAMAGE_SECTORS=300 "$tallory" cd burn -q one.wav four.ogg --image bad.cue --verify 2>bad.txt
check "--verify catches a damaged sector: exit 1" '[ $? -eq 1 ]'
check "... and names its range" 'grep -q "Track 2 differs from its source at samples 305[0-9][0-9] to 3[01][0-9][0-9][0-9] .*sectors 300 to 300" bad.txt'

"$tallory" cd burn -q one.wav --image test.cue --test
check "--test writes no image" '[ $? -eq 0 ] && [ ! -e test.cue ] && [ ! -e test.bin ]'

"$tallory" cd burn -q one.wav --image disc.cue 2>/dev/null
check "an existing image is refused" '[ $? -eq 1 ]'
"$tallory" cd burn -q one.wav --image disc.cue --overwrite
check "--overwrite replaces it" '[ $? -eq 0 ] && [ "$(grep -c "TRACK .. AUDIO" disc.cue)" = 1 ]'
"$tallory" cd burn -q missing.wav --image bad2.cue 2>err.txt
check "a missing file is refused" '[ $? -eq 1 ] && [ ! -e bad2.cue ] && [ -s err.txt ]'
printf 'not audio' > junk.wav
"$tallory" cd burn -q one.wav junk.wav --image bad3.cue 2>/dev/null
check "a file that does not decode fails with nothing left" '[ $? -eq 1 ] && [ ! -e bad3.cue ] && [ ! -e bad3.bin ] && [ -z "$(ls -A "$TMPDIR")" ]'
"$tallory" cd burn one.wav 2>/dev/null
check "no recorder and no --image is a usage error" '[ $? -eq 2 ]'
"$tallory" cd burn 2>/dev/null
check "no files is a usage error" '[ $? -eq 2 ]'
"$tallory" cd burn -q one.wav --image x.cue --speed -4 2>/dev/null
check "a negative speed is a usage error" '[ $? -eq 2 ] && [ ! -e x.cue ]'

# Ctrl-C: the burn stops, nothing stays behind under the image's name or as a temporary track.
sox -n -r 48000 -b 16 -c 2 long.wav synth 600 whitenoise 2>/dev/null
"$tallory" cd burn -q long.wav long.wav --image int.cue 2>/dev/null &
pid=$!
sleep 1
kill -INT $pid
wait $pid
rc=$?
check "Ctrl-C exits 130" '[ $rc -eq 130 ]'
check "... leaving no image and no temporary track" '[ ! -e int.cue ] && [ ! -e int.bin ] && [ -z "$(ls -A "$TMPDIR")" ] && [ -z "$(ls -A . | grep tallory-burn)" ]'
exit $((failures > 0))
