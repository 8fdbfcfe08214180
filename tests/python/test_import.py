"""Module entry: what importing creates, the class object and version()."""

import inspect
import os

import pytest

import netrove
from netrove import RadixEngine

from conftest import VARIANTS, raised


def test_module_docstring_and_names():
    assert netrove.__name__ == "netrove"
    assert netrove.__doc__ == "Netrove \u2014 high-performance IP subnet longest-prefix matching engine."
    assert netrove.__all__ == ["RadixEngine", "version", "StoreError"]
    # Populated in this order: the class, the function, the exception, then __all__.
    names = [n for n in vars(netrove) if not (n.startswith("__") and n != "__all__")]
    assert names == ["RadixEngine", "version", "StoreError", "__all__"]


def test_version():
    assert netrove.version() == "1.1.1"
    assert netrove.version.__text_signature__ == "()"
    assert netrove.version.__doc__ is None
    assert netrove.version.__module__ == "netrove"
    assert str(inspect.signature(netrove.version)) == "()"
    e = raised(netrove.version, 1)
    assert type(e) is TypeError and str(e) == "netrove.version() takes no arguments (1 given)"


def test_class_object():
    assert repr(RadixEngine) == "<class 'builtins.RadixEngine'>"
    assert RadixEngine.__module__ == "builtins"
    assert RadixEngine.__name__ == RadixEngine.__qualname__ == "RadixEngine"
    assert RadixEngine.__text_signature__ == "(variant=None)"
    assert str(inspect.signature(RadixEngine)) == "(variant=None)"
    assert RadixEngine.__init__ is object.__init__  # all set-up happens in __new__
    with pytest.raises(TypeError):
        type("Sub", (RadixEngine,), {})  # not a base type


CLASS_DOC = """High-performance IP radix-tree engine.

Example::

    from netrove import RadixEngine

    engine = RadixEngine()
    engine.insert("10.0.0.0/8", {"value": "allow", "attributes": {"asn": "AS1234"}})

    match = engine.lookup("10.1.2.3")
    print(match["value"])   # "allow"
"""

INSERT_DOC = """Insert a CIDR prefix with associated metadata dict.

Parameters
----------
subnet : str
    CIDR notation, e.g. ``"10.0.0.0/8"``.
metadata : dict
    Must contain at least ``{"value": str, "attributes": dict}``."""


def test_docstrings_and_signatures():
    assert RadixEngine.__doc__ == CLASS_DOC
    expected = {
        "insert": ("($self, subnet, metadata)", INSERT_DOC),
        "lookup": ("($self, ip)", "Longest-prefix match.\n\nReturns a metadata dict on match, or ``None``."),
        "remove": ("($self, subnet)", "Remove a prefix.  Returns ``True`` if the entry existed."),
        "contains": ("($self, ip)", "Returns ``True`` if any stored prefix covers the given IP."),
        "clear": ("($self)", "Remove all entries."),
        "stats": ("($self)", "Engine performance statistics."),
    }
    for name, (sig, doc) in expected.items():
        method = getattr(RadixEngine, name)
        assert method.__text_signature__ == sig, name
        assert method.__doc__ == doc, name
    assert str(inspect.signature(RadixEngine.insert)) == "(self, /, subnet, metadata)"
    assert str(inspect.signature(RadixEngine().lookup)) == "(ip)"


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(netrove, "PanicException")
    assert "PanicException" not in netrove.__all__


@pytest.mark.parametrize(
    "args,kwargs",
    [((), {}), ((None,), {}), ((), {"variant": None}), (("bogus",), {}), (("Standard",), {}),
     (("",), {}), (("lock-free",), {}), (("standard\0",), {}), (("adaptivE",), {})],
)
def test_default_forms_build_the_uncached_engine(args, kwargs):
    e = RadixEngine(*args, **kwargs)
    assert len(e) == 0 and repr(e) == "RadixEngine(size=0)"
    e.insert("10.0.0.0/8", {})
    e.lookup("10.1.2.3")
    e.lookup("10.1.2.3")
    assert e.stats()["lookups"] == 2  # no cache in front: every lookup reaches the trie


@pytest.mark.parametrize("name", ["standard", "lockfree", "adaptive"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_named_variants_build_cached_engines(name, by_keyword):
    e = RadixEngine(variant=name) if by_keyword else RadixEngine(name)
    assert len(e) == 0
    e.insert("10.0.0.0/8", {})
    e.lookup("10.1.2.3")
    e.lookup("10.1.2.3")
    assert e.stats()["lookups"] == 1  # the second answer came from the cache


def test_str_subclass_names_a_variant():
    class S(str):
        pass

    e = RadixEngine(S("standard"))
    e.insert("1.0.0.0/8", {})
    e.lookup("1.1.1.1")
    e.lookup("1.1.1.1")
    assert e.stats()["lookups"] == 1


@pytest.mark.parametrize(
    "args,kwargs,message,notes",
    [
        ((1,), {}, "'int' object is not an instance of 'str'", ["while processing 'variant'"]),
        ((b"standard",), {}, "'bytes' object is not an instance of 'str'", ["while processing 'variant'"]),
        ((), {"variant": 1.5}, "'float' object is not an instance of 'str'", ["while processing 'variant'"]),
        (("a", "b"), {}, "RadixEngine.__new__() takes at most 1 argument (2 given)", None),
        (("standard",), {"variant": "standard"}, "RadixEngine.__new__() takes at most 1 argument (2 given)", None),
        ((), {"foo": 1}, "'foo' is an invalid keyword argument for RadixEngine.__new__()", None),
        ((), {"variant": None, "x": 1}, "RadixEngine.__new__() takes at most 1 keyword argument (2 given)", None),
    ],
)
def test_constructor_errors(args, kwargs, message, notes):
    e = raised(RadixEngine, *args, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message
    assert getattr(e, "__notes__", None) == notes


def test_constructor_surrogate_variant_fails_with_encoding_error():
    e = raised(RadixEngine, "\udc80" * 8)
    assert isinstance(e, UnicodeEncodeError)
    assert e.__notes__ == ["while processing 'variant'"]


def test_many_constructions_leave_no_threads_or_descriptors():
    fds = len(os.listdir("/proc/self/fd"))
    threads = len(os.listdir("/proc/self/task"))
    for i in range(2000):
        RadixEngine(VARIANTS[i % 4])
    assert len(os.listdir("/proc/self/task")) == threads
    assert len(os.listdir("/proc/self/fd")) == fds


def test_instances_are_independent():
    a, b = RadixEngine("standard"), RadixEngine("standard")
    a.insert("10.0.0.0/8", {"value": "a"})
    assert b.lookup("10.1.1.1") is None and len(b) == 0
    assert a.lookup("10.1.1.1")["value"] == "a"
