"""All four variants against the `ipaddress` oracle: random nested prefixes
of both families written with host bits, inserts, removes, clears, lookups
and contains interleaved.  Repeated lookups of the same addresses across
writes are what expose a cache that keeps stale answers.  The entry queries
(match, covering, covered, get, items) must answer like the oracle without
moving a counter, and a pickled or copied engine must carry on like the
original, counters from zero."""

import copy
import ipaddress
import pickle
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from netrove import RadixEngine

from conftest import VARIANTS
from oracle import Oracle


def make_pool(seed, size=24):
    """Nested prefixes of both families (host bits set) and addresses that
    fall inside, beside and outside them, including IPv4-mapped and
    IPv4-compatible IPv6 forms of the IPv4 addresses."""
    rng = random.Random(seed)
    prefixes, addresses = [], []
    for version, width in ((4, 32), (6, 128)):
        roots = [rng.getrandbits(width) for _ in range(3)]
        for root in roots:
            length = 0
            base = root
            while length <= width and len(prefixes) < size * version // 2:
                host = base ^ rng.getrandbits(width - length) if length < width else base
                cls = ipaddress.IPv4Address if version == 4 else ipaddress.IPv6Address
                prefixes.append(f"{cls(host)}/{length}")
                for _ in range(2):
                    a = host ^ (rng.getrandbits(max(width - length - 1, 0)) if length < width else 0)
                    addresses.append(str(cls(a)))
                    if version == 4:
                        addresses.append(f"::ffff:{cls(a)}")
                        addresses.append(str(ipaddress.IPv6Address(a)))
                length += rng.choice((1, 3, 4, 8, 9))
    return prefixes, addresses


OPS = st.lists(
    st.tuples(st.sampled_from(["insert", "insert", "insert", "remove", "lookup", "lookup", "lookup", "contains",
                               "clear", "len", "match", "covering", "covered", "get", "items", "clone"]),
              st.integers(0, 10_000), st.integers(0, 10_000)),
    max_size=120,
)


ZERO = {"size": 0, "inserts": 0, "lookups": 0, "hits": 0, "misses": 0, "removals": 0}


def query(engine, oracle, op, ip, subnet):
    """One entry query against the oracle; no counter may move."""
    before = engine.stats()
    if op in ("match", "covering"):
        assert getattr(engine, op)(ip) == getattr(oracle, op)(ip), (op, ip)
    elif op in ("covered", "get"):
        assert getattr(engine, op)(subnet) == getattr(oracle, op)(subnet), (op, subnet)
    else:
        assert engine.items() == oracle.items()
    assert engine.stats() == before


def clone(engine, oracle, how, addresses):
    """A pickled, copied or deep-copied engine: same entries and answers,
    counters at zero."""
    twin = [lambda: pickle.loads(pickle.dumps(engine)), lambda: copy.copy(engine),
            lambda: copy.deepcopy(engine)][how % 3]()
    assert twin.stats() == dict(ZERO, size=len(oracle))
    assert twin.items() == oracle.items()
    for ip in addresses[::7]:
        assert twin.lookup(ip) == oracle.lookup(ip), ip
    return twin


def run(variant, seed, ops):
    prefixes, addresses = make_pool(seed)
    engine, oracle = RadixEngine(variant), Oracle()
    for i, (op, a, b) in enumerate(ops):
        if op == "insert":
            subnet = prefixes[a % len(prefixes)]
            meta = {"value": f"{subnet}#{i}", "attributes": {"step": str(i), "b": str(b)}}
            assert engine.insert(subnet, meta) is None
            oracle.insert(subnet, meta)
        elif op == "remove":
            subnet = prefixes[a % len(prefixes)]
            assert engine.remove(subnet) == oracle.remove(subnet), (i, subnet)
        elif op == "clear" and b % 4 == 0:
            engine.clear()
            oracle.clear()
        elif op == "lookup":
            ip = addresses[a % len(addresses)]
            assert engine.lookup(ip) == oracle.lookup(ip), (i, ip)
        elif op == "contains":
            ip = addresses[a % len(addresses)]
            assert engine.contains(ip) == (oracle.lookup(ip) is not None), (i, ip)
        elif op in ("match", "covering", "covered", "get", "items"):
            query(engine, oracle, op, addresses[a % len(addresses)], prefixes[b % len(prefixes)])
        elif op == "clone":
            engine = clone(engine, oracle, b, addresses)
        assert len(engine) == len(oracle)
    for ip in addresses:
        assert engine.lookup(ip) == oracle.lookup(ip), ip
        found = engine.match(ip)
        assert (found and found[1]) == engine.lookup(ip)
        query(engine, oracle, "covering", ip, None)
    for subnet in prefixes:
        query(engine, oracle, "covered", None, subnet)
        query(engine, oracle, "get", None, subnet)
    assert engine.stats()["size"] == len(oracle)


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), ops=OPS)
def test_matches_oracle(variant, seed, ops):
    run(variant, seed, ops)


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_long_random_programs(variant):
    rng = random.Random(1234)
    for seed in range(6):
        ops = [(rng.choice(["insert", "insert", "remove", "lookup", "lookup", "lookup", "contains", "clear", "match",
                            "covered"]),
                rng.randrange(10_000), rng.randrange(40)) for _ in range(1500)]
        run(variant, seed, ops)


def test_oracle_sanity():
    o = Oracle()
    o.insert("10.1.2.3/8", {"value": "a"})
    o.insert("::a00:0/104", {"value": "b"})
    assert o.lookup("10.200.0.1") == {"value": "a", "attributes": {}}
    assert o.lookup("::ffff:10.1.2.3") is None
    assert o.lookup("::a01:203")["value"] == "b"
    assert o.remove("10.0.0.0/8") and not o.remove("10.0.0.0/8")
    assert len(o) == 1


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_clones_keep_the_variant(variant):
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {})
    assert e.__reduce__()[1] == (variant, [("10.0.0.0/8", {"value": "", "attributes": {}})])
    for twin in (pickle.loads(pickle.dumps(e)), copy.copy(e), copy.deepcopy(e)):
        twin.lookup("10.1.2.3")
        twin.lookup("10.1.2.3")
        assert twin.stats()["lookups"] == (2 if variant is None else 1)  # the cache answered the second
