"""A random-call fuzzer of the netrove Python API, run by test_call_fuzz.py
in a fresh interpreter: python call_fuzz.py SEED SECONDS.

Three threads call random methods of a shared pool of engines (every
variant) with random arguments: good and bad texts, numbers, None, packed
bytes and buffers, ipaddress objects, and subclasses of those, of str,
dict, tuple and list whose methods run code that changes what is being
converted, calls other engines, or copies and drops engines from the pool
while batches run.  Errors the API documents are expected; anything else
(another exception type, a crash, an abort) is a failure.  After the run,
every engine's entries read back as stored.
"""

import array
import copy
import ipaddress
import pickle
import random
import sys
import threading
import time
import traceback

import netrove
from netrove import RadixEngine

VARIANTS = [None, "standard", "lockfree", "adaptive"]
EXPECTED = (TypeError, ValueError, KeyError, UnicodeError, BufferError)


class Boom(Exception):
    """Raised by the fuzzer's own hooks: it must come out as it went in."""


class Fuzz:
    def __init__(self, seed):
        self.seed = seed
        self.pool = [RadixEngine(v) for v in VARIANTS]
        self.lock = threading.Lock()
        self.shared = {"value": "s", "attributes": {"k": "v"}}  # changed by hooks
        self.victims = []  # lists that hooks empty

    # -- what hooks do: run code while a call converts its arguments
    def hook(self, rng):
        what = rng.randrange(7)
        if what == 0:
            self.shared["value"] = rng.choice(["s", "t", "u" * 40])
        elif what == 1:
            with self.lock:
                victim = self.victims[rng.randrange(len(self.victims))] if self.victims else []
            victim.clear()
            [{} for _ in range(50)]  # reuse freed memory
        elif what == 2:
            self.drop(rng)
        elif what == 3:
            self.engine(rng).lookup_values(["10.1.2.3", "2001:db8::1"])
        elif what == 4:
            self.engine(rng).insert("10.0.0.0/8", self.shared)
        elif what == 5 and rng.random() < 0.1:
            raise Boom()

    def engine(self, rng):
        return self.pool[rng.randrange(len(self.pool))]

    def drop(self, rng):
        # Replace an engine with a copy (or a fresh one) while other threads
        # may be inside it; theirs stays alive until they return.
        i = rng.randrange(len(self.pool))
        old = self.pool[i]
        how = rng.randrange(4)
        new = (copy.copy(old) if how == 0 else copy.deepcopy(old) if how == 1
               else pickle.loads(pickle.dumps(old)) if how == 2 else RadixEngine(rng.choice(VARIANTS)))
        self.pool[i] = new

    # -- arguments
    def text(self, rng, prefix):
        v4 = rng.random() < 0.6
        if v4:
            a = f"{rng.choice([10, 11, 192])}.{rng.randrange(4)}.{rng.randrange(256)}.{rng.randrange(256)}"
            return f"{a}/{rng.choice([0, 8, 16, 24, 31, 32, 33])}" if prefix else a
        a = f"2001:db8:{rng.randrange(4):x}::{rng.randrange(65536):x}"
        return f"{a}/{rng.choice([0, 32, 48, 64, 128, 129])}" if prefix else a

    def key(self, rng, prefix=False):
        fuzz = self
        kind = rng.randrange(14)
        t = self.text(rng, prefix)
        if kind < 5:
            return t
        if kind == 5:
            return rng.choice([None, 5, 2 ** 70, -1, 1.5, [], {}, "", "1.2.3", "x/99", "\ud800", "fe80::1%eth0"])
        if kind == 6:
            return bytes(rng.randrange(256) for _ in range(rng.choice([4, 16, 5, 0])))
        if kind == 7:
            return ipaddress.ip_address(t.split("/")[0])
        if kind == 8:
            return ipaddress.ip_network(t if "/" in t and not t.endswith(("/33", "/129")) else t.split("/")[0],
                                        strict=False)
        if kind == 9:
            return ipaddress.ip_interface(t.split("/")[0] + "/8")
        if kind == 10:  # a str subclass
            class S(str):
                def __eq__(self, o):
                    return str.__eq__(self, o)
                __hash__ = str.__hash__
            return S(t)
        base = ipaddress.IPv4Address if "." in t else ipaddress.IPv6Address
        if kind == 11:
            base = ipaddress.IPv4Network if "." in t else ipaddress.IPv6Network
        hook_rng = random.Random(rng.random())

        class Sub(base):
            def __getattribute__(self, n):
                if not n.startswith("__"):
                    fuzz.hook(hook_rng)
                return object.__getattribute__(self, n)

        try:
            if kind == 11:
                return Sub(t if "/" in t and not t.endswith(("/33", "/129")) else t.split("/")[0], strict=False)
            return Sub(t.split("/")[0])
        except (ValueError, Boom):
            return t

    def metadata(self, rng):
        fuzz = self
        kind = rng.randrange(8)
        if kind == 0:
            return self.shared
        if kind == 1:
            return rng.choice([None, [], "v", {"value": 5}, {"attributes": []}, {"value": "v", "attributes": {"k": 1}},
                               {"value": "\ud800"}])
        if kind == 2:
            hook_rng = random.Random(rng.random())

            class K(str):
                def __eq__(self, o):
                    fuzz.hook(hook_rng)
                    return str.__eq__(self, o)
                __hash__ = str.__hash__
            return {K("value"): "k", "attributes": {K("a"): "1", "a": "2"}}
        if kind == 3:
            class D(dict):
                pass
            return D(value="d", attributes={"x": "y"})
        return {"value": f"v{rng.randrange(50)}", "attributes": {f"a{i}": "x" * rng.randrange(30)
                                                                  for i in range(rng.randrange(3))}}

    def pairs(self, rng):
        fuzz = self
        items = []
        for _ in range(rng.randrange(12)):
            p = (self.key(rng, prefix=True), self.metadata(rng))
            shape = rng.randrange(6)
            if shape == 1:
                p = list(p)
                with self.lock:
                    self.victims.append(p)
            elif shape == 2:
                hook_rng = random.Random(rng.random())

                class T(tuple):
                    def __iter__(self):
                        fuzz.hook(hook_rng)
                        return tuple.__iter__(self)
                p = T(p)
            elif shape == 3:
                p = rng.choice([5, (1,), ("10.0.0.0/8", {}, 3), "ab"])
            items.append(p)
        with self.lock:
            del self.victims[:-20]
        form = rng.randrange(4)
        if form == 0:
            return items
        if form == 1:
            return self.hooked(items, rng, 0.3)
        if form == 2:
            return {p[0]: p[1] for p in items if isinstance(p, (tuple, list)) and len(p) == 2
                    and isinstance(p[0], (str, bytes))}
        return tuple(items)

    def ips(self, rng):
        n = rng.randrange(20)
        form = rng.randrange(5)
        if form == 3:  # packed
            fam = rng.choice([4, 6])
            width = 4 if fam == 4 else 16
            raw = bytes(rng.randrange(256) for _ in range(n * width + rng.choice([0, 0, 0, 1])))
            buf = rng.choice([raw, bytearray(raw), memoryview(raw), array.array("B", raw)])
            if fam == 4 and rng.random() < 0.3:
                buf = array.array("I", [rng.randrange(2 ** 32) for _ in range(n)])
            return buf, rng.choice([fam, fam, 4 if fam == 6 else 6, 5, 2 ** 70, "4"])
        keys = [self.key(rng) for _ in range(n)]
        if form == 0:
            return keys, None
        if form == 1:
            return tuple(keys), None
        return self.hooked(keys, rng, 0.2), None

    def hooked(self, items, rng, chance):
        """A generator of `items` that runs a hook before some of them."""
        hook_rng = random.Random(rng.random())

        def gen():
            for item in items:
                if hook_rng.random() < chance:
                    self.hook(hook_rng)
                yield item
        return gen()

    # -- one random call
    def call(self, rng):
        e = self.engine(rng)
        op = rng.randrange(16)
        if op == 0:
            e.insert(self.key(rng, True), self.metadata(rng))
        elif op == 1:
            e.lookup(self.key(rng))
        elif op == 2:
            e.contains(self.key(rng))
        elif op == 3:
            e.remove(self.key(rng, True))
        elif op in (4, 5):
            ips, fam = self.ips(rng)
            getattr(e, rng.choice(["lookup_many", "lookup_values", "contains_many"]))(ips, family=fam)
        elif op in (6, 7):
            e.insert_many(self.pairs(rng))
        elif op == 8:
            e.lookup_value(self.key(rng))
        elif op == 9:
            k = self.key(rng, rng.random() < 0.5)
            getattr(e, rng.choice(["match", "covering", "covered", "get"]))(k)
        elif op == 10:
            k = self.key(rng, rng.random() < 0.5)
            rng.choice([lambda: e[k], lambda: k in e, lambda: e.__delitem__(k)])()
        elif op == 11:
            e[self.key(rng, True)] = self.metadata(rng)
        elif op == 12:
            rng.choice([e.items, e.keys, e.values, e.stats, e.__len__, e.__repr__, lambda: list(e)])()
        elif op == 13:
            self.drop(rng)
        elif op == 14 and rng.random() < 0.05:
            e.clear()
        elif op == 15:
            netrove.__restore__(rng.choice(VARIANTS), rng.choice([[], [("10.0.0.0/8", {"value": "r"})],
                                                                    pickle.dumps(e)[:rng.randrange(64)], b"junk"]))

    def worker(self, index, deadline, failures):
        rng = random.Random(self.seed * 10 + index)
        calls = 0
        while time.monotonic() < deadline and not failures:
            try:
                self.call(rng)
            except (EXPECTED + (Boom,)):
                pass
            except BaseException:  # noqa: BLE001
                failures.append(f"thread {index}, call {calls}: {traceback.format_exc(limit=-4)}")
            calls += 1

    def check(self):
        for e in self.pool:
            entries = e.items()
            assert len(entries) == len(e), (len(entries), len(e))
            for prefix, meta in entries:
                assert e.get(prefix) == meta, prefix


def main():
    seed, seconds = int(sys.argv[1]), float(sys.argv[2])
    sys.setswitchinterval(1e-4)  # switch threads often, inside conversions too
    fuzz = Fuzz(seed)
    failures = []
    deadline = time.monotonic() + seconds
    threads = [threading.Thread(target=fuzz.worker, args=(i, deadline, failures)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:5]
    fuzz.check()
    print("ok")


if __name__ == "__main__":
    main()
