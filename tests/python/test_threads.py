"""Several Python threads on one engine beside a writer: single and batch
calls, answers always one of the values some write stored, and the final
table exactly what the writes leave."""

import array
import ipaddress
import sys
import threading

import pytest

from netrove import RadixEngine

from conftest import VARIANTS

ROUNDS = 150


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_readers_beside_writers(variant):
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as practical
    e = RadixEngine(variant)
    e.insert("10.0.0.0/8", {"value": "shared"})
    errors, start, done = [], threading.Barrier(5), []
    ips = [f"10.{t}.{i}.9" for t in range(2) for i in range(16)] + ["11.0.0.1", "::1"]
    packed = array.array("I", [int(ipaddress.IPv4Address(ip)) for ip in ips[:32]])

    def guarded(body):
        def run(t):
            try:
                start.wait()
                body(t)
            except BaseException as exc:  # noqa: BLE001
                errors.append(exc)
        return run

    def writer(t):
        for round_ in range(ROUNDS):
            for i in range(16):
                e.insert(f"10.{t}.{i}.0/24", {"value": f"{t}-{i}-{round_}"})
            e.insert_many([(f"10.{t}.{i}.0/24", {"value": f"{t}-{i}-{round_}"}) for i in range(16)])
            for i in range(0, 16, 2):
                assert e.remove(f"10.{t}.{i}.0/24") is True
            e.insert(f"2001:db8:{t}::/48", {"value": f"v6-{t}"})
        done.append(t)

    def reader(t):
        rounds = 0
        while (len(done) < 2 or rounds < 20) and not errors:  # until both writers are done
            rounds += 1
            for ip, got, found in zip(ips, e.lookup_many(ips), e.contains_many(ips)):
                if ip.startswith("10."):  # the /8, or the /24 of some round
                    _, a, b, _ = ip.split(".")
                    assert found and (got["value"] == "shared" or got["value"].startswith(f"{a}-{b}-")), (ip, got)
                else:
                    assert got is None and not found
            # Values read with the interpreter lock released, kept alive
            # while the writers replace and free their records.
            for ip, value in zip(ips[:32] + ips[:16], e.lookup_values(packed, family=4) + e.lookup_values(ips[:16])):
                _, a, b, _ = ip.split(".")
                assert value == "shared" or value.startswith(f"{a}-{b}-"), (ip, value)
            single = e.lookup(ips[t])
            assert single["value"] == "shared" or single["value"].startswith(f"0-{t}-")
            e.stats(), len(e), e.match(ips[t]), e.items()

    threads = [threading.Thread(target=guarded(writer), args=(t,)) for t in range(2)]
    threads += [threading.Thread(target=guarded(reader), args=(t,)) for t in range(3)]
    try:
        for th in threads:
            th.start()
        for th in threads:
            th.join(timeout=120)
    finally:
        sys.setswitchinterval(old)
    assert not any(th.is_alive() for th in threads), "a call did not return"
    assert not errors, errors[0]
    assert len(e) == 1 + 2 * 8 + 2
    for t in range(2):
        assert [e.lookup(f"10.{t}.{i}.1")["value"] for i in range(16)] == [
            f"{t}-{i}-{ROUNDS - 1}" if i % 2 else "shared" for i in range(16)]
        assert e.lookup(f"2001:db8:{t}::1")["value"] == f"v6-{t}"


def test_an_engine_outlives_the_thread_that_built_it():
    box = []
    th = threading.Thread(target=lambda: box.append(RadixEngine("adaptive")))
    th.start()
    th.join()
    box[0].insert("1.0.0.0/8", {})
    assert box[0].contains("1.2.3.4")
