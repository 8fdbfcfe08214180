"""Shared fixtures for the tests of the `netrove` extension module."""

import pytest

import netrove

# Every constructor form: None is the uncached default, the names are cached.
VARIANTS = [None, "standard", "lockfree", "adaptive"]
CACHED = ["standard", "lockfree", "adaptive"]

ALLOW = {"value": "allow", "attributes": {"asn": "AS1234"}}


@pytest.fixture(params=VARIANTS, ids=lambda v: str(v))
def variant(request):
    return request.param


@pytest.fixture
def engine(variant):
    return netrove.RadixEngine(variant)


def raised(fn, *args, **kwargs):
    """The exception `fn(*args, **kwargs)` raises (fails when none is)."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        return e
    pytest.fail(f"{fn!r} raised nothing")
