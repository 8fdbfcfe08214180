#!/usr/bin/env bash
# Runs both benchmark suites over the build folder $1 (default: build; a
# second argument, the test interpreter of older callers, is ignored) and
# writes their results to bench/results/:
#   1. every Google Benchmark program of $1/bench (bench/*_bench.cpp):
#      <program>.json, and cpp.md, a table of them all; then
#      bench/python_bench.py, the module's own per-variant costs:
#      python_bench.json;
#   2. the Python peer suite in .venv-bench (made by bench/setup.sh), with
#      the module of $1/python: results.md, results.png, results.json;
#      then bench/write_bench.py, the write paths against pytricia in the
#      realistic setting: writes.md; then bench/cli_bench.py, table files
#      against pickle and the netrove command against grepcidr: cli.md.
# BENCH_SUITES=cpp or BENCH_SUITES=python runs one suite only; PEERS_ARGS
# passes options to bench/peers.py (see bench/peers.py --help), WRITES_ARGS
# to bench/write_bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
suites=${BENCH_SUITES:-cpp,python}
results=bench/results
mkdir -p "$results"

# The routing table sits beside the project root, in ../shared/data; a
# worktree sits one level deeper, so fall back to the shared folder.
if [ -z "${NETROVE_BENCH_DATA:-}" ]; then
  for p in ../shared/data/tier1-prefixes.txt.gz /work/shared/data/tier1-prefixes.txt.gz; do
    if [ -f "$p" ]; then NETROVE_BENCH_DATA=$(realpath "$p"); break; fi
  done
fi
export NETROVE_BENCH_DATA=${NETROVE_BENCH_DATA:-}

bench/setup.sh
py=.venv-bench/bin/python

if [[ ,$suites, == *,cpp,* ]]; then
  ran=0
  for b in "$build"/bench/*_bench; do
    [ -x "$b" ] || continue
    ran=1
    echo "== $(basename "$b")"
    "$b" --benchmark_min_time=0.2 --benchmark_out="$results/$(basename "$b").json" \
         --benchmark_out_format=json
  done
  [ $ran = 1 ] || echo "== no C++ benchmark programs in $build/bench"
  "$py" bench/cpp_report.py "$results"
  if [ -d "$build/python" ] && [ -f bench/python_bench.py ]; then
    echo "== python_bench.py"
    PYTHONPATH="$(realpath "$build")/python${PYTHONPATH:+:$PYTHONPATH}" "$py" bench/python_bench.py \
      --out "$results/python_bench.json"
  fi
fi

if [[ ,$suites, == *,python,* ]]; then
  echo "== peer suite"
  # shellcheck disable=SC2086
  PYTHONPATH="$(realpath "$build")/python${PYTHONPATH:+:$PYTHONPATH}" "$py" bench/peers.py ${PEERS_ARGS:-}
  echo "== write_bench.py"
  # shellcheck disable=SC2086
  PYTHONPATH="$(realpath "$build")/python${PYTHONPATH:+:$PYTHONPATH}" "$py" bench/write_bench.py \
    --redis --memory --out "$results/writes.md" ${WRITES_ARGS:-}
  echo "== cli_bench.py"
  PYTHONPATH="$(realpath "$build")/python${PYTHONPATH:+:$PYTHONPATH}" "$py" bench/cli_bench.py \
    --build "$build" --write
fi
