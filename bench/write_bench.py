#!/usr/bin/env python3
"""The write paths of netrove against pytricia, side by side in one run.

    PYTHONPATH=build/python .venv-bench/bin/python bench/write_bench.py \\
        [--rounds 3] [--limit N] [--redis] [--memory] [--out FILE]

The realistic setting: the real routing table, the cyclic collector on,
nothing frozen, and the records of a route loader (bench/as_records.py:
{"value": "AS<n>", "attributes": {"asn": "<n>"}}, one dict object per
origin AS).  pytricia stores the same dict objects.  Workloads: the IPv4
table, and IPv4 with IPv6 (pytricia keeps a tree per family and the loop
routes each prefix by the presence of ":", as a user of it must).

Timed, per library and variant, best of the rounds, every round running
every library in turn (the order reversed every other round) so that the
noise of a shared machine falls on all of them alike:

  build        one insert per prefix into a new table
  insert_many  one insert_many of the whole table (pytricia: its build)
  remove       60,000 prefixes (a seeded sample) removed one by one from a
               full table (built untimed before each round)
  dumps/loads  pickle.dumps and pickle.loads of the whole table (pytricia
               frozen first, as it requires; the freeze is not timed)
  from_redis   (--redis) RadixEngine.from_redis on a hash holding the table,
               against a local insert_many of it; a private redis-server on
               a Unix socket in a temporary folder
  memory       (--memory) resident memory growth per prefix, each library
               built in a fresh process

Figures are ratios to pytricia in the same run (above 1.00: netrove is
faster; memory: below 1.00 is smaller), with ns per element beside them.
Instruction counts come from bench/write_count.sh (callgrind).
"""

from __future__ import annotations

import argparse
import gc
import os
import pickle
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

from as_records import read_table, realistic_metas  # noqa: E402

import netrove  # noqa: E402
import pytricia  # noqa: E402

VARIANTS = [None, "standard", "lockfree", "adaptive"]
REMOVED = 60_000


def name(variant):
    return f"netrove {variant or 'default'}"


class Workload:
    def __init__(self, label, cidrs):
        self.label = label
        self.cidrs = cidrs
        self.metas = realistic_metas(len(cidrs))
        self.pairs = list(zip(self.cidrs, self.metas))
        self.sample = random.Random(3).sample(self.cidrs, min(REMOVED, len(self.cidrs)))
        self.both = any(":" in c for c in cidrs)


# --- pytricia -----------------------------------------------------------------


class Tricia:
    """pytricia holding a workload: one tree per family."""

    def __init__(self, w: Workload):
        self.w = w
        self.t4 = pytricia.PyTricia(32)
        self.t6 = pytricia.PyTricia(128, __import__("socket").AF_INET6) if w.both else None

    def build(self):
        t4, t6 = self.t4, self.t6
        if t6 is None:
            for c, m in self.w.pairs:
                t4[c] = m
        else:
            for c, m in self.w.pairs:
                if ":" in c:
                    t6[c] = m
                else:
                    t4[c] = m

    def remove(self, cidrs):
        d4 = self.t4.delete
        if self.t6 is None:
            for c in cidrs:
                d4(c)
        else:
            d6 = self.t6.delete
            for c in cidrs:
                (d6 if ":" in c else d4)(c)

    def frozen(self):
        self.t4.freeze()
        if self.t6 is not None:
            self.t6.freeze()
        return (self.t4, self.t6)


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


# --- the timed operations --------------------------------------------------------


def op_build(lib, w):
    if lib == "pytricia":
        return timed(lambda: Tricia(w).build())
    e = netrove.RadixEngine(lib)
    ins = e.insert

    def run():
        for c, m in w.pairs:
            ins(c, m)

    return timed(run)


def op_insert_many(lib, w):
    if lib == "pytricia":
        return timed(lambda: Tricia(w).build())
    return timed(lambda: netrove.RadixEngine(lib).insert_many(w.pairs))


def op_remove(lib, w):
    if lib == "pytricia":
        t = Tricia(w)
        t.build()
        return timed(lambda: t.remove(w.sample))
    e = netrove.RadixEngine(lib)
    e.insert_many(w.pairs)
    rm = e.remove

    def run():
        for c in w.sample:
            rm(c)

    return timed(run)


def pickled(lib, w):
    if lib == "pytricia":
        t = Tricia(w)
        t.build()
        return t.frozen()
    e = netrove.RadixEngine(lib)
    e.insert_many(w.pairs)
    return e


def op_dumps(lib, w):
    obj = pickled(lib, w)
    return timed(lambda: pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL))


def op_loads(lib, w):
    data = pickle.dumps(pickled(lib, w), protocol=pickle.HIGHEST_PROTOCOL)
    return timed(lambda: pickle.loads(data))


OPS = {"build": (op_build, "n"), "insert_many": (op_insert_many, "n"), "remove": (op_remove, "removed"),
       "dumps": (op_dumps, "n"), "loads": (op_loads, "n")}


def run_ops(w, rounds):
    libs = ["pytricia"] + VARIANTS
    best = {op: {lib: float("inf") for lib in libs} for op in OPS}
    for r in range(rounds):
        order = libs if r % 2 == 0 else libs[::-1]
        for op, (fn, _) in OPS.items():
            for lib in order:
                gc.collect()
                best[op][lib] = min(best[op][lib], fn(lib, w))
        print(f"  {w.label}: round {r + 1} of {rounds} done", file=sys.stderr, flush=True)
    return best


# --- from_redis ------------------------------------------------------------------


def redis_round(w, rounds):
    """from_redis of a hash holding the table, against a local insert_many."""
    server = shutil.which("redis-server")
    if server is None:
        return None
    folder = tempfile.mkdtemp(prefix="netrove-bench-")
    sock = os.path.join(folder, "redis.sock")
    proc = subprocess.Popen([server, "--port", "0", "--unixsocket", sock, "--save", "", "--appendonly", "no"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if os.path.exists(sock):
                break
            time.sleep(0.05)
        url = f"unix://{sock}"
        writer = netrove.RadixEngine.from_redis(url, follow=False)
        writer.insert_many(w.pairs)
        del writer
        best = {"from_redis": float("inf"), "local insert_many": float("inf")}
        for r in range(rounds):
            for what in (("from_redis", "local insert_many") if r % 2 == 0 else ("local insert_many", "from_redis")):
                gc.collect()
                if what == "from_redis":
                    t = timed(lambda: netrove.RadixEngine.from_redis(url))
                else:
                    t = timed(lambda: netrove.RadixEngine().insert_many(w.pairs))
                best[what] = min(best[what], t)
        return best
    finally:
        proc.terminate()
        proc.wait()
        shutil.rmtree(folder, ignore_errors=True)


# --- memory ----------------------------------------------------------------------

MEMORY_CHILD = r"""
import gc, sys
sys.path.insert(0, {bench!r})
from as_records import read_table, realistic_metas
cidrs = read_table({families!r}, {limit!r})
pairs = list(zip(cidrs, realistic_metas(len(cidrs))))
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
gc.collect()
before = rss()
lib, how = {lib!r}, {how!r}
if lib == "pytricia":
    import pytricia, socket
    t4, t6 = pytricia.PyTricia(32), pytricia.PyTricia(128, socket.AF_INET6)
    for c, m in pairs:
        (t6 if ":" in c else t4)[c] = m
else:
    import netrove
    t = netrove.RadixEngine(None if lib == "default" else lib)
    if how == "insert_many":
        t.insert_many(pairs)
    else:
        for c, m in pairs:
            t.insert(c, m)
gc.collect()
print((rss() - before) / len(pairs))
"""


def memory(families, limit):
    out = {}
    for lib, how in (("pytricia", "build"), ("default", "build"), ("default", "insert_many"), ("standard", "build")):
        code = MEMORY_CHILD.format(bench=str(BENCH), families=families, limit=limit, lib=lib, how=how)
        res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ)
        out[(lib, how)] = float(res.stdout.strip()) if res.returncode == 0 else float("nan")
    return out


# --- report ----------------------------------------------------------------------


def report(w, best, lines):
    n = len(w.cidrs)
    lines.append(f"\n### {w.label} ({n:,} prefixes; remove: {len(w.sample):,} of them)\n")
    lines.append("| library | " + " | ".join(OPS) + " |")
    lines.append("|---|" + "---|" * len(OPS))
    for lib in ["pytricia"] + VARIANTS:
        cells = []
        for op, (_, per) in OPS.items():
            t = best[op][lib]
            count = n if per == "n" else len(w.sample)
            ratio = best[op]["pytricia"] / t
            cells.append(f"{ratio:.2f} ({t / count * 1e9:.0f} ns)")
        lines.append(f"| {lib if lib == 'pytricia' else name(lib)} | " + " | ".join(cells) + " |")
    lines.append("")
    default = {op: best[op][None] for op in OPS}
    for lib in VARIANTS[1:]:
        worst = max(best[op][lib] / default[op] for op in ("build", "insert_many", "remove"))
        lines.append(f"- {name(lib)}: slowest write at {worst:.2f}x the default's time")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--limit", type=int, default=None, help="prefixes per workload (default: all)")
    ap.add_argument("--redis", action="store_true")
    ap.add_argument("--memory", action="store_true")
    ap.add_argument("--ipv4-only", action="store_true")
    ap.add_argument("--out", help="also write the report here")
    args = ap.parse_args()

    lines = [f"## Writes: netrove against pytricia (ratios in one run, best of {args.rounds} rounds)\n",
             f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, Python "
             f"{sys.version.split()[0]}, collector on, nothing frozen; realistic per-AS records."]
    workloads = [Workload("IPv4 table", read_table((4,), args.limit))]
    if not args.ipv4_only:
        workloads.append(Workload("IPv4 and IPv6 together", read_table((4, 6), args.limit)))
    for w in workloads:
        report(w, run_ops(w, args.rounds), lines)
    if args.redis:
        got = redis_round(workloads[0], args.rounds)
        if got is None:
            lines.append("\nfrom_redis: not measured (no redis-server)")
        else:
            n = len(workloads[0].cidrs)
            lines.append(f"\n### from_redis ({workloads[0].label})\n")
            for k, t in got.items():
                lines.append(f"- {k}: {t:.2f} s ({t / n * 1e9:.0f} ns per prefix)")
            lines.append(f"- from_redis / local insert_many: {got['from_redis'] / got['local insert_many']:.2f}")
    if args.memory:
        lines.append("\n### memory per prefix (fresh process each; IPv4 and IPv6)\n")
        mem = memory((4, 6), args.limit)
        pt = mem[("pytricia", "build")]
        for (lib, how), b in mem.items():
            lines.append(f"- {lib} {how}: {b:.1f} B/prefix ({b / pt:.2f} of pytricia)")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
