#!/usr/bin/env bash
# tallory codecs and tallory info as a user runs them, on files that sox writes.
set -u
TALLORY=$1 DATA=$2
export XDG_CONFIG_HOME=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$XDG_CONFIG_HOME" "$work"' EXIT
passed=0 failed=0

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

tags=$("$TALLORY" codecs | grep -E '^0x' | sed -E 's/ {2,}/|/g')
expected='0x0001|PCM|read, write|72 formats
0x0002|Microsoft ADPCM|read, write|8 formats
0x0006|CCITT A-Law|read, write|8 formats
0x0007|CCITT u-Law|read, write|8 formats
0x0011|IMA ADPCM|read, write|8 formats
0x0031|GSM 6.10|read, write|4 formats
0x0055|MPEG Layer-3|read, write|216 formats'
if [[ "$tags" == "$expected" ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: codec table:"; echo "$tags"; fi
check "codec formats" 0 '^        44,100 Hz, 4 Bit, Stereo$' "$TALLORY" codecs
check "gsm formats" 0 '^        8,000 Hz, Mono$' "$TALLORY" codecs
check "mp3 formats" 0 '^        320 kBit/s, 48,000 Hz, Stereo$' "$TALLORY" codecs

sox -n -r 48000 -c 2 -b 24 "$work/a.wav" synth 1.5 sine 440 2>/dev/null
sox -n -r 22050 -c 1 -b 16 "$work/b.aiff" synth 2 sine 440 2>/dev/null
sox -n -r 8000 -c 1 -e u-law "$work/c.wav" synth 0.25 sine 440 2>/dev/null
check "info wav" 0 '^pcm: 48000 Hz, 24 bits, 2 channels, block align 6, 288000 bytes/s$' "$TALLORY" info "$work/a.wav"
check "info wav length" 0 '^length: 432000 bytes, 1\.500 s$' "$TALLORY" info "$work/a.wav"
check "info wav row" 0 '^format: Wave \(row 1, Wave Audio Files \(\.wav\)\)$' "$TALLORY" info "$work/a.wav"
check "info aiff" 0 '^pcm: 22050 Hz, 16 bits, 1 channels, block align 2, 44100 bytes/s$' "$TALLORY" info "$work/b.aiff"
check "info aiff length" 0 '^length: 88200 bytes, 2\.000 s$' "$TALLORY" info "$work/b.aiff"
check "info u-law" 0 '^length: 4000 bytes, 0\.250 s$' "$TALLORY" info "$work/c.wav"
check "info damaged" 1 'fmt_size_4gb\.wav: The file format is invalid or corrupted$' "$TALLORY" info "$DATA/wav/fmt_size_4gb.wav"
check "info damaged names the check" 1 "^  'fmt ' chunk holds 4294967280 bytes; a format record has 16 to 65553\$" \
    "$TALLORY" info "$DATA/wav/fmt_size_4gb.wav"
# MPEG audio in a WAV file: the length comes from its frames, even when the
# record declares no byte rate.
ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=3:sample_rate=44100" -ac 2 -c:a libmp3lame -b:a 128k \
    -f wav "$work/mp3.wav"
python3 - "$work/mp3.wav" "$work/mp3_no_rate.wav" <<'PY'
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
d[28:32] = b'\0\0\0\0'   # nAvgBytesPerSec of the format record
open(sys.argv[2], 'wb').write(d)
PY
decoded=$(ffmpeg -v error -i "$work/mp3.wav" -f s16le - | wc -c)
for f in mp3.wav mp3_no_rate.wav; do
    out=$("$TALLORY" info "$work/$f" 2>&1)
    bytes=$(sed -n 's/^length: \([0-9]*\) bytes.*/\1/p' <<<"$out")
    # Within two frames of what ffmpeg decodes (decoders differ in the first frame's delay).
    if [[ -n $bytes ]] && (( bytes + 2 * 1152 * 4 >= decoded && bytes <= decoded + 2 * 1152 * 4 )); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1)); echo "FAIL: info of $f: $bytes bytes, ffmpeg decodes $decoded"; echo "$out"
    fi
done
# Complete audio followed by a chunk that runs past the end: read, with a warning.
python3 - "$work/a.wav" "$work/tail.wav" <<'PY'
import sys, struct
d = open(sys.argv[1], 'rb').read() + b'LIST' + struct.pack('<I', 100000) + b'junk'
d = d[:4] + struct.pack('<I', len(d) - 8) + d[8:]
open(sys.argv[2], 'wb').write(d)
PY
check "info damaged tail" 0 '^length: 432000 bytes, 1\.500 s$' "$TALLORY" info "$work/tail.wav"
check "info damaged tail warning" 0 "warning: Ignoring the rest of the file: chunk 'LIST' at offset [0-9]+ declares 100000 bytes" \
    "$TALLORY" info "$work/tail.wav"
check "info missing" 1 'Cannot open source file$' "$TALLORY" info "$work/none.wav"
check "info unknown extension" 1 'no format has this file' "$TALLORY" info "$work/x.ape"
check "info usage" 2 '' "$TALLORY" info

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
