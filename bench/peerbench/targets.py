"""The targets of the open issues, each computed from one run.

Each `Target` carries its issue's words, how the figure is computed from the
run's results, and its bound.  Kinds of figure:

  vs pytricia   throughput of a netrove call over pytricia's in the same
                run and setting (for a call pytricia lacks, its loop over the
                same addresses as str, as the issue defines it)
  vs default    a named variant's throughput over the default variant's
  write cost    a named variant's time over the default's (within 1.2x:
                at most 1.20)
  threads       one-thread time over two-thread time, same total work
  redis         from_redis time over the local insert_many time
  reference     a figure against the same figure of the reference run
                (an earlier results.json: "today")

Everything is read from the realistic setting (collector on, nothing
frozen, records with attributes), as the issues ask.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

from .suite import WorkloadResult

Results = dict[tuple[str, str], WorkloadResult]  # (setting, workload) -> result
BASELINE = "pytricia"
DEFAULT = "netrove default"
NAMED = ("standard", "lockfree", "adaptive")
# A figure counts as dropped against the reference below this share of it.
# Two runs on the shared machine differ by 10 to 20% in a ratio, so a
# figure listed is a candidate to re-measure side by side
# (bench/ab_python_bench.py), not yet a proven drop.
NOISE = 0.85


def rate(w: WorkloadResult | None, lib: str, op: str) -> float | None:
    """Items per second of `lib` for `op` in `w`, or None if unmeasured."""
    if w is None or lib not in w.libs:
        return None
    r = w.libs[lib]
    t = r.seconds.get(op)
    return r.counts[op] / t if t else None


def vs_lib(w: WorkloadResult | None, lib: str, op: str, base: str | None = None,
           base_op: str | None = None) -> float | None:
    """Throughput of lib/op over that of base/base_op (default: the same op
    of the pytricia measured beside `lib`)."""
    if base is None:
        base = w.libs[lib].base if w is not None and lib in w.libs else BASELINE
    a, b = rate(w, lib, op), rate(w, base, base_op or op)
    return None if a is None or b is None else a / b


def memory_ratio(w: WorkloadResult | None, lib: str, base: str = BASELINE) -> float | None:
    if w is None or lib not in w.libs or base not in w.libs:
        return None
    m, b = w.libs[lib].mem_per_prefix, w.libs[base].mem_per_prefix
    return None if m is None or not b else m / b


@dataclass
class Target:
    issue: int
    text: str                                   # the issue's words
    figure: Callable[[Results, Results | None], tuple[float | None, str]]
    bound: float | None                          # None: the figure brings its own
    at_least: bool = True
    value: float | None = None
    detail: str = ""                             # how, or why not measured
    bound_used: float | None = None

    def compute(self, res: Results, ref: Results | None) -> "Target":
        out = self.figure(res, ref)
        self.value, self.detail = out[0], out[1]
        self.bound_used = out[2] if len(out) > 2 else self.bound
        return self

    @property
    def met(self) -> bool | None:
        if self.value is None or self.bound_used is None:
            return None
        return self.value >= self.bound_used if self.at_least else self.value <= self.bound_used


def _w(res: Results, workload: str) -> WorkloadResult | None:
    return res.get(("realistic", workload))


def _missing(res: Results, workload: str, lib: str, op: str) -> str:
    w = _w(res, workload)
    if w is None:
        return f"the {workload} workload was not run"
    if lib not in w.libs:
        return w.unavailable.get(lib, f"{lib} not run")
    why = w.libs[lib].missing.get(op)
    return f"not measured: {why}" if why else "not measured"


def peer(workload: str, op: str, lib: str = DEFAULT):
    def f(res, ref):
        v = vs_lib(_w(res, workload), lib, op)
        return v, "" if v is not None else _missing(res, workload, lib, op)
    return f


def against_default(workload: str, variant: str, op: str):
    def f(res, ref):
        v = vs_lib(_w(res, workload), f"netrove {variant}", op, DEFAULT)
        return v, "" if v is not None else _missing(res, workload, f"netrove {variant}", op)
    return f


def write_cost(workload: str, variant: str, op: str):
    """A named variant's time over the default's for the same work."""
    def f(res, ref):
        v = vs_lib(_w(res, workload), DEFAULT, op, f"netrove {variant}")
        return v, "" if v is not None else _missing(res, workload, f"netrove {variant}", op)
    return f


def threads(workload: str, call: str):
    def f(res, ref):
        w = _w(res, workload)
        if w is None or call not in w.threads:
            why = (w.thread_notes.get(call) if w else None) or "not measured"
            return None, why
        one, two = w.threads[call]
        ctl = w.threads.get("control")
        note = f"control without the lock: {ctl[0] / ctl[1]:.2f}x" if ctl else ""
        return one / two, note
    return f


def redis_open(workload: str):
    def f(res, ref):
        w = _w(res, workload)
        r = w.redis if w else {}
        if "open" in r:
            return r["open"] / r["local"], f"{r['open']:.2f} s against {r['local']:.2f} s"
        return None, r.get("skipped") or r.get("error") or "not measured"
    return f


def against_reference(workload: str, op: str, lib: str = DEFAULT, memory: bool = False):
    """The figure against the reference run's same figure (the bound)."""
    def f(res, ref):
        now = memory_ratio(_w(res, workload), lib) if memory else vs_lib(_w(res, workload), lib, op)
        if now is None:
            return None, _missing(res, workload, lib, op)
        if ref is None:
            return now, "no reference run to compare with (--reference)", None
        then = memory_ratio(_w(ref, workload), lib) if memory else vs_lib(_w(ref, workload), lib, op)
        if then is None:
            return now, "the reference run lacks this figure", None
        return now, f"reference run: {then:.2f}", then
    return f


def self_ratio(workload: str, op: str, base_op: str, lib: str = DEFAULT):
    def f(res, ref):
        v = vs_lib(_w(res, workload), lib, op, lib, base_op)
        return v, "" if v is not None else _missing(res, workload, lib, op)
    return f


def drops(res: Results, ref: Results | None, libs_prefix: str = "netrove") -> list[tuple[str, float, float]]:
    """Every ratio to pytricia of a netrove library (realistic setting) that
    fell below NOISE times the reference run's: (label, now, then)."""
    out = []
    if ref is None:
        return out
    for (setting, wname), w in res.items():
        if setting != "realistic":
            continue
        r = ref.get((setting, wname))
        if r is None:
            continue
        for lib in w.libs:
            if not lib.startswith(libs_prefix):
                continue
            for op in w.libs[lib].seconds:
                now, then = vs_lib(w, lib, op), vs_lib(r, lib, op)
                if now is not None and then is not None and now < NOISE * then:
                    out.append((f"{wname}: {lib} {op}", now, then))
            now, then = memory_ratio(w, lib), memory_ratio(r, lib)
            if now is not None and then is not None and now > then / NOISE:
                out.append((f"{wname}: {lib} memory per prefix (lower is better)", now, then))
    return out


def no_drop(prefix: str = "netrove"):
    def f(res, ref):
        if ref is None:
            return None, "no reference run to compare with (--reference)"
        d = drops(res, ref, prefix)
        return float(len(d)), ("none" if not d else "; ".join(l for l, _, _ in d[:6])
                               + (" ..." if len(d) > 6 else "")), 0.0
    return f


def cpp(text: str):
    def f(res, ref):
        return None, f"C++ figure: {text}"
    return f


def all_targets() -> list[Target]:
    """Every target of issues 23, 24, 25 and 26, in the issues' order."""
    T = Target
    ts = [
        T(23, "`lookup` >= 2x pytricia on the in-table stream (IPv4 table)", peer("ipv4", "inside"), 2.0),
        T(23, "`lookup` >= 1.5x on the random one", peer("ipv4", "random"), 1.5),
        T(23, "IPv6 `lookup` >= 1x", peer("ipv6", "inside"), 1.0),
        T(23, "IPv6 `lookup_value` >= 3x", peer("ipv6", "value"), 3.0),
        T(23, "`lookup_value` >= 5x", peer("ipv4", "value"), 5.0),
        T(23, "`lookup_many` >= 4x", peer("ipv4", "many"), 4.0),
        T(23, "`lookup_values` from str >= 12x", peer("ipv4", "values"), 12.0),
        T(23, "packed `contains_many` >= 40x (against pytricia's loop over the same addresses as str)",
          peer("ipv4", "packed_contains"), 40.0),
        T(23, "packed `lookup_values` >= 30x (against pytricia's loop over the same addresses as str)",
          peer("ipv4", "packed_values"), 30.0),
        T(23, "two threads of a packed batch >= 1.7x one (packed `contains_many`)",
          threads("ipv4", "packed_contains"), 1.7),
        T(23, "two threads of a packed batch >= 1.7x one (packed `lookup_values`)",
          threads("ipv4", "packed_values"), 1.7),
        T(23, "Dropped-at-once `lookup` no slower than today (ratio to pytricia, against the reference run)",
          against_reference("ipv4", "dropped"), None),
        T(23, "No other figure may drop (netrove figures more than 15% below the reference run)",
          no_drop(), None, at_least=False),
    ]
    for v in NAMED:
        for op, title in (("inside", "in-table"), ("random", "random"), ("skewed", "skewed")):
            ts.append(T(24, f"\"{v}\" at least the default variant's figure on every stream: `lookup`, {title}",
                        against_default("ipv4", v, op), 1.0))
    for v in NAMED:
        ts.append(T(24, f"\"{v}\" at least 1.3x the default's on the skewed stream",
                    against_default("ipv4", v, "skewed"), 1.3))
    for v in NAMED:
        for op, title in (("contains", "`contains`"), ("contains_many", "`contains_many`")):
            ts.append(T(24, f"{title} of \"{v}\" at least 0.9x the default's", against_default("ipv4", v, op), 0.9))
    ts.append(T(24, "C++: a miss at most 1.3x the uncached lookup, a hit at most half an index lookup",
                cpp("bench/*_bench.cpp (BM_CacheHit and the miss benchmarks), not this suite"), None))
    for wname, wtitle in (("ipv4", "IPv4 table"), ("both", "both families together")):
        ts += [
            T(25, f"build by single inserts >= 0.6x pytricia ({wtitle})", peer(wname, "build"), 0.6),
            T(25, f"`insert_many` of the whole table >= 2x pytricia's build ({wtitle})",
              peer(wname, "insert_many"), 2.0),
            T(25, f"`remove` >= 1.2x ({wtitle})", peer(wname, "remove"), 1.2),
        ]
        for v in NAMED:
            for op, title in (("build", "build"), ("insert_many", "`insert_many`"), ("remove", "`remove`")):
                ts.append(T(25, f"\"{v}\" within 1.2x of the default: {title} ({wtitle}; its time over the default's)",
                            write_cost(wname, v, op), 1.2, at_least=False))
    ts += [
        T(25, "`pickle.dumps` of the whole table at least as fast as pytricia's", peer("ipv4", "pickle_dumps"), 1.0),
        T(25, "`pickle.loads` of the whole table at least as fast as pytricia's", peer("ipv4", "pickle_loads"), 1.0),
        T(25, "`RadixEngine.from_redis` opening a hash of the whole table within 1.5x of the local bulk load "
              "(its time over the local `insert_many`'s)", redis_open("ipv4"), 1.5, at_least=False),
        T(25, "Memory per prefix stays at or below today's (ratio to pytricia, against the reference run)",
          against_reference("ipv4", "memory", memory=True), None, at_least=False),
        T(26, "Passing an `ipaddress` object costs no more than passing its text: `lookup` "
              "(IPv4Address against str, netrove default)", self_ratio("ipv4", "ipobj_lookup", "inside"), 1.0),
        T(26, "... `contains`", self_ratio("ipv4", "ipobj_contains", "contains"), 1.0),
        T(26, "the str path of every call keeps its speed (netrove figures more than 15% below the reference run)",
          no_drop(), None, at_least=False),
    ]
    return ts


def computed(res: Results, ref: Results | None) -> list[Target]:
    return [t.compute(res, ref) for t in all_targets()]
