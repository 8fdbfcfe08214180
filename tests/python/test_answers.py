"""Answer dicts the cyclic collector does not walk, and still no leak.

Every call that returns dicts hands them out untracked; any change of an
answer (of its outer or its attributes dict, by any path) tracks it again;
every shallow copy is tracked; and every reference cycle a program makes
through an answer, its attributes, nested containers or a copy is
collected, whichever dict it drops first.  The strings of one stored record
are shared by all of its answers; the dicts are new each time."""

import array
import copy
import gc
import ipaddress
import sys
import weakref

import pytest

from netrove import RadixEngine

from conftest import VARIANTS

# The interpreters on which answers are handed out untracked.
UNTRACKED = (3, 12) <= sys.version_info[:2] <= (3, 13)


def engine(variant=None):
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {"value": "ten", "attributes": {"asn": "AS1", "k": "v"}})
    e.insert("10.1.0.0/16", {"value": "ten-one"})  # no attributes: an empty dict per answer
    e.insert("2001:db8::/32", {"value": "doc", "attributes": {"asn": "AS2"}})
    return e


PACKED_V4 = array.array("I", [int(ipaddress.IPv4Address("10.2.3.4"))])
PACKED_V6 = ipaddress.IPv6Address("2001:db8::1").packed

# Every call that returns answer dicts, as a way to get one fresh answer.
CALLS = {
    "lookup": lambda e: e.lookup("10.2.3.4"),
    "lookup_empty": lambda e: e.lookup("10.1.2.3"),
    "lookup_v6": lambda e: e.lookup("2001:db8::1"),
    "lookup_many": lambda e: e.lookup_many(["10.2.3.4"])[0],
    "lookup_many_v4": lambda e: e.lookup_many(PACKED_V4, family=4)[0],
    "lookup_many_v6": lambda e: e.lookup_many(PACKED_V6, family=6)[0],
    "match": lambda e: e.match("10.2.3.4")[1],
    "covering": lambda e: e.covering("10.1.2.3")[-1][1],
    "covered": lambda e: e.covered("10.0.0.0/8")[0][1],
    "get": lambda e: e.get("10.0.0.0/8"),
    "items": lambda e: e.items()[0][1],
}

# Every way to change a dict, given a value to store.  The last four remove
# or replace and store nothing of the value: they are changes all the same.
MUTATIONS = {
    "setitem": lambda d, x: d.__setitem__("k", x),
    "update": lambda d, x: d.update({"k": x}),
    "update_kw": lambda d, x: d.update(k=x),
    "setdefault": lambda d, x: d.setdefault("new", x),
    "ior": lambda d, x: d.__ior__({"k": x}),
    "init": lambda d, x: dict.__init__(d, k=x),
    "pop": lambda d, x: d.pop(next(iter(d))) if d else d.__setitem__("k", 1),
    "popitem": lambda d, x: d.popitem() if d else d.__setitem__("k", 1),
    "delitem": lambda d, x: d.__delitem__(next(iter(d))) if d else d.__setitem__("k", 1),
    "clear": lambda d, x: d.clear() if d else d.__setitem__("k", 1),
}
STORING = ["setitem", "update", "update_kw", "setdefault", "ior", "init"]

# Every shallow copy of an answer (sharing its attributes dict).
COPIES = {
    "none": lambda d: d,
    "copy": lambda d: d.copy(),
    "dict": dict,
    "splat": lambda d: {**d},
    "or": lambda d: d | {},
    "copy.copy": copy.copy,
    "update_empty": lambda d: (lambda c: (c.update(d), c)[1])({}),
}


class Sentinel:
    pass


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_answers_are_untracked_until_changed_and_copies_are_tracked(variant):
    e = engine(variant)
    for name, call in CALLS.items():
        d = call(e)
        assert gc.is_tracked(d) is not UNTRACKED and not gc.is_tracked(d["attributes"]), name
        assert list(d) == ["value", "attributes"], name
        for kind, make in COPIES.items():
            if kind != "none":
                c = make(d)
                assert c == d and gc.is_tracked(c), (name, kind)
        assert not gc.is_tracked(d) or not UNTRACKED, name  # copying is no change
        for where in ("outer", "attributes"):
            for how, mutate in MUTATIONS.items():
                fresh = call(e)
                mutate(fresh if where == "outer" else fresh["attributes"], "text")
                assert gc.is_tracked(fresh), (name, where, how)


def make_cycle(answer, where, how, kind, nested):
    """A cycle through (a copy of) `answer`, made by changing its outer or
    attributes dict with `how`; returns a weak reference to a sentinel only
    the cycle holds."""
    s = Sentinel()
    target = COPIES[kind](answer)
    holder = target if where == "outer" else target["attributes"]
    payload = [[target], s] if nested else (target, s)
    MUTATIONS[how](holder, payload)
    return weakref.ref(s)


@pytest.mark.parametrize("variant", [None, "standard"], ids=str)
def test_every_cycle_through_an_answer_is_collected(variant):
    e = engine(variant)
    gc.collect()
    refs = []
    for name, call in CALLS.items():
        for where in ("outer", "attributes"):
            for how in STORING:
                for kind in COPIES:
                    for nested in (False, True):
                        for drop in ("outer", "attributes"):
                            answer = call(e)
                            attributes = answer["attributes"]
                            refs.append(((name, where, how, kind, nested, drop),
                                         make_cycle(answer, where, how, kind, nested)))
                            if drop == "outer":
                                del answer
                                del attributes
                            else:
                                del attributes
                                del answer
    gc.collect()
    alive = [case for case, sentinel in refs if sentinel() is not None]
    assert len(refs) == 11 * 2 * 6 * 7 * 2 * 2 and not alive, f"{len(alive)} cycles not collected, e.g. {alive[:3]}"


def test_a_kept_attributes_dict_outlives_its_answer_and_cycles_through_it_are_collected():
    e = engine("standard")
    refs = []
    for name, call in CALLS.items():
        attributes = call(e)["attributes"]  # the outer dict is gone now
        s = Sentinel()
        attributes["me"] = (attributes, s)
        assert gc.is_tracked(attributes)
        refs.append((name, weakref.ref(s)))
        del attributes, s
    gc.collect()
    assert [name for name, r in refs if r() is not None] == []


def test_answers_share_the_strings_of_their_record_and_nothing_else():
    e = engine()
    a, b = e.lookup("10.2.3.4"), e.lookup("10.9.9.9")
    assert a == b and a is not b and a["attributes"] is not b["attributes"]
    assert a["value"] is b["value"] is e.lookup_value("10.3.3.3") is e.lookup_values(["10.4.4.4"])[0]
    assert a["value"] is e.lookup_many(PACKED_V4, family=4)[0]["value"] is e.items()[0][1]["value"]
    a["attributes"]["asn"] = "changed"  # a changed answer changes nothing stored
    a["value"] = "changed"
    assert e.lookup("10.2.3.4") == b
    e.insert("10.0.0.0/8", {"value": "eleven"})  # a new record: new strings
    assert e.lookup_value("10.2.3.4") == "eleven" and b["value"] == "ten"


def test_answers_survive_their_record_and_the_engine():
    e = engine("lockfree")
    kept = [e.lookup("10.2.3.4"), e.lookup_value("2001:db8::5"), e.items()]
    e.remove("10.0.0.0/8")
    e.clear()
    del e
    gc.collect()
    assert kept[0] == {"value": "ten", "attributes": {"asn": "AS1", "k": "v"}} and kept[1] == "doc"
    assert [p for p, _ in kept[2]] == ["10.0.0.0/8", "10.1.0.0/16", "2001:db8::/32"]
