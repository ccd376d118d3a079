#!/usr/bin/env bash
# TwinVQ and preview playback from the command line: info reports the decoded
# length, convert --to wav gives a WAV that ffprobe measures at that length and
# whose first frames match ffmpeg's own decoding, play runs on the null device.
set -u
TALLORY=$1
MAKE_VQF=$2
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

# 2 s of 22 kHz mono at 20 kbit/s: 44 frames of 1024 samples.
python3 "$MAKE_VQF" "$work/a.vqf" 2 1 20 22 1024
frames=44
expect "info" 0 "^length: $((frames * 1024 * 2)) bytes" "$TALLORY" info "$work/a.vqf"
expect "info format" 0 "^pcm: 22050 Hz, 16 bits, 1 channels" "$TALLORY" info "$work/a.vqf"
expect "convert" 0 "" "$TALLORY" convert -q "$work/a.vqf" --to wav -o "$work/a.wav"
samples=$(ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 "$work/a.wav")
[[ $samples == $((frames * 1024)) ]] && ok || bad "wav has $samples samples, want $((frames * 1024))"
# ffmpeg keeps the decoder's last two frames; the rest is the same audio
# (ffmpeg rounds to nearest and clamps at full scale, we clamp at +-32700).
ffmpeg -nostdin -v quiet -y -i "$work/a.vqf" -f s16le "$work/ref.raw"
ffmpeg -nostdin -v quiet -y -i "$work/a.wav" -f s16le "$work/ours.raw"
[[ $(stat -c %s "$work/ref.raw") == $(((frames - 2) * 1024 * 2)) ]] && ok || bad "ffmpeg length $(stat -c %s "$work/ref.raw")"
python3 - "$work/ref.raw" "$work/ours.raw" <<'PY' && ok || bad "samples differ from ffmpeg's"
import struct, sys
ref = open(sys.argv[1], "rb").read(); ours = open(sys.argv[2], "rb").read()[:len(ref)]
a = struct.unpack("<%dh" % (len(ref) // 2), ref); b = struct.unpack("<%dh" % (len(ours) // 2), ours)
bad = sum(1 for x, y in zip(a, b) if abs(max(-32700, min(32700, x)) - y) > 1)
sys.exit(1 if bad or len(a) != len(b) else 0)
PY

expect "play" 0 "0:02 / 0:02" "$TALLORY" play --device null "$work/a.vqf"
expect "play quiet" 0 "" "$TALLORY" play --device null -q "$work/a.vqf"
expect "play missing" 1 "Cannot open source file for reading" "$TALLORY" play --device null "$work/none.vqf"
head -c 40 "$work/a.vqf" > "$work/cut.vqf"
expect "play broken" 1 "cut.vqf: cannot be played" "$TALLORY" play --device null "$work/cut.vqf"
expect "play unknown" 1 "no extension of a readable format" "$TALLORY" play --device null "$work/a.txt"

echo "twinvq cli: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
