"""From-Python cost of RadixEngine on the real routing table.

For every variant: the time to insert the whole table, and ns per `lookup`
and per `contains` on two streams of addresses inside the table's prefixes,
one uniform and one skewed (10% of the addresses take 90% of the lookups).
Lookup results are dropped at once with the cyclic collector off; the
"kept" column times the uniform stream again with every result kept in a
list and the collector on, as a caller collecting answers would run.
A loop calling a trivial built-in method on the same stream is timed too:
it is the interpreter's own per-call cost, included in every figure.
The batch calls are timed beside the single ones: `insert_many` of the
whole table, and ns per address of `lookup_many` and `contains_many` of the
uniform stream in one call.  For the default engine, `lookup_many` and
`contains_many` of the uniform stream also run on one and on two Python
threads at once, alternating, and the ratio of their throughputs is shown.

    PYTHONPATH=build/python python bench/python_bench.py [--out FILE] [--quick]

The table is $NETROVE_BENCH_DATA, else ../shared/data/tier1-prefixes.txt.gz
(relative to the project root), else /work/shared/data/tier1-prefixes.txt.gz.
"""

import argparse
import gc
import gzip
import ipaddress
import json
import os
import random
import sys
import threading
import time
from pathlib import Path

from netrove import RadixEngine

ROOT = Path(__file__).resolve().parent.parent
VARIANTS = [None, "standard", "lockfree", "adaptive"]


def table_path():
    candidates = [os.environ.get("NETROVE_BENCH_DATA", ""), ROOT.parent / "shared/data/tier1-prefixes.txt.gz",
                  Path("/work/shared/data/tier1-prefixes.txt.gz")]
    for c in candidates:
        if c and Path(c).is_file():
            return Path(c)
    sys.exit("python_bench: routing table not found; set NETROVE_BENCH_DATA")


def load(path, limit=None):
    with gzip.open(path, "rt") as f:
        prefixes = [line.strip() for line in f if line.strip()]
    if limit:
        prefixes = random.Random(3).sample(prefixes, limit)
    # One record per prefix, shaped like the docstring's example.
    return [(p, {"value": f"route-{i % 1000}", "attributes": {"asn": f"AS{64512 + i % 1000}"}})
            for i, p in enumerate(prefixes)]


def streams(rows, distinct, length, seed=7):
    """(uniform, skewed) lists of address strings inside the table's prefixes."""
    rng = random.Random(seed)
    nets = [ipaddress.ip_network(p, strict=False) for p, _ in rng.sample(rows, min(len(rows), distinct))]
    addrs = []
    for i in range(distinct):
        net = nets[i % len(nets)]
        addrs.append(str(net.network_address + rng.randrange(net.num_addresses)))
    uniform = [addrs[rng.randrange(distinct)] for _ in range(length)]
    hot = distinct // 10
    skewed = [addrs[rng.randrange(hot)] if rng.random() < 0.9 else addrs[rng.randrange(hot, distinct)]
              for _ in range(length)]
    return uniform, skewed


def per_call_ns(fn, stream, repeats):
    """Best of `repeats` timings of one call of fn per stream element."""
    best = float("inf")
    for _ in range(repeats):
        gc.disable()
        t0 = time.perf_counter_ns()
        for x in stream:
            fn(x)
        t = time.perf_counter_ns() - t0
        gc.enable()
        best = min(best, t / len(stream))
    return best


def kept_call_ns(fn, stream, repeats):
    """Best of `repeats` timings per element of keeping every fn result in a
    list, with the cyclic collector enabled."""
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter_ns()
        kept = [fn(x) for x in stream]
        t = time.perf_counter_ns() - t0
        del kept
        best = min(best, t / len(stream))
    return best


def batch_ns(fn, stream, repeats):
    """Best of `repeats` timings per element of one batch call over the stream."""
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter_ns()
        kept = fn(stream)
        t = time.perf_counter_ns() - t0
        del kept
        best = min(best, t / len(stream))
    return best


def thread_ratio(fn, stream, repeats):
    """Throughput of `fn(stream)` on two threads at once over one thread,
    the best of `repeats` alternating rounds of each."""
    def rate(threads):
        go = threading.Barrier(threads + 1)

        def work():
            go.wait()
            fn(stream)

        ts = [threading.Thread(target=work) for _ in range(threads)]
        for t in ts:
            t.start()
        go.wait()
        t0 = time.perf_counter()
        for t in ts:
            t.join()
        return threads * len(stream) / (time.perf_counter() - t0)

    one = two = 0.0
    for _ in range(repeats):
        one = max(one, rate(1))
        two = max(two, rate(2))
    return two / one


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", help="write the figures as JSON here")
    ap.add_argument("--quick", action="store_true", help="100k prefixes and short streams")
    args = ap.parse_args()

    rows = load(table_path(), 100_000 if args.quick else None)
    uniform, skewed = streams(rows, 100_000, 100_000 if args.quick else 200_000)
    repeats = 2 if args.quick else 3
    baseline = {}
    empty = {}
    baseline["uniform"] = per_call_ns(empty.get, uniform, repeats)
    baseline["skewed"] = per_call_ns(empty.get, skewed, repeats)
    print(f"{len(rows)} prefixes; {len(uniform)} addresses per stream; interpreter loop + call of "
          f"dict.get: {baseline['uniform']:.0f} ns")
    header = (f"{'variant':<10} {'build s':>8} {'lookup':>8} {'lookup':>8} {'lookup':>8} {'contains':>9}"
              f" {'contains':>9}")
    print(header)
    print(f"{'':<10} {'':>8} {'uniform':>8} {'skewed':>8} {'kept':>8} {'uniform':>9} {'skewed':>9}   (ns per call)")
    results = {"prefixes": len(rows), "stream": len(uniform), "baseline_ns": baseline, "variants": {}}
    for variant in VARIANTS:
        engine = RadixEngine(variant)
        insert = engine.insert
        gc.disable()
        t0 = time.perf_counter()
        for subnet, meta in rows:
            insert(subnet, meta)
        build = time.perf_counter() - t0
        gc.enable()
        figures = {"build_s": build}
        many = RadixEngine(variant)
        gc.disable()
        t0 = time.perf_counter()
        many.insert_many(rows)
        figures["build_many_s"] = time.perf_counter() - t0
        gc.enable()
        del many
        for name, stream in (("uniform", uniform), ("skewed", skewed)):
            figures[f"lookup_{name}_ns"] = per_call_ns(engine.lookup, stream, repeats)
        figures["lookup_uniform_kept_ns"] = kept_call_ns(engine.lookup, uniform, repeats)
        for name, stream in (("uniform", uniform), ("skewed", skewed)):
            figures[f"contains_{name}_ns"] = per_call_ns(engine.contains, stream, repeats)
        figures["lookup_many_uniform_ns"] = batch_ns(engine.lookup_many, uniform, repeats)
        figures["contains_many_uniform_ns"] = batch_ns(engine.contains_many, uniform, repeats)
        if variant is None:
            figures["lookup_many_two_threads"] = thread_ratio(engine.lookup_many, uniform, repeats)
            figures["contains_many_two_threads"] = thread_ratio(engine.contains_many, uniform, repeats)
        results["variants"][str(variant)] = figures
        print(f"{str(variant):<10} {build:>8.2f} {figures['lookup_uniform_ns']:>8.0f} {figures['lookup_skewed_ns']:>8.0f}"
              f" {figures['lookup_uniform_kept_ns']:>8.0f} {figures['contains_uniform_ns']:>9.0f}"
              f" {figures['contains_skewed_ns']:>9.0f}")
        print(f"{'  batch':<10} {figures['build_many_s']:>8.2f} {figures['lookup_many_uniform_ns']:>8.0f} {'':>8}"
              f" {'':>8} {figures['contains_many_uniform_ns']:>9.0f}"
              + (f"   two threads: lookup_many {figures['lookup_many_two_threads']:.2f}x,"
                 f" contains_many {figures['contains_many_two_threads']:.2f}x" if variant is None else ""))
        del engine
        gc.collect()
    if args.out:
        Path(args.out).parent.mkdir(parents=True, exist_ok=True)
        Path(args.out).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
