"""What a caller reads and may rely on, each checked once: the module's
names and docstrings, the exceptions (type, text, notes) of every call, the
binding of arguments, and the prefix and address grammars as texts the
engine accepts or refuses."""

import ast
import inspect
from ipaddress import ip_address, ip_network
from array import array
import itertools
import os
from pathlib import Path

import pytest

import netrove
from netrove import RadixEngine

from conftest import raised

CLASS_DOC = """High-performance IP radix-tree engine.

Example::

    from netrove import RadixEngine

    engine = RadixEngine()
    engine.insert("10.0.0.0/8", {"value": "allow", "attributes": {"asn": "AS1234"}})

    match = engine.lookup("10.1.2.3")
    print(match["value"])   # "allow"
"""
DOCS = {
    "insert": "Insert a CIDR prefix with associated metadata dict.\n\nParameters\n----------\nsubnet : str\n    CIDR "
              "notation, e.g. ``\"10.0.0.0/8\"``.\nmetadata : dict\n    Must contain at least ``{\"value\": str, "
              "\"attributes\": dict}``.",
    "lookup": "Longest-prefix match.\n\nReturns a metadata dict on match, or ``None``.",
    "remove": "Remove a prefix.  Returns ``True`` if the entry existed.",
    "contains": "Returns ``True`` if any stored prefix covers the given IP.",
    "clear": "Remove all entries.",
    "stats": "Engine performance statistics.",
}
SIGNATURES = {"insert": "subnet, metadata", "insert_many": "items", "lookup_many": "ips, *, family=None",
              "contains_many": "ips, *, family=None", "lookup_values": "ips, *, family=None", "lookup_value": "ip",
              "lookup": "ip", "contains": "ip", "match": "ip", "covering": "ip", "remove": "subnet",
              "covered": "subnet", "get": "subnet", "parent": "subnet", "clear": "", "stats": "", "items": "", "keys": "",
              "values": "", "follow_stats": ""}


def test_module_names_docstrings_and_signatures():
    assert netrove.__doc__ == "Netrove \u2014 high-performance IP subnet longest-prefix matching engine."
    assert netrove.__all__ == ["RadixEngine", "version", "StoreError"]
    assert [n for n in vars(netrove) if not n.startswith("__") or n == "__all__"] == netrove.__all__ + ["__all__"]
    assert netrove.version() == "1.1.1" and str(inspect.signature(netrove.version)) == "()"
    assert issubclass(netrove.StoreError, ConnectionError) and not hasattr(netrove, "PanicException")
    assert repr(RadixEngine) == "<class 'builtins.RadixEngine'>" and RadixEngine.__qualname__ == "RadixEngine"
    assert RadixEngine.__doc__ == CLASS_DOC and str(inspect.signature(RadixEngine)) == "(variant=None)"
    assert RadixEngine.__init__ is object.__init__  # all set-up happens in __new__
    assert str(inspect.signature(RadixEngine.from_redis)) == "(url, variant=None, *, follow=True)"
    for name, params in SIGNATURES.items():
        assert getattr(RadixEngine, name).__text_signature__ == f"($self{', ' * bool(params)}{params})", name
    for name, doc in DOCS.items():
        assert getattr(RadixEngine, name).__doc__ == doc, name
    with pytest.raises(TypeError):
        type("Sub", (RadixEngine,), {})  # not a base type


class Outer:
    class Inner:
        pass


def NOT(kind, want="str"):
    return f"'{kind}' object is not an instance of '{want}'"


BAD_CIDR = "Invalid CIDR '10.0.0.0/33': invalid address: 10.0.0.0/33"
STATE = "RadixEngine state must be a list of (prefix, metadata) pairs"
SNAP = "malformed RadixEngine snapshot: "
NONE_STR = "'None' is not an instance of 'str'"
# (a call on `e`, a standard engine holding 10.0.0.0/8; the exception's type;
# its text, None when the interpreter's; the notes, each after "while processing ")
ERRORS = [
    ("e.insert(1, {})", TypeError, NOT("int"), "'subnet'"),
    ("e.insert(None, 1)", TypeError, NONE_STR, "'subnet'"),
    ("e.insert(b'10.0.0.0/8', {})", TypeError, NOT("bytes"), "'subnet'"),
    ("e.insert('bad', [('value', 'x')])", TypeError, NOT("list", "dict"), "'metadata'"),
    ("e.insert('bad', {'value': 1})", ValueError, "Invalid CIDR 'bad': invalid address: bad"),
    ("e.insert('1.0.0.0/8', {'value': None})", TypeError, NONE_STR),
    ("e.insert('1.0.0.0/8', {'attributes': [], 'value': 1})", TypeError, NOT("int")),
    ("e.insert('1.0.0.0/8', {'attributes': None})", TypeError, "'attributes' must be a dict"),
    ("e.insert('1.0.0.0/8', {'attributes': {1: 'x'}})", TypeError, NOT("int")),
    ("e.insert('1.0.0.0/8', {'attributes': {'asn': 1}})", TypeError, NOT("int")),
    ("e.insert('\\ud800/8', {})", UnicodeEncodeError, None, "'subnet'"),
    ("e.insert('1.0.0.0/8', {'attributes': {'k': '\\ud800'}})", UnicodeEncodeError, None),
    ("e.lookup(Outer.Inner())", TypeError, NOT("Outer.Inner"), "'ip'"),
    ("e.lookup('1.2.3.\\udfff')", UnicodeEncodeError, None, "'ip'"),
    ("e.contains([])", TypeError, NOT("list"), "'ip'"),
    ("e.contains('x')", ValueError, "Invalid IP address: x"),
    ("e.remove(2.0)", TypeError, NOT("float"), "'subnet'"),
    ("e.remove('10.0.0.0/33')", ValueError, BAD_CIDR),
    ("e.match(5)", TypeError, NOT("int"), "'ip'"),
    ("e.covering('1.2.3')", ValueError, "Invalid IP address: 1.2.3"),
    ("e.covered(None)", TypeError, NONE_STR, "'subnet'"),
    ("e.get('10.0.0.0/33')", ValueError, BAD_CIDR),
    ("e.lookup_many(['10.1.1.1', '10.1.1.1', 5])", TypeError, NOT("int"), "'ip'", "element 2 of 'ips'"),
    ("e.lookup_many(iter(['1.2.3']))", ValueError, "Invalid IP address: 1.2.3", "element 0 of 'ips'"),
    ("e.contains_many(('::1', '\\ud800'))", UnicodeEncodeError, None, "'ip'", "element 1 of 'ips'"),
    ("e.contains_many(['::1'] * 7 + [None])", TypeError, NONE_STR, "'ip'", "element 7 of 'ips'"),
    ("e.lookup_many('10.1.1.1' if n else {}[n] for n in (1, 0))", KeyError, "0"),  # the iterator's own error
    ("e.insert_many(('1.0.0.0/8', {}) if n else {}[n] for n in (1, 0))", KeyError, "0"),
    ("e.lookup_many(5)", TypeError, "'int' object is not iterable", "'ips'"),
    ("e.lookup_value('1.2.3')", ValueError, "Invalid IP address: 1.2.3"),
    ("e.lookup(ip_network('10.0.0.0/8'))", TypeError, NOT("IPv4Network"), "'ip'"),
    ("e.contains(b'123')", TypeError, NOT("bytes"), "'ip'"),
    ("e.lookup(ip_address('fe80::1%eth0'))", ValueError, "Invalid IP address: fe80::1%eth0"),
    ("e.remove(ip_network('fe80::%eth0/64'))", ValueError,
     "Invalid CIDR 'fe80::%eth0/64': invalid address: fe80::%eth0/64"),
    ("e.get(bytes(5))", TypeError, NOT("bytes"), "'subnet'"),
    ("e.parent('10.0.0.0/33')", ValueError, BAD_CIDR),
    ("e.match('10.0.0.0/33')", ValueError, BAD_CIDR),
    ("e.covering('10.0.0.0/8 ')", ValueError, "Invalid CIDR '10.0.0.0/8 ': invalid address: 10.0.0.0/8 "),
    ("e[5]", TypeError, NOT("int"), "'key'"),
    ("e['1.2.3']", ValueError, "Invalid IP address: 1.2.3"),
    ("e.__contains__(None)", TypeError, NONE_STR, "'key'"),
    ("e.__setitem__(5, {})", TypeError, NOT("int"), "'subnet'"),
    ("e.__setitem__('10.0.0.0/8', [])", TypeError, NOT("list", "dict"), "'metadata'"),
    ("e.__delitem__('10.0.0.0/33')", ValueError, BAD_CIDR),
    ("e.insert_many([(ip_network('1.0.0.0/8'), {}), (5, {})])", TypeError, NOT("int"), "'subnet'",
     "element 1 of 'items'"),
    ("e.lookup_many([ip_address('1.2.3.4'), ip_network('1.0.0.0/8')])", TypeError, NOT("IPv4Network"), "'ip'",
     "element 1 of 'ips'"),
    ("e.lookup_value(ip=b'1.2.3.4')", TypeError, NOT("bytes"), "'ip'"),
    ("e.lookup_values(['::1', 7])", TypeError, NOT("int"), "'ip'", "element 1 of 'ips'"),
    ("e.lookup_many([], family=5)", ValueError, "family must be 4 or 6, not 5", "'family'"),
    ("e.contains_many([], family='4')", TypeError, NOT("str", "int"), "'family'"),
    ("e.lookup_values(['1.2.3.4'], family=4)", TypeError, "family=4 takes an object with the buffer protocol, not 'list'",
     "'ips'"),
    ("e.lookup_many(array('d', [1.0]), family=4)", ValueError,
     "family=4 takes items of 4 bytes (integers) or 1 byte (4-byte rows), not 8", "'ips'"),
    ("e.lookup_many(array('f', [1.0]), family=4)", TypeError, "family=4 takes integer items of 4 bytes, not format 'f'",
     "'ips'"),
    ("e.contains_many(b'12345', family=4)", ValueError, "family=4 takes whole 4-byte rows, not 5 bytes", "'ips'"),
    ("e.lookup_values(bytearray(20), family=6)", ValueError, "family=6 takes whole 16-byte rows, not 20 bytes", "'ips'"),
    ("e.lookup_many(array('I', [1, 2, 3, 4]), family=6)", ValueError,
     "family=6 takes items of 16 bytes or 1 byte (16-byte rows), not 4", "'ips'"),
    ("e.contains_many(memoryview(bytes(16))[::2], family=4)", ValueError, "family=4 takes a C-contiguous buffer", "'ips'"),
    ("e.lookup_many(['1.2.3.4'], 4)", TypeError, "RadixEngine.lookup_many() takes exactly 1 positional argument (2 given)"),
    ("e.lookup_values(ips=[], family=4, x=1)", TypeError, "RadixEngine.lookup_values() takes at most 2 keyword "
     "arguments (3 given)"),
    ("e.insert_many(5)", TypeError, "'int' object is not iterable", "'items'"),
    ("e.insert_many([('1.0.0.0/8', {})] * 3 + [5])", TypeError, "'int' object is not a (subnet, metadata) pair",
     "element 3 of 'items'"),
    ("e.insert_many([('1.0.0.0/8',)])", ValueError, "a (subnet, metadata) pair has 2 elements, not 1",
     "element 0 of 'items'"),
    ("e.insert_many(iter([('1.0.0.0/8', {}), ('1.0.0.0/8', {}, 1)]))", ValueError,
     "a (subnet, metadata) pair has 2 elements, not 3", "element 1 of 'items'"),
    ("e.insert_many([('1.0.0.0/8', {}), (1, {})])", TypeError, NOT("int"), "'subnet'", "element 1 of 'items'"),
    ("e.insert_many({'1.0.0.0/8': {}, '2.0.0.0/8': []})", TypeError, NOT("list", "dict"), "'metadata'",
     "element 1 of 'items'"),
    ("e.insert_many([('1.0.0.0/8', {}), ('10.0.0.0/33', {})])", ValueError, BAD_CIDR, "element 1 of 'items'"),
    ("e.insert_many([('1.0.0.0/8', {'attributes': []})])", TypeError, "'attributes' must be a dict",
     "element 0 of 'items'"),
    ("RadixEngine(1)", TypeError, NOT("int"), "'variant'"),
    ("RadixEngine(variant=b'standard')", TypeError, NOT("bytes"), "'variant'"),
    ("RadixEngine('\\udc80')", UnicodeEncodeError, None, "'variant'"),
    ("RadixEngine.from_redis(5)", TypeError, NOT("int"), "'url'"),
    ("RadixEngine.from_redis('redis://127.0.0.1:1', 1.5)", TypeError, NOT("float"), "'variant'"),
    ("netrove.__restore__(None, 5)", TypeError, STATE),
    ("netrove.__restore__(None, [('10.0.0.0/8',)])", TypeError, STATE),
    ("netrove.__restore__(None, [('10.0.0.0/33', {})])", ValueError, BAD_CIDR),
    ("netrove.__restore__(None, [('10.0.0.0/8', [])])", TypeError, NOT("list", "dict"), "'metadata'"),
    ("netrove.__restore__(1, [])", TypeError, NOT("int"), "'variant'"),
    ("netrove.__restore__(None, b'junk')", ValueError, SNAP + "not a netrove snapshot (no magic)"),
    ("netrove.__restore__(None, b'NRVS\\x02')", ValueError, SNAP + "unsupported snapshot version 2"),
    ("netrove.__restore__(None, b'NRVS\\x01\\x05')", ValueError, SNAP + "truncated before the records"),
    ("netrove.__restore__(None, b'NRVS\\x01\\x01\\x00\\x01v\\x01\\x08\\x0a\\x01\\x00')", ValueError,
     SNAP + "IPv4 entry 0: record index 1 out of range"),
    ("netrove.__restore__(None, b'NRVS\\x01\\x01\\x00\\x01v\\x01\\x08\\x0a\\x00\\x00\\x00')", ValueError,
     SNAP + "1 bytes after the last entry"),
    ("netrove.__restore__(None)", TypeError, "__restore__ expected 2 arguments, got 1"),
    ("netrove.version(1)", TypeError, "netrove.version() takes no arguments (1 given)"),
    ("e.insert('10.0.0.0/8')", TypeError, "RadixEngine.insert() missing required argument 'metadata' (pos 2)"),
    ("e.remove(ip='x')", TypeError, "RadixEngine.remove() missing required argument 'subnet' (pos 1)"),
    ("e.clear(1)", TypeError, "RadixEngine.clear() takes no arguments (1 given)"),
    ("e.stats(x=1)", TypeError, "RadixEngine.stats() takes no keyword arguments"),
    ("RadixEngine('a', 'b')", TypeError, "RadixEngine.__new__() takes at most 1 argument (2 given)"),
    ("RadixEngine(foo=1)", TypeError, "'foo' is an invalid keyword argument for RadixEngine.__new__()"),
    ("RadixEngine(variant=None, x=1)", TypeError, "RadixEngine.__new__() takes at most 1 keyword argument (2 given)"),
    ("RadixEngine(follow=True)", TypeError, None),
    ("RadixEngine.from_redis('redis://127.0.0.1:1', None, True)", TypeError, None),  # follow is keyword-only
]


@pytest.mark.parametrize("call,exc,text,notes", [(*row[:3], row[3:]) for row in ERRORS], ids=[r[0] for r in ERRORS])
def test_errors_and_their_notes(call, exc, text, notes):
    e = RadixEngine("standard")
    e.insert("10.0.0.0/8", {"value": "v"})
    before = e.stats()
    got = raised(eval, call, {"e": e, "RadixEngine": RadixEngine, "netrove": netrove, "Outer": Outer, "array": array,
                              "ip_address": ip_address, "ip_network": ip_network})
    assert type(got) is exc and (text is None or str(got) == text), got
    assert getattr(got, "__notes__", None) == ([f"while processing {n}" for n in notes] or None)
    assert e.stats() == before and e.items() == [("10.0.0.0/8", {"value": "v", "attributes": {}})]  # all or nothing


def test_unknown_variant_names_build_the_default_engine():
    for args in [(), (None,), ("bogus",), ("Standard",), ("",), ("standard\0",)]:
        e = RadixEngine(*args)
        e.lookup_many(["1.2.3.4"] * 2)
        assert e.stats()["lookups"] == 2 and e.__reduce__()[1][0] is None  # uncached, pickled as None


# Call shapes with placeholder names P0, P1, bound by a RadixEngine method and
# by a built-in function of the same parameter list: the TypeError texts must
# agree word for word.
ONE = [((), {}), (("a", "b"), {}), ((), {"foo": 1}), (("a",), {"foo": 1}), (("a",), {"P0": 1}),
       ((), {"P0": "a", "foo": 1})]
TWO = [((), {}), (("a",), {}), ((), {"P1": 1}), (("a",), {"P0": 1}), (("a", {}, 2), {}),
       ((), {"P0": "a", "P1": {}, "foo": 1}), (("a",), {"P1": {}, "foo": 1}), (("a", {}), {"P0": "a"})]
BINDINGS = [(m, p, args, kw) for m, p in SIGNATURES.items() if p and "," not in p for args, kw in ONE]
BINDINGS += [("insert", "subnet, metadata", args, kw) for args, kw in TWO]


@pytest.mark.parametrize("method,params,args,kwargs", BINDINGS)
def test_binding_errors_read_like_the_interpreter(method, params, args, kwargs):
    names = params.split(", ")
    twin, twin_names = (os.fspath, ["path"]) if len(names) == 1 else (itertools.combinations, ["iterable", "r"])
    ours = raised(getattr(RadixEngine(), method), *args, **{names[int(k[1])] if k[0] == "P" else k: v
                                                          for k, v in kwargs.items()})
    theirs = raised(twin, *args, **{twin_names[int(k[1])] if k[0] == "P" else k: v for k, v in kwargs.items()})
    assert type(ours) is type(theirs) is TypeError
    expected = str(theirs).replace(f"{twin.__name__}()", f"RadixEngine.{method}()")
    for a, b in zip(twin_names, names):
        expected = expected.replace(f"'{a}'", f"'{b}'")
    assert str(ours) == expected


def test_keywords_bind_like_positions():
    class Name(str):
        pass

    assert RadixEngine(variant=Name("lockfree")).__reduce__()[1][0] == "lockfree"
    e = RadixEngine(variant="standard")
    assert e.insert(metadata={"value": "v"}, subnet="10.0.0.0/8") is None
    assert e.insert_many(items={"11.0.0.0/8": {}}) is None
    assert e.lookup(ip="10.1.2.3")["value"] == "v" and e.contains(ip="11.0.0.1") is True
    assert e.lookup_many(ips=["10.1.2.3"]) == [e.get(subnet="10.0.0.0/8")] and e.contains_many(ips=()) == []
    assert e.match(ip="11.0.0.1")[0] == e.covering(ip="11.0.0.1")[0][0] == e.covered(subnet="11.0.0.0/8")[0][0]
    assert e.remove(subnet="10.0.0.0/8") is True


# Prefix texts and the network each names, and texts refused.
PREFIXES = [("10.0.0.0/+8", "10.0.0.0/8"), ("10.0.0.0/0008", "10.0.0.0/8"), ("10.255.9.9/255.0.0.0", "10.0.0.0/8"),
            ("10.0.0.1", "10.0.0.1/32"), ("2001:DB8::1/+032", "2001:db8::/32"), ("2001:db8::", "2001:db8::/128"),
            ("10.0.0.7/255.255.255.252", "10.0.0.4/30"), ("1.2.3.4/0.0.0.0", "0.0.0.0/0"), ("::/0", "::/0"),
            ("::ffff:10.9.0.0/104", "::ffff:10.0.0.0/104"), ("::1.2.3.4/128", "::102:304/128"),
            ("fe80::ffff/10", "fe80::/10"), ("1:2:3:4:5:6:7:8/128", "1:2:3:4:5:6:7:8/128")]
BAD_PREFIXES = ["10.0.0.0/33", "10.0.0.0/8/8", " 10.0.0.0/8", "10.0.0.0/8 ", "10.0.0.0/", "10.0.0.0/-8",
                "10.0.0.0/8.0", "10.0.0.0/255.0.255.0", "010.0.0.0/8", "10.0.0/8", "256.0.0.0/8", "10.0.0.0/++8",
                "/8", "", "2001:db8::/129", "2001:db8::/ffff::", "[2001:db8::]/32", "fe80::1%eth0/64",
                "1::2::3/64", "10.0.0.0/\u0668", "\uff11.0.0.0/8", "10.0.0.0\0/8", "10.0.0.0/99999999999999999999"]
BAD_ADDRESSES = ["1.2.3", "01.2.3.4", "1.2.3.4 ", "1.2.3.4/32", "1.2.3.256", "", "::1/128", "1.2.3.4::",
                 "fe80::1%eth0", "[::1]", "12345::", ":::", "1.2.3.+4", "\u0661.2.3.4", "1.2.3.4\0", "0x1.2.3.4"]


def test_grammars():
    e = RadixEngine()
    for text, network in PREFIXES:
        e.insert(text, {"value": text})
        assert e.get(network) == {"value": text, "attributes": {}} and e.items()[-1][0] == network, text
        assert e.remove(network) and len(e) == 0
    for text in BAD_PREFIXES:
        for call in (lambda t: e.insert(t, {}), e.remove, e.covered, e.get):
            got = raised(call, text)
            assert (type(got), str(got), hasattr(got, "__notes__")) == (
                ValueError, f"Invalid CIDR '{text}': invalid address: {text}", False), text
    for text in BAD_ADDRESSES:
        # match and covering read a text with "/" as a prefix ("1.2.3.4/32").
        for call in (e.lookup, e.contains, e.lookup_value) + ((e.match, e.covering) if "/" not in text else ()):
            got = raised(call, text)
            assert (type(got), str(got), hasattr(got, "__notes__")) == (
                ValueError, f"Invalid IP address: {text}", False), text


def test_the_module_loads_in_the_main_interpreter_only(tmp_path):
    # Its objects per stored record and its dict watchers belong to one
    # interpreter; a subinterpreter, even one sharing the main one's lock,
    # is refused with a clear error, and the main one carries on.
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "error.txt"
    code = f"try:\n    import netrove\nexcept ImportError as e:\n    open({str(out)!r}, 'w').write(str(e))\n"
    assert testcapi.run_in_subinterp(code) == 0
    assert out.read_text() == "netrove loads in the main interpreter only"
    assert RadixEngine().lookup_value("1.2.3.4") is None


def test_the_stubs_describe_every_public_name():
    stubs = ast.parse((Path(netrove.__file__).parent / "netrove.pyi").read_text())
    cls = next(n for n in stubs.body if isinstance(n, ast.ClassDef) and n.name == "RadixEngine")
    described = {f.name for f in cls.body if isinstance(f, ast.FunctionDef)}
    public = {n for n in dir(RadixEngine) if not n.startswith("_")}
    mapping = {"__getitem__", "__setitem__", "__delitem__", "__contains__", "__iter__", "__len__", "__reduce__"}
    assert public | mapping == described - {"__new__"}
    module = {n.name for n in stubs.body if isinstance(n, (ast.FunctionDef, ast.ClassDef)) and not n.name[0] == "_"}
    assert module == set(netrove.__all__)
