#!/usr/bin/env python3
"""Runs one library's operation over the IPv4 table, for a profiler to watch.

    PYTHONPATH=build/python .venv-bench/bin/python bench/profile_loop.py \\
        "netrove default" inside [--n 200000] [--reps 40] [--go FILE]

Loads the table and builds the library, prints "ready", then (after FILE
appears, when --go is given) runs the loop `reps` times and prints the rate.
bench/profile.sh attaches perf or callgrind at "ready", so that the profile
holds the loop alone and not the loading and building.  Ops: build, or any
read operation of the peer suite (peerbench.adapters.READ_OPS: inside,
random, skewed, dropped, contains, value, many, values, contains_many,
packed_contains, packed_values, ipobj_lookup, ipobj_contains).  The records are the suite's headline ones
(one per origin AS, with attributes); the collector is off unless
--collector is given (then it runs with nothing frozen, as in the suite's
headline).  The process leaves with os._exit so that no teardown lands in
the profile.
"""

from __future__ import annotations

import argparse
import gc
import ipaddress
import os
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

from peerbench.adapters import READ_OPS, Inputs, make_adapter  # noqa: E402
from peerbench.records import REALISTIC, stored_for  # noqa: E402
from peerbench.streams import make_streams, pack  # noqa: E402
from peerbench.table import data_path, load_tables  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("lib")
    ap.add_argument("op", choices=["build", *READ_OPS])
    ap.add_argument("--n", type=int, default=200_000, help="addresses per stream")
    ap.add_argument("--reps", type=int, default=40)
    ap.add_argument("--go", help="wait for this file to exist before the loop")
    ap.add_argument("--collector", action="store_true", help="keep the cyclic collector on")
    args = ap.parse_args()

    table = load_tables(data_path(BENCH.parent))["ipv4"]
    stored = stored_for(REALISTIC, table)
    peer, records = stored.peer(), stored.records()
    adapter = make_adapter(args.lib, [4])
    count = len(table) if args.op == "build" else args.n * args.reps
    if args.op != "build":
        streams = make_streams(table, args.n, 100_000, 20240607)
        adapter.build(table.cidrs, peer, records)
        inp = Inputs(streams.inside, streams.random, streams.skewed, pack(streams.inside))
        if args.op.startswith("ipobj"):
            inp.ipobjs = [ipaddress.ip_address(x) for x in streams.inside]
        ops = adapter.read_ops(inp)
        if args.op not in ops:
            sys.exit(f"{args.lib} has no {args.op} here")
        loop = ops[args.op]
    gc.collect()
    if not args.collector:
        gc.disable()
    print("ready", flush=True)
    if args.go:
        while not os.path.exists(args.go):
            time.sleep(0.1)
    else:
        time.sleep(1.0)  # time for the profiler to attach
    t0 = time.perf_counter()
    if args.op == "build":
        adapter.build(table.cidrs, peer, records)
    else:
        for _ in range(args.reps):
            loop()
    rate = count / (time.perf_counter() - t0)
    print(f"{args.lib} {args.op}: {rate / 1e6:.3f} M/s ({count:,} operations)", flush=True)
    os._exit(0)


if __name__ == "__main__":
    main()
