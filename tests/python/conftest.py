"""Shared names for the tests of the `netrove` extension module."""

import pytest

# Every constructor form: None is the uncached default, the names are cached.
VARIANTS = [None, "standard", "lockfree", "adaptive"]


def raised(fn, *args, **kwargs):
    """The exception `fn(*args, **kwargs)` raises (fails when none is)."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        return e
    pytest.fail(f"{fn!r} raised nothing")
