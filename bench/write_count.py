#!/usr/bin/env python3
"""The write paths of one RadixEngine variant on the real table, for a
profiler to count (bench/write_count.sh runs it under callgrind).

    PYTHONPATH=build/python python bench/write_count.py OP [VARIANT] [N]

OP is insert (one insert per prefix), insert_many (one call with the list
of pairs), remove (build with insert_many, then remove a seeded sample of
60,000 prefixes one by one), dumps or loads (pickle of the whole table).
VARIANT is default, standard, lockfree or adaptive; N the IPv4 prefixes of
the table in file order (default 300,000).  Records are the realistic ones
of bench/as_records.py, the collector stays on and nothing is frozen.  The
measured part runs inside the method named by bench/write_count.sh's
--toggle-collect, so only the calls themselves are counted; the wall time
of the loop is printed too.
"""

import pickle
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from as_records import read_table, realistic_metas  # noqa: E402
from netrove import RadixEngine  # noqa: E402


def main():
    op = sys.argv[1] if len(sys.argv) > 1 else "insert"
    variant = sys.argv[2] if len(sys.argv) > 2 else "default"
    n = int(sys.argv[3]) if len(sys.argv) > 3 else 300_000
    cidrs = read_table((4,), n)
    metas = realistic_metas(len(cidrs))
    e = RadixEngine(None if variant == "default" else variant)
    ops = len(cidrs)
    if op == "insert":
        ins = e.insert
        t0 = time.perf_counter()
        for c, m in zip(cidrs, metas):
            ins(c, m)
    elif op == "insert_many":
        pairs = list(zip(cidrs, metas))
        t0 = time.perf_counter()
        e.insert_many(pairs)
    elif op in ("remove", "dumps", "loads"):
        e.insert_many(list(zip(cidrs, metas)))
        if op == "remove":
            sample = random.Random(3).sample(cidrs, min(60_000, len(cidrs)))
            ops = len(sample)
            rm = e.remove
            t0 = time.perf_counter()
            for c in sample:
                rm(c)
        elif op == "dumps":
            t0 = time.perf_counter()
            pickle.dumps(e, protocol=pickle.HIGHEST_PROTOCOL)
        else:
            data = pickle.dumps(e, protocol=pickle.HIGHEST_PROTOCOL)
            t0 = time.perf_counter()
            pickle.loads(data)
    else:
        sys.exit(f"unknown op {op}")
    dt = time.perf_counter() - t0
    print(f"{op} {variant}: {ops} operations, {dt / ops * 1e9:.1f} ns each, {len(e)} stored", flush=True)


if __name__ == "__main__":
    main()
