#!/usr/bin/env bash
# A tagged MP3 converted to WMA by the command line: mutagen and ffprobe read
# the tag from the WMA, and "tallory tags" reads and edits it.
set -u
TALLORY=$(realpath "$1")
TAGS=$(realpath "$2")
work=$(mktemp -d)
export XDG_CONFIG_HOME=$work/config HOME=$work
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
cd "$work" || exit 1

sox -n -r 44100 -c 2 -b 16 tone.wav synth 2 sine 440 || { echo "FAIL: sox"; exit 1; }
lame --quiet tone.wav tagged.mp3 || { echo "FAIL: lame"; exit 1; }
"$TALLORY" tags set tagged.mp3 "TIT2=Grüße ♫" TPE1=Björk TALB="An Album" TRCK=4/9 || fail "tags set"
"$TALLORY" convert tagged.mp3 --to wma -o out.wma -q || fail "convert"

dump=$(/usr/bin/python3 "$TAGS" dump out.wma) || fail "mutagen cannot read out.wma"
for want in $'Title\tstring\t0\t0\tGrüße ♫' $'Author\tstring\t0\t0\tBjörk' $'WM/AlbumTitle\tstring\t0\t0\tAn Album' \
            $'WM/TrackNumber\tstring\t0\t0\t4/9'; do
    grep -qxF -- "$want" <<<"$dump" || fail "mutagen lacks '$want' in: $dump"
done
grep -q $'^WM/EncodingSettings\tstring\t0\t0\tTallory, ' <<<"$dump" || fail "no encoder settings in: $dump"
probed=$(ffprobe -v error -show_entries format_tags=title,artist,album,track -of default=nw=1 out.wma)
[[ $probed == *"TAG:title=Grüße ♫"* && $probed == *"TAG:artist=Björk"* && $probed == *"TAG:album=An Album"* ]] ||
    fail "ffprobe reads: $probed"

# Our own reading of the output, and an edit that mutagen sees.
"$TALLORY" tags show out.wma | grep -q 'Björk' || fail "tags show out.wma"
"$TALLORY" tags set out.wma TPE1=Other || fail "tags set out.wma"
edited=$(/usr/bin/python3 "$TAGS" dump out.wma)
grep -qxF $'Author\tstring\t0\t0\tOther' <<<"$edited" || fail "edited artist not seen by mutagen"
[[ $(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 out.wma) == 2.* ]] || fail "duration after edit"

# A ".wma" that is no ASF file is refused with a reason, and left as it was.
printf 'not a header at all' > fake.wma
out=$("$TALLORY" tags set fake.wma TIT2=x 2>&1); rc=$?
[[ $rc -eq 1 && $out == *"cannot read the tag"* ]] || fail "fake.wma: exit $rc: $out"
[[ $(cat fake.wma) == "not a header at all" ]] || fail "fake.wma changed"

[[ $failed -eq 0 ]] && echo "all passed"
exit $((failed > 0))
