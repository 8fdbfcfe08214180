"""lookup_many, contains_many and insert_many against the single calls (on a
twin engine fed the same calls) and the oracle; their input errors; and
batches on several threads beside a writer."""

import random
import threading

import pytest

from netrove import RadixEngine

from conftest import VARIANTS, raised
from oracle import Oracle
from test_differential import make_pool


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
@pytest.mark.parametrize("seed", range(4))
def test_batches_equal_single_calls_and_oracle(variant, seed):
    rng = random.Random(seed)
    prefixes, addresses = make_pool(seed)
    batch, single, oracle = RadixEngine(variant), RadixEngine(variant), Oracle()
    for step in range(12):
        items = [(p, {"value": f"{p}#{step}", "attributes": {"s": str(step)}})
                 for p in rng.sample(prefixes, rng.randrange(1, 12))]
        # A mapping, a list of pairs, a generator of tuples: one form each step.
        form = step % 3
        batch.insert_many(dict(items) if form == 0 else items if form == 1 else (tuple(x) for x in items))
        if form == 0:
            items = list(dict(items).items())
        for subnet, meta in items:
            single.insert(subnet, meta)
            oracle.insert(subnet, meta)
        for subnet in rng.sample(prefixes, 3):
            assert batch.remove(subnet) == single.remove(subnet) == oracle.remove(subnet)
        ips = [rng.choice(addresses) for _ in range(rng.randrange(0, 600))]  # repeats hit the cache
        got = batch.lookup_many(ips if step % 2 else tuple(ips))
        assert got == [single.lookup(ip) for ip in ips] == [oracle.lookup(ip) for ip in ips]
        assert batch.contains_many(iter(ips)) == [single.contains(ip) for ip in ips]
        assert batch.stats() == single.stats()
        assert len(batch) == len(oracle)


def _bad_batches():
    ok = "10.1.2.3"
    for where in (0, 3, 7):  # start, middle, end of an 8-element batch
        for bad, error, message in ((5, TypeError, "'int' object is not an instance of 'str'"),
                                    ("1.2.3", ValueError, "Invalid IP address: 1.2.3"),
                                    ("\ud800", UnicodeEncodeError, None)):
            ips = [ok] * 8
            ips[where] = bad
            yield ips, where, error, message


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
@pytest.mark.parametrize("method", ["lookup_many", "contains_many"])
def test_bad_addresses_raise_before_any_lookup(variant, method):
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {"value": "v"})
    before = e.stats()
    call = getattr(e, method)
    for ips, where, error, message in _bad_batches():
        for form in (list, tuple, iter):
            exc = raised(call, form(ips))
            assert type(exc) is error and (message is None or str(exc) == message)
            assert exc.__notes__[-1] == f"while processing element {where} of 'ips'"
    exc = raised(call, 5)
    assert type(exc) is TypeError and exc.__notes__ == ["while processing 'ips'"]

    def failing():
        yield "10.1.2.3"
        raise KeyError("from the generator")

    assert type(raised(call, failing())) is KeyError
    assert e.stats() == before
    assert call([]) == [] and call(ips=["10.9.9.9"]) in ([True], [{"value": "v", "attributes": {}}])


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_bad_items_leave_the_engine_unchanged(variant):
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {"value": "v"})
    before = e.stats()
    good = ("11.0.0.0/8", {"value": "w"})
    cases = [
        (5, TypeError, "'int' object is not a (subnet, metadata) pair", None),
        (("12.0.0.0/8",), ValueError, "a (subnet, metadata) pair has 2 elements, not 1", None),
        (("12.0.0.0/8", {}, 1), ValueError, "a (subnet, metadata) pair has 2 elements, not 3", None),
        ((1, {}), TypeError, "'int' object is not an instance of 'str'", "while processing 'subnet'"),
        (("12.0.0.0/8", []), TypeError, "'list' object is not an instance of 'dict'", "while processing 'metadata'"),
        (("12.0.0.0/33", {}), ValueError, "Invalid CIDR '12.0.0.0/33': invalid address: 12.0.0.0/33", None),
        (("12.0.0.0/8", {"value": None}), TypeError, None, None),
        (("12.0.0.0/8", {"attributes": []}), TypeError, "'attributes' must be a dict", None),
    ]
    for bad, error, message, first_note in cases:
        for where in (0, 2, 4):
            items = [good] * 5
            items[where] = bad
            exc = raised(e.insert_many, items)
            assert type(exc) is error and (message is None or str(exc) == message), (bad, exc)
            notes = ([first_note] if first_note else []) + [f"while processing element {where} of 'items'"]
            assert exc.__notes__ == notes
    bad_map = {"11.0.0.0/8": {"value": "w"}, "12.0.0.0/8": {"value": 1}}
    assert raised(e.insert_many, bad_map).__notes__ == ["while processing element 1 of 'items'"]
    exc = raised(e.insert_many, 5)
    assert type(exc) is TypeError and exc.__notes__ == ["while processing 'items'"]
    assert e.stats() == before and e.lookup("11.1.1.1") is None
    assert e.insert_many([]) is None and e.insert_many(items={}) is None


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_batch_lookups_beside_a_writer(variant):
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {"value": "/8"})
    stop = threading.Event()
    errors = []
    ips = [f"10.{i % 4}.{i % 7}.1" for i in range(500)] + ["11.0.0.1", "::1"]

    def writer():
        try:
            for round_ in range(200):
                e.insert_many([(f"10.{i}.0.0/16", {"value": f"/16 {i}"}) for i in range(4)])
                for i in range(4):
                    e.remove(f"10.{i}.0.0/16")
        finally:
            stop.set()

    def reader():
        try:
            while not stop.is_set():
                for ip, got, found in zip(ips, e.lookup_many(ips), e.contains_many(ips)):
                    if ip.startswith("10."):
                        # The /8, or the /16 of the address's second octet.
                        assert got["value"] in ("/8", f"/16 {ip.split('.')[1]}") and found
                    else:
                        assert got is None and not found
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a batch call did not return"
    assert not errors, errors[0]
