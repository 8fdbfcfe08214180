"""One adapter per library: the same operations written in each library's idiom.

Every adapter stores one object per prefix and gives it back on lookup.  The
timed loops are written inline per library, with methods bound to locals, so
that a library pays for its own API and nothing else; where a library keeps
a tree per family (pytricia), the loop routes each text by ":" and that cost
is the library's.  `read_ops` gives the timed callables by key (READ_OPS);
in a netrove-only slot pytricia runs its own loop over the same addresses.
Calls a netrove build lacks are found by trying them on a tiny engine
(`Netrove.missing`).  `answer` and `contains_one` are untimed: they serve
the check against the reference answer.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import ipaddress
import socket
import time
from array import array
from dataclasses import dataclass, field
from typing import Callable, Iterable

from .streams import Packed

# Read operations in the order a round runs them.
READ_OPS = ("inside", "random", "skewed", "dropped", "contains", "value", "many", "values",
            "contains_many", "packed_contains", "packed_values", "ipobj_lookup", "ipobj_contains")


class Unavailable(Exception):
    """The library cannot be used here (not installed, or a placeholder build)."""


@dataclass
class Inputs:
    """What the read operations run over (the same for every library)."""

    inside: list[str]
    random: list[str]
    skewed: list[str]
    packed: Packed            # the in-table stream, packed
    # ipaddress objects of the in-table stream; made by the suite for the
    # slots that need them and dropped after (they are tracked objects).
    ipobjs: list = field(default_factory=list)


def _dist_version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def _import(module: str, dist: str):
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise Unavailable(f"{dist} is not installed ({e})") from None


class Adapter:
    """Base: one library holding one workload (`families` {4}, {6} or {4, 6}).

    Subclasses set `name` and `version` and implement build (one insert per
    prefix, storing records[i]), lookup_loop (answers kept in a list when
    `keep`, else each dropped at once), contains_loop, remove_loop, and the
    untimed answer / contains_one the reference check calls.
    """

    name = "?"
    version = "?"
    # True when calls create objects the cyclic collector tracks (netrove's
    # answer dicts); the peers hand back what they store.
    allocates = False

    def __init__(self, families: frozenset[int]):
        self.families = families

    def size(self) -> int | None:
        """Stored prefix count, when the library can tell."""
        return None

    def read_ops(self, inp: Inputs) -> dict[str, Callable[[], object]]:
        """The timed read operations this library takes part in (see the
        module comment); each returns what it keeps."""
        return {
            "inside": lambda: self.lookup_loop(inp.inside),
            "random": lambda: self.lookup_loop(inp.random),
            "skewed": lambda: self.lookup_loop(inp.skewed),
            "dropped": lambda: self.lookup_loop(inp.inside, keep=False),
            "contains": lambda: self.contains_loop(inp.inside),
        }

    # Whole-table operations, where a library has them.
    def bulk_build(self, cidrs: list[str], peer: list, pairs: list) -> object:
        """Builds a second, fresh table the fastest way the library offers
        and returns it (the caller drops it).  Unavailable if none."""
        raise Unavailable("no bulk load")

    def pickle_target(self) -> object:
        """What `pickle.dumps` is timed on (made ready untimed), or
        Unavailable.  `pickle_done` undoes whatever readying changed."""
        raise Unavailable("cannot pickle")

    def pickle_done(self) -> None:
        pass

    def unpickle_check(self, obj: object, n: int) -> str:
        """'' when `obj` (from pickle.loads) holds `n` prefixes, else a fault."""
        return ""


class PyTricia(Adapter):
    name = "pytricia"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("pytricia", "pytricia")
        self.mod = mod
        self.version = _dist_version("pytricia")
        # A 32-bit tree folds IPv6 keys onto IPv4 ones and a 128-bit tree
        # folds IPv4 onto IPv6 (10.0.0.0/8 and a00::/8 collide), so the
        # families need separate trees.
        self.t4 = mod.PyTricia(32) if 4 in families else None
        self.t6 = mod.PyTricia(128, socket.AF_INET6) if 6 in families else None
        self.freeze_seconds = 0.0

    def _new_trees(self):
        t4 = self.mod.PyTricia(32) if 4 in self.families else None
        t6 = self.mod.PyTricia(128, socket.AF_INET6) if 6 in self.families else None
        return t4, t6

    @staticmethod
    def _fill(t4, t6, cidrs, peer):
        if t6 is None:
            for c, v in zip(cidrs, peer):
                t4[c] = v
        elif t4 is None:
            for c, v in zip(cidrs, peer):
                t6[c] = v
        else:
            for c, v in zip(cidrs, peer):
                if ":" in c:
                    t6[c] = v
                else:
                    t4[c] = v

    def build(self, cidrs, peer, records):
        self._fill(self.t4, self.t6, cidrs, peer)

    def bulk_build(self, cidrs, peer, pairs):
        # pytricia has no bulk load: its build is the figure a bulk load is
        # measured against.
        t4, t6 = self._new_trees()
        self._fill(t4, t6, cidrs, peer)
        return t4, t6

    def lookup_loop(self, addrs, keep=True):
        if self.t6 is None or self.t4 is None:
            g = (self.t4 or self.t6).get
            if keep:
                return [g(a) for a in addrs]
            for a in addrs:
                g(a)
        else:
            g4, g6 = self.t4.get, self.t6.get
            if keep:
                return [(g6 if ":" in a else g4)(a) for a in addrs]
            for a in addrs:
                (g6 if ":" in a else g4)(a)

    def contains_loop(self, addrs):
        t4, t6 = self.t4, self.t6
        if t6 is None or t4 is None:
            t = t4 or t6
            for a in addrs:
                a in t  # noqa: B015 - the membership test is what is timed
        else:
            for a in addrs:
                a in (t6 if ":" in a else t4)  # noqa: B015

    def remove_loop(self, cidrs):
        if self.t6 is None or self.t4 is None:
            d = (self.t4 or self.t6).delete
            for c in cidrs:
                d(c)
        else:
            d4, d6 = self.t4.delete, self.t6.delete
            for c in cidrs:
                (d6 if ":" in c else d4)(c)

    def read_ops(self, inp):
        ops = super().read_ops(inp)
        kept = ops["inside"]
        ops.update(value=kept, many=kept, values=kept, packed_values=kept,
                   contains_many=ops["contains"], packed_contains=ops["contains"])
        return ops

    def _tree(self, text):
        return self.t6 if ":" in text else self.t4

    def answer(self, addr):
        t = self._tree(addr)
        return None if t is None else t.get(addr)

    def contains_one(self, addr):
        t = self._tree(addr)
        return False if t is None else addr in t

    def size(self):
        return sum(len(t) for t in (self.t4, self.t6) if t is not None)

    def pickle_target(self):
        # pytricia pickles only a frozen tree ("pytri must be frozen before
        # attempting to pickle!"): freeze untimed (its time is noted), thaw
        # after (removal comes later).
        trees = tuple(t for t in (self.t4, self.t6) if t is not None)
        t0 = time.perf_counter()
        for t in trees:
            t.freeze()
        self.freeze_seconds = time.perf_counter() - t0
        return trees

    def pickle_done(self):
        for t in (self.t4, self.t6):
            if t is not None:
                t.thaw()

    def unpickle_check(self, obj, n):
        got = sum(len(t) for t in obj)
        return "" if got == n else f"pickle.loads gave {got} prefixes, expected {n}"


class PyRadix(Adapter):
    name = "py-radix"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("radix", "py-radix")
        self.version = _dist_version("py-radix")
        self.rt = mod.Radix()

    def build(self, cidrs, peer, records):
        add = self.rt.add
        for c, v in zip(cidrs, peer):
            add(c).data["value"] = v

    def lookup_loop(self, addrs, keep=True):
        f = self.rt.search_best
        if keep:
            return [f(a) for a in addrs]
        for a in addrs:
            f(a)

    def contains_loop(self, addrs):
        # py-radix has no membership test: a found node is the answer.
        self.lookup_loop(addrs, keep=False)

    def remove_loop(self, cidrs):
        f = self.rt.delete
        for c in cidrs:
            f(c)

    def answer(self, addr):
        n = self.rt.search_best(addr)
        return None if n is None else n.data["value"]

    def contains_one(self, addr):
        return self.rt.search_best(addr) is not None

    def size(self):
        return len(self.rt.prefixes())


class PySubnetTree(Adapter):
    name = "pysubnettree"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("SubnetTree", "pysubnettree")
        self.version = _dist_version("pysubnettree")
        self.t = mod.SubnetTree()

    def build(self, cidrs, peer, records):
        t = self.t
        for c, v in zip(cidrs, peer):
            t[c] = v

    def lookup_loop(self, addrs, keep=True):
        t = self.t
        out = [] if keep else None
        for a in addrs:
            try:
                v = t[a]
            except KeyError:
                v = None
            if keep:
                out.append(v)
        return out

    def contains_loop(self, addrs):
        t = self.t
        for a in addrs:
            a in t  # noqa: B015

    def remove_loop(self, cidrs):
        f = self.t.remove
        for c in cidrs:
            f(c)

    def answer(self, addr):
        try:
            return self.t[addr]
        except KeyError:
            return None

    def contains_one(self, addr):
        return addr in self.t

    def size(self):
        return len(self.t.prefixes())


class RadixTarget(Adapter):
    name = "radixtarget"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("radixtarget", "radixtarget")
        self.version = _dist_version("radixtarget")
        self.rt = mod.RadixTarget()

    def build(self, cidrs, peer, records):
        f = self.rt.insert
        for c, v in zip(cidrs, peer):
            f(c, v)

    def lookup_loop(self, addrs, keep=True):
        f = self.rt.get
        if keep:
            return [f(a) for a in addrs]
        for a in addrs:
            f(a)

    def contains_loop(self, addrs):
        rt = self.rt
        for a in addrs:
            a in rt  # noqa: B015

    def remove_loop(self, cidrs):
        f = self.rt.delete
        for c in cidrs:
            f(c)

    def answer(self, addr):
        return self.rt.get(addr)

    def contains_one(self, addr):
        return addr in self.rt

    def size(self):
        return len(self.rt)


def _packed_call(fn, p: Packed) -> list:
    """fn over both families of a packed stream, one call per family."""
    out = []
    if p.v4 is not None:
        out.append(fn(p.v4, family=4))
    if p.v6 is not None:
        out.append(fn(p.v6, family=6))
    return out


class Netrove(Adapter):
    """netrove's `RadixEngine` for one variant (None is the default engine).

    `module` may be given to run the harness against a stand-in with the
    same API (tests); otherwise the built extension is imported.
    """

    VARIANTS = (None, "standard", "lockfree", "adaptive")
    allocates = True

    def __init__(self, families, variant: str | None, module=None):
        super().__init__(families)
        self.variant = variant
        self.name = f"netrove {variant or 'default'}"
        mod = module if module is not None else _import("netrove", "netrove")
        if not hasattr(mod, "RadixEngine"):
            raise Unavailable("the netrove module has no RadixEngine (placeholder build)")
        self.mod = mod
        try:
            self.version = mod.version()
        except Exception:  # a stand-in may lack it
            self.version = "?"
        self.e = mod.RadixEngine(variant)
        self.missing = probe(mod, variant)

    def build(self, cidrs, peer, records):
        f = self.e.insert
        for c, m in zip(cidrs, records):
            f(c, m)

    def bulk_build(self, cidrs, peer, pairs):
        if "insert_many" in self.missing:
            raise Unavailable(self.missing["insert_many"])
        e = self.mod.RadixEngine(self.variant)
        e.insert_many(pairs)
        return e

    def lookup_loop(self, addrs, keep=True):
        f = self.e.lookup
        if keep:
            return [f(a) for a in addrs]
        for a in addrs:
            f(a)

    def contains_loop(self, addrs):
        f = self.e.contains
        for a in addrs:
            f(a)

    def remove_loop(self, cidrs):
        f = self.e.remove
        for c in cidrs:
            f(c)

    def read_ops(self, inp):
        ops = super().read_ops(inp)
        e = self.e
        p = inp.packed

        def value():
            f = e.lookup_value
            return [f(a) for a in inp.inside]

        def ipobj_lookup():
            f = e.lookup
            return [f(a) for a in inp.ipobjs]

        def ipobj_contains():
            f = e.contains
            for a in inp.ipobjs:
                f(a)

        ops.update(
            value=value,
            many=lambda: e.lookup_many(inp.inside),
            values=lambda: e.lookup_values(inp.inside),
            contains_many=lambda: e.contains_many(inp.inside),
            packed_contains=lambda: _packed_call(e.contains_many, p),
            packed_values=lambda: _packed_call(e.lookup_values, p),
            ipobj_lookup=ipobj_lookup,
            ipobj_contains=ipobj_contains,
        )
        return {k: f for k, f in ops.items() if k not in self.missing}

    def answer(self, addr):
        return self.e.lookup(addr)

    def contains_one(self, addr):
        return self.e.contains(addr)

    def size(self):
        return len(self.e)

    def stats(self) -> dict:
        return self.e.stats()

    def pickle_target(self):
        return self.e

    def unpickle_check(self, obj, n):
        got = len(obj)
        return "" if got == n else f"pickle.loads gave {got} prefixes, expected {n}"

    def check_calls(self, addrs: list[str], expect: Callable[[str], dict | None]) -> list[str]:
        """Checks every available call beyond lookup/contains on `addrs`
        against `expect(addr)` (the record the oracle names, or None)."""
        e, faults = self.e, []
        want = [expect(a) for a in addrs]
        want_v = [None if r is None else r["value"] for r in want]
        want_c = [r is not None for r in want]

        def cmp(what, got, exp):
            got = list(got)
            if len(got) != len(exp):
                faults.append(f"{what}: {len(got)} answers for {len(exp)} addresses")
                return
            bad = [i for i, (g, x) in enumerate(zip(got, exp)) if g != x]
            if bad:
                faults.append(f"{what}: {len(bad)} of {len(exp)} wrong, e.g. {addrs[bad[0]]}")

        m = self.missing
        if "value" not in m:
            cmp("lookup_value", (e.lookup_value(a) for a in addrs), want_v)
        if "many" not in m:
            cmp("lookup_many", e.lookup_many(addrs), want)
        if "values" not in m:
            cmp("lookup_values", e.lookup_values(addrs), want_v)
        if "contains_many" not in m:
            cmp("contains_many", e.contains_many(addrs), want_c)
        if "packed_contains" not in m or "packed_values" not in m:
            from .streams import pack

            p = pack(addrs)
            by = dict(zip(addrs, want))
            split = [by[a] for a in p.v4_texts] + [by[a] for a in p.v6_texts]
            if "packed_contains" not in m:
                cmp("packed contains_many", [x for part in _packed_call(e.contains_many, p) for x in part],
                    [r is not None for r in split])
            if "packed_values" not in m:
                cmp("packed lookup_values", [x for part in _packed_call(e.lookup_values, p) for x in part],
                    [None if r is None else r["value"] for r in split])
        if "ipobj_lookup" not in m:
            v4 = [a for a in addrs if ":" not in a]
            cmp("lookup(IPv4Address)", (e.lookup(ipaddress.IPv4Address(a)) for a in v4),
                [expect(a) for a in v4])
        return faults


def probe(mod, variant) -> dict[str, str]:
    """Which calls this netrove build lacks (an older build in an A/B run):
    {op key: why}, from trying each on a tiny engine; the answers of the
    calls it has are checked against the reference answer later."""
    e = mod.RadixEngine(variant)
    e.insert("10.0.0.0/8", {"value": "x", "attributes": {}})
    v4, ip, texts = array("I", [0x0A010203]), ipaddress.IPv4Address("10.1.2.3"), ["10.1.2.3"]
    tries = {"value": lambda: e.lookup_value(texts[0]), "values": lambda: e.lookup_values(texts),
             "many": lambda: e.lookup_many(texts), "contains_many": lambda: e.contains_many(texts),
             "insert_many": lambda: e.insert_many([]), "packed_contains": lambda: e.contains_many(v4, family=4),
             "packed_values": lambda: e.lookup_values(v4, family=4), "ipobj_lookup": lambda: e.lookup(ip),
             "ipobj_contains": lambda: e.contains(ip)}
    missing = {}
    for op, call in tries.items():
        try:
            call()
        except (AttributeError, TypeError, ValueError) as err:
            missing[op] = f"this build cannot ({type(err).__name__}: {err})"
    return missing


PEERS: dict[str, Callable[[frozenset[int]], Adapter]] = {
    "pytricia": PyTricia,
    "py-radix": PyRadix,
    "pysubnettree": PySubnetTree,
    "radixtarget": RadixTarget,
}
BASELINE = "pytricia"


# Other builds of the module measured beside this one: tag -> module.
BUILDS: dict[str, object] = {}


def add_build(tag: str, folder) -> list[str]:
    """Loads the module of another build folder (its netrove*.so) as a module
    object of its own, so that its variants run beside this build's as
    "netrove <variant> (<tag>)".  Returns those library names."""
    import importlib.util
    from pathlib import Path

    so = next(Path(folder).glob("netrove*.so"), None)
    if so is None:
        raise SystemExit(f"no netrove*.so in {folder}")
    spec = importlib.util.spec_from_file_location("netrove", so)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    BUILDS[tag] = mod
    return [f"{n} ({tag})" for n in netrove_names(tags=False)]


def netrove_names(tags: bool = True) -> list[str]:
    names = [f"netrove {v or 'default'}" for v in Netrove.VARIANTS]
    return names + ([f"{n} ({t})" for t in BUILDS for n in names] if tags else [])


def library_names() -> list[str]:
    """Every library in report order: the peers, then netrove's variants."""
    return list(PEERS) + netrove_names()


def make_adapter(name: str, families: Iterable[int], netrove_module=None) -> Adapter:
    """Creates the adapter `name` (from `library_names`) over an empty table.

    Raises Unavailable when the library cannot be loaded, KeyError for an
    unknown name.
    """
    fams = frozenset(families)
    if name in PEERS:
        return PEERS[name](fams)
    if name.endswith(")") and " (" in name:
        name, tag = name[:-1].split(" (")
        netrove_module = BUILDS[tag]
        made = make_adapter(name, families, netrove_module)
        made.name += f" ({tag})"
        return made
    if name.startswith("netrove "):
        v = name.split(" ", 1)[1]
        if v not in ("default",) + Netrove.VARIANTS[1:]:
            raise KeyError(name)
        return Netrove(fams, None if v == "default" else v, netrove_module)
    raise KeyError(name)
