#!/usr/bin/env bash
# tallory convert over several files and playlists: --jobs 2 writes the same
# bytes as --jobs 1, --delete-sources moves sources to the Trash, the exit code
# tells whether every item converted, and tallory playlist show reads lists.
# Skipped (77) while no WAV source and AIFF target are built.
set -u
TALLORY=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data TALLORY_AUDIO_DEVICE=null
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

mkdir -p "$work/lists/music"
printf '#EXTM3U\r\nmusic/a.wav\r\n..\\\\x.wav\r\nhttp://radio/stream\r\n' > "$work/lists/l.m3u"
printf '[playlist]\nFile2=two.wav\nFile1=/abs/one.wav\n' > "$work/lists/l.pls"
printf '<Asx><Entry><Ref href="a.wma"/></Entry></Asx>' > "$work/lists/l.wax"
[[ "$("$TALLORY" playlist show "$work/lists/l.m3u")" == "$work/lists/music/a.wav"$'\n'"$work/x.wav" ]] && ok || bad "m3u show"
[[ "$("$TALLORY" playlist show "$work/lists/l.pls")" == "$work/lists/two.wav"$'\n'"/abs/one.wav" ]] && ok || bad "pls show"
[[ "$("$TALLORY" playlist show "$work/lists/l.wax")" == "a.wma" ]] && ok || bad "wax show"
"$TALLORY" playlist show "$work/lists/none.m3u" 2>/dev/null; [[ $? -eq 1 ]] && ok || bad "missing playlist"
"$TALLORY" convert a.wav b.wav --to aiff -o x.aif 2>/dev/null; [[ $? -eq 2 ]] && ok || bad "-o with two inputs"

mkdir -p "$work/in"
for i in 1 2 3 4; do
  sox -n -r 44100 -c 2 -b 16 "$work/in/t$i.wav" synth $((i + 1)) sine $((200 * i)) 2>/dev/null || { bad "sox"; break; }
done
out=$("$TALLORY" convert "$work/in/t1.wav" --to aiff --scheme "$work/j1/<sourcename>" 2>&1)
if grep -q 'not built into this version' <<<"$out"; then
  echo "$passed passed, $failed failed; conversions skipped: $(head -1 <<<"$out")"
  [[ $failed -eq 0 ]] && exit 77 || exit 1
fi
rm -rf "$work/j1"
err=$("$TALLORY" convert "$work"/in/*.wav --to aiff --scheme "$work/j1/<sourcename>" --jobs 1 -q 2>&1) || bad "jobs 1"
# -q: the summary that only informs stays quiet; without it the summary is shown.
[[ -z "$err" ]] && ok || bad "-q printed: $err"
grep -q 'Conversion done! 1 item(s) successfully converted' \
  <("$TALLORY" convert "$work/in/t1.wav" --to aiff --scheme "$work/loud/<sourcename>" 2>&1) && ok || bad "summary without -q"
"$TALLORY" convert "$work"/in/*.wav --to aiff --scheme "$work/j2/<sourcename>" --jobs 2 -q || bad "jobs 2"
for i in 1 2 3 4; do
  cmp -s "$work/j1/t$i.aif" "$work/j2/t$i.aif" && ok || bad "t$i.aif differs between --jobs 1 and 2"
  [[ $(soxi -D "$work/j2/t$i.aif") == $(soxi -D "$work/in/t$i.wav") ]] && ok || bad "t$i.aif duration"
done
# One item that cannot be named fails the run; the others still convert.
"$TALLORY" convert "$work/in/t1.wav" "$work/in/t2.wav" --to aiff --scheme "$work/bad/<nope>/<sourcename>" -q 2>/dev/null
[[ $? -eq 1 ]] && ok || bad "naming failure exit code"
cp "$work/in/t1.wav" "$work/in/del.wav"
"$TALLORY" convert "$work/in/del.wav" --to aiff --scheme "$work/del/<sourcename>" --delete-sources -q && ok || bad "delete run"
[[ ! -e "$work/in/del.wav" && -e "$work/data/Trash/files/del.wav" && -e "$work/data/Trash/info/del.wav.trashinfo" ]] \
  && ok || bad "source moved to the Trash"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
