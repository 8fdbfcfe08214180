"""Several Python threads calling one engine."""

import sys
import threading

import pytest

from netrove import RadixEngine

from conftest import VARIANTS


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_threads_on_one_engine(variant):
    engine = RadixEngine(variant)
    engine.insert("10.0.0.0/8", {"value": "shared"})
    errors = []
    start = threading.Barrier(6)

    def writer(t):
        try:
            start.wait()
            for round_ in range(40):
                for i in range(16):
                    engine.insert(f"10.{t}.{i}.0/24", {"value": f"{t}-{i}-{round_}"})
                for i in range(0, 16, 2):
                    assert engine.remove(f"10.{t}.{i}.0/24") is True
                engine.insert(f"2001:db8:{t}::/48", {"value": f"v6-{t}"})
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    def reader(t):
        try:
            start.wait()
            for round_ in range(300):
                i = round_ % 16
                got = engine.lookup(f"10.{t % 3}.{i}.9")
                # Either the /24 of some round, or the covering /8.
                assert got is not None
                assert got["value"] == "shared" or got["value"].startswith(f"{t % 3}-{i}-")
                assert engine.contains("10.255.255.255")
                engine.stats()
                len(engine)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(3)]
    threads += [threading.Thread(target=reader, args=(t,)) for t in range(3)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors, errors
    # Odd /24s of each writer survive with their last round's value.
    assert len(engine) == 1 + 3 * 8 + 3
    for t in range(3):
        for i in range(16):
            got = engine.lookup(f"10.{t}.{i}.1")
            assert got["value"] == (f"{t}-{i}-39" if i % 2 else "shared")
        assert engine.lookup(f"2001:db8:{t}::1")["value"] == f"v6-{t}"


def test_engine_outlives_the_thread_that_built_it():
    box = []
    th = threading.Thread(target=lambda: box.append(RadixEngine("adaptive")))
    th.start()
    th.join()
    box[0].insert("1.0.0.0/8", {})
    assert box[0].contains("1.2.3.4")
