#!/usr/bin/env bash
# Runs each libFuzzer target of build folder $1 for $2 seconds.
set -euo pipefail
build=$1; secs=$2
for f in "$build"/fuzz/*_fuzz; do
  name=$(basename "$f")
  mkdir -p "fuzz/corpus-$name"
  echo "== $name ($secs s)"
  "$f" -max_total_time="$secs" -print_final_stats=1 "fuzz/corpus-$name"
done
