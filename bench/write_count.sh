#!/usr/bin/env bash
# Instructions per write, counted by callgrind (repeatable on a busy
# machine), in C++ (build/bench/write_count) and from Python
# (bench/write_count.py), over N IPv4 prefixes of the real table.
#
#   bench/write_count.sh [VARIANT] [N] [OPS]      e.g. bench/write_count.sh default 300000
#
# OPS (default "insert insert_many remove") picks the operations; SIDES
# (default "cpp py") the programs.  Each
# count covers the measured calls only: measured_* in C++, the method
# wrappers rx_insert / rx_insert_many / rx_remove (argument conversion, the
# engine and the result) from Python; loading the table is not counted.
# Prints instructions per operation; raw callgrind files stay in $OUT
# (default /tmp/netrove-writes).  Needs valgrind and the build folder
# $BUILD (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-default}; n=${2:-300000}; ops=${3:-insert insert_many remove}
out=${OUT:-/tmp/netrove-writes}; build=${BUILD:-build}
py=${PYTHON:-.venv/bin/python}; sides=${SIDES:-cpp py}
mkdir -p "$out"
export PYTHONPATH="$(realpath "$build")/python${PYTHONPATH:+:$PYTHONPATH}" PYTHONHASHSEED=0

count() {  # count FILE: the instructions callgrind collected
  grep -E '^(summary|totals):' "$1" | head -1 | awk '{print $2}'
}

for op in $ops; do
  per=$([ "$op" = remove ] && echo 60000 || echo "$n")
  cpp=0; pyc=0
  if [[ " $sides " == *" cpp "* ]]; then
    f=$out/cpp-$variant-$op.out
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect="*measured_$op(*" \
      --callgrind-out-file="$f" "$build/bench/write_count" "$op" "$variant" "$n" > /dev/null 2>&1
    cpp=$(count "$f")
  fi
  if [[ " $sides " == *" py "* ]]; then
    case $op in insert) fn=rx_insert ;; insert_many) fn=rx_insert_many ;; remove) fn=rx_remove ;; *) fn=$op ;; esac
    f=$out/py-$variant-$op.out
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect="*::$fn(*" \
      --callgrind-out-file="$f" "$py" bench/write_count.py "$op" "$variant" "$n" > /dev/null 2>&1
    pyc=$(count "$f")
  fi
  printf '%-12s %-9s C++ %8.0f   Python %8.0f   instructions per operation\n' "$op" "$variant" \
    "$(echo "$cpp / $per" | bc -l)" "$(echo "$pyc / $per" | bc -l)"
done
