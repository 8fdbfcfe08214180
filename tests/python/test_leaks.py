"""No growth of traced memory across 100k calls of every method, error paths
included, and no change in the reference counts of the objects passed in."""

import copy
import gc
import itertools
import pickle
import sys
import tracemalloc

import pytest

import netrove
from netrove import RadixEngine

CALLS = 100_000
SLACK = 64 * 1024  # bytes; one leaked object per call would be megabytes


def _swallow(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (TypeError, ValueError, UnicodeEncodeError):
        pass


def _cases(e, variant, subnet, meta, ip, miss):
    bad_meta = {"value": "v", "attributes": {"k": 1}}
    return {
        "insert": lambda: e.insert(subnet, meta),
        "insert_keywords": lambda: e.insert(metadata=meta, subnet=subnet),
        "lookup_hit": lambda: e.lookup(ip),
        "lookup_miss": lambda: e.lookup(miss),
        "lookup_keyword": lambda: e.lookup(ip=ip),
        "contains": lambda: e.contains(ip),
        "remove": lambda: (e.remove(subnet), e.insert(subnet, meta)),
        "clear": lambda: (e.clear(), e.insert(subnet, meta)),
        "stats": lambda: e.stats(),
        "len": lambda: len(e),
        "repr": lambda: repr(e),
        "bool": lambda: bool(e),
        "new": lambda: RadixEngine(variant),
        "match": lambda: (e.match(ip), e.match(miss)),
        "covering": lambda: e.covering(ip),
        "covered_get": lambda: (e.covered(subnet), e.get(subnet), e.get(miss)),
        "items": lambda: e.items(),
        "clone": lambda: next(CLONES)(e),
        "err_queries": lambda: (_swallow(e.match, 5), _swallow(e.covering, "1.2.3"), _swallow(e.covered, "x/99"),
                                _swallow(e.get, None), _swallow(e.match, ip, foo=1)),
        "err_restore": lambda: (_swallow(netrove.__restore__, variant, [(subnet, meta), (subnet, [meta])]),
                                _swallow(netrove.__restore__, variant, [(subnet,)]),
                                _swallow(netrove.__restore__, 1, [])),
        "err_bad_cidr": lambda: _swallow(e.insert, "10.0.0.0/33", meta),
        "err_subnet_type": lambda: _swallow(e.insert, 5, meta),
        "err_metadata_type": lambda: _swallow(e.insert, subnet, [meta]),
        "err_attributes": lambda: _swallow(e.insert, subnet, bad_meta),
        "err_surrogate": lambda: _swallow(e.lookup, "\ud800"),
        "err_bad_ip": lambda: _swallow(e.lookup, "1.2.3"),
        "err_ip_type": lambda: _swallow(e.contains, None),
        "err_remove": lambda: _swallow(e.remove, "x"),
        "err_binding": lambda: _swallow(e.insert, subnet),
        "err_keyword": lambda: _swallow(e.lookup, ip, foo=1),
        "err_new": lambda: _swallow(RadixEngine, 1),
        "lookup_many": lambda: e.lookup_many([ip, miss, ip]),
        "contains_many": lambda: e.contains_many((ip, miss)),
        "insert_many": lambda: e.insert_many([(subnet, meta)]),
        "insert_many_map": lambda: e.insert_many({subnet: meta}),
        "err_many_bad_ip": lambda: _swallow(e.lookup_many, iter([ip, "1.2.3"])),
        "err_many_ip_type": lambda: _swallow(e.contains_many, [ip, None]),
        "err_many_not_iterable": lambda: _swallow(e.lookup_many, 5),
        "err_many_pair": lambda: _swallow(e.insert_many, [(subnet, meta), (subnet,)]),
        "err_many_metadata": lambda: _swallow(e.insert_many, [(subnet, meta), (subnet, bad_meta)]),
    }


CLONES = itertools.cycle([lambda e: pickle.loads(pickle.dumps(e)), copy.copy, copy.deepcopy])
# Cases that build an engine per call run fewer calls: one leaked object per
# call still shows as more than SLACK.
FEWER = {"clone": 20}

CASE_NAMES = list(_cases(None, None, None, None, None, None))


@pytest.mark.parametrize("variant", [None, "standard"], ids=str)
@pytest.mark.parametrize("case", CASE_NAMES)
def test_no_growth_and_refcounts_unchanged(variant, case):
    e = RadixEngine(variant)
    subnet = "".join(["10.0.0.0", "/8"])  # fresh objects, not shared constants
    ip = "".join(["10.1.", "2.3"])
    miss = "".join(["11.1.", "2.3"])
    meta = {"value": "".join(["al", "low"]), "attributes": {"asn": "".join(["AS", "1234"])}}
    e.insert(subnet, meta)
    fn = _cases(e, variant, subnet, meta, ip, miss)[case]
    watched = [subnet, ip, miss, meta, meta["value"], meta["attributes"], meta["attributes"]["asn"]]
    counts = [sys.getrefcount(o) for o in watched]

    for _ in range(1000):  # warm up caches, free lists and interned state
        fn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        calls = CALLS // FEWER.get(case, 1)
        for _ in range(calls):
            fn()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < SLACK, f"{case}: {grown} bytes more after {calls} calls"
    assert [sys.getrefcount(o) for o in watched] == counts


class _Sentinel:
    freed = False

    def __del__(self):
        _Sentinel.freed = True


@pytest.mark.parametrize("variant", [None, "standard"], ids=str)
@pytest.mark.parametrize("through", ["result", "attributes"])
def test_cycles_through_a_result_are_collected(variant, through):
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {"value": "v", "attributes": {"k": "x"}})
    d = e.lookup("10.1.2.3")
    # Only str values: the collector need not track the attributes dict.
    assert not gc.is_tracked(d["attributes"])
    holder = d if through == "result" else d["attributes"]
    holder["back"] = d  # a container stored: tracked again, cycle made
    holder["sentinel"] = _Sentinel()
    assert gc.is_tracked(holder)
    _Sentinel.freed = False
    del d, holder
    gc.collect()
    assert _Sentinel.freed, f"a cycle through the {through} dict was not collected"
