#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a while on a scratch copy of
# its corpus. Crashes are written to build-fuzz/crashes/: add each as a file in
# the target's tests/data corpus folder so that it stays a regression test.
set -eu
build=$1 seconds=$2
mkdir -p "$build/crashes"
status=0
for target in "$build"/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$build/corpus/$name; mkdir -p "$work"
  echo "== $name ($seconds s)"
  "$target" -max_total_time="$seconds" -artifact_prefix="$build/crashes/$name-" "$work" \
    $(sed -n "s/^$name //p" "$(dirname "$0")/../fuzz/corpora.txt") || status=1
done
exit $status
