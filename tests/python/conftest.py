"""Shared names for the tests of the `netrove` extension module."""

import os
import shutil
from pathlib import Path

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


@pytest.fixture(scope="session")
def cli():
    """The path of the `netrove` command: $NETROVE_CLI, else the one on PATH,
    else the one in build/cli (fails when there is none)."""
    path = os.environ.get("NETROVE_CLI") or shutil.which("netrove")
    if not path:
        built = Path(__file__).resolve().parents[2] / "build" / "cli" / "netrove"
        path = str(built) if built.is_file() else None
    if not path:
        pytest.fail("no netrove command: set NETROVE_CLI, put netrove on PATH or run make build")
    return os.path.abspath(path)  # tests may run it from another folder
