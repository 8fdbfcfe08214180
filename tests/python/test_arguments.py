"""Argument binding, conversion errors with their notes, and the prefix and
address grammars as seen from Python."""

import itertools
import os

import pytest

import netrove
from netrove import RadixEngine

from conftest import ALLOW, raised

# Call shapes, written with placeholder parameter names P0 and P1.  Each is
# applied to a RadixEngine method and to a built-in function of the same
# parameter list, and the two TypeError messages must agree word for word.
ONE_PARAM_CALLS = [
    ((), {}),
    (("a", "b"), {}),
    (("a", "b", "c"), {}),
    ((), {"foo": 1}),
    (("a",), {"foo": 1}),
    (("a",), {"P0": 1}),
    ((), {"P0": "a", "foo": 1}),
]
TWO_PARAM_CALLS = [
    ((), {}),
    (("a",), {}),
    ((), {"P1": 1}),
    (("a",), {"P0": 1}),
    (("a",), {"foo": 1}),
    ((), {"P0": "a", "foo": 1}),
    (("a", {}, 2), {}),
    ((), {"P0": "a", "P1": {}, "foo": 1}),
    (("a",), {"P1": {}, "foo": 1}),
    (("a", {}), {"P0": "a"}),
]


def _named(kwargs, names):
    return {names.get(k, k): v for k, v in kwargs.items()}


def _message(fn, args, kwargs):
    e = raised(fn, *args, **kwargs)
    assert type(e) is TypeError, e
    return str(e)


@pytest.mark.parametrize("method", ["lookup", "remove", "contains", "match", "covering", "covered", "get"])
@pytest.mark.parametrize("args,kwargs", ONE_PARAM_CALLS)
def test_one_parameter_binding_matches_the_interpreter(method, args, kwargs):
    param = "ip" if method in ("lookup", "contains", "match", "covering") else "subnet"
    ours = _message(getattr(RadixEngine(), method), args, _named(kwargs, {"P0": param}))
    theirs = _message(os.fspath, args, _named(kwargs, {"P0": "path"}))
    expected = theirs.replace("fspath()", f"RadixEngine.{method}()").replace("'path'", f"'{param}'")
    assert ours == expected


@pytest.mark.parametrize("args,kwargs", TWO_PARAM_CALLS)
def test_insert_binding_matches_the_interpreter(args, kwargs):
    ours = _message(RadixEngine().insert, args, _named(kwargs, {"P0": "subnet", "P1": "metadata"}))
    theirs = _message(itertools.combinations, args, _named(kwargs, {"P0": "iterable", "P1": "r"}))
    expected = (theirs.replace("combinations()", "RadixEngine.insert()")
                .replace("'iterable'", "'subnet'").replace("'r'", "'metadata'"))
    assert ours == expected


def test_binding_messages_spelled_out():
    e = RadixEngine()
    assert _message(e.insert, ("10.0.0.0/8",), {}) == "RadixEngine.insert() missing required argument 'metadata' (pos 2)"
    assert _message(e.lookup, ("1.2.3.4", "x"), {}) == "RadixEngine.lookup() takes at most 1 argument (2 given)"
    assert _message(e.lookup, (), {}) == "RadixEngine.lookup() missing required argument 'ip' (pos 1)"
    assert _message(e.remove, (), {"ip": "x"}) == "RadixEngine.remove() missing required argument 'subnet' (pos 1)"
    assert _message(e.clear, (1,), {}) == "RadixEngine.clear() takes no arguments (1 given)"
    assert _message(e.stats, (), {"x": 1}) == "RadixEngine.stats() takes no keyword arguments"


def test_keywords_bind_like_positions():
    e = RadixEngine("standard")
    assert e.insert(metadata=ALLOW, subnet="10.0.0.0/8") is None
    assert e.lookup(ip="10.1.2.3") == ALLOW
    assert e.contains(ip="10.1.2.3") is True
    assert e.remove(subnet="10.0.0.0/8") is True


class Text(str):
    pass


class Mapping(dict):
    def __getitem__(self, key):  # never consulted: plain dict lookups only
        raise AssertionError("__getitem__ called")


@pytest.mark.parametrize(
    "call,exc,message,notes",
    [
        (lambda e: e.insert(1, {}), TypeError, "'int' object is not an instance of 'str'", ["while processing 'subnet'"]),
        (lambda e: e.insert(None, {}), TypeError, "'None' is not an instance of 'str'", ["while processing 'subnet'"]),
        (lambda e: e.insert(b"10.0.0.0/8", {}), TypeError, "'bytes' object is not an instance of 'str'",
         ["while processing 'subnet'"]),
        (lambda e: e.insert("10.0.0.0/8", [("value", "x")]), TypeError, "'list' object is not an instance of 'dict'",
         ["while processing 'metadata'"]),
        (lambda e: e.insert("10.0.0.0/8", None), TypeError, "'None' is not an instance of 'dict'",
         ["while processing 'metadata'"]),
        # The parameters are converted in order: a bad subnet type is reported
        # before a bad metadata type, a bad metadata type before bad CIDR text.
        (lambda e: e.insert(1, 1), TypeError, "'int' object is not an instance of 'str'", ["while processing 'subnet'"]),
        (lambda e: e.insert("bad", 1), TypeError, "'int' object is not an instance of 'dict'",
         ["while processing 'metadata'"]),
        # Bad CIDR text is reported before a bad metadata dict.
        (lambda e: e.insert("bad", {"value": 1}), ValueError, "Invalid CIDR 'bad': invalid address: bad", None),
        (lambda e: e.insert("10.0.0.0/8", {"value": None}), TypeError, "'None' is not an instance of 'str'", None),
        (lambda e: e.insert("10.0.0.0/8", {"value": 3}), TypeError, "'int' object is not an instance of 'str'", None),
        (lambda e: e.insert("10.0.0.0/8", {"attributes": []}), TypeError, "'attributes' must be a dict", None),
        (lambda e: e.insert("10.0.0.0/8", {"attributes": None}), TypeError, "'attributes' must be a dict", None),
        (lambda e: e.insert("10.0.0.0/8", {"attributes": {"asn": 1234}}), TypeError,
         "'int' object is not an instance of 'str'", None),
        (lambda e: e.insert("10.0.0.0/8", {"attributes": {1: "x"}}), TypeError,
         "'int' object is not an instance of 'str'", None),
        # "value" is converted before "attributes" is looked at.
        (lambda e: e.insert("10.0.0.0/8", {"attributes": [], "value": 1}), TypeError,
         "'int' object is not an instance of 'str'", None),
        (lambda e: e.lookup(1), TypeError, "'int' object is not an instance of 'str'", ["while processing 'ip'"]),
        (lambda e: e.contains([]), TypeError, "'list' object is not an instance of 'str'", ["while processing 'ip'"]),
        (lambda e: e.remove(2.0), TypeError, "'float' object is not an instance of 'str'", ["while processing 'subnet'"]),
        (lambda e: e.lookup(Mapping()), TypeError, "'Mapping' object is not an instance of 'str'",
         ["while processing 'ip'"]),
        (lambda e: e.lookup("1.2.3"), ValueError, "Invalid IP address: 1.2.3", None),
        (lambda e: e.contains("x"), ValueError, "Invalid IP address: x", None),
        (lambda e: e.remove("10.0.0.0/33"), ValueError,
         "Invalid CIDR '10.0.0.0/33': invalid address: 10.0.0.0/33", None),
    ],
)
def test_conversion_errors(engine, call, exc, message, notes):
    e = raised(call, engine)
    assert type(e) is exc
    assert str(e) == message
    assert getattr(e, "__notes__", None) == notes
    assert len(engine) == 0  # a failing call stores nothing


def _failure(fn, arg):
    e = raised(fn, arg)
    return type(e), str(e), getattr(e, "__notes__", None)


@pytest.mark.parametrize("method,twin", [("match", "lookup"), ("covering", "lookup"), ("covered", "remove"),
                                         ("get", "remove")])
@pytest.mark.parametrize("bad", [5, None, b"10.0.0.0/8", "", "1.2.3", "10.0.0.0/33", "10.0.0.0/8 ", "::ffff:1.2.3",
                                 "\ud800"], ids=repr)
def test_entry_queries_fail_like_lookup_and_remove(method, twin, bad):
    e = RadixEngine("standard")
    assert _failure(getattr(e, method), bad) == _failure(getattr(e, twin), bad)


@pytest.mark.parametrize(
    "args,exc,message",
    [
        ((None, 5), TypeError, "RadixEngine state must be a list of (prefix, metadata) pairs"),
        ((None, [("10.0.0.0/8",)]), TypeError, "RadixEngine state must be a list of (prefix, metadata) pairs"),
        ((None, [("10.0.0.0/33", {})]), ValueError, "Invalid CIDR '10.0.0.0/33': invalid address: 10.0.0.0/33"),
        ((None, [("10.0.0.0/8", [])]), TypeError, "'list' object is not an instance of 'dict'"),
        ((None, [("10.0.0.0/8", {"attributes": 1})]), TypeError, "'attributes' must be a dict"),
        ((1, []), TypeError, "'int' object is not an instance of 'str'"),
        ((None,), TypeError, "__restore__ expected 2 arguments, got 1"),
    ],
)
def test_restore_rejects_malformed_states(args, exc, message):
    e = raised(netrove.__restore__, *args)
    assert (type(e), str(e)) == (exc, message)


def test_nested_class_qualname_in_messages():
    class Outer:
        class Inner:
            pass

    e = raised(RadixEngine().lookup, Outer.Inner())
    assert str(e) == "'test_nested_class_qualname_in_messages.<locals>.Outer.Inner' object is not an instance of 'str'"


@pytest.mark.parametrize(
    "call,note",
    [
        (lambda e: e.insert("\ud800/8", {}), ["while processing 'subnet'"]),
        (lambda e: e.lookup("1.2.3.\udfff"), ["while processing 'ip'"]),
        (lambda e: e.remove("\udc00"), ["while processing 'subnet'"]),
        (lambda e: e.insert("10.0.0.0/8", {"value": "\ud800"}), None),
        (lambda e: e.insert("10.0.0.0/8", {"attributes": {"k": "\ud800"}}), None),
    ],
)
def test_surrogates_raise_the_encoding_error(call, note):
    e = raised(call, RadixEngine())
    assert isinstance(e, UnicodeEncodeError)
    assert getattr(e, "__notes__", None) == note


def test_metadata_conversion_rules(engine):
    engine.insert("10.0.0.0/8", {})
    assert engine.lookup("10.1.2.3") == {"value": "", "attributes": {}}
    engine.insert("11.0.0.0/8", {"value": "v", "other": object(), 3: 4})
    assert engine.lookup("11.1.1.1") == {"value": "v", "attributes": {}}
    engine.insert("12.0.0.0/8", {"attributes": {"a": "1", "b": "2"}})
    assert engine.lookup("12.0.0.1") == {"value": "", "attributes": {"a": "1", "b": "2"}}
    engine.insert("13.0.0.0/8", Mapping(value=Text("sub"), attributes=Mapping(k=Text("v"))))
    got = engine.lookup("13.0.0.1")
    assert got == {"value": "sub", "attributes": {"k": "v"}}
    assert type(got["value"]) is str and type(got["attributes"]) is dict
    unicode = {"value": "caf\u00e9 \u2014 \U0001f600", "attributes": {"\u00fc": "\u4e2d\u6587", "": ""}}
    engine.insert("14.0.0.0/8", unicode)
    assert engine.lookup("14.0.0.1") == unicode
    embedded = {"value": "a\0b", "attributes": {"k\0": "\0"}}
    engine.insert("15.0.0.0/8", embedded)
    assert engine.lookup("15.0.0.1") == embedded


def test_result_dicts_are_fresh_with_value_first(engine):
    meta = {"attributes": {"asn": "AS1"}, "value": "x"}
    engine.insert("10.0.0.0/8", meta)
    a, b = engine.lookup("10.0.0.1"), engine.lookup("10.0.0.1")
    assert list(a) == ["value", "attributes"]
    assert a == b and a is not b and a["attributes"] is not b["attributes"]
    a["attributes"]["asn"] = "changed"
    meta["attributes"]["asn"] = "changed too"
    assert engine.lookup("10.0.0.1")["attributes"] == {"asn": "AS1"}


def test_str_subclass_arguments(engine):
    engine.insert(Text("10.0.0.0/8"), ALLOW)
    assert engine.lookup(Text("10.9.9.9")) == ALLOW
    assert engine.contains(Text("10.9.9.9"))
    assert engine.remove(Text("10.0.0.0/8"))
    e = raised(engine.lookup, Text("nope"))
    assert str(e) == "Invalid IP address: nope"


# --- grammars ---------------------------------------------------------------

EQUIVALENT_TO_SLASH_8 = ["10.0.0.0/8", "10.0.0.0/+8", "10.0.0.0/08", "10.0.0.0/0008", "10.0.0.0/255.0.0.0",
                         "10.1.2.3/8", "10.255.255.255/255.0.0.0"]


@pytest.mark.parametrize("text", EQUIVALENT_TO_SLASH_8)
def test_prefix_forms_of_slash_8(engine, text):
    engine.insert(text, ALLOW)
    assert len(engine) == 1
    assert engine.lookup("10.200.0.1") == ALLOW
    assert engine.lookup("11.0.0.0") is None
    assert engine.remove("10.0.0.0/8") is True  # the same entry
    assert len(engine) == 0


@pytest.mark.parametrize(
    "text,inside,outside",
    [
        ("10.0.0.1", "10.0.0.1", "10.0.0.2"),  # no length: the full width
        ("2001:db8::", "2001:db8::", "2001:db8::1"),
        ("0.0.0.0/0", "255.255.255.255", "::"),
        ("::/0", "ffff::1", "0.0.0.0"),
        ("10.0.0.0/255.255.255.252", "10.0.0.3", "10.0.0.4"),
        ("10.0.0.0/0.0.0.0", "200.1.1.1", "::1"),
        ("2001:db8::1/32", "2001:db8:ffff::", "2001:db9::"),
        ("::ffff:10.0.0.0/104", "::ffff:10.9.9.9", "10.9.9.9"),
        ("fe80::/10", "febf::1", "fec0::"),
        ("1:2:3:4:5:6:7:8/128", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:9"),
        ("::1.2.3.4/128", "::102:304", "1.2.3.4"),
        ("10.0.0.0/32", "10.0.0.0", "10.0.0.1"),
        ("2001:DB8::/+032", "2001:db8::5", "2001:db9::"),
    ],
)
def test_prefix_grammar_accepts(engine, text, inside, outside):
    engine.insert(text, ALLOW)
    assert engine.contains(inside)
    assert not engine.contains(outside)


@pytest.mark.parametrize(
    "text",
    ["10.0.0.0/33", "10.0.0.0/8/8", " 10.0.0.0/8", "10.0.0.0/8 ", "10.0.0.0/", "10.0.0.0/-8", "10.0.0.0/8.0",
     "10.0.0.0/255.0.255.0", "10.0.0.0/0.255.0.0", "010.0.0.0/8", "10.0.0/8", "10.0.0.0.0/8", "256.0.0.0/8",
     "10.0.0.0/ 8", "10.0.0.0/++8", "/8", "", "2001:db8::/129", "2001:db8::/ffff::", "[2001:db8::]/32",
     "fe80::1%eth0/64", "1:2:3:4:5:6:7:8:9/64", "1::2::3/64", "2001:db8::/32/1", "10.0.0.0/1e1",
     "10.0.0.0/\u0668", "\uff11.0.0.0/8", "10.0.0.0\0/8", "10.0.0.0/99999999999999999999"],
)
def test_prefix_grammar_rejects(engine, text):
    e = raised(engine.insert, text, ALLOW)
    assert type(e) is ValueError
    assert str(e) == f"Invalid CIDR '{text}': invalid address: {text}"
    e = raised(engine.remove, text)
    assert type(e) is ValueError and str(e) == f"Invalid CIDR '{text}': invalid address: {text}"
    assert len(engine) == 0


@pytest.mark.parametrize("text", ["::1", "0.0.0.0", "255.255.255.255", "::", "::ffff:10.1.2.3", "2001:DB8::1",
                                  "1:2:3:4:5:6:7:8", "1::", "::1.2.3.4", "fe80::1:2"])
def test_address_grammar_accepts(engine, text):
    assert engine.lookup(text) is None
    assert engine.contains(text) is False


@pytest.mark.parametrize(
    "text",
    ["1.2.3", "01.2.3.4", "1.2.3.4 ", " 1.2.3.4", "1.2.3.4/32", "1.2.3.256", "1.2.3.4.5", "", "::1/128",
     "1.2.3.4::", "::1 ", "fe80::1%eth0", "[::1]", "12345::", ":::", "1.2.3.-4", "1.2.3.+4", "\u0661.2.3.4",
     "1.2.3.4\0", "0x1.2.3.4"],
)
def test_address_grammar_rejects(engine, text):
    for method in (engine.lookup, engine.contains):
        e = raised(method, text)
        assert type(e) is ValueError
        assert str(e) == f"Invalid IP address: {text}"
        assert getattr(e, "__notes__", None) is None
