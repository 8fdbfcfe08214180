#!/usr/bin/env bash
# Installs the build folder $1 into a temporary prefix and builds and runs an
# outside program against it with find_package(netrove); the installed
# command must run and read a table file the installed tree wrote.
set -euo pipefail
build=$1; cmake=$2; make_program=$3; src=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null
"$cmake" -S "$src/consumer" -B "$tmp/build" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_MAKE_PROGRAM="$make_program" >/dev/null
"$cmake" --build "$tmp/build" | tail -n 20
"$tmp/build/consumer"

"$tmp/prefix/bin/netrove" --version
printf '10.0.0.0/8\n' | "$tmp/prefix/bin/netrove" build -o "$tmp/t.nrv" --format list --value ten -
[ "$("$tmp/prefix/bin/netrove" lookup "$tmp/t.nrv" 10.1.2.3)" = "$(printf '10.1.2.3\t10.0.0.0/8\tten')" ]
