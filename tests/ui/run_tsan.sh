#!/bin/sh
# Builds the Qt module tests with ThreadSanitizer into build-tsan/ and runs the
# groups that drive the windows from a second thread. Debian's Qt is not built
# with ThreadSanitizer, so races reported inside Qt's own thread pool and wait
# conditions are noise; the run fails when a report has one of our frames at
# the top of either access.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-tsan"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLORY_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -O1 -g" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" -j2 --target ui_test
home=$(mktemp -d)
log="$build/tsan.log"
env QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$home" HOME="$home" TSAN_OPTIONS=halt_on_error=0 \
  "$build/bin/ui_test" --gtest_filter='OverwriteQuestion.*:BatchWindowLifetime.*:BatchConvertWindow.*' >"$log" 2>&1 || true
rm -rf "$home"
if grep -q '^\[  FAILED  \]' "$log"; then
  grep '^\[  FAILED  \]' "$log"
  exit 1
fi
/usr/bin/python3 - "$log" <<'PY'
import re, sys
log = open(sys.argv[1], errors="replace").read()
blocks = log.split("WARNING: ThreadSanitizer")[1:]
ours = 0
for b in blocks:
    b = b.split("SUMMARY")[0]
    for st in re.findall(r"\n  (?:Previous )?(?:[Ww]rite|[Rr]ead|[Aa]tomic [a-z]+)[^\n]*\n((?:    #\d[^\n]*\n)+)", b):
        first = next((l for l in st.splitlines() if "libsanitizer" not in l), "")
        if re.search(r"\.\./(src|tests|tools)/", first):
            ours += 1
            print(b[:2000])
            break
print(f"ThreadSanitizer: {len(blocks)} reports, {ours} with our code at the top")
sys.exit(1 if ours else 0)
PY
