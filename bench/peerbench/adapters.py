"""One adapter per library: the same operations written in each library's idiom.

Every adapter stores the value of each prefix and gives it back on lookup.
The timed loops (`build`, `lookup_loop`, `contains_loop`, `remove_loop`) are
written inline per library, with methods bound to locals, so that a library
pays for its own API and nothing else.  Where a library cannot keep IPv4 and
IPv6 in one tree (pytricia), the adapter keeps two and routes each text by
the presence of ":" inside the timed loop: that cost is the library's.

`lookup_value` and `contains_one` are untimed, and serve the answer check
against the oracle before anything is timed.

  peer          stores               lookup returns        both families
  pytricia      value                the value             two trees
  py-radix      value in node.data   the node (stored)     one tree
  pysubnettree  value                the value             one tree
  radixtarget   value                the value             one tree
  netrove       copy of the record   a new dict            one engine
  netrove batch copy of the record   a list of new dicts   one engine

pysubnettree keeps IPv4 as IPv4-mapped IPv6, so an IPv6 prefix that covers
::ffff:0:0/96 (::/0, say) answers IPv4 lookups too; the routing table holds
no such prefix, and the answer check would flag it if it did.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import socket
from typing import Callable, Iterable


class Unavailable(Exception):
    """The library cannot be used here (not installed, or a placeholder build)."""


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
    """Base: one library holding one workload.

    `families` is {4} for the IPv4-only workload and {4, 6} for both.
    Subclasses set `name`, `version` and implement the operations.
    """

    name = "?"
    version = "?"
    # Python expression a user writes for a lookup, shown in the results.
    idiom = ""

    def __init__(self, families: frozenset[int]):
        self.families = families

    def build(self, cidrs: list[str], values: list[str], metas: list[dict]) -> None:
        raise NotImplementedError

    def lookup_loop(self, addrs: list[str], keep: bool = True) -> list | None:
        """Looks up every address; with `keep` the answers are kept in a list
        (returned), as a caller that uses them does, else each is dropped."""
        raise NotImplementedError

    def contains_loop(self, addrs: list[str]) -> None:
        raise NotImplementedError

    def remove_loop(self, cidrs: list[str]) -> None:
        raise NotImplementedError

    def lookup_value(self, addr: str) -> str | None:
        raise NotImplementedError

    def contains_one(self, addr: str) -> bool:
        raise NotImplementedError

    def size(self) -> int | None:
        """Stored prefix count, when the library can tell."""
        return None

    def extra(self) -> str:
        """A remark for the results (cache hit rate and the like)."""
        return ""


class PyTricia(Adapter):
    name = "pytricia"
    idiom = "t.get(ip)"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("pytricia", "pytricia")
        self.version = _dist_version("pytricia")
        self.t4 = mod.PyTricia(32)
        # A 32-bit tree folds IPv6 keys onto IPv4 ones and a 128-bit tree
        # folds IPv4 onto IPv6 (10.0.0.0/8 and a00::/8 collide), so the
        # families need separate trees.
        self.t6 = mod.PyTricia(128, socket.AF_INET6) if 6 in families else None

    def build(self, cidrs, values, metas):
        t4, t6 = self.t4, self.t6
        if t6 is None:
            for c, v in zip(cidrs, values):
                t4[c] = v
        else:
            for c, v in zip(cidrs, values):
                if ":" in c:
                    t6[c] = v
                else:
                    t4[c] = v

    def lookup_loop(self, addrs, keep=True):
        g4 = self.t4.get
        if self.t6 is None:
            if keep:
                return [g4(a) for a in addrs]
            for a in addrs:
                g4(a)
        else:
            g6 = self.t6.get
            if keep:
                return [(g6 if ":" in a else g4)(a) for a in addrs]
            for a in addrs:
                (g6 if ":" in a else g4)(a)

    def contains_loop(self, addrs):
        t4, t6 = self.t4, self.t6
        if t6 is None:
            for a in addrs:
                a in t4
        else:
            for a in addrs:
                a in (t6 if ":" in a else t4)

    def remove_loop(self, cidrs):
        d4 = self.t4.delete
        if self.t6 is None:
            for c in cidrs:
                d4(c)
        else:
            d6 = self.t6.delete
            for c in cidrs:
                (d6 if ":" in c else d4)(c)

    def _tree(self, text):
        return self.t6 if ":" in text else self.t4

    def lookup_value(self, addr):
        if ":" in addr and self.t6 is None:
            return None
        return self._tree(addr).get(addr)

    def contains_one(self, addr):
        if ":" in addr and self.t6 is None:
            return False
        return addr in self._tree(addr)

    def size(self):
        return len(self.t4) + (len(self.t6) if self.t6 is not None else 0)


class PyRadix(Adapter):
    name = "py-radix"
    idiom = "rt.search_best(ip)"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("radix", "py-radix")
        self.version = _dist_version("py-radix")
        self.rt = mod.Radix()

    def build(self, cidrs, values, metas):
        add = self.rt.add
        for c, v in zip(cidrs, values):
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

    def lookup_value(self, addr):
        n = self.rt.search_best(addr)
        return None if n is None else n.data["value"]

    def contains_one(self, addr):
        return self.rt.search_best(addr) is not None

    def size(self):
        return len(self.rt.prefixes())


class PySubnetTree(Adapter):
    name = "pysubnettree"
    idiom = "t[ip] (KeyError on a miss)"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("SubnetTree", "pysubnettree")
        self.version = _dist_version("pysubnettree")
        self.t = mod.SubnetTree()

    def build(self, cidrs, values, metas):
        t = self.t
        for c, v in zip(cidrs, values):
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
            a in t

    def remove_loop(self, cidrs):
        f = self.t.remove
        for c in cidrs:
            f(c)

    def lookup_value(self, addr):
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
    idiom = "rt.get(ip)"

    def __init__(self, families):
        super().__init__(families)
        mod = _import("radixtarget", "radixtarget")
        self.version = _dist_version("radixtarget")
        self.rt = mod.RadixTarget()

    def build(self, cidrs, values, metas):
        f = self.rt.insert
        for c, v in zip(cidrs, values):
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
            a in rt

    def remove_loop(self, cidrs):
        f = self.rt.delete
        for c in cidrs:
            f(c)

    def lookup_value(self, addr):
        return self.rt.get(addr)

    def contains_one(self, addr):
        return addr in self.rt

    def size(self):
        return len(self.rt)


class Netrove(Adapter):
    """netrove's `RadixEngine` for one variant (None is the default engine).

    `module` may be given to run the harness against a stand-in with the
    same API (tests); otherwise the built extension is imported.
    """

    idiom = "e.lookup(ip) -> new dict"
    VARIANTS = (None, "standard", "lockfree", "adaptive")

    def __init__(self, families, variant: str | None, module=None):
        super().__init__(families)
        self.variant = variant
        self.name = f"netrove {variant or 'default'}"
        mod = module if module is not None else _import("netrove", "netrove")
        if not hasattr(mod, "RadixEngine"):
            raise Unavailable("the netrove module has no RadixEngine (placeholder build)")
        try:
            self.version = mod.version()
        except Exception:  # a stand-in may lack it
            self.version = "?"
        self.e = mod.RadixEngine(variant)

    def build(self, cidrs, values, metas):
        f = self.e.insert
        for c, m in zip(cidrs, metas):
            f(c, m)

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

    def lookup_value(self, addr):
        d = self.e.lookup(addr)
        return None if d is None else d["value"]

    def contains_one(self, addr):
        return self.e.contains(addr)

    def size(self):
        return len(self.e)

    def stats(self) -> dict:
        return self.e.stats()


class NetroveBatch(Netrove):
    """The default engine through the batch calls: one `insert_many` of the
    whole table, one `lookup_many` or `contains_many` per stream (the
    result list kept until the call returns); removal one call each."""

    NAME = "netrove batch"
    idiom = "e.lookup_many(ips) -> list of new dicts"

    def __init__(self, families, module=None):
        super().__init__(families, None, module)
        self.name = self.NAME
        if not hasattr(self.e, "lookup_many"):
            raise Unavailable("this netrove build has no batch calls")

    def build(self, cidrs, values, metas):
        self.e.insert_many(zip(cidrs, metas))

    def lookup_loop(self, addrs, keep=True):
        answers = self.e.lookup_many(addrs)
        return answers if keep else None

    def contains_loop(self, addrs):
        self.e.contains_many(addrs)


PEERS: dict[str, Callable[[frozenset[int]], Adapter]] = {
    "pytricia": PyTricia,
    "py-radix": PyRadix,
    "pysubnettree": PySubnetTree,
    "radixtarget": RadixTarget,
}


def library_names() -> list[str]:
    """Every library in report order: the peers, then netrove's variants."""
    return list(PEERS) + [f"netrove {v or 'default'}" for v in Netrove.VARIANTS] + [NetroveBatch.NAME]


def make_adapter(name: str, families: Iterable[int], netrove_module=None) -> Adapter:
    """Creates the adapter `name` (from `library_names`) over an empty table.

    Raises Unavailable when the library cannot be loaded, KeyError for an
    unknown name.
    """
    fams = frozenset(families)
    if name in PEERS:
        return PEERS[name](fams)
    if name == NetroveBatch.NAME:
        return NetroveBatch(fams, netrove_module)
    if name.startswith("netrove "):
        v = name.split(" ", 1)[1]
        if v not in ("default",) + Netrove.VARIANTS[1:]:
            raise KeyError(name)
        return Netrove(fams, None if v == "default" else v, netrove_module)
    raise KeyError(name)
