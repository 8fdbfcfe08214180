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
        items = [(prefixes[(a + k * b) % len(prefixes)], {"value": f"#{i}.{k}"}) for k in range(b % 9)]
        form = b % 3  # a mapping, a list of pairs, a generator of tuples
        assert engine.insert_many(dict(items) if form == 0 else items if form == 1 else (tuple(x) for x in items)) is None
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
