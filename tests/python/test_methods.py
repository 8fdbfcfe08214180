"""The methods end to end: results, counters, len/repr/truth, family
separation, and the lookup cache as seen through the engine's counters."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from netrove import RadixEngine

from conftest import ALLOW, CACHED, VARIANTS

STATS_KEYS = ["size", "inserts", "lookups", "hits", "misses", "removals"]


def test_docstring_example(engine):
    assert engine.insert("10.0.0.0/8", ALLOW) is None
    match = engine.lookup("10.1.2.3")
    assert match == ALLOW and list(match) == ["value", "attributes"]
    assert match["value"] == "allow"
    assert engine.contains("10.1.2.3") is True
    assert len(engine) == 1
    assert repr(engine) == "RadixEngine(size=1)" == str(engine)


def test_no_match(engine):
    engine.insert("10.0.0.0/8", ALLOW)
    assert engine.lookup("11.0.0.1") is None
    assert engine.contains("11.0.0.1") is False


def test_longest_prefix_wins(engine):
    engine.insert("0.0.0.0/0", {"value": "default"})
    engine.insert("10.0.0.0/8", {"value": "eight"})
    engine.insert("10.1.0.0/16", {"value": "sixteen"})
    engine.insert("10.1.2.3/32", {"value": "host"})
    assert engine.lookup("10.1.2.3")["value"] == "host"
    assert engine.lookup("10.1.2.4")["value"] == "sixteen"
    assert engine.lookup("10.2.0.0")["value"] == "eight"
    assert engine.lookup("11.0.0.0")["value"] == "default"
    assert engine.remove("10.1.0.0/16") is True
    assert engine.lookup("10.1.2.4")["value"] == "eight"
    assert engine.lookup("10.1.2.3")["value"] == "host"


def test_replacement_keeps_len_and_counts_an_insert(engine):
    engine.insert("10.0.0.0/8", {"value": "old"})
    engine.insert("10.9.9.9/8", {"value": "new"})  # same network, host bits ignored
    assert len(engine) == 1
    assert engine.lookup("10.0.0.1")["value"] == "new"
    assert engine.stats()["inserts"] == 2


def test_remove(engine):
    assert engine.remove("10.0.0.0/8") is False
    engine.insert("10.0.0.0/8", ALLOW)
    engine.insert("10.0.0.0/16", ALLOW)
    assert engine.remove("10.0.0.0/9") is False  # only the exact prefix
    assert engine.remove("10.1.2.3/8") is True  # host bits ignored
    assert engine.remove("10.0.0.0/8") is False
    assert len(engine) == 1 and engine.contains("10.0.0.1") and not engine.contains("10.1.0.0")


def test_clear(engine):
    for i in range(10):
        engine.insert(f"10.{i}.0.0/16", ALLOW)
        engine.insert(f"2001:db8:{i}::/48", ALLOW)
    engine.lookup("10.1.0.1")
    before = engine.stats()
    assert engine.clear() is None
    assert len(engine) == 0 and not engine
    after = engine.stats()
    assert after["size"] == 0
    for k in ("inserts", "lookups", "hits", "misses", "removals"):
        assert after[k] == before[k]
    assert engine.lookup("10.1.0.1") is None
    engine.clear()
    assert len(engine) == 0


def test_truth_follows_len(engine):
    assert not engine and bool(engine) is False
    engine.insert("::/0", {})
    assert engine and bool(engine) is True
    engine.remove("::/0")
    assert not engine


def test_stats_on_a_fresh_engine(engine):
    s = engine.stats()
    assert list(s) == STATS_KEYS
    assert all(type(v) is int and v == 0 for v in s.values())
    assert engine.stats() is not s


def test_stats_counting_uncached():
    e = RadixEngine()
    e.insert("10.0.0.0/8", {})
    e.insert("10.0.0.0/8", {})
    e.insert("2001:db8::/32", {})
    e.lookup("10.1.1.1")
    e.lookup("11.1.1.1")
    e.contains("10.1.1.1")  # counted like a lookup, because it is one
    e.contains("2001:db9::")
    e.remove("10.0.0.0/8")
    e.remove("10.0.0.0/8")  # found nothing: counts nothing
    assert e.stats() == {"size": 1, "inserts": 3, "lookups": 4, "hits": 2, "misses": 2, "removals": 1}


@pytest.mark.parametrize("name", CACHED)
def test_repeated_lookup_is_answered_from_the_cache(name):
    e = RadixEngine(name)
    e.insert("10.0.0.0/8", ALLOW)
    for _ in range(5):
        assert e.lookup("10.1.2.3") == ALLOW
        assert e.contains("10.1.2.3")
    for _ in range(3):
        assert e.lookup("11.0.0.1") is None  # "no match" is cached too
    s = e.stats()
    assert (s["lookups"], s["hits"], s["misses"]) == (2, 1, 1)


@pytest.mark.parametrize("name", CACHED)
def test_insert_drops_cached_answers_inside_its_prefix_only(name):
    e = RadixEngine(name)
    inside = ["10.1.2.3", "10.255.0.1"]
    outside = ["11.0.0.1", "::a01:203", "::ffff:10.1.2.3", "2001:db8::1"]
    for a in inside + outside:
        assert e.lookup(a) is None
    base = e.stats()["lookups"]
    assert base == len(inside) + len(outside)
    e.insert("10.0.0.0/8", ALLOW)
    for a in inside:
        assert e.lookup(a) == ALLOW  # dropped, asked again, new answer
    for a in outside:
        assert e.lookup(a) is None  # kept
    assert e.stats()["lookups"] == base + len(inside)


@pytest.mark.parametrize("name", CACHED)
def test_remove_and_clear_drop_cached_answers(name):
    e = RadixEngine(name)
    e.insert("10.0.0.0/8", {"value": "eight"})
    e.insert("10.1.0.0/16", {"value": "sixteen"})
    assert e.lookup("10.1.0.1")["value"] == "sixteen"
    assert e.lookup("10.2.0.1")["value"] == "eight"
    e.remove("10.1.0.0/16")
    assert e.lookup("10.1.0.1")["value"] == "eight"
    assert e.remove("10.3.0.0/16") is False  # nothing stored, answers inside still dropped
    n = e.stats()["lookups"]
    assert e.lookup("10.2.0.1")["value"] == "eight"
    assert e.stats()["lookups"] == n
    e.clear()
    assert e.lookup("10.2.0.1") is None
    assert e.lookup("10.1.0.1") is None
    assert e.stats()["lookups"] == n + 2


@pytest.mark.parametrize("name", CACHED)
def test_cache_holds_ten_thousand_answers(name):
    e = RadixEngine(name)
    e.insert("10.0.0.0/8", {})
    addresses = [f"10.0.{i // 256}.{i % 256}" for i in range(10001)]
    for a in addresses[:10000]:
        e.lookup(a)
    for a in addresses[:10000]:
        e.lookup(a)
    assert e.stats()["lookups"] == 10000  # all 10000 answers fit
    e.lookup(addresses[10000])  # one more evicts one
    for a in addresses:
        e.lookup(a)
    assert e.stats()["lookups"] >= 10002


def test_family_separation(engine):
    engine.insert("10.0.0.0/8", ALLOW)
    assert engine.lookup("::a01:203") is None
    assert engine.lookup("::ffff:10.1.2.3") is None
    assert not engine.contains("::a01:203")
    engine.insert("::a00:0/104", {"value": "v6"})
    assert len(engine) == 2
    assert engine.lookup("10.1.2.3") == ALLOW
    assert engine.lookup("::a01:203")["value"] == "v6"
    assert engine.lookup("::ffff:10.1.2.3") is None
    assert engine.remove("::a00:0/104") is True
    assert engine.lookup("10.1.2.3") == ALLOW and len(engine) == 1
    assert engine.remove("0.0.0.0/0") is False and engine.remove("::/0") is False


def test_default_routes_are_per_family(engine):
    engine.insert("0.0.0.0/0", {"value": "v4"})
    assert engine.lookup("1.1.1.1")["value"] == "v4"
    assert engine.lookup("::1") is None
    engine.insert("::/0", {"value": "v6"})
    assert engine.lookup("::1")["value"] == "v6"
    assert engine.lookup("::ffff:1.1.1.1")["value"] == "v6"
    assert engine.lookup("1.1.1.1")["value"] == "v4"
    assert len(engine) == 2


def test_many_prefixes(engine):
    for i in range(256):
        engine.insert(f"10.{i}.0.0/16", {"value": str(i)})
        engine.insert(f"2001:db8:{i:x}::/48", {"value": f"v6-{i}"})
    assert len(engine) == 512 and repr(engine) == "RadixEngine(size=512)"
    for i in range(0, 256, 7):
        assert engine.lookup(f"10.{i}.3.4")["value"] == str(i)
        assert engine.lookup(f"2001:db8:{i:x}::99")["value"] == f"v6-{i}"
    assert engine.stats()["size"] == 512


def test_results_are_fresh_objects_every_time(engine, variant):
    # lookup builds its dicts from the stored record itself (uncached) or the
    # cached answer: the caller's dicts are new objects each time, and
    # changing them changes nothing stored.
    record = {"value": "v" * 40, "attributes": {f"k{i}": f"{i}" * 30 for i in range(5)}}
    engine.insert("10.0.0.0/8", record)
    first = engine.lookup("10.1.2.3")  # a miss on the cached variants
    second = engine.lookup("10.1.2.3")  # a hit on the cached variants
    assert first == second == record
    assert first is not second and first["attributes"] is not second["attributes"]
    first["value"] = "changed"
    first["attributes"]["k0"] = "changed"
    del first["attributes"]["k1"]
    assert engine.lookup("10.1.2.3") == record
    assert engine.lookup("10.200.0.0") == record
    assert engine.contains("10.1.2.3") is True and engine.contains("11.0.0.0") is False
    # contains counts exactly like lookup; the cached variants count only
    # the three distinct addresses, each missing the cache once.
    s = engine.stats()
    expected = (6, 5, 1) if variant is None else (3, 2, 1)
    assert (s["lookups"], s["hits"], s["misses"]) == expected


TEXTS = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12) | st.sampled_from(
    ["", '"', "\\", "\x00\x1f\x7f", "é€😀", "value", "attributes"])


@given(value=TEXTS, attributes=st.dictionaries(TEXTS, TEXTS, max_size=40), variant=st.sampled_from(VARIANTS))
@settings(max_examples=150, deadline=None)
def test_records_round_trip_through_the_stored_form(value, attributes, variant):
    # Any texts (every escape, empty, non-ASCII), any number of attributes:
    # the dict handed back equals the one stored, "value" first; two
    # prefixes with equal records (which share one stored copy) answer
    # alike, also after one of them is replaced.
    engine = RadixEngine(variant)
    record = {"value": value, "attributes": attributes}
    engine.insert("10.0.0.0/8", record)
    engine.insert("11.0.0.0/8", {"value": value, "attributes": dict(reversed(attributes.items()))})
    for ip in ("10.1.2.3", "11.1.2.3", "10.1.2.3"):
        got = engine.lookup(ip)
        assert got == record and list(got) == ["value", "attributes"]
    engine.insert("10.0.0.0/8", {"value": value + "x"})
    assert engine.lookup("11.1.2.3") == record
    assert engine.lookup("10.1.2.3") == {"value": value + "x", "attributes": {}}
