#!/usr/bin/env bash
# Ripping cost: a MINUTES-long (default 70) cue/bin image through the
# simulated drive at unlimited speed, by tallory cd rip with jitter correction
# off and on, and by cd-paranoia (libcdio) on the same image, in CPU time per
# sector. Goal: jitter correction adds at most 5% to the engine's cost.
#
# usage: bench/rip/run.sh [build-dir]   (default: build, an optimised build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
tallory=$build/bin/tallory
minutes=${MINUTES:-70}
rounds=${ROUNDS:-2}
goal=1.05

command -v cd-paranoia >/dev/null || { echo "bench/rip: cd-paranoia is missing (scripts/install-deps.sh)" >&2; exit 1; }
[ -x "$tallory" ] || { echo "bench/rip: $tallory not found; build it with 'make' first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config HOME=$work
sectors=$((minutes * 60 * 75))
# Noise, so that every overlap match is a real search; ten tracks.
head -c $((sectors * 2352)) /dev/urandom > "$work/disc.bin"
{
  echo 'FILE "disc.bin" BINARY'
  for i in $(seq 1 10); do
    at=$(( (i - 1) * sectors / 10 ))
    printf '  TRACK %02d AUDIO\n    INDEX 01 %02d:%02d:%02d\n' "$i" $((at / 4500)) $((at / 75 % 60)) $((at % 75))
  done
} > "$work/disc.cue"

seconds() {
  local t TIMEFORMAT='%U %S'
  t=$( { time "$@" >/dev/null 2>&1 || echo failed; } 2>&1 ) || true
  case $t in *failed*) echo "bench/rip: failed: $*" >&2; exit 1 ;; esac
  awk -v t="$t" 'BEGIN { split(t, p, " "); printf "%.4f\n", p[1] + p[2] }'
}
best() { awk 'NR == 1 || $1 < m { m = $1 } END { print m }'; }

rip() {
  "$tallory" settings set AudioCD JitterCorrection "$1" >/dev/null
  rm -rf "$work/out"
  seconds "$tallory" cd rip --image "$work/disc.cue" --to wav --scheme "$work/out/<tracknum>" --overwrite
}
off=""; on=""; par=""
for r in $(seq 1 "$rounds"); do
  off="$off$(rip 1)
"
  on="$on$(rip 2)
"
  par="$par$(seconds cd-paranoia -c -Z -d "$work/disc.cue" "1-" "$work/p.wav")
"
  rm -f "$work/p.wav"
done
off=$(printf '%s' "$off" | best); on=$(printf '%s' "$on" | best); par=$(printf '%s' "$par" | best)
awk -v off="$off" -v on="$on" -v par="$par" -v n="$sectors" -v goal="$goal" 'BEGIN {
  printf "sectors %d\n", n
  printf "tallory, jitter correction off: %.3f s CPU, %.2f us/sector\n", off, off * 1e6 / n
  printf "tallory, jitter correction on:  %.3f s CPU, %.2f us/sector\n", on, on * 1e6 / n
  printf "cd-paranoia -Z (no paranoia):   %.3f s CPU, %.2f us/sector\n", par, par * 1e6 / n
  printf "jitter correction on / off: %.3f (goal <= %.2f)\n", on / off, goal
  printf "tallory (on) / cd-paranoia: %.3f\n", on / par
}'
