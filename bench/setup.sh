#!/usr/bin/env bash
# Creates .venv-bench, the benchmark environment (kept apart from the test
# .venv), and installs bench/requirements.txt into it one package at a time.
# A package that fails to install is reported and skipped; the peer suite
# says so in its results.  Safe to run again: it only works when something
# is missing or the requirements changed.
set -uo pipefail
cd "$(dirname "$0")/.."
venv=.venv-bench
req=bench/requirements.txt

# grepcidr, the peer of `netrove grep` in bench/cli_bench.py, is a Debian
# package; without it (or without root) that script skips grep.
if ! command -v grepcidr >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "bench setup: installing grepcidr"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get install -y -qq grepcidr || { apt-get update -qq && apt-get install -y -qq grepcidr; }; } >/dev/null 2>&1 \
    || echo "bench setup: could not install grepcidr" >&2
fi

if [ ! -x "$venv/bin/python" ]; then
  py=$(tools/find-python) || exit 1
  echo "bench setup: creating $venv with $py"
  "$py" -m venv "$venv" || exit 1
fi

stamp=$venv/.requirements.sha
want=$(sha256sum "$req" | cut -d' ' -f1)
[ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && exit 0

failed=()
while read -r line; do
  pkg=${line%%#*}
  pkg=$(echo "$pkg" | tr -d '[:space:]')
  [ -n "$pkg" ] || continue
  echo "bench setup: installing $pkg"
  if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check "$pkg"; then
    failed+=("$pkg")
  fi
done < "$req"

if [ ${#failed[@]} -gt 0 ]; then
  # No stamp: the next run tries the missing ones again.
  echo "bench setup: could not install ${failed[*]}; the results will list them as not measured" >&2
else
  echo "$want" > "$stamp"
fi
exit 0
