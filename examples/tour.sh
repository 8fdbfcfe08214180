#!/usr/bin/env bash
# What `make run` shows: the netrove command on the sample table and log of
# examples/data, each command printed as it would be typed, then its output.
#
#   examples/tour.sh [NETROVE] [WORK_FOLDER]     (default: build/cli/netrove, build)
set -euo pipefail
cd "$(dirname "$0")/.."
netrove=$(realpath "${1:-build/cli/netrove}")
work=${2:-build}
data=examples/data
table=$work/sample.nrv

# Prints "$ netrove ARGS" (the path of the binary shortened), then runs it.
show() {
  printf '\n$ netrove %s\n' "$*"
  "$netrove" "$@"
}

show build -o "$table" "$data/prefixes.tsv"
show info "$table"
show lookup "$table" 1.233.226.7 2606:6e00::e:807c 192.0.2.1
show lookup --json "$table" 1.233.226.7
show grep "$table" "$data/access.log"
show grep -c -v "$table" "$data/access.log"
printf '\n(Python: RadixEngine.open("%s") opens the same table file; see README.md.)\n' "$table"
