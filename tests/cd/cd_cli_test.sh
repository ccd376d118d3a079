#!/usr/bin/env bash
# tallory cd over cue/bin images: the ripped PCM equals the image and what
# cd-paranoia (libcdio) rips from it; the AccurateRip checksums equal those of
# an independent implementation; a missing image is one line and status 1.
set -u
tallory="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work" XDG_CONFIG_HOME="$work/config"
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi; }

cd "$work"
/usr/bin/python3 - <<'PY'
import random
r = random.Random(11)
sectors = [700, 450, 980]
data = bytearray()
cue = 'FILE "disc.bin" BINARY\n'
pos = 0
for i, n in enumerate(sectors, 1):
    cue += '  TRACK %02d AUDIO\n    INDEX 01 %02d:%02d:%02d\n' % (i, pos // 4500, pos // 75 % 60, pos % 75)
    data += bytes(r.getrandbits(8) for _ in range(n * 2352))
    pos += n
open('disc.bin', 'wb').write(data)
open('disc.cue', 'w').write(cue)
PY

out=$("$tallory" cd toc --image disc.cue)
check "toc lists three audio tracks" '[ "$(echo "$out" | grep -c " audio$")" = 3 ]'
check "toc prints the freedb id" 'echo "$out" | grep -q "freedb disc id"'

"$tallory" cd rip --image disc.cue --to wav --scheme "$work/rip/<tracknum>" --secure --log "$work/rip.log" > rip.out 2>&1
check "rip succeeds" '[ $? -eq 0 ] || [ -f rip/03.wav ]'
check "three outputs and a playlist" '[ -f rip/01.wav ] && [ -f rip/02.wav ] && [ -f rip/03.wav ] && ls rip/*.m3u >/dev/null 2>&1'
check "ffprobe reads 44.1 kHz stereo" '[ "$(ffprobe -v error -show_entries stream=sample_rate,channels -of csv=p=0 rip/02.wav)" = "44100,2" ]'
check "the log says accurate for every track" '[ "$(grep -c " accurate " rip.log)" = 3 ]'

# Track 2 against the image and against cd-paranoia's rip of the same image.
tail -c +45 rip/02.wav > ours2.raw
dd if=disc.bin of=image2.raw bs=2352 skip=700 count=450 status=none
check "track 2 equals the image's bytes" 'cmp -s ours2.raw image2.raw'
# -c: noise defeats its byte-order guess; the image is little-endian.
if cd-paranoia -c -d disc.cue 2 "$work/paranoia2.wav" > /dev/null 2>&1; then
    tail -c +45 paranoia2.wav > paranoia2.raw
    check "track 2 equals cd-paranoia's rip" 'cmp -s ours2.raw paranoia2.raw'
else
    check "cd-paranoia reads the image" 'false'
fi

# AccurateRip v1/v2 as the published algorithm defines them, computed apart.
/usr/bin/python3 - "$work" > ar.expected <<'PY'
import struct, sys
w = sys.argv[1]
data = open(w + '/disc.bin', 'rb').read()
sectors = [700, 450, 980]
start = 0
for i, n in enumerate(sectors, 1):
    chunk = data[start * 2352:(start + n) * 2352]
    samples = struct.unpack('<%dI' % (len(chunk) // 4), chunk)
    lo = 2940 if i == 1 else 0
    hi = len(samples) - 2940 if i == len(sectors) else len(samples)
    v1 = v2 = 0
    for m, s in enumerate(samples, 1):
        if lo <= m <= hi:
            v1 = (v1 + m * s) & 0xFFFFFFFF
            p = m * s
            v2 = (v2 + (p >> 32) + (p & 0xFFFFFFFF)) & 0xFFFFFFFF
    print('%02d %08x %08x' % (i, v1, v2))
    start += n
PY
sed -n 's/^Track \([0-9]*\)  AccurateRip v1 \([0-9a-f]*\)  v2 \([0-9a-f]*\).*/\1 \2 \3/p' rip.log > ar.ours
check "AccurateRip checksums match an independent computation" 'cmp -s ar.expected ar.ours'

# --tracks and the offset: track 1 with a read offset of +30 shifts by 30 samples.
"$tallory" cd rip --image disc.cue --to wav --tracks 1 --offset 30 --scheme "$work/off/<tracknum>" > /dev/null 2>&1
tail -c +45 off/01.wav > off1.raw
dd if=disc.bin of=image1.raw bs=1 skip=120 count=$((700 * 2352)) status=none
check "an offset of +30 reads 30 samples later" 'cmp -s off1.raw image1.raw'
check "only track 1 was ripped" '[ ! -f off/02.wav ]'

# Two tracks at once (each read has its own stop flag): the same bytes.
"$tallory" cd rip --image disc.cue --to wav --jobs 2 --scheme "$work/jobs/<tracknum>" > /dev/null 2>&1
check "parallel rips equal the serial ones" 'cmp -s jobs/02.wav rip/02.wav && cmp -s jobs/03.wav rip/03.wav'

# CDDB lookup against a fixture server on 127.0.0.1 (never the default server).
/usr/bin/python3 - "$work/port" <<'PY' &
import http.server, socketserver, sys, threading
class H(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers['Content-Length'])).decode()
        if 'cddb+query' in body:
            text = '211 inexact\r\nrock 0a000802 One / First\r\njazz 0a000802 Two / Second\r\n.\r\n'
        else:
            text = '210 jazz\r\n# xmcd\r\nDTITLE=Two / Second\r\nDYEAR=2001\r\nTTITLE0=Opening\r\nTTITLE1=Middle\r\nTTITLE2=End\r\n.\r\n'
        self.send_response(200)
        self.end_headers()
        self.wfile.write(text.encode())
    def log_message(self, *a):
        pass
srv = socketserver.TCPServer(('127.0.0.1', 0), H)
open(sys.argv[1], 'w').write(str(srv.server_address[1]))
threading.Timer(20, srv.shutdown).start()
for _ in range(4):
    srv.handle_request()
PY
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
"$tallory" settings set AudioCD CDDB_Server 127.0.0.1 > /dev/null
"$tallory" settings set AudioCD CDDB_Port "$(cat "$work/port")" --type int > /dev/null
"$tallory" cd lookup --image disc.cue --match 2 > lookup.out 2> lookup.err < /dev/null
check "lookup takes match 2 and prints the texts" 'grep -q "^Title *Second" lookup.out && grep -q "^02  Middle" lookup.out && grep -q "^Year *2001" lookup.out'
"$tallory" cd lookup --image disc.cue > lookup2.out 2> lookup2.err < /dev/null
check "several matches without --match and no terminal fail" '[ $? -eq 1 ] && grep -q "choose one with --match" lookup2.err'
kill "$server" 2> /dev/null
wait "$server" 2> /dev/null

# Bad input: a missing or broken image is one line on standard error, status 1.
"$tallory" cd toc --image "$work/absent.cue" > /dev/null 2> err.txt
st=$?
check "a missing image is status 1 with one line" '[ $st -eq 1 ] && [ "$(wc -l < err.txt)" -eq 1 ]'
printf 'FILE "disc.bin" BINARY\n  TRACK 01 AUDIO\n' > broken.cue
"$tallory" cd toc --image broken.cue > /dev/null 2> err.txt
st=$?
check "a broken image is status 1 with one line" '[ $st -eq 1 ] && [ "$(wc -l < err.txt)" -eq 1 ]'
"$tallory" cd rip --image disc.cue --to wav --tracks 7 --scheme "$work/x/<tracknum>" > /dev/null 2>&1
check "a track the disc lacks fails" '[ $? -ne 0 ]'

echo "$((18 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
