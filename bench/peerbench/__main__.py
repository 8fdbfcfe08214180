"""The peer suite's one entry point: a mode, then its options.

    PYTHONPATH=build/python:bench .venv-bench/bin/python -m peerbench MODE [options]

  peers    (default) netrove against the Python prefix-matching libraries;
           --ab FOLDER adds a second build beside this one, --reads none
           keeps the writes alone                        results.md, results.json
  loads    load() against pyasn and MaxMind's reader; MRT MB/s    loads.md
  cli      table files against pickle, the command against grepcidr  cli.md
  memory   resident memory under churn, and in a forked child   memory.md
  profile  one library's loop under perf or callgrind (prints only)

--quick runs any mode on a small slice of the table in seconds, for CI.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from . import cli, loads, memory, peers, profile

MODES = {"peers": peers, "loads": loads, "cli": cli, "memory": memory, "profile": profile}


def main(argv: list[str]) -> int:
    if not argv or argv[0].startswith("-") and argv[0] not in ("-h", "--help"):
        argv = ["peers"] + argv
    ap = argparse.ArgumentParser(prog="python -m peerbench", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="mode", required=True)
    for name, mod in MODES.items():
        p = sub.add_parser(name, help=mod.__doc__.splitlines()[0], description=mod.__doc__,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.add_argument("--out", type=Path, default=Path(__file__).resolve().parent.parent / "results",
                       help="results folder (default bench/results)")
        p.add_argument("--limit", type=int, default=None,
                       help="use about N prefixes of the table (the first of each family, in the file's mix)")
        p.add_argument("--quick", action="store_true", help="a small table and short streams: seconds, not minutes")
        mod.add_arguments(p)
    args = ap.parse_args(argv)
    if args.quick and args.limit is None:
        args.limit = 20_000
    args.out.mkdir(parents=True, exist_ok=True)
    return MODES[args.mode].run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
