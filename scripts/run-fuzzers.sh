#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a while on a scratch copy of
# its corpus (0 seconds: replays the seeds only). Crashes are written to build-fuzz/crashes/: add each as a file in
# the target's tests/data corpus folder so that it stays a regression test.
# A target without a line in fuzz/corpora.txt, or whose seed folder is missing
# or empty, is an error: it would run without seeds and prove little.
set -eu
build=$1 seconds=$2
here=$(cd "$(dirname "$0")/.." && pwd)
list=$here/fuzz/corpora.txt
mkdir -p "$build/crashes"
status=0 ran=0
for target in "$build"/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds=$(sed -n "s/^$name //p" "$list")
  if [ -z "$seeds" ]; then
    echo "run-fuzzers: $name has no line in fuzz/corpora.txt" >&2
    status=1
    continue
  fi
  dirs=()
  for s in $seeds; do
    if [ ! -d "$here/$s" ] || [ -z "$(ls -A "$here/$s")" ]; then
      echo "run-fuzzers: $name: seed folder $s is missing or empty" >&2
      status=1
    fi
    dirs+=("$here/$s")
  done
  if [ "$seconds" -eq 0 ]; then
    # 0 seconds: the fuzz build replays its seeds and generates nothing (what CI runs).
    echo "== $name (seeds only)"
    "$target" -runs=0 -artifact_prefix="$build/crashes/$name-" "${dirs[@]}" || status=1
  else
    work=$build/corpus/$name; mkdir -p "$work"
    echo "== $name ($seconds s)"
    "$target" -max_total_time="$seconds" -artifact_prefix="$build/crashes/$name-" "$work" "${dirs[@]}" || status=1
  fi
  ran=$((ran + 1))
done
# Every line names a target that was built.
while read -r name _; do
  case $name in ''|'#'*) continue ;; esac
  [ -x "$build/bin/$name" ] || { echo "run-fuzzers: $name is listed but was not built" >&2; status=1; }
done < "$list"
[ "$ran" -gt 0 ] || { echo "run-fuzzers: no fuzz targets in $build/bin" >&2; status=1; }
exit $status
