"""The peer suite: every library, same prefixes, same streams, one run.

For one workload:
  1. Create every available library's adapter (the missing ones are noted).
  2. Build cycle, repeated `build_repeats` times:
     a. build every library (timed);
     b. first cycle only: check every library against the oracle on a sample
        of each stream, then time the lookup streams and `contains`,
        `repeats` rounds, each round running every library in turn so
        that a disturbance of the machine hits all of them alike;
        later cycles run the skewed stream once, untimed, so that every
        removal below starts from the same warm state;
     c. remove the removal sample (timed) and check that exactly those
        prefixes are gone; the rest is dropped untimed.  The sample is
        every prefix unless `remove_sample` is smaller: a lookup cache
        drops the answers a removal may change by visiting its entries,
        so removal from a warm cached engine costs cache size times
        prefixes, minutes for the whole table.
  3. Memory per prefix, one fresh process per library.
Times keep the best run; figures are later turned into ratios to pytricia.
"""

from __future__ import annotations

import gc
import random
import time
from dataclasses import dataclass, field

from . import measure
from .adapters import Adapter, Netrove, Unavailable, make_adapter
from .streams import Streams
from .table import Oracle, Table

# Timed operations in report order: (key, title).
OPS = [
    ("build", "build"),
    ("inside", "lookup, in table"),
    ("random", "lookup, random"),
    ("skewed", "lookup, skewed"),
    ("dropped", "lookup, in table, dropped"),
    ("contains", "contains"),
    ("remove", "remove"),
]


@dataclass
class LibResult:
    name: str
    version: str = "?"
    seconds: dict[str, float] = field(default_factory=dict)  # op -> best time
    counts: dict[str, int] = field(default_factory=dict)     # op -> items per run
    mem_per_prefix: float | None = None
    mem_error: str = ""
    wrong: list[str] = field(default_factory=list)           # answer-check failures
    notes: list[str] = field(default_factory=list)


@dataclass
class WorkloadResult:
    name: str
    prefixes: int
    v4: int
    v6: int
    stream_len: int
    pool: int
    hot: int
    libs: dict[str, LibResult] = field(default_factory=dict)
    unavailable: dict[str, str] = field(default_factory=dict)
    removed: int = 0  # prefixes in the removal sample


def _best(res: LibResult, op: str, seconds: float, n: int) -> None:
    if op not in res.seconds or seconds < res.seconds[op]:
        res.seconds[op] = seconds
    res.counts[op] = n


def check_answers(adapter: Adapter, oracle: Oracle, streams: Streams, sample: int) -> list[str]:
    """Compares `sample` answers per stream with the oracle; returns the faults."""
    faults = []
    for sname in ("inside", "random", "skewed"):
        addrs = getattr(streams, sname)[:sample]
        bad = [a for a in addrs if adapter.lookup_value(a) != oracle.lookup_text(a)]
        if bad:
            faults.append(f"lookup/{sname}: {len(bad)} of {len(addrs)} wrong, e.g. {bad[0]}")
        bad = [a for a in addrs if adapter.contains_one(a) != (oracle.lookup_text(a) is not None)]
        if bad:
            faults.append(f"contains/{sname}: {len(bad)} of {len(addrs)} wrong, e.g. {bad[0]}")
    return faults


_T0 = time.monotonic()


def _log(msg: str, verbose: bool) -> None:
    if verbose:
        print(f"[{time.monotonic() - _T0:6.0f} s] {msg}", flush=True)


def removal_sample(table: Table, n: int | None, seed: int) -> tuple[list[str], list[str]]:
    """Splits the prefixes into (removed, kept): `n` drawn at random, or all."""
    if n is None or n >= len(table):
        return list(table.cidrs), []
    picked = set(random.Random(seed).sample(range(len(table)), n))
    removed = [c for i, c in enumerate(table.cidrs) if i in picked]
    kept = [c for i, c in enumerate(table.cidrs) if i not in picked]
    return removed, kept


def run_workload(table: Table, streams: Streams, libs: list[str], *, repeats: int = 3,
                 build_repeats: int = 2, check_sample: int = 2000, memory: bool = True,
                 remove_sample: int | None = None, seed: int = 1,
                 netrove_module=None, verbose: bool = True) -> WorkloadResult:
    """Measures every library of `libs` on `table` (see the module comment)."""
    fams = [4, 6] if table.count(6) else [4]
    out = WorkloadResult(table.name, len(table), table.count(4), table.count(6),
                         len(streams.inside), streams.pool, streams.hot)
    removed, kept = removal_sample(table, remove_sample, seed)
    out.removed = len(removed)
    empty: dict = {}
    metas = [{"value": v, "attributes": empty} for v in table.values]
    oracle = Oracle(table)
    cidrs, values = table.cidrs, table.values
    rest_oracle = oracle
    if kept:
        keep = set(kept)
        rest = Table(table.name)
        rest.nets = [n for n, c in zip(table.nets, cidrs) if c in keep]
        rest.values = [v for v, c in zip(values, cidrs) if c in keep]
        rest_oracle = Oracle(rest)

    for cycle in range(max(1, build_repeats)):
        adapters: dict[str, Adapter] = {}
        for name in libs:
            if name in out.unavailable:
                continue
            try:
                adapters[name] = make_adapter(name, fams, netrove_module)
            except Unavailable as e:
                out.unavailable[name] = str(e)
                continue
            out.libs.setdefault(name, LibResult(name, adapters[name].version))
        for name, a in adapters.items():
            t = measure.timed(lambda _: a.build(cidrs, values, metas), None)
            _best(out.libs[name], "build", t, len(cidrs))
            _log(f"  {table.name}: {name} built in {t:.2f} s", verbose)

        if cycle == 0:
            for name, a in adapters.items():
                res = out.libs[name]
                size = a.size()
                if size is not None and size != len(cidrs):
                    res.wrong.append(f"holds {size} prefixes after build, expected {len(cidrs)}")
                res.wrong += check_answers(a, oracle, streams, check_sample)
                if res.wrong:
                    _log(f"  {table.name}: {name} answers WRONG: {res.wrong}", True)
            hits = {name: [] for name in adapters}
            for rep in range(repeats):
                for sname in ("inside", "random", "skewed"):
                    addrs = getattr(streams, sname)
                    for name, a in adapters.items():
                        before = a.stats()["lookups"] if isinstance(a, Netrove) else 0
                        _best(out.libs[name], sname, measure.timed(a.lookup_loop, addrs, collector=True),
                              len(addrs))
                        if sname == "skewed" and isinstance(a, Netrove) and a.variant is not None:
                            # The engine counts only the lookups that reach it,
                            # i.e. the cache's misses.
                            missed = a.stats()["lookups"] - before
                            hits[name].append(1 - missed / len(addrs))
                for name, a in adapters.items():
                    drop = lambda addrs, a=a: a.lookup_loop(addrs, keep=False)
                    _best(out.libs[name], "dropped", measure.timed(drop, streams.inside), len(streams.inside))
                    _best(out.libs[name], "contains", measure.timed(a.contains_loop, streams.inside),
                          len(streams.inside))
                _log(f"  {table.name}: lookup round {rep + 1}/{repeats} done", verbose)
            for name, h in hits.items():
                if h:
                    out.libs[name].notes.append(f"cache hit rate on the skewed stream {max(h):.0%}")

        else:
            for a in adapters.values():
                a.lookup_loop(streams.skewed, keep=False)
        for name, a in adapters.items():
            _best(out.libs[name], "remove", measure.timed(a.remove_loop, removed), len(removed))
            _log(f"  {table.name}: {name} removed {len(removed):,}", verbose)
            left = a.size()
            if left is not None and left != len(kept):
                msg = f"holds {left} prefixes after removing {len(removed)}, expected {len(kept)}"
                if msg not in out.libs[name].wrong:
                    out.libs[name].wrong.append(msg)
            if kept and cycle == 0:
                # The kept prefixes still answer, the removed ones no more.
                probe = [c.split("/")[0] for c in (kept[:200] + removed[:200])]
                bad = [p for p in probe if a.lookup_value(p) != rest_oracle.lookup_text(p)]
                if bad:
                    out.libs[name].wrong.append(f"after removal: {len(bad)} of {len(probe)} wrong, e.g. {bad[0]}")
        del adapters
        gc.collect()

    if memory:
        for name, res in out.libs.items():
            if netrove_module is not None and name.startswith("netrove"):
                res.mem_error = "stand-in module"
                continue
            r = measure.memory_per_prefix(name, fams, cidrs)
            if "error" in r:
                res.mem_error = r["error"]
            else:
                res.mem_per_prefix = r["bytes_per_prefix"]
            _log(f"  {table.name}: {name} memory {r}", verbose)
    return out
