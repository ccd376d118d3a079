#!/usr/bin/env bash
# The command-line front end as a user runs it: output, exit codes, messages.
set -u
TALLORY=$1
export XDG_CONFIG_HOME=$(mktemp -d)
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
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

check "version" 0 '^Tallory v4\.5$' "$TALLORY" --version
check "formats header" 0 'index +name +extensions +description +readable +writable' "$TALLORY" formats
check "formats rows" 0 '^3 +AIFF +\.aif \.aiff \.iff \.aifc +Audio Interchange Files \(\.aif\) +yes +yes' "$TALLORY" formats
check "track row" 0 '^4 +Track +\.cda +CD Audio Tracks \(\.cda\) +yes +no' "$TALLORY" formats
[[ $("$TALLORY" formats | wc -l) -eq 10 ]] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAIL: formats prints 9 rows"; }
check "flac row" 0 '^7 +FLAC +\.flac +FLAC Audio Files \(\.flac\) +yes +yes' "$TALLORY" formats
check "opus row" 0 '^8 +Opus +\.opus +Opus Audio Files \(\.opus\) +yes +yes' "$TALLORY" formats

check "set int" 0 '' "$TALLORY" settings set Settings HighPriority 0 --type int
check "get int" 0 '^0$' "$TALLORY" settings get Settings HighPriority
check "set hex int" 0 '' "$TALLORY" settings set Settings Mask 0x10 --type int
check "get hex int" 0 '^16$' "$TALLORY" settings get settings mask
check "set string" 0 '' "$TALLORY" settings set Settings TempPath "/tmp/a b"
check "get string" 0 '^/tmp/a b$' "$TALLORY" settings get Settings TempPath
check "set binary" 0 '' "$TALLORY" settings set Settings OutputRect 0a0B00ff --type binary
check "get binary" 0 '^0a0b00ff$' "$TALLORY" settings get Settings OutputRect
check "bad int" 1 'not a 32-bit integer' "$TALLORY" settings set S v 12x --type int
check "int overflow" 1 'not a 32-bit integer' "$TALLORY" settings set S v 4294967296 --type int
check "bad hex" 1 'hex digits' "$TALLORY" settings set S v abc --type binary
check "long string" 1 'at most 259' "$TALLORY" settings set S v "$(printf 'x%.0s' {1..260})"
check "missing value" 1 'no value "Nope" in section "Settings"' "$TALLORY" settings get Settings Nope
check "delete value" 0 '' "$TALLORY" settings delete Settings TempPath
check "deleted value" 1 'no value' "$TALLORY" settings get Settings TempPath
check "delete section" 0 '' "$TALLORY" settings delete Settings
check "section gone" 1 'no value' "$TALLORY" settings get Settings HighPriority

check "usage: unknown command" 2 '' "$TALLORY" frobnicate
check "usage: bad type" 2 '' "$TALLORY" settings set S v 1 --type float
check "usage: missing args" 2 '' "$TALLORY" settings get Settings
check "help" 0 'Usage' "$TALLORY" settings set --help

db=$XDG_CONFIG_HOME/Veshna/Tallory/settings.sqlite3
rm -f "$db"*; head -c 8192 /dev/urandom > "$db"
check "corrupt store names file and reason" 1 "settings store $db: .*(not a database|malformed)" "$TALLORY" settings get Settings HighPriority

# A sound device that cannot be opened fails the preview instead of reporting success.
tone=$(mktemp --suffix=.wav)
if sox -n -r 44100 -c 2 -b 16 "$tone" synth 0.5 sine 440 2>/dev/null; then
    check "play: no such device" 1 'Cannot open the sound device' "$TALLORY" play -q "$tone" --device tallory_no_such_device
    check "play: null device" 0 '' "$TALLORY" play -q "$tone" --device null
fi
rm -f "$tone"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
