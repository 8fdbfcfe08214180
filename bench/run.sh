#!/usr/bin/env bash
# make bench: every C++ benchmark program of BUILD/bench, then every mode of
# the Python peer suite (bench/peerbench); results in bench/results/.
#
#   bench/run.sh [--quick] [BUILD]        (BUILD: the build folder, default build)
#
# --quick runs everything on a small slice of the table with short runs, in
# a minute or two (CI runs it so that no bench program rots unseen); its
# results go to BUILD/bench-quick/, never over bench/results/.
# BENCH_MODES (default cpp,peers,loads,cli,memory) picks what runs;
# PEERS_ARGS passes options to the peers mode (python -m peerbench peers --help).
set -euo pipefail
cd "$(dirname "$0")/.."
quick=
if [ "${1:-}" = --quick ]; then quick=--quick; shift; fi
build=${1:-build}
modes=${BENCH_MODES:-cpp,peers,loads,cli,memory}
results=bench/results
[ -z "$quick" ] || results=$build/bench-quick
mkdir -p "$results"

# The routing table sits beside the project root, in ../shared/data; a
# worktree sits one level deeper, so fall back to the shared folder.
if [ -z "${NETROVE_BENCH_DATA:-}" ]; then
  for p in ../shared/data/tier1-prefixes.txt.gz /work/shared/data/tier1-prefixes.txt.gz; do
    if [ -f "$p" ]; then NETROVE_BENCH_DATA=$(realpath "$p"); break; fi
  done
fi
export NETROVE_BENCH_DATA=${NETROVE_BENCH_DATA:?routing table not found: set NETROVE_BENCH_DATA}

# .venv-bench, the peers' environment (apart from the tests' .venv), filled
# from bench/requirements.txt one package at a time: a peer that cannot be
# installed is skipped, and the suite lists it as not measured.
py=.venv-bench/bin/python
[ -x $py ] || "$(tools/find-python)" -m venv .venv-bench
want=$(sha256sum bench/requirements.txt | cut -d' ' -f1)
if [ "$(cat .venv-bench/.requirements.sha 2>/dev/null)" != "$want" ]; then
  ok=1
  while read -r pkg; do
    pkg=$(echo "${pkg%%#*}" | tr -d '[:space:]')
    [ -z "$pkg" ] || $py -m pip install -q --disable-pip-version-check "$pkg" || ok=0
  done < bench/requirements.txt
  [ $ok = 0 ] || echo "$want" > .venv-bench/.requirements.sha
fi
export PYTHONPATH="$(realpath "$build")/python:$(realpath bench)${PYTHONPATH:+:$PYTHONPATH}"
built="build $(realpath "$build") ($(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2)) at $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- engine python cli bench ':!bench/results' || echo ' with local changes')"

if [[ ,$modes, == *,cpp,* ]]; then
  min_time=0.2
  if [ -n "$quick" ]; then export NETROVE_BENCH_QUICK=1; min_time=0.01; fi
  for b in "$build"/bench/*_bench; do
    [ -x "$b" ] || continue
    name=$(basename "$b")
    echo "== $name"
    { echo "# $name: run $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, $built"
      "$b" --benchmark_min_time=$min_time 2>&1; } | tee "$results/$name.txt"
  done
fi

for mode in peers loads cli memory; do
  [[ ,$modes, == *,$mode,* ]] || continue
  echo "== peerbench $mode"
  extra=()
  # shellcheck disable=SC2206
  [ "$mode" = peers ] && extra=(${PEERS_ARGS:-})
  "$py" -m peerbench "$mode" $quick --out "$results" "${extra[@]}"
done
echo "bench: results in $results"
