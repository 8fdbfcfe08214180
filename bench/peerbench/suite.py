"""The peer suite's workload: every library, same prefixes, same streams, one run.

`run_workload` measures one workload following its `Plan`:
adapters, builds by single inserts, bulk loads, answers checked against the
`Oracle`, read rounds (every operation on every library in turn, the order
reversed every other round, best kept), two threads against one, pickling,
removal (after the reads, so that caches are warm), then from_redis and
memory per prefix.  The steps up to removal run per group of libraries
(`Plan.groups`), each with pytricia beside it; the report turns the times
into ratios to the pytricia of the same group.  bench/README.md describes
the method in full.
"""

from __future__ import annotations

import gc
import ipaddress
import pickle
import random
import time
from dataclasses import dataclass, field
from functools import partial

from . import measure, redis_open
from .adapters import BASELINE, READ_OPS, Adapter, Inputs, Netrove, Unavailable, make_adapter
from .records import Stored
from .streams import Streams, pack
from .table import Oracle, Table

# Two-thread calls: key -> what is split (str stream or packed IPv4).
THREAD_CALLS = ("many", "values", "packed_contains", "packed_values", "control")
PACKED_REPEAT = 10  # the packed halves, repeated in the two-thread runs (see _threads)


@dataclass
class Plan:
    """What one workload measures."""

    libs: list[str]
    read_ops: tuple[str, ...] = READ_OPS
    bulk: bool = False
    threads: bool = False
    pickle: bool = False
    redis: bool = False
    remove: bool = True
    memory: bool = True
    # Groups of libraries built and measured one group after the other, each
    # with pytricia beside it (None: one group of all).  py-radix keeps one
    # tracked dict per prefix, which would put a million objects in the heap
    # that netrove's answers are collected over.
    groups: list[list[str]] | None = None


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
    missing: dict[str, str] = field(default_factory=dict)    # op -> why not measured
    hit_rate: float | None = None                            # skewed stream, cached variants
    base: str = "pytricia"                                   # the result its ratios are to


@dataclass
class WorkloadResult:
    name: str
    setting: str
    prefixes: int
    v4: int
    v6: int
    stream_len: int
    pool: int
    hot: int
    records: int = 0                       # distinct stored records
    libs: dict[str, LibResult] = field(default_factory=dict)
    unavailable: dict[str, str] = field(default_factory=dict)
    removed: int = 0                       # prefixes in the removal sample
    threads: dict[str, list[float]] = field(default_factory=dict)  # call -> [one, two] seconds
    thread_notes: dict[str, str] = field(default_factory=dict)
    redis: dict = field(default_factory=dict)
    pickle_notes: list[str] = field(default_factory=list)
    ops: list[str] = field(default_factory=list)  # read operations planned
    repeats: int = 0                       # read rounds
    # The heap the read rounds ran over: tracked objects, and the time of
    # one full collection of it (the collector's cost when it runs).
    heap_objects: int = 0
    full_collect_ms: float = 0.0
    seconds: float = 0.0                   # wall time of this workload


def _best(res: LibResult, op: str, seconds: float, n: int) -> None:
    if op not in res.seconds or seconds < res.seconds[op]:
        res.seconds[op] = seconds
    res.counts[op] = n


_T0 = time.monotonic()
# 1-minute load averages seen at each log line: the machine state of the run.
LOAD_SEEN: list[float] = []


def _log(msg: str, verbose: bool) -> None:
    LOAD_SEEN.append(measure.load_average()[0])
    if verbose:
        print(f"[{time.monotonic() - _T0:6.0f} s] {msg}", flush=True)


def removal_sample(table: Table, n: int | None, seed: int) -> tuple[list[int], list[int]]:
    """Splits the prefix indices into (removed, kept): `n` drawn at random, or all."""
    picked = set(random.Random(seed).sample(range(len(table)), min(n or len(table), len(table))))
    return [i for i in range(len(table)) if i in picked], [i for i in range(len(table)) if i not in picked]


def check_answers(a: Adapter, oracle: Oracle, streams: Streams, expect, sample: int) -> list[str]:
    """Compares `sample` answers per stream with the oracle; returns the faults.

    `expect(addr)` is the object the library should answer with."""
    faults = []
    for sname in ("inside", "random", "skewed"):
        addrs = getattr(streams, sname)[:sample]
        bad = [x for x in addrs if a.answer(x) != expect(x)]
        if bad:
            faults.append(f"lookup/{sname}: {len(bad)} of {len(addrs)} wrong, e.g. {bad[0]}")
        bad = [x for x in addrs if a.contains_one(x) != (oracle.lookup_text(x) is not None)]
        if bad:
            faults.append(f"contains/{sname}: {len(bad)} of {len(addrs)} wrong, e.g. {bad[0]}")
        if isinstance(a, Netrove):
            faults += [f"{f} ({sname})" for f in a.check_calls(addrs, expect)]
    return faults


def run_workload(table: Table, streams: Streams, plan: Plan, *, repeats: int = 3,
                 build_repeats: int = 1, bulk_repeats: int = 2, check_sample: int = 2000,
                 remove_sample: int | None = None, seed: int = 1,
                 verbose: bool = True, remove_repeats: int = 1) -> WorkloadResult:
    """Measures `plan` on `table` (see the module comment)."""
    t_start = time.monotonic()
    fams = table.families()
    tag = table.name
    out = WorkloadResult(table.name, "realistic", len(table), table.count(4), table.count(6),
                         len(streams.inside), streams.pool, streams.hot, ops=list(plan.read_ops),
                         repeats=repeats)
    stored = Stored(table)
    out.records = stored.distinct
    run = _Run(table, streams, plan, stored, out, fams, tag, repeats, build_repeats, bulk_repeats,
               check_sample, remove_sample, seed, verbose, remove_repeats)
    groups = plan.groups or [plan.libs]
    for g, group in enumerate(groups):
        run.group([n for n in group if n in plan.libs], first=g == 0)
    module = run.module

    # 9. Redis, memory.
    if plan.redis:
        if module is None:
            out.redis = {"skipped": "netrove is not available"}
        else:
            out.redis = redis_open.measure(module, table.cidrs, stored.records(), max(1, min(2, repeats)),
                                           log=lambda m: _log(f"  {tag}: {m.strip()}", verbose))
        _log(f"  {tag}: redis {out.redis}", verbose)
    if plan.memory:
        for name, res in out.libs.items():
            if name != BASELINE and name.startswith(BASELINE):
                continue  # a second group's pytricia: the first one's figure serves
            if name.endswith(")"):
                res.mem_error = "measured in its own build's run"
                continue
            r = measure.memory_per_prefix(name, fams, table.cidrs, table.origins)
            if "error" in r:
                res.mem_error = r["error"]
            else:
                res.mem_per_prefix = r["bytes_per_prefix"]
            _log(f"  {tag}: {name} memory {r.get('bytes_per_prefix', r.get('error'))}", verbose)
    out.seconds = time.monotonic() - t_start
    return out


class _Run:
    """Steps 1-8 of the module comment for each group of libraries of one
    workload; the results land in `out` (a later group's pytricia under
    `second_baseline(g)`, its peers' `base` pointing at it)."""

    def __init__(self, table, streams, plan, stored, out, fams, tag, repeats, build_repeats,
                 bulk_repeats, check_sample, remove_sample, seed, verbose, remove_repeats):
        self.__dict__.update(locals())
        del self.__dict__["self"]
        self.oracle = Oracle(table)
        self.module = None
        self.groups_run = 0

    def log(self, msg: str) -> None:
        _log(f"  {self.tag}: {msg}", self.verbose)

    def expect_fn(self, a: Adapter):
        oracle, stored = self.oracle, self.stored

        def expect(x: str):
            i = oracle.lookup_text(x)
            if i is None:
                return None
            return stored.expected(i)
        return expect

    def group(self, libs: list[str], first: bool) -> None:
        out, plan, stored, cidrs = self.out, self.plan, self.stored, self.table.cidrs
        g = self.groups_run
        self.groups_run += 1
        key = {n: (second_baseline(g) if (n == BASELINE and not first) else n) for n in libs}

        # 1. Adapters.
        adapters: dict[str, Adapter] = {}
        for name in libs:
            try:
                adapters[name] = make_adapter(name, self.fams)
            except Unavailable as e:
                out.unavailable[name] = str(e)
                continue
            res = out.libs[key[name]] = LibResult(key[name], adapters[name].version)
            if isinstance(adapters[name], Netrove):
                res.missing.update(adapters[name].missing)
        base = key.get(BASELINE, BASELINE)
        for name in adapters:
            out.libs[key[name]].base = base
        if not adapters:
            return

        def timed(a: Adapter, fn) -> float:
            return measure.timed(fn, full=a.allocates)

        # 2, 3. Builds and bulk loads (the per-prefix lists they are given
        # go when they return: see peerbench.records).
        self.builds(adapters, key, timed)

        # 4. Answers against the oracle.
        for name, a in adapters.items():
            res = out.libs[key[name]]
            size = a.size()
            if size is not None and size != len(cidrs):
                res.wrong.append(f"holds {size} prefixes after build, expected {len(cidrs)}")
            res.wrong += check_answers(a, self.oracle, self.streams, self.expect_fn(a), self.check_sample)
            if res.wrong:
                _log(f"  {self.tag}: {name} answers WRONG: {res.wrong}", True)

        # 5. Read rounds.
        streams = self.streams
        inp = Inputs(streams.inside, streams.random, streams.skewed, pack(streams.inside))
        ops = {name: a.read_ops(inp) for name, a in adapters.items()}
        hits: dict[str, list[float]] = {}
        names = list(adapters)
        gc.collect()
        t0 = time.perf_counter()
        gc.collect()
        if first:
            out.full_collect_ms = (time.perf_counter() - t0) * 1e3
            out.heap_objects = len(gc.get_objects())
        for rep in range(self.repeats):
            order = names if rep % 2 == 0 else names[::-1]
            for op in plan.read_ops:
                runners = [n for n in order if op in ops[n]
                           and (not op.startswith("ipobj") or n == "netrove default")]
                if not [n for n in runners if n != BASELINE]:
                    continue  # pytricia alone: nothing to compare with
                if op.startswith("ipobj"):
                    inp.ipobjs = [ipaddress.ip_address(x) for x in streams.inside]
                n = len(streams.inside) if op not in ("random", "skewed") else len(getattr(streams, op))
                for name in runners:
                    a = adapters[name]
                    cached = op == "skewed" and isinstance(a, Netrove) and a.variant is not None
                    before = a.stats()["lookups"] if cached else 0
                    t = timed(a, ops[name][op])
                    _best(out.libs[key[name]], op, t, n)
                    if cached:
                        missed = a.stats()["lookups"] - before
                        hits.setdefault(name, []).append(1 - missed / n)
                inp.ipobjs = []
            self.log(f"read round {rep + 1}/{self.repeats} done ({', '.join(names)})")
        for name, h in hits.items():
            out.libs[key[name]].hit_rate = max(h)
            out.libs[key[name]].notes.append(f"cache hit rate on the skewed stream {max(h):.0%}")

        # 6. Two threads against one.
        if plan.threads and "netrove default" in adapters:
            _threads(out, adapters["netrove default"], inp, self.repeats, self.verbose, self.tag)

        # 7. Pickling.
        if plan.pickle and "netrove default" in adapters:
            _pickling(out, adapters, len(cidrs), self.verbose, self.tag)

        # 8. Removal.
        if plan.remove:
            removed_i, kept_i = removal_sample(self.table, self.remove_sample, self.seed)
            removed = [cidrs[i] for i in removed_i]
            out.removed = len(removed)
            rest = Oracle(self.table, kept_i) if kept_i else None
            for name, a in adapters.items():
                _best(out.libs[key[name]], "remove", timed(a, lambda: a.remove_loop(removed)), len(removed))
                self.log(f"{name} removed {len(removed):,}")
                left = a.size()
                if left is not None and left != len(kept_i):
                    out.libs[key[name]].wrong.append(
                        f"holds {left} prefixes after removing {len(removed)}, expected {len(kept_i)}")
                if rest is not None:  # the kept prefixes still answer, the removed ones no more
                    probe = [cidrs[i].split("/")[0] for i in kept_i[:200] + removed_i[:200]]
                    bad = [p for p in probe if a.answer(p) != (None if (j := rest.lookup_text(p)) is None
                                                               else stored.expected(j))]
                    if bad:
                        out.libs[key[name]].wrong.append(
                            f"after removal: {len(bad)} of {len(probe)} wrong, e.g. {bad[0]}")
            self.more_removes(adapters, key, removed, timed)
        if "netrove default" in adapters:
            self.module = adapters["netrove default"].mod
        adapters.clear()
        ops.clear()
        gc.collect()


    def more_removes(self, adapters: dict[str, Adapter], key: dict[str, str], removed: list[str], timed) -> None:
        """Removal rounds after the first, best kept: each library built
        again untimed (a fresh one, as the repeated builds are), then the
        same sample removed, the order of libraries reversed every round.
        One sample moved 10-20% between runs, as builds did."""
        names = list(adapters)
        for rep in range(1, self.remove_repeats):
            records = self.stored.records()
            for name in (names if rep % 2 == 0 else names[::-1]):
                fresh = make_adapter(name, self.fams)
                fresh.build(self.table.cidrs, records, records)
                _best(self.out.libs[key[name]], "remove", timed(fresh, partial(fresh.remove_loop, removed)),
                      len(removed))
                fresh = None
                gc.collect()
            records = None
        if self.remove_repeats > 1:
            self.log(f"best of {self.remove_repeats} removals kept")

    def builds(self, adapters: dict[str, Adapter], key: dict[str, str], timed) -> None:
        """Steps 2 and 3 of the module comment for one group."""
        out, cidrs = self.out, self.table.cidrs
        peer = records = self.stored.records()
        for name, a in adapters.items():
            t = timed(a, partial(a.build, cidrs, peer, records))
            _best(out.libs[key[name]], "build", t, len(cidrs))
            self.log(f"{name} built in {t:.2f} s")
        for _ in range(1, self.build_repeats):
            for name, a in adapters.items():
                fresh = make_adapter(name, self.fams)
                _best(out.libs[key[name]], "build", timed(a, partial(fresh.build, cidrs, peer, records)),
                      len(cidrs))
                fresh = None
                gc.collect()

        # Bulk loads, from a prebuilt list of pairs (a loader's list; made
        # untimed, dropped after).
        bulk = [n for n, a in adapters.items() if n == BASELINE or isinstance(a, Netrove)]
        if not self.plan.bulk or len(bulk) < 2:
            return
        pairs = list(zip(cidrs, records))
        for rep in range(max(1, self.bulk_repeats)):
            # Reversed every other time: the first load after the builds
            # takes fresh pages from the system, later ones reuse the heap
            # the previous load freed.
            for name in (bulk if rep % 2 == 0 else bulk[::-1]):
                a = adapters[name]
                try:
                    t = timed(a, partial(a.bulk_build, cidrs, peer, pairs))
                except Unavailable as e:
                    out.libs[key[name]].missing["insert_many"] = str(e)
                    continue
                _best(out.libs[key[name]], "insert_many", t, len(cidrs))
                if name == BASELINE:  # pytricia has no bulk load: its build is the figure for both
                    _best(out.libs[key[name]], "insert_many_gen", t, len(cidrs))
                else:  # a loader's stream: Python code makes each pair as the call asks for it
                    gen = ((c, m) for c, m in zip(cidrs, records))
                    tg = timed(a, partial(a.bulk_build, cidrs, peer, gen))
                    _best(out.libs[key[name]], "insert_many_gen", tg, len(cidrs))
                self.log(f"{name} bulk load in {t:.2f} s")


def second_baseline(g: int) -> str:
    """The result name of pytricia in group g > 0."""
    return f"{BASELINE} (group {g + 1})"


def _threads(out: WorkloadResult, a: Netrove, inp: Inputs, repeats: int, verbose: bool, tag: str) -> None:
    """Two threads against one for netrove default's batch calls (and a
    control that needs no interpreter lock at all)."""
    import hashlib

    e = a.e
    p = inp.packed
    half = len(inp.inside) // 2
    calls = {}
    if "many" not in a.missing:
        calls["many"] = (e.lookup_many, inp.inside[:half], inp.inside[half:])
    if "values" not in a.missing:
        calls["values"] = (e.lookup_values, inp.inside[:half], inp.inside[half:])
    one_family = (p.v4 is None) != (p.v6 is None)
    for key, meth in (("packed_contains", e.contains_many), ("packed_values", getattr(e, "lookup_values", None))):
        if key in a.missing:
            out.thread_notes[key] = a.missing[key]
        elif not one_family:
            out.thread_notes[key] = "measured on the one-family workloads"
        else:
            fam, buf = (4, p.v4) if p.v4 is not None else (6, p.v6)
            cut = half if fam == 4 else half * 16
            # A packed half takes about 3 ms, and a thread woken from the
            # barrier here gets the interpreter lock up to a few ms after
            # the other (hashlib shows the same skew on calls that short):
            # each half is the stream's half PACKED_REPEAT times over, so
            # that the skew does not decide the figure.
            calls[key] = (lambda b, meth=meth, fam=fam: meth(b, family=fam), buf[:cut] * PACKED_REPEAT,
                          buf[cut:] * PACKED_REPEAT)
    blob = bytes(32 << 20)
    calls["control"] = (lambda b: hashlib.sha256(b).digest(), blob, blob)
    for key in THREAD_CALLS:
        if key not in calls:
            out.thread_notes.setdefault(key, a.missing.get(key, "not available"))
            continue
        fn, x, y = calls[key]
        t1, t2 = measure.two_threads(fn, x, y, repeats)
        out.threads[key] = [t1, t2]
        _log(f"  {tag}: two threads, {key}: {t1 / t2:.2f}x one", verbose)


def _pickling(out: WorkloadResult, adapters: dict[str, Adapter], n: int, verbose: bool, tag: str) -> None:
    """pickle.dumps, then pickle.loads, of pytricia's and netrove default's
    whole table, collector on and nothing frozen, each checked."""
    who = [k for k in (BASELINE, "netrove default") if k in adapters]
    blobs: dict[str, bytes] = {}
    for name in who:
        a = adapters[name]
        try:
            target = a.pickle_target()
        except Unavailable as e:
            out.libs[name].missing["pickle_dumps"] = str(e)
            continue
        held: list[bytes] = []
        try:
            t = measure.timed(lambda: held.append(pickle.dumps(target)))
        finally:
            a.pickle_done()
        blobs[name] = held[0]
        _best(out.libs[name], "pickle_dumps", t, n)
        if getattr(a, "freeze_seconds", 0.0):
            out.pickle_notes.append(f"pytricia's freeze() before pickling took {a.freeze_seconds:.2f} s "
                                    "(not counted, as it must be done first)")
        _log(f"  {tag}: {name} pickle.dumps {t:.2f} s ({len(held[0]) / 1e6:.0f} MB)", verbose)
    for name, blob in blobs.items():
        held = []
        t = measure.timed(lambda: held.append(pickle.loads(blob)))
        fault = adapters[name].unpickle_check(held[0], n)
        held.clear()
        if fault:
            out.libs[name].wrong.append(fault)
        _best(out.libs[name], "pickle_loads", t, n)
        _log(f"  {tag}: {name} pickle.loads {t:.2f} s", verbose)
    blobs.clear()
