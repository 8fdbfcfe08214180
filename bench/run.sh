#!/usr/bin/env bash
# Runs every benchmark program of the build folder $1 (python: $2).
set -euo pipefail
build=$1
mkdir -p bench/results
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 --benchmark_out="bench/results/$(basename "$b").json" --benchmark_out_format=json
done
