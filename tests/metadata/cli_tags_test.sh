#!/usr/bin/env bash
# tallory tags as a user runs it, with mutagen reading what it wrote.
set -u
TALLORY=$1
work=$(mktemp -d)
export XDG_CONFIG_HOME=$work/config HOME=$work
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
PY=/usr/bin/python3

check() {  # name, expected exit code, expected text (grep -E) in output, command...
    local name=$1 code=$2 pattern=$3; shift 3
    local out rc
    out=$("$@" 2>&1); rc=$?
    if [[ $rc -eq $code ]] && grep -qE -- "$pattern" <<<"$out"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $name: exit $rc (want $code), output:"; echo "$out" | head -20
    fi
}

song=$work/song.mp3
ffmpeg -loglevel error -f lavfi -i sine=frequency=440:duration=1 -c:a libmp3lame -b:a 64k \
  -id3v2_version 0 -write_id3v1 0 "$song" || { echo "FAIL: ffmpeg"; exit 1; }
cp "$song" "$work/audio.mp3"

check "set" 0 '' "$TALLORY" tags set "$song" "TIT2=Grüße €" tpe1=Björk "TCON=(17)(9)Live" TRCK=3/12 TLEN=245000
check "show title" 0 '^TIT2  Title/songname/content description +Grüße €$' "$TALLORY" tags show "$song"
check "show genre" 0 '^TCON  Content type +Rock, Metal, Live$' "$TALLORY" tags show "$song"
check "show length" 0 '^TLEN  Length +4m 5s$' "$TALLORY" tags show "$song"
check "mutagen reads" 0 "^Grüße € Björk 3/12$" $PY -c "import sys, mutagen.id3 as m; t = m.ID3(sys.argv[1]); print(t['TIT2'].text[0], t['TPE1'].text[0], t['TRCK'].text[0])" "$song"

# A frame mutagen wrote that has no display survives a set.
$PY -c "import sys, mutagen.id3 as m; t = m.ID3(sys.argv[1]); t.add(m.USLT(encoding=1, lang='eng', desc='', text='la ♪')); t.save(v2_version=3)" "$song"
check "count others" 0 '^\(1 other frame without a display, kept unchanged\)$' "$TALLORY" tags show "$song"
check "set keeps others" 0 '' "$TALLORY" tags set "$song" TALB=Album
check "lyrics kept" 0 '^la ♪ Album$' $PY -c "import sys, mutagen.id3 as m; t = m.ID3(sys.argv[1]); print(t.getall('USLT')[0].text, t['TALB'].text[0])" "$song"

check "remove one" 0 '' "$TALLORY" tags remove "$song" tpe1 TRCK
check "removed gone" 1 '^$' grep -q Björk <("$TALLORY" tags show "$song")
check "remove all" 0 '' "$TALLORY" tags remove "$song" --all
cmp -s "$song" "$work/audio.mp3" && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAIL: --all strips back to the audio"; }

# FLAC, Ogg Vorbis and Opus files: Vorbis comments, read back by their own tools.
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 1 sine 440 2>/dev/null
flac -s -o "$work/tone.flac" "$work/tone.wav"
oggenc -Q -o "$work/tone.ogg" "$work/tone.wav"
opusenc --quiet "$work/tone.wav" "$work/tone.opus"
for f in tone.flac tone.ogg tone.opus; do
    check "set $f" 0 '' "$TALLORY" tags set "$work/$f" 'TIT2=Grüße "x"' TPE1=Björk TRCK=3/12
    check "show $f" 0 '^TIT2  Title/songname/content description +Grüße "x"$' "$TALLORY" tags show "$work/$f"
done
check "metaflac reads" 0 '^TITLE=Grüße "x"$' metaflac --export-tags-to=- "$work/tone.flac"
check "metaflac total" 0 '^TRACKTOTAL=12$' metaflac --export-tags-to=- "$work/tone.flac"
check "flac still sound" 0 '' flac -t -s "$work/tone.flac"
check "vorbiscomment reads" 0 '^ARTIST=Björk$' vorbiscomment -l "$work/tone.ogg"
check "opusinfo reads" 0 'TITLE=Grüße "x"' opusinfo "$work/tone.opus"
check "remove flac" 0 '' "$TALLORY" tags remove "$work/tone.flac" TPE1
check "removed from flac" 1 '' grep -q ARTIST <(metaflac --export-tags-to=- "$work/tone.flac")
check "opus remove all" 0 '' "$TALLORY" tags remove "$work/tone.opus" --all
check "opus decodes" 0 '' opusdec --quiet "$work/tone.opus" "$work/back.wav"
printf 'not flac at all' >"$work/fake.flac"
check "not flac" 1 'cannot read the tag' "$TALLORY" tags show "$work/fake.flac"

check "not text" 1 'COMM is not a text frame' "$TALLORY" tags set "$song" COMM=x
check "bad assignment" 1 "expected ID=TEXT" "$TALLORY" tags set "$song" TITLE
check "bad id" 1 "'XXXX' is not a frame identifier" "$TALLORY" tags remove "$song" XXXX
check "ids and all" 1 'not both or neither' "$TALLORY" tags remove "$song"
check "missing" 1 'no such readable file' "$TALLORY" tags show "$work/none.mp3"
check "other format" 1 'not a file whose tags can be handled' "$TALLORY" tags show /etc/hostname
check "usage" 2 'FILE is required' "$TALLORY" tags show

echo "cli tags: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
