"""The lookup cache from Python: every named variant against the default.

Builds RadixEngine() and RadixEngine(v) for v in "standard", "lockfree",
"adaptive" (each named variant puts a 10,000-answer cache in front of its
trie) on the same IPv4 prefixes of the real table, with records
{"value": "AS<n>", "attributes": {"asn": "<n>"}}, one dict per AS shared by
all its prefixes.  The cyclic collector stays on and nothing is frozen.
Then, round by round, the engines take turns (the order rotates each
round, so machine noise falls on all of them alike) on:

  lookup / contains, misses    a stream drawn from 1,000,000 distinct
                               in-table addresses (about 1% repeats)
  lookup / contains, skewed    100,000 distinct in-table addresses, the
                               first tenth taking 90% of the stream
  lookup_many / contains_many  one call over each of those streams
  remove, full cache           the cache filled by the skewed stream, then
                               5,000 table prefixes removed (and put back,
                               untimed, for the next round)

and prints the median ns per call of each engine and each named variant's
time over the default's (below 1: faster than the default).

    PYTHONPATH=build/python python bench/cache_ab_bench.py [--quick] [--rounds N]
"""

import argparse
import gc
import gzip
import ipaddress
import os
import random
import statistics
import sys
import time
from pathlib import Path

from netrove import RadixEngine

ROOT = Path(__file__).resolve().parent.parent
NAMED = ["standard", "lockfree", "adaptive"]


def table_path():
    for c in (os.environ.get("NETROVE_BENCH_DATA", ""), ROOT.parent / "shared/data/tier1-prefixes.txt.gz",
              Path("/work/shared/data/tier1-prefixes.txt.gz")):
        if c and Path(c).is_file():
            return Path(c)
    sys.exit("cache_ab_bench: routing table not found; set NETROVE_BENCH_DATA")


def load(limit):
    with gzip.open(table_path(), "rt") as f:
        prefixes = [line.strip() for line in f if line.strip() and ":" not in line]
    if limit:
        prefixes = random.Random(3).sample(prefixes, limit)
    rng = random.Random(5)
    records = {}
    rows = []
    for p in prefixes:
        asn = 64512 + rng.randrange(30000)  # about 30,000 origin ASes, as a real IPv4 table
        meta = records.get(asn)
        if meta is None:
            meta = records[asn] = {"value": f"AS{asn}", "attributes": {"asn": str(asn)}}
        rows.append((p, meta))
    return rows


def addresses(rows, n, rng):
    """n distinct-ish in-table addresses: random host bits inside random prefixes."""
    nets = [ipaddress.ip_network(p, strict=False) for p, _ in rows]
    out = []
    for _ in range(n):
        net = nets[rng.randrange(len(nets))]
        out.append(str(net.network_address + rng.randrange(net.num_addresses)))
    return out


def timed(fn, arg):
    t0 = time.perf_counter_ns()
    fn(arg)
    return time.perf_counter_ns() - t0


def loop(method):
    def run(stream):
        for x in stream:
            method(x)
    return run


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="100k prefixes, short streams, 3 rounds")
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()
    rounds = 3 if args.quick else args.rounds

    rows = load(100_000 if args.quick else None)
    rng = random.Random(7)
    length = 50_000 if args.quick else 200_000
    pool = addresses(rows, 1_000_000 if not args.quick else 200_000, rng)
    misses = [pool[rng.randrange(len(pool))] for _ in range(length)]
    distinct = addresses(rows, 100_000, rng)
    hot = len(distinct) // 10
    skewed = [distinct[rng.randrange(hot)] if rng.random() < 0.9 else distinct[rng.randrange(hot, len(distinct))]
              for _ in range(length)]
    removed = [p for p, _ in random.Random(11).sample(rows, 5_000)]
    meta_of = dict(rows)

    names = ["default"] + NAMED
    engines = {}
    for name in names:
        e = RadixEngine() if name == "default" else RadixEngine(name)
        for subnet, meta in rows:
            e.insert(subnet, meta)
        engines[name] = e
    print(f"{len(rows)} IPv4 prefixes; streams of {length}; {rounds} rounds, engines in rotating order; "
          "median ns per call (per address for the batch calls); collector on")

    ops = {}
    for sname, stream in (("misses", misses), ("skewed", skewed)):
        ops[f"lookup, {sname}"] = (lambda e: loop(e.lookup), stream)
        ops[f"contains, {sname}"] = (lambda e: loop(e.contains), stream)
        ops[f"lookup_many, {sname}"] = (lambda e: e.lookup_many, stream)
        ops[f"contains_many, {sname}"] = (lambda e: e.contains_many, stream)
    times = {op: {n: [] for n in names} for op in list(ops) + ["remove, full cache"]}
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for op, (bind, stream) in ops.items():
            for n in order:
                times[op][n].append(timed(bind(engines[n]), stream) / len(stream))
        for n in order:
            e = engines[n]
            loop(e.lookup)(skewed[:50_000])  # a full cache, hot answers in it
            times["remove, full cache"][n].append(timed(loop(e.remove), removed) / len(removed))
            for p in removed:
                e.insert(p, meta_of[p])

    print(f"{'operation':<26}" + "".join(f"{n:>10}" for n in names) + "".join(f"{n + '/def':>14}" for n in NAMED))
    for op, per in times.items():
        med = {n: statistics.median(v) for n, v in per.items()}
        print(f"{op:<26}" + "".join(f"{med[n]:>10.0f}" for n in names)
              + "".join(f"{med[n] / med['default']:>14.2f}" for n in NAMED), flush=True)


if __name__ == "__main__":
    main()
