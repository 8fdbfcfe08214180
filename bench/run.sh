#!/usr/bin/env bash
# Runs every benchmark program of the build folder $1, then the from-Python
# benchmark with the module of $1/python and the interpreter $2.
set -euo pipefail
build=$1
py=${2:-python3}
mkdir -p bench/results
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 --benchmark_out="bench/results/$(basename "$b").json" --benchmark_out_format=json
done
if [ -d "$build/python" ]; then
  echo "== python_bench.py"
  PYTHONPATH="$(realpath "$build")/python" "$py" bench/python_bench.py --out bench/results/python_bench.json
fi
