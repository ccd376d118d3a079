#!/usr/bin/env bash
# ThreadSanitizer run of the tests that drive objects from more than one
# thread: the windows and their workers, playback, the TwinVQ bit-file table,
# batches with several jobs, the engine's worker, settings under concurrent
# writers, ripping with --jobs, the CDDB lookup and submission threads, and a
# recording that a second caller finds busy.
#
# Debian's Qt, FFmpeg and ALSA are not built with ThreadSanitizer, so races
# reported entirely inside them are noise; the run fails when a report has one
# of our frames at the top of either access, or when a test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${1:-$root/build-tsan}"
jobs="${JOBS:-$(nproc)}"

targets=(ui_test playback_test twinvq_source_test batch_convert_test core_engine_test core_settings_test
         cd_audio_reader_test cd_drives_test cd_cddb_test record_test loudness_meter_test)
tests='^(ui_OverwriteQuestion|ui_BatchWindowLifetime|ui_BatchConvertWindow|ui_BatchWindowLog|ui_ErrorLogWindow'
tests+='|playback_test|twinvq_source_test|batch_convert_test|core_engine_test|core_settings_test'
tests+='|cd_audio_reader_test|cd_drives_test|cd_cddb_test|record_test|loudness_meter_test)$'

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLORY_BUILD_TESTS=ON -DTALLORY_TSAN=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

reports="$build/tsan-reports"
rm -rf "$reports"
mkdir -p "$reports"
status=0
( cd "$build" && TSAN_OPTIONS="halt_on_error=0 exitcode=0 second_deadlock_stack=1 log_path=$reports/tsan" \
    ctest --output-on-failure -j "$jobs" -R "$tests" ) || status=$?

/usr/bin/python3 - "$reports" <<'PY' || status=1
import glob, re, sys
total = ours = 0
for path in sorted(glob.glob(sys.argv[1] + "/tsan.*")):
    log = open(path, errors="replace").read()
    for block in log.split("WARNING: ThreadSanitizer")[1:]:
        block = block.split("SUMMARY")[0]
        total += 1
        stacks = re.findall(r"\n  (?:Previous )?(?:[Ww]rite|[Rr]ead|[Aa]tomic [a-z]+|Mutex|Thread)[^\n]*\n((?:    #\d[^\n]*\n)+)", block)
        for st in stacks:
            first = next((l for l in st.splitlines() if "libsanitizer" not in l and "tsan_" not in l), "")
            if re.search(r"/(src|tests|tools|include)/", first):
                ours += 1
                print(f"--- {path}\nWARNING: ThreadSanitizer{block[:3000]}")
                break
print(f"ThreadSanitizer: {total} reports, {ours} with our code at the top")
sys.exit(1 if ours else 0)
PY
exit $status
