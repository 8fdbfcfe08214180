#!/usr/bin/env bash
# Profiles one library's loop over the IPv4 table (bench/profile_loop.py),
# leaving out the loading and the build.
#
#   bench/profile.sh perf      "netrove default" inside   # sampled, by symbol
#   bench/profile.sh callgrind "netrove default" inside   # instructions and
#                                                         # simulated cache misses
#
# perf attaches at "ready" for 6 s; callgrind runs with instrumentation off
# and switches it on at "ready" for one pass over 50,000 addresses (divide
# its totals by 50,000 for per-operation figures).  Output: the report on
# stdout, raw data in $OUT (default /tmp/netrove-profile).  Needs perf
# (Debian linux-perf) or valgrind, and the build folder $BUILD (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:?perf or callgrind}; lib=${2:?library, e.g. "netrove default"}; op=${3:-inside}
out=${OUT:-/tmp/netrove-profile}; build=${BUILD:-build}
mkdir -p "$out"
tag=$(echo "$tool-$lib-$op" | tr ' ' _)
log=$out/$tag.log
py=.venv-bench/bin/python
export PYTHONPATH="$(realpath "$build")/python${PYTHONPATH:+:$PYTHONPATH}"

wait_ready() {
  until grep -q ready "$log" 2>/dev/null; do
    kill -0 "$1" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.2
  done
}

case $tool in
  perf)
    "$py" bench/profile_loop.py "$lib" "$op" > "$log" 2>&1 &
    pid=$!
    wait_ready $pid
    perf record -F 1999 -g -p $pid -o "$out/$tag.data" -- sleep 6 > /dev/null 2>&1 || true
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
    perf report -i "$out/$tag.data" --no-children --sort dso,symbol 2>/dev/null \
      | grep -E '^ +[0-9.]+%' | head -30
    ;;
  callgrind)
    go=$out/$tag.go
    rm -f "$go"
    valgrind --tool=callgrind --instr-atstart=no --cache-sim=yes \
      --callgrind-out-file="$out/$tag.out" \
      "$py" bench/profile_loop.py "$lib" "$op" --n 50000 --reps 1 --go "$go" > "$log" 2>&1 &
    pid=$!
    wait_ready $pid
    callgrind_control -i on $pid > /dev/null
    touch "$go"
    wait $pid || true
    grep -v '^==' "$log" | tail -1
    callgrind_annotate --inclusive=yes "$out/$tag.out" 2>/dev/null | head -45
    ;;
  *) echo "unknown tool $tool (perf or callgrind)" >&2; exit 2 ;;
esac
