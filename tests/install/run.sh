#!/usr/bin/env bash
# Installs the build folder $1 into a temporary prefix and builds and runs an
# outside program against it with find_package(netrove).
set -euo pipefail
build=$1; cmake=$2; make_program=$3; src=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null
"$cmake" -S "$src/consumer" -B "$tmp/build" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_MAKE_PROGRAM="$make_program" >/dev/null
"$cmake" --build "$tmp/build" | tail -n 20
"$tmp/build/consumer"
