# The timing harness the format benchmarks source: a scratch folder with the
# common input, CPU and wall-clock timers, the best of several rounds and the
# verdict line. Sourced by bench/ogg, bench/flac and bench/opus.
#
# bench_init NAME BUILD TOOL...   checks the tools and tallory, makes $work and $work/in.wav
# bench_run CMD...                "WALL CPU": wall-clock and CPU seconds (user + system) of one run
# bench_seconds CMD...            CPU seconds of one run, to the microsecond
# bench_wall CMD...               wall-clock seconds of one run
# bench_best VALUE...             the smallest value
# bench_report NAME OURS REF RIVAL [GOAL]   prints the ratio; fails when it is over the goal

bench_init() {
  bench_name=$1 build=$2
  shift 2
  tallory=$build/bin/tallory
  for tool in sox /usr/bin/python3 "$@"; do
    command -v "$tool" >/dev/null || { echo "bench/$bench_name: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
  done
  if [ ! -x "$tallory" ]; then
    echo "bench/$bench_name: $tallory not found; build it with 'make' first" >&2
    exit 1
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  export XDG_CONFIG_HOME=$work/config
  # Five minutes of programme-like material: pink noise under two tones that drift.
  sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 300 pinknoise synth 300 sine mix 220-880 \
    synth 300 sine mix 330-660 vol -6dB 2>/dev/null
}

bench_run() {
  # Wall-clock and CPU seconds of one run, as "WALL CPU": getrusage of the
  # child to the microsecond (time(1) prints hundredths, a step of several
  # percent on a command that takes a quarter of a second).
  /usr/bin/python3 -c '
import resource, subprocess, sys, time
start = time.monotonic()
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.monotonic() - start
if done.returncode != 0:
    sys.exit(1)
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.4f %.4f" % (wall, used.ru_utime + used.ru_stime))
' "$@" || { echo "bench/$bench_name: failed: $*" >&2; exit 1; }
}

bench_seconds() { local t; t=$(bench_run "$@") || exit 1; echo "${t#* }"; }
bench_wall() { local t; t=$(bench_run "$@") || exit 1; echo "${t% *}"; }

bench_best() { printf '%s\n' "$@" | sort -g | head -n1; }

bench_report() {
  local name=$1 ours=$2 ref=$3 rival=$4 goal=${5:-1.03}
  local ratio verdict
  ratio=$(awk -v a="$ours" -v b="$ref" 'BEGIN { printf "%.4f", a / b }')
  verdict=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { print (r <= g) ? 1 : 0 }')
  printf '%-8s tallory %7.3f s   %-9s %7.3f s   ratio %.3f  %s\n' "$name" "$ours" "$rival" "$ref" "$ratio" \
    "$([ "$verdict" = 1 ] && echo ok || echo "over the goal $goal")"
  [ "$verdict" = 1 ]
}
