"""Two builds of the module and pytricia, side by side in one process.

Loads the `netrove` extension from two build folders (A, usually the
baseline, and B), builds every variant from both on the same IPv4 prefixes
with the same records, and times `lookup` and `contains` on the same address
streams, and `remove` of the same 10,000 prefixes from a full table (a
fresh build per round, untimed), alternating the libraries round by round
so that machine noise falls on all of them alike.  pytricia (a PyTricia(32) holding the same
record objects) is timed in the same rounds, with `get` and `in`.  Figures
are the best round, in ns per call, and ratios to pytricia.

    python bench/ab_python_bench.py --a OLD/python --b build/python [--quick]
"""

import argparse
import gc
import random
import importlib.machinery
import importlib.util
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))


def load_module(folder):
    path = next(Path(folder).glob("netrove*.so"))
    loader = importlib.machinery.ExtensionFileLoader("netrove", str(path))
    spec = importlib.util.spec_from_file_location("netrove", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def timed(loop, repeats=1):
    best = float("inf")
    for _ in range(repeats):
        gc.disable()
        t0 = time.perf_counter_ns()
        loop()
        best = min(best, time.perf_counter_ns() - t0)
        gc.enable()
    return best


def call_loop(fn, stream):
    def run():
        for x in stream:
            fn(x)
    return run


def in_loop(container, stream):
    def run():
        for x in stream:
            x in container  # noqa: B015 - the membership test is what is timed
    return run


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--a", required=True, help="folder holding build A's netrove*.so")
    ap.add_argument("--b", required=True, help="folder holding build B's netrove*.so")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="100k prefixes and short streams")
    ap.add_argument("--variants", default="None,standard,lockfree,adaptive")
    args = ap.parse_args()

    mod_a, mod_b = load_module(args.a), load_module(args.b)
    sys.modules["netrove"] = mod_b  # python_bench imports it; only its helpers are used
    import python_bench
    try:
        import pytricia
    except ImportError:  # the A/B columns still mean something without it
        pytricia = None

    rows = [r for r in python_bench.load(python_bench.table_path()) if ":" not in r[0]]
    if args.quick:
        rows = rows[:100_000]
    uniform, skewed = python_bench.streams(rows, 100_000, 50_000 if args.quick else 200_000)
    n = len(uniform)
    print(f"{len(rows)} IPv4 prefixes; {n} addresses per stream; best of {args.rounds} rounds; ns per call")

    tree = {}
    if pytricia is not None:
        tree = pytricia.PyTricia(32)
        for subnet, meta in rows:
            tree[subnet] = meta
    variants = [None if v == "None" else v for v in args.variants.split(",")]
    print(f"{'variant':<9} {'op':<17} {'A':>7} {'B':>7} {'pytricia':>9} {'B/A speed':>10} {'A vs pt':>8} {'B vs pt':>8}")
    for variant in variants:
        engines = {}
        for name, mod in (("A", mod_a), ("B", mod_b)):
            e = mod.RadixEngine(variant)
            for subnet, meta in rows:
                e.insert(subnet, meta)
            engines[name] = e
        loops = {}
        for sname, stream in (("uniform", uniform), ("skewed", skewed)):
            loops[f"lookup/{sname}"] = {"A": call_loop(engines["A"].lookup, stream),
                                        "B": call_loop(engines["B"].lookup, stream)}
            loops[f"contains/{sname}"] = {"A": call_loop(engines["A"].contains, stream),
                                          "B": call_loop(engines["B"].contains, stream)}
            if pytricia is not None:
                loops[f"lookup/{sname}"]["pt"] = call_loop(tree.get, stream)
                loops[f"contains/{sname}"]["pt"] = in_loop(tree, stream)
        best = {op: {k: float("inf") for k in ls} for op, ls in loops.items()}
        for r in range(args.rounds):
            for op, ls in loops.items():
                order = list(ls) if r % 2 == 0 else list(reversed(ls))
                for k in order:
                    best[op][k] = min(best[op][k], timed(ls[k]) / n)
        # Removal changes the table: each round removes the same sample from
        # fresh builds, after warming the caches with the uniform stream.
        sample = random.Random(3).sample([subnet for subnet, _ in rows], min(10_000, len(rows)))
        libs = ("A", "B", "pt") if pytricia is not None else ("A", "B")
        best["remove"] = {k: float("inf") for k in libs}
        for r in range(args.rounds):
            for k in (libs if r % 2 == 0 else tuple(reversed(libs))):
                if k == "pt":
                    t = pytricia.PyTricia(32)
                    for subnet, meta in rows:
                        t[subnet] = meta
                    fn = t.delete
                else:
                    t = (mod_a if k == "A" else mod_b).RadixEngine(variant)
                    for subnet, meta in rows:
                        t.insert(subnet, meta)
                    for x in uniform[:20_000]:
                        t.lookup(x)
                    fn = t.remove
                best["remove"][k] = min(best["remove"][k], timed(call_loop(fn, sample)) / len(sample))
                del t, fn
                gc.collect()
        for op, b in best.items():
            pt = b.get("pt", float("nan"))
            print(f"{str(variant):<9} {op:<17} {b['A']:>7.0f} {b['B']:>7.0f} {pt:>9.0f} "
                  f"{b['A'] / b['B']:>9.2f}x {pt / b['A']:>7.2f}x {pt / b['B']:>7.2f}x", flush=True)
        del engines, loops
        gc.collect()


if __name__ == "__main__":
    main()
