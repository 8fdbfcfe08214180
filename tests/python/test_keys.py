"""Keys as the peers' users write them: ipaddress objects and packed bytes
wherever a text is taken, prefixes as keys of the longest-match queries,
parent(), and the mapping protocol.  Every form answers and counts exactly
as its text does, on every variant; prefix keys agree with a brute-force
oracle over random nested prefixes of both families."""

import ipaddress
import random

import pytest

from netrove import RadixEngine

from conftest import VARIANTS, raised
from oracle import Oracle
from test_differential import make_pool


def address_forms(text):
    """Every way to pass the address `text`."""
    a = ipaddress.ip_address(text)
    return [text, a, a.packed]


def prefix_forms(text):
    """Every way to pass the prefix `text` (host bits kept where a form can)."""
    net = ipaddress.ip_network(text, strict=False)
    forms = [text, net, ipaddress.ip_interface(text)]
    if net.prefixlen == net.max_prefixlen:
        forms += [net.network_address, net.network_address.packed]
    return forms


def outcome(fn, *args):
    """("ok", what fn returned), or (exception type, its args)."""
    try:
        return "ok", fn(*args)
    except (KeyError, ValueError, TypeError) as e:
        return type(e), e.args


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_every_form_of_a_key_answers_and_counts_as_its_text(variant):
    prefixes, addresses = make_pool(7)
    rng = random.Random(7)
    by_text, by_form = RadixEngine(variant), RadixEngine(variant)
    for i, p in enumerate(prefixes):
        meta = {"value": f"v{i}", "attributes": {"i": str(i)}}
        by_text.insert(p, meta)
        by_form.insert(rng.choice(prefix_forms(p)), meta)
    assert by_form.items() == by_text.items()
    for a in addresses:
        for form in address_forms(a):
            for call in ("lookup", "contains", "lookup_value", "match", "covering", "__getitem__", "__contains__"):
                want = outcome(getattr(by_text, call), a)
                assert outcome(getattr(by_form, call), form) == (want if call != "__getitem__" or want[0] == "ok"
                                                                 else (KeyError, (form,))), (call, a, form)
    for p in prefixes:
        for form in prefix_forms(p):
            # An address given where a key may be either is an address (a
            # lookup, counted), as its text without "/32" is.
            as_key = str(ipaddress.ip_address(form)) if isinstance(form, (bytes, ipaddress.IPv4Address,
                                                                          ipaddress.IPv6Address)) and \
                not isinstance(form, (ipaddress.IPv4Interface, ipaddress.IPv6Interface)) else p
            for call in ("get", "covered", "parent", "match", "covering", "__contains__"):
                text = as_key if call in ("match", "covering", "__contains__") else p
                assert getattr(by_form, call)(form) == getattr(by_text, call)(text), (call, p, form)
    batch = [rng.choice(address_forms(a)) for a in addresses]
    assert by_form.lookup_many(batch) == by_text.lookup_many(addresses)
    assert by_form.lookup_values(batch) == by_text.lookup_values(addresses)
    assert by_form.contains_many(tuple(batch)) == by_text.contains_many(addresses)
    assert by_form.stats() == by_text.stats()
    for p in prefixes:
        form = rng.choice(prefix_forms(p))
        assert by_form.remove(form) == by_text.remove(p), (p, form)
    by_form.insert_many([(rng.choice(prefix_forms(p)), {"value": p}) for p in prefixes])
    by_text.insert_many([(p, {"value": p}) for p in prefixes])
    assert by_form.items() == by_text.items() and by_form.stats() == by_text.stats()


@pytest.mark.parametrize("seed", range(4))
def test_prefix_keys_match_the_oracle(seed):
    prefixes, addresses = make_pool(seed, size=40)
    rng = random.Random(seed)
    engine, oracle = RadixEngine("standard" if seed % 2 else None), Oracle()
    for i, p in enumerate(prefixes):
        if rng.random() < 0.7:
            engine.insert(p, {"value": f"v{i}"})
            oracle.insert(p, {"value": f"v{i}"})
    # Keys: every stored prefix and its neighbours, shorter and longer.
    keys = set(prefixes)
    for p in prefixes:
        net = ipaddress.ip_network(p, strict=False)
        for length in {0, max(net.prefixlen - 1, 0), min(net.prefixlen + 1, net.max_prefixlen), net.max_prefixlen}:
            keys.add(f"{net.network_address}/{length}")
    for key in sorted(keys):
        form = rng.choice(prefix_forms(key)[:3])  # a prefix, not an address
        want = oracle.covering(key)
        assert engine.covering(form) == want, key
        assert engine.match(form) == (want[0] if want else None), key
        assert engine.parent(form) == oracle.parent(key), key
        assert (form in engine) is bool(want), key
        got = raised(engine.__getitem__, form) if not want else engine[form]
        assert got == want[0][1] if want else (type(got) is KeyError and got.args == (form,)), key
    assert engine.stats()["lookups"] == 0  # prefix keys count nothing


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_the_mapping_protocol_is_the_calls_it_names(variant):
    e, o = RadixEngine(variant), Oracle(cached=variant is not None)
    e["10.0.0.0/8"] = {"value": "ten"}
    o.insert("10.0.0.0/8", {"value": "ten"})
    e[ipaddress.ip_network("2001:db8::/32")] = {"value": "doc", "attributes": {"a": "b"}}
    o.insert("2001:db8::/32", {"value": "doc", "attributes": {"a": "b"}})
    for ip in ("10.1.2.3", "11.0.0.1", "2001:db8::1", "10.1.2.3"):
        want = o.lookup(ip)
        assert (e[ip] if want else raised(e.__getitem__, ip).args) == (want or (ip,))
        assert (ip in e) is (o.lookup(ip) is not None)
    assert e.stats() == o.stats()
    del e["10.0.0.0/8"]
    o.remove("10.0.0.0/8")
    got = raised(e.__delitem__, "10.0.0.0/8")
    assert type(got) is KeyError and got.args == ("10.0.0.0/8",)
    assert e.stats() == o.stats() and len(e) == 1
    # Iteration walks a snapshot: changing the table meanwhile is safe.
    for i in range(5):
        e[f"10.{i}.0.0/16"] = {}
    seen = []
    for key in e:
        seen.append(key)
        e.remove(key)
        e[f"11.{len(seen)}.0.0/16"] = {}
    assert seen == ["10.0.0.0/16", "10.1.0.0/16", "10.2.0.0/16", "10.3.0.0/16", "10.4.0.0/16", "2001:db8::/32"]
    assert e.keys() == [k for k, _ in e.items()] == list(e)
    assert e.values() == [v for _, v in e.items()]
