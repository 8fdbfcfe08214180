"""Resident memory under churn: a steady table while other prefixes come and go.

Each variant runs in a fresh process: an engine holds a steady set of 5,000
prefixes, then every round inserts 20,000 distinct /24s never used before
and removes them again, so the number of stored prefixes is the same after
every round.  Resident memory (VmRSS) is read after each round, once the nodes retired
in it have had `--settle` seconds to be freed (reclamation runs beside the
writer, after a grace period); what a
long-running process cares about is the growth between a warmed-up round
and the last one.  `--module` picks the build folder holding netrove*.so,
so an older build can be measured side by side.

    python bench/churn_bench.py [--module build/python] [--rounds 12] [--variants None,standard,...]
"""

import argparse
import ipaddress
import json
import random
import subprocess
import sys
import time
from pathlib import Path


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def run_one(folder, variant, rounds, steady, fresh, settle):
    sys.path.insert(0, folder)
    import netrove

    rng = random.Random(5)
    engine = netrove.RadixEngine(variant)
    record = {"value": "steady", "attributes": {"src": "bench"}}
    stored = set()
    while len(engine) < steady:
        a = rng.getrandbits(32)
        p = f"{a >> 24}.{(a >> 16) & 255}.{(a >> 8) & 255}.0/{rng.randint(8, 24)}"
        engine.insert(p, record)
        stored.add(str(ipaddress.ip_network(p, strict=False)))
    size = len(engine)
    # Fresh /24s from 1.0.0.0 on, the steady prefixes' space: inserts split
    # and removes merge the steady set's nodes as well as their own.
    nxt = 1 << 16
    out = []
    for _ in range(rounds):
        batch = []
        while len(batch) < fresh:
            p = f"{nxt >> 16}.{(nxt >> 8) & 255}.{nxt & 255}.0/24"
            nxt += 1
            if p not in stored:  # a steady /24 is not fresh
                batch.append(p)
        for p in batch:
            engine.insert(p, {"value": "fresh", "attributes": {}})
        rng.shuffle(batch)
        for p in batch:
            engine.remove(p)
        assert len(engine) == size
        time.sleep(settle)  # let the deferred frees of the round run
        out.append(rss_bytes())
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--module", default=str(Path(__file__).resolve().parent.parent / "build" / "python"))
    ap.add_argument("--rounds", type=int, default=12)
    ap.add_argument("--steady", type=int, default=5000)
    ap.add_argument("--fresh", type=int, default=20000)
    ap.add_argument("--variants", default="None,standard,lockfree,adaptive")
    ap.add_argument("--settle", type=float, default=0.2,
                    help="seconds to wait before each reading, for the nodes retired in the round to be freed")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child is not None:
        run_one(args.module, None if args.child == "None" else args.child, args.rounds, args.steady, args.fresh,
                args.settle)
        return
    mb = 1 << 20
    print(f"module {args.module}; {args.steady} steady prefixes, {args.rounds} rounds of "
          f"{args.fresh} inserts + {args.fresh} removes of fresh /24s; resident MB after each round")
    print(f"{'variant':<9} {'round 1':>8} {'round 4':>8} {'round 8':>8} {'round 12':>9} {'growth 4->12':>13}")
    for v in args.variants.split(","):
        res = subprocess.run([sys.executable, __file__, "--module", args.module, "--rounds", str(args.rounds),
                              "--steady", str(args.steady), "--fresh", str(args.fresh), "--settle", str(args.settle),
                              "--child", v],
                             capture_output=True, text=True, check=True)
        rss = json.loads(res.stdout.strip().splitlines()[-1])
        at = lambda r: rss[min(r, len(rss)) - 1] / mb  # noqa: E731
        print(f"{v:<9} {at(1):>8.1f} {at(4):>8.1f} {at(8):>8.1f} {at(12):>9.1f} {at(12) - at(4):>12.1f}", flush=True)


if __name__ == "__main__":
    main()
