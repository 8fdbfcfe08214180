"""Every variant against the oracle: seeded random programs over nested
prefixes of both families (written with host bits), the single calls, the
batch calls and the entry queries interleaved, the counters of stats()
compared after every step (the cache model exposes stale or lost cached
answers), and pickled or copied engines carrying on like the original with
the same variant and counters from zero."""

import array
import copy
import ctypes
import ipaddress
import pickle
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from netrove import RadixEngine

from conftest import VARIANTS
from oracle import CACHE_LIMIT, Oracle


def make_pool(seed, size=24):
    """Nested prefixes of both families (host bits set) and addresses inside,
    beside and outside them, with the IPv4-mapped and IPv4-compatible IPv6
    forms of the IPv4 addresses."""
    rng = random.Random(seed)
    prefixes, addresses = [], []
    for version, width, cls in ((4, 32, ipaddress.IPv4Address), (6, 128, ipaddress.IPv6Address)):
        for root in [rng.getrandbits(width) for _ in range(3)]:
            length = 0
            while length <= width and len(prefixes) < size * version // 2:
                host = root ^ rng.getrandbits(width - length) if length < width else root
                prefixes.append(f"{cls(host)}/{length}")
                for _ in range(2):
                    a = cls(host ^ (rng.getrandbits(max(width - length - 1, 0)) if length < width else 0))
                    addresses += [str(a), f"::ffff:{a}", str(ipaddress.IPv6Address(int(a)))] if version == 4 else [str(a)]
                length += rng.choice((1, 3, 4, 8, 9))
    return prefixes, addresses


OPS = ["insert", "insert", "insert_many", "remove", "lookup", "lookup", "contains", "lookup_many", "contains_many",
       "clear", "match", "covering", "covered", "get", "items", "clone", "lookup_value", "lookup_values", "packed",
       "packed"]


def packed(addresses, family, shape):
    """`addresses` (ipaddress objects of `family`) in one of the packed forms
    the batch calls take: integers in native order (array) or declared big
    end first (ctypes), or rows of network-order bytes."""
    if family == 4 and shape == 0:
        return array.array("I", [int(a) for a in addresses])
    if family == 4 and shape == 1:
        return (ctypes.c_uint32.__ctype_be__ * len(addresses))(*[int(a) for a in addresses])
    rows = b"".join(a.packed for a in addresses)
    return (rows, bytearray(rows), memoryview(rows))[shape % 3]


CLONES = [lambda e: pickle.loads(pickle.dumps(e)), copy.copy, copy.deepcopy]


def step(engine, oracle, variant, pool, i, op, a, b):
    """Op number i on the engine and the oracle alike; returns the engine to
    carry on with (a clone replaces it)."""
    prefixes, addresses = pool
    subnet, ip = prefixes[a % len(prefixes)], addresses[a % len(addresses)]
    if op == "insert":
        meta = {"value": f"{subnet}#{i}", "attributes": {"step": str(i), "b": str(b)}}
        assert engine.insert(subnet, meta) is None
        oracle.insert(subnet, meta)
    elif op == "insert_many":
        # Repeats inside one call (a later one wins); some dicts shared by
        # several prefixes, as a loader shares one per origin.
        shared = [{"value": f"#{i}.s{j}", "attributes": {"j": str(j)}} for j in range(2)]
        items = [(prefixes[(a + k * b) % len(prefixes)], shared[k % 2] if k % 3 == 0 else {"value": f"#{i}.{k}"})
                 for k in range(b % 9)]
        form = b % 4  # a mapping, a list of pairs, a generator of tuples, one dict changed per element

        def reused():
            d = {}
            for subnet, meta in items:
                d.clear()
                d.update(meta)
                yield subnet, d

        arg = (dict(items), items, (tuple(x) for x in items), reused())[form]
        assert engine.insert_many(arg) is None
        for subnet, meta in (dict(items).items() if form == 0 else items):
            oracle.insert(subnet, meta)
    elif op == "remove":
        assert engine.remove(subnet) == oracle.remove(subnet), (i, subnet)
    elif op == "clear" and b % 4 == 0:
        assert engine.clear() is None
        oracle.clear()
    elif op == "lookup":
        assert engine.lookup(ip) == oracle.lookup(ip), (i, ip)
    elif op == "contains":
        assert engine.contains(ip) is (oracle.lookup(ip) is not None), (i, ip)
    elif op in ("lookup_many", "contains_many"):
        ips = [addresses[(a + k * k * b) % len(addresses)] for k in range(b % 40)]  # repeats hit the cache
        form = (list, tuple, iter)[b % 3]
        want = [oracle.lookup(x) for x in ips]
        if op == "lookup_many":
            assert engine.lookup_many(form(ips)) == want, i
        else:
            assert engine.contains_many(form(ips)) == [w is not None for w in want], i
    elif op == "lookup_value":
        want = oracle.lookup(ip)
        assert engine.lookup_value(ip) == (want and want["value"]), (i, ip)
    elif op == "lookup_values":
        ips = [addresses[(a + k * b) % len(addresses)] for k in range(b % 30)]
        want = [oracle.lookup(x) for x in ips]
        assert engine.lookup_values((list, tuple, iter)[b % 3](ips)) == [w and w["value"] for w in want], i
    elif op == "packed":
        family = 4 if a % 2 else 6
        ips = [ipaddress.ip_address(x) for x in (addresses[(a + k * b) % len(addresses)] for k in range(b % 40))]
        ips = [x for x in ips if x.version == family]
        call = (engine.lookup_many, engine.lookup_values, engine.contains_many)[b % 3]
        got = call(packed(ips, family, a % 3), family=family)
        want = [oracle.lookup(str(x)) for x in ips]
        shape = {0: want, 1: [w and w["value"] for w in want], 2: [w is not None for w in want]}[b % 3]
        assert got == shape, (i, family, b % 3)
    elif op in ("match", "covering"):
        assert getattr(engine, op)(ip) == getattr(oracle, op)(ip), (op, ip)
    elif op in ("covered", "get"):
        assert getattr(engine, op)(subnet) == getattr(oracle, op)(subnet), (op, subnet)
    elif op == "items":
        assert engine.items() == oracle.items()
    elif op == "clone":
        engine = CLONES[b % 3](engine)
        oracle.reset_counters()
        assert engine.__reduce__()[1][0] == variant
    assert engine.stats() == oracle.stats(), (i, op)
    assert len(engine) == len(oracle) and bool(engine) is bool(len(oracle))
    return engine


def run(variant, seed, ops):
    pool = make_pool(seed)
    engine, oracle = RadixEngine(variant), Oracle(cached=variant is not None)
    for i, (op, a, b) in enumerate(ops):
        engine = step(engine, oracle, variant, pool, i, op, a, b)
    assert engine.items() == oracle.items()
    for ip in pool[1]:
        assert engine.covering(ip) == oracle.covering(ip), ip
        assert engine.lookup(ip) == oracle.lookup(ip), ip
    for subnet in pool[0]:
        assert engine.covered(subnet) == oracle.covered(subnet), subnet
        assert engine.get(subnet) == oracle.get(subnet), subnet
    assert engine.stats() == oracle.stats()
    assert repr(engine) == str(engine) == f"RadixEngine(size={len(oracle)})"


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1),
       ops=st.lists(st.tuples(st.sampled_from(OPS), st.integers(0, 10_000), st.integers(0, 10_000)), max_size=80))
def test_random_programs_match_the_oracle(variant, seed, ops):
    run(variant, seed, ops)


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_long_seeded_programs_match_the_oracle(variant):
    rng = random.Random(1234)
    for seed in range(3):
        run(variant, seed, [(rng.choice(OPS), rng.randrange(10_000), rng.randrange(40)) for _ in range(700)])


@pytest.mark.parametrize("variant", VARIANTS[1:])
def test_the_cache_holds_its_limit_of_answers(variant):
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {})
    addresses = [f"10.0.{i // 256}.{i % 256}" for i in range(CACHE_LIMIT + 1)]
    assert e.lookup_many(addresses[:-1] * 2).count(None) == 0
    assert e.stats()["lookups"] == CACHE_LIMIT  # every answer fits
    e.lookup(addresses[-1])  # one more evicts one
    e.contains_many(addresses)
    assert e.stats()["lookups"] >= CACHE_LIMIT + 2


TEXTS = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12) | st.sampled_from(
    ["", '"', "\\", "\x00\x1f\x7f", "é€😀", "value", "attributes"])


@settings(max_examples=60, deadline=None)
@given(value=TEXTS, attributes=st.dictionaries(TEXTS, TEXTS, max_size=30), variant=st.sampled_from(VARIANTS))
def test_records_round_trip_as_fresh_dicts(value, attributes, variant):
    # Any texts, any number of attributes; two prefixes with equal records
    # (which share one stored copy) answer alike, also after one is replaced;
    # keys other than value/attributes are ignored; str subclasses are read
    # as str; every answer is a new dict with "value" first.
    class Text(str):
        pass

    e = RadixEngine(variant)
    record = {"value": value, "attributes": attributes}
    e.insert(Text("10.0.0.0/8"), {"attributes": dict(reversed(attributes.items())), "value": Text(value), 3: 4})
    e.insert("11.0.0.0/8", record)
    for ip in ("10.1.2.3", "11.1.2.3", "10.1.2.3"):
        got = e.lookup(Text(ip))
        assert got == record and list(got) == ["value", "attributes"] and type(got["value"]) is str
        got["attributes"]["changed"] = got["value"] = "x"  # changes nothing stored
    e.insert("10.0.0.0/8", {"value": value + "x"})
    assert e.lookup_many(["11.1.2.3", "10.1.2.3"]) == [record, {"value": value + "x", "attributes": {}}]
    assert pickle.loads(pickle.dumps(e)).items() == e.items()


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_insert_many_gives_each_element_the_record_its_dict_held(variant):
    # One dict object for many prefixes is converted once; but whenever
    # Python code can run between two elements (a generator's next(), a
    # key's __eq__ during the dict lookups, a pair that is no tuple or
    # list), a dict may change, and each element keeps what its dict held.
    shared = {"value": "old", "attributes": {"asn": "1"}}

    class Sneaky:  # a key that collides with "value" and, once armed, changes `shared` when compared
        armed = False

        def __hash__(self):
            return hash("value")

        def __eq__(self, other):
            if Sneaky.armed:
                shared["value"] = "new"
                shared["attributes"]["asn"] = "2"
            return False

    class Net(ipaddress.IPv4Network):  # a key object whose field read changes `shared`
        @property
        def _prefixlen(self):
            if Sneaky.armed:
                shared["value"] = "net"
            return 8

        @_prefixlen.setter
        def _prefixlen(self, value):
            pass

    class Pair:  # a pair read through its iterator, which changes `shared`
        def __init__(self, subnet, meta, value):
            self.items, self.value = (subnet, meta), value

        def __iter__(self):
            shared["value"] = self.value
            return iter(self.items)

    items = [("1.0.0.0/8", shared), ("2.0.0.0/8", shared), ("3.0.0.0/8", {Sneaky(): 0, "value": "s"}),
             ("4.0.0.0/8", shared), ("5.0.0.0/8", shared), Pair("6.0.0.0/8", shared, "pair"), ("7.0.0.0/8", shared),
             (Net("8.0.0.0/8"), shared)]
    e = RadixEngine(variant)
    e.insert("9.0.0.0/8", shared)
    Sneaky.armed = True
    e.insert_many(items)
    got = {subnet: meta["value"] for subnet, meta in e.items()}
    assert got == {"1.0.0.0/8": "old", "2.0.0.0/8": "old", "3.0.0.0/8": "s", "4.0.0.0/8": "new",
                   "5.0.0.0/8": "new", "6.0.0.0/8": "pair", "7.0.0.0/8": "pair", "8.0.0.0/8": "net",
                   "9.0.0.0/8": "old"}
    assert e.get("5.0.0.0/8") == {"value": "new", "attributes": {"asn": "2"}}

    def changing():
        d = {"value": "", "attributes": {}}
        for n in range(300):
            d["value"], d["attributes"]["n"] = f"v{n}", str(n)
            yield f"10.{n // 256}.{n % 256}.0/24", d

    e.insert_many(changing())
    for n in range(0, 300, 37):
        assert e.get(f"10.{n // 256}.{n % 256}.0/24") == {"value": f"v{n}", "attributes": {"n": str(n)}}
    assert e.stats()["inserts"] == 1 + len(items) + 300 and len(e) == 9 + 300


def fill(e, how, pairs):
    if how == "insert_many":
        e.insert_many(pairs)
    else:  # no reference to a pair kept while the next one is made
        put, it = e.insert if how == "insert" else e.__setitem__, iter(pairs)
        while (pair := next(it, None)) is not None:
            put(*pair)
            del pair


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
@pytest.mark.parametrize("how", ["insert_many", "insert", "setitem"])
def test_every_change_of_a_remembered_dict_is_seen(variant, how):
    # Records are remembered across a generator's steps (and across single
    # inserts); every way a dict can change between them must still give
    # each element its own record.
    class Key(str):  # an attributes key of a str subclass: the record is made another way
        pass

    d = {"value": "v", "attributes": {"n": "0"}}
    sub = {"value": "s", "attributes": {Key("n"): "0"}}
    inner = RadixEngine(variant)
    died = []

    class Dying(dict):
        def __del__(self):
            died.append(self["value"])

    def steps():
        for n in range(40):
            kind = n % 5
            if kind == 0:
                d["attributes"]["n"] = str(n)                      # through its attributes dict only
            elif kind == 1:
                d["attributes"] = {"n": str(n)}                    # attributes dict replaced
            elif kind == 2:
                inner.insert_many([("192.0.2.0/24", d)])           # a nested call that remembers d too
                d["attributes"].update(n=str(n))                   # ...and the change after it ends
            elif kind == 3:
                yield f"10.{n}.0.0/16", Dying(value=f"gone{n}", attributes={"n": str(n)})
                assert died[-1] == f"gone{n}"                      # not kept alive by the call
                continue
            else:
                d.clear()
                d.update(value="v", attributes={"n": str(n)})
            yield f"10.{n}.0.0/16", d
            sub["attributes"][Key("n")] = str(n)
            yield f"12.{n}.0.0/16", sub

    e = RadixEngine(variant)
    fill(e, how, steps())
    want = {f"10.{n}.0.0/16": {"value": f"gone{n}" if n % 5 == 3 else "v", "attributes": {"n": str(n)}}
            for n in range(40)}
    want.update({f"12.{n}.0.0/16": {"value": "s", "attributes": {"n": str(n)}} for n in range(40) if n % 5 != 3})
    assert dict(e.items()) == want and len(died) == 8
    # Freed dicts' addresses are reused by the next fresh ones: each still
    # gives its own record.
    fill(e, how, ((f"11.{n >> 8}.{n & 255}.0/24", {"value": str(n)}) for n in range(2000)))
    assert all(e.get(f"11.{n >> 8}.{n & 255}.0/24")["value"] == str(n) for n in range(0, 2000, 7))


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
@pytest.mark.parametrize("where", ["first", "middle", "last"])
def test_a_bad_element_stores_nothing(variant, where):
    e = RadixEngine(variant)
    e.insert_many([(f"10.{n}.0.0/16", {"value": str(n)}) for n in range(50)])
    before, stats = e.items(), e.stats()
    meta = {"value": "x", "attributes": {"asn": "1"}}
    items = [(f"{a}.{b}.0.0/16", meta) for a in range(11, 15) for b in range(250)]
    bad = {"first": 0, "middle": len(items) // 2, "last": len(items) - 1}[where]
    items[bad] = (items[bad][0], {"value": "x", "attributes": {"asn": 1}})
    with pytest.raises(TypeError) as raised_:
        e.insert_many(items)
    assert raised_.value.__notes__ == [f"while processing element {bad} of 'items'"]
    assert e.items() == before and e.stats() == stats


# A pickle made by release 1.1.1, before snapshots: the state is a list of
# (prefix, metadata) pairs.
OLD_PICKLE = (b"\x80\x02cnetrove\n__restore__\nq\x00X\x08\x00\x00\x00standardq\x01]q\x02(X\n\x00\x00\x00"
              b"10.0.0.0/8q\x03}q\x04(X\x05\x00\x00\x00valueq\x05X\x03\x00\x00\x00AS1q\x06X\n\x00\x00\x00"
              b"attributesq\x07}q\x08X\x03\x00\x00\x00asnq\tX\x01\x00\x00\x001q\nsu\x86q\x0bX\x0b\x00\x00"
              b"\x0010.1.0.0/16q\x0c}q\r(h\x05X\x03\x00\x00\x00AS2q\x0eh\x07}q\x0fu\x86q\x10X\r\x00\x00\x00"
              b"2001:db8::/32q\x11}q\x12(h\x05X\x02\x00\x00\x00\xc3\xa9q\x13h\x07}q\x14(X\x01\x00\x00\x00kq"
              b"\x15X\x01\x00\x00\x00vq\x16X\x01\x00\x00\x00xq\x17X\x00\x00\x00\x00q\x18uu\x86q\x19e\x86q"
              b"\x1aRq\x1b.")


def test_pickles_are_snapshots_and_old_pickles_still_load():
    old = pickle.loads(OLD_PICKLE)
    want = [("10.0.0.0/8", {"value": "AS1", "attributes": {"asn": "1"}}),
            ("10.1.0.0/16", {"value": "AS2", "attributes": {}}),
            ("2001:db8::/32", {"value": "\u00e9", "attributes": {"k": "v", "x": ""}})]
    assert old.items() == want and old.__reduce__()[1][0] == "standard"
    assert old.stats() == {"size": 3, "inserts": 0, "lookups": 0, "hits": 0, "misses": 0, "removals": 0}
    for variant in VARIANTS:
        e = RadixEngine(variant)
        e.insert_many(want * 2)
        snapshot = e.__reduce__()[1][1]
        assert type(snapshot) is bytes and snapshot.startswith(b"NRVS\x01")
        assert len(snapshot) < 100  # each distinct record once, the prefixes in a few bytes each
        again = pickle.loads(pickle.dumps(e))
        assert again.items() == want and again.stats()["inserts"] == 0 and again.__reduce__()[1] == (variant, snapshot)
