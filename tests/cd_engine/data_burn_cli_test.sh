#!/usr/bin/env bash
# tallory cd burn-data: files and folders burned track-at-once onto the
# simulated recorder and saved as an .iso that xorriso extracts, isoinfo
# lists and pycdlib reads; test mode, refusals, Ctrl-C.
set -u
tallory=$(realpath "$1")
checks=$(dirname "$(realpath "$0")")
work=$(mktemp -d /tmp/tallory_burn_data_cli_XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
check() {
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
mkdir -p src/music/live "src/docs"
head -c 700000 /dev/urandom > src/music/live/take1.raw
head -c 12345 /dev/urandom > "src/docs/a rather long document name.txt"
echo hello > src/readme
head -c 2048 /dev/urandom > boot.img

"$tallory" cd burn-data -q --image disc.iso src/music src/docs src/readme --label DATA_DISC --joliet --boot boot.img
check "burn-data succeeds" '[ $? -eq 0 ] && [ -s disc.iso ]'
mkdir out
xorriso -osirrox on -indev disc.iso -extract / out > /dev/null 2>&1
check "xorriso extracts every file unchanged" 'diff -r src out > /dev/null'
check "isoinfo shows the label" 'isoinfo -d -i disc.iso | grep -q "Volume id: DATA_DISC"'
check "isoinfo -J lists the long name" 'isoinfo -J -l -i disc.iso | grep -q "a rather long document name.txt"'
check "the disc is bootable (El Torito)" 'isoinfo -d -i disc.iso | grep -q "El Torito"'
check "pycdlib reads both trees" '/usr/bin/python3 "$checks/iso_check.py" disc.iso src > /dev/null'
sectors=$(( $(stat -c %s disc.iso) / 2048 ))
check "the track holds the 150 run-out blocks past 300" '[ "$sectors" -ge 450 ] && [ $(( $(stat -c %s disc.iso) % 2048 )) -eq 0 ]'

"$tallory" cd burn-data -q --image disc.iso src/readme --label X 2>/dev/null
check "an existing image is kept" '[ $? -eq 1 ] && cmp -s disc.iso <(cat disc.iso)'
"$tallory" cd burn-data --image test.iso src/readme --label X --test > msg.txt 2>&1
check "--test burns nothing and saves nothing" '[ $? -eq 0 ] && [ ! -e test.iso ] && grep -q "Test mode enabled" msg.txt'
"$tallory" cd burn-data -q --image bad.iso src/nothing --label X 2>err.txt
check "a missing item fails and leaves no image" '[ $? -eq 1 ] && [ ! -e bad.iso ] && grep -q "is invalid or does not exist" err.txt'
"$tallory" cd burn-data -q --image bad.iso src/readme --label 123456789012345678901234567890123 2>/dev/null
check "a label over 32 characters is refused" '[ $? -eq 1 ] && [ ! -e bad.iso ]'
"$tallory" cd burn-data -q src/readme --label X 2>err.txt
check "neither a recorder nor --image" '[ $? -ne 0 ] && grep -q "recorder" err.txt'
"$tallory" cd burn-data -q /dev/null src/readme --label X 2>err.txt
check "a device without SG_IO is an error" '[ $? -eq 1 ] && grep -q "SG_IO" err.txt'
"$tallory" cd burn-data --image v.iso src/music src/docs src/readme --label X --joliet --verify > verify.txt 2>&1
check "--verify of a good burn reads every file back" '[ $? -eq 0 ] && [ -s v.iso ] && grep -q "All 3 files of the data track match their sources" verify.txt'
# Sector 100 lies inside the 700000-byte file, which starts after the few
# structure sectors of a three-file image.
TALLORY_SIM_DAMAGE_SECTORS=100 "$tallory" cd burn-data -q --image d.iso src/music src/docs src/readme --label X --joliet --verify 2>damaged.txt
check "--verify catches a damaged sector and saves no image" '[ $? -eq 1 ] && [ ! -e d.iso ] && grep -q "take1.raw" damaged.txt && grep -q "differs" damaged.txt'

# Ctrl-C during a burn: the command stops and leaves no image behind.
head -c 60000000 /dev/urandom > src/huge.bin
"$tallory" cd burn-data -q --image big.iso src/huge.bin --label BIG 2>/dev/null &
pid=$!
sleep 0.5
kill -INT $pid 2>/dev/null
wait $pid
rc=$?
check "Ctrl-C stops the burn without an image" '[ $rc -ne 0 ] && [ ! -e big.iso ]'

[ "$failures" -eq 0 ]
