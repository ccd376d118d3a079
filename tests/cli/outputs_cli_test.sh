#!/usr/bin/env bash
# Outputs are whole or absent: kill -9 at several points of a conversion into
# each format, SIGTERM, one and two Ctrl-C in a batch, a full file system, a
# read-only folder; the bare file name; failures that once passed for success;
# a damaged settings store. Outputs that do appear are checked with ffprobe.
set -u
TALLORY=$(realpath "$1")
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
    mountpoint -q "$work/small" 2>/dev/null && umount "$work/small"
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { if eval "$2"; then ok; else bad "$1"; fi; }
expect() {  # name, exit code, pattern in the combined output, command...
    local name=$1 code=$2 pattern=$3; shift 3
    local out rc
    out=$("$@" 2>&1); rc=$?
    if [[ $rc -eq $code ]] && grep -qE -- "$pattern" <<<"$out"; then ok; else bad "$name: exit $rc, want $code: $(head -3 <<<"$out")"; fi
}
# Everything in a folder, hidden names included.
entries() { ls -A "$1" | tr '\n' ' '; }
# The process's unnamed output, once it has one: "/dir/#123 (deleted)" or a hidden name.
writing() {  # pid, folder
    local fd
    for fd in /proc/"$1"/fd/*; do
        case $(readlink "$fd" 2>/dev/null) in "$2"/\#*|"$2"/.*tallory~*) echo "$fd"; return 0 ;; esac
    done
    return 1
}
wait_writing() {  # pid, folder, minimum bytes written: the fd, or empty if the process ended first
    local fd size
    for _ in $(seq 1 600); do
        kill -0 "$1" 2>/dev/null || return 1
        if fd=$(writing "$1" "$2"); then
            size=$(stat -L -c %s "$fd" 2>/dev/null || echo 0)
            (( size >= $3 )) && { echo "$fd"; return 0; }
        fi
        sleep 0.02
    done
    return 1
}
duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" 2>/dev/null; }

mkdir -p "$work/src" "$work/out"
sox -n -r 44100 -c 2 -b 16 "$work/src/long.wav" synth 40 sine 440 vol 0.25
# Noise does not compress: its outputs outgrow a small file system in every format.
sox -n -r 44100 -c 2 -b 16 "$work/src/noise.wav" synth 20 whitenoise vol 0.5
sox -n -r 44100 -c 2 -b 16 "$work/src/short.wav" synth 2 sine 660 vol 0.25

# kill -9 before the output exists, once it is being written, and deep into it.
for fmt in wav aiff mp3 ogg wma flac opus; do
    for point in start early late; do
        "$TALLORY" convert -q "$work/src/long.wav" --to "$fmt" -o "$work/out/k.$fmt" --overwrite &
        pid=$!
        case $point in
            start) sleep 0.05 ;;
            early) wait_writing $pid "$work/out" 1 >/dev/null ;;
            late) wait_writing $pid "$work/out" 400000 >/dev/null ;;
        esac
        running=0
        kill -0 $pid 2>/dev/null && running=1
        kill -9 $pid 2>/dev/null
        wait $pid 2>/dev/null
        if [[ $running == 1 && ! -e "$work/out/k.$fmt" ]]; then
            check "$fmt killed at $point left: $(entries "$work/out")" '[[ -z $(entries "$work/out") ]]'
        else
            # Named before the kill (or finished): then it is whole, and alone.
            check "$fmt killed at $point after it was named, but it is not whole" \
                '[[ $(duration "$work/out/k.$fmt" | cut -d. -f1) -ge 39 && $(entries "$work/out") == "k.$fmt " ]]'
        fi
        rm -f "$work/out/k.$fmt"
    done
done

# SIGTERM and SIGHUP cancel like Ctrl-C: the partial output is removed, exit status 130.
for sig in TERM HUP INT; do
    "$TALLORY" convert -q "$work/src/long.wav" --to mp3 -o "$work/out/t.mp3" &
    pid=$!
    if wait_writing $pid "$work/out" 1 >/dev/null; then
        kill -$sig $pid
        wait $pid; rc=$?
        check "SIG$sig: exit $rc, want 130" '[[ $rc -eq 130 ]]'
        check "SIG$sig left: $(entries "$work/out")" '[[ -z $(entries "$work/out") ]]'
    else
        wait $pid; bad "SIG$sig: the conversion ended before it was signalled"
    fi
    rm -f "$work/out/"*
done

# A batch: the first Ctrl-C lets the file being converted finish and starts no
# other; the second cancels that file too.
mkdir -p "$work/batch"
for n in 1 2 3; do cp "$work/src/long.wav" "$work/batch/b$n.wav"; done
"$TALLORY" convert -q "$work/batch/b1.wav" "$work/batch/b2.wav" "$work/batch/b3.wav" --to mp3 \
    --scheme "$work/out/<sourcename>" --jobs 1 &
pid=$!
if wait_writing $pid "$work/out" 1 >/dev/null; then
    kill -INT $pid
    wait $pid; rc=$?
    check "one Ctrl-C: exit $rc, want 130" '[[ $rc -eq 130 ]]'
    check "one Ctrl-C: outputs $(entries "$work/out"), want b1.mp3 only" '[[ $(entries "$work/out") == "b1.mp3 " ]]'
    check "one Ctrl-C: b1.mp3 is not whole" '[[ $(duration "$work/out/b1.mp3" | cut -d. -f1) -ge 39 ]]'
else
    wait $pid; bad "batch ended before Ctrl-C"
fi
rm -f "$work/out/"*
"$TALLORY" convert -q "$work/batch/b1.wav" "$work/batch/b2.wav" "$work/batch/b3.wav" --to ogg \
    --scheme "$work/out/<sourcename>" --jobs 2 &
pid=$!
if wait_writing $pid "$work/out" 1 >/dev/null; then
    kill -INT $pid
    sleep 0.2
    kill -INT $pid
    wait $pid; rc=$?
    check "two Ctrl-C: exit $rc, want 130" '[[ $rc -eq 130 ]]'
    check "two Ctrl-C left: $(entries "$work/out")" '[[ -z $(entries "$work/out") ]]'
else
    wait $pid; bad "batch ended before Ctrl-C"
fi
rm -f "$work/out/"*

# A killed "tags set" leaves the file either as it was or wholly updated, and no copy beside it.
mkdir -p "$work/tagged"
ffmpeg -v error -f lavfi -i "anoisesrc=d=60:a=0.5" -ac 2 -b:a 320k "$work/tagged/big.mp3"
before=$(md5sum < "$work/tagged/big.mp3")
for delay in 0.02 0.08 0.2 0.4; do
    "$TALLORY" tags set "$work/tagged/big.mp3" "TIT2=Killed at $delay" >/dev/null 2>&1 &
    pid=$!
    sleep $delay
    kill -9 $pid 2>/dev/null
    wait $pid 2>/dev/null
    check "tags set killed after $delay s left: $(entries "$work/tagged")" '[[ $(entries "$work/tagged") == "big.mp3 " ]]'
    title=$(ffprobe -v error -show_entries format_tags=title -of csv=p=0 "$work/tagged/big.mp3")
    check "tags set killed after $delay s: neither old nor new ($title)" \
        '[[ $(md5sum < "$work/tagged/big.mp3") == "$before" || $title == "Killed at $delay" ]]'
    before=$(md5sum < "$work/tagged/big.mp3")
done

# The bare file name, typed in the file's own folder, names that folder.
(cd "$work/src" && "$TALLORY" convert -q short.wav --to mp3) 2>"$work/bare.err"
check "bare name: $(head -2 "$work/bare.err")" '[[ -s "$work/src/short.mp3" ]]'
check "bare name output is not MP3" '[[ $(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/src/short.mp3") == mp3 ]]'
(cd "$work/src" && "$TALLORY" convert -q ./short.wav --to ogg --scheme "<sourcedir>/<sourcename>") 2>/dev/null
check "./name with sourcedir" '[[ -s "$work/src/short.ogg" ]]'
rm -f "$work/src/short.mp3" "$work/src/short.ogg"

# A failed conversion replaces nothing: an existing output stays as it was.
echo precious > "$work/out/keep.wav"
expect "failed source" 1 "conversion failed" "$TALLORY" convert -q "$work/src/missing.wav" --to wav -o "$work/out/keep.wav" --overwrite
check "failed conversion touched the old output" '[[ $(cat "$work/out/keep.wav") == precious ]]'
rm -f "$work/out/"*

# Sources that deliver nothing because their data cannot be decoded.
python3 - "$work" <<'EOF'
import random, struct, sys
work = sys.argv[1]
def wav(path, fmt, data):
    body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data
    open(path, 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
random.seed(7)
garbage = bytes(random.getrandbits(8) for _ in range(60000))
# MPEG layer 3 format tag over noise.
wav(work + '/mp3noise.wav', struct.pack('<HHIIHHH', 0x55, 2, 44100, 16000, 1, 0, 12) + struct.pack('<HIHHH', 1, 2, 417, 1, 1393), garbage)
# Microsoft ADPCM whose block holds 2048 bytes but claims 2 samples.
coefs = [(256, 0), (512, -256), (0, 0), (192, 64), (240, 0), (460, -208), (392, -232)]
extra = struct.pack('<HH', 2, 7) + b''.join(struct.pack('<hh', a, b) for a, b in coefs)
wav(work + '/adpcmblock.wav', struct.pack('<HHIIHHH', 2, 1, 22050, 11155, 2048, 4, len(extra)) + extra, garbage)
EOF
for f in mp3noise adpcmblock; do
    expect "$f" 1 "could not be decoded" "$TALLORY" convert "$work/$f.wav" --to wav -o "$work/out/$f.wav"
    check "$f left an output" '[[ -z $(entries "$work/out") ]]'
done

# Full file system: nothing is left in it, whatever the format.
mkdir -p "$work/small"
if mount -t tmpfs -o size=128k tmpfs "$work/small" 2>/dev/null; then
    for fmt in wav aiff mp3 ogg wma flac opus; do
        expect "full disk $fmt" 1 "No space left on device|Cannot|Failed" \
            "$TALLORY" convert -q "$work/src/noise.wav" --to "$fmt" -o "$work/small/full.$fmt"
        check "full disk $fmt left: $(entries "$work/small")" '[[ -z $(entries "$work/small") ]]'
    done
    umount "$work/small"
else
    echo "note: cannot mount a tmpfs here; the full-disk case is covered by platform_output_file_test"
fi

# A read-only folder names the reason.
mkdir -p "$work/ro"
chmod 555 "$work/ro"
as_user=()
[[ $(id -u) == 0 ]] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
mkdir -p "$work/config" && chmod 777 "$work/config"
expect "read-only folder" 1 "Permission denied" "${as_user[@]}" "$TALLORY" convert "$work/src/short.wav" --to wav -o "$work/ro/x.wav"
expect "read-only folder wma" 1 "Permission denied" "${as_user[@]}" "$TALLORY" convert "$work/src/short.wav" --to wma -o "$work/ro/x.wma"

# Smaller refusals and acceptances.
mkfifo "$work/pipe.wav"
expect "fifo source" 1 "not a regular file" timeout 20 "$TALLORY" convert "$work/pipe.wav" --to mp3 -o "$work/out/p.mp3"
sox "$work/src/short.wav" -t aifc "$work/src/c.aifc"
expect ".aifc source" 0 "" "$TALLORY" convert -q "$work/src/c.aifc" --to wav -o "$work/out/c.wav"
check ".aifc output" '[[ $(duration "$work/out/c.wav" | cut -d. -f1) -eq 2 ]]'
mkdir -p "$work/folder.mp3"
expect "tags show of a folder" 1 "folder" "$TALLORY" tags show "$work/folder.mp3"
printf '<Asx version="3.0"><Entry><Ref href="a.wav"/></Entry>' > "$work/cut.wax"
expect "malformed wax" 1 "" "$TALLORY" playlist show "$work/cut.wax"

# A damaged settings store is named and left untouched.
export XDG_CONFIG_HOME=$work/damaged
"$TALLORY" settings set Settings Probe 7 --type int >/dev/null 2>&1
store=$work/damaged/Veshna/Tallory/settings.sqlite3
for i in $(seq 1 60); do "$TALLORY" settings set Filler "Key$i" "$(head -c 300 /dev/zero | tr '\0' v)" >/dev/null 2>&1; done
size=$(stat -c %s "$store")
cp "$store" "$work/store.copy"
truncate -s $((size - 1000)) "$store"
sum=$(md5sum < "$store")
expect "cut store read" 1 "damaged" "$TALLORY" settings get Settings Probe
expect "cut store write" 1 "settings\.sqlite3" "$TALLORY" settings set Settings Probe 8 --type int
check "a damaged store was written to" '[[ $(md5sum < "$store") == "$sum" ]]'
cp "$work/store.copy" "$store"
printf 'overwritten page' | dd of="$store" bs=1 seek=$((size / 2)) conv=notrunc 2>/dev/null
printf '%04096d' 0 | dd of="$store" bs=1 seek=4096 conv=notrunc 2>/dev/null
expect "overwritten store" 1 "damaged" "$TALLORY" settings get Settings Probe
cp "$work/store.copy" "$store"
expect "sound store" 0 "^7$" "$TALLORY" settings get Settings Probe

echo "passed $passed, failed $failed"
[[ $failed -eq 0 ]]
