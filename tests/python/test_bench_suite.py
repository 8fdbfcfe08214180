"""The peer suite's own logic (bench/peerbench): the reference answer, the
streams, the realistic records, and one workload measured and reported end
to end with netrove alone (the peers live in the bench environment only)."""

import ipaddress
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from peerbench import origins, report, targets  # noqa: E402
from peerbench.adapters import Unavailable, make_adapter  # noqa: E402
from peerbench.records import Stored  # noqa: E402
from peerbench.streams import HOT_WEIGHT, make_streams, pack  # noqa: E402
from peerbench.suite import Plan, run_workload  # noqa: E402
from peerbench.table import Oracle, Table  # noqa: E402


def nested_cidrs(rng, n4=300, n6=60):
    """Distinct random prefixes that nest: short ones over a few /8s."""
    v4, v6 = set(), set()
    while len(v4) < n4:
        first = rng.choice([10, 11, 192, rng.randrange(256)])
        v4.add(str(ipaddress.ip_network(((first << 24) | rng.getrandbits(24), rng.choice([0, 8, 12, 16, 24, 24, 32])),
                                        strict=False)))
    while len(v6) < n6:
        addr = (0x2001 << 112) | (rng.getrandbits(16) << 96) | rng.getrandbits(96)
        v6.add(str(ipaddress.ip_network((addr, rng.choice([3, 16, 32, 48, 64, 128])), strict=False)))
    return sorted(v4) + sorted(v6)


def table_of(cidrs, name="both"):
    t = Table(name)
    for c in cidrs:
        t.add(c)
    origins.assign_origins(t)
    return t


def brute_force(cidrs, text):
    a = ipaddress.ip_address(text)
    best = max(((ipaddress.ip_network(c).prefixlen, i) for i, c in enumerate(cidrs)
                if ipaddress.ip_network(c).version == a.version and a in ipaddress.ip_network(c)), default=None)
    return None if best is None else best[1]


def test_oracle_and_streams_agree_with_a_brute_force_match():
    rng = random.Random(4)
    cidrs = nested_cidrs(rng)
    t = table_of(cidrs)
    oracle = Oracle(t)
    st = make_streams(t, 2000, 200, seed=9)
    for text in st.inside[:300] + st.random[:300]:
        assert oracle.lookup_text(text) == brute_force(cidrs, text), text
    assert all(oracle.lookup_text(x) is not None for x in st.inside), "an in-table address matched nothing"
    counts = {}
    for x in st.skewed:
        counts[x] = counts.get(x, 0) + 1
    top = sorted(counts.values(), reverse=True)[:st.hot]
    assert sum(top) / len(st.skewed) == pytest.approx(HOT_WEIGHT, abs=0.05)
    p = pack(st.inside)
    assert p.v4_texts + p.v6_texts == sorted(st.inside, key=lambda x: ":" in x)
    assert [str(ipaddress.IPv4Address(n)) for n in p.v4] == p.v4_texts
    assert [str(ipaddress.IPv6Address(p.v6[i:i + 16])) for i in range(0, len(p.v6 or b""), 16)] == \
        [str(ipaddress.IPv6Address(x)) for x in p.v6_texts]


def test_origins_are_deterministic_and_records_shared_per_as():
    cidrs = nested_cidrs(random.Random(5))
    a, b = table_of(cidrs), table_of(cidrs)
    assert list(a.origins) == list(b.origins) and len(set(a.origins)) > 5
    real = Stored(a)
    recs = real.records()
    by_as = {}
    for asn, r in zip(a.origins, recs):
        assert by_as.setdefault(asn, r) is r, "two prefixes of one AS were given different dicts"
        assert r == {"value": f"AS{asn}", "attributes": {"asn": str(asn)}}
    assert real.distinct == len(by_as) and all(real.expected(i) is r for i, r in enumerate(recs))


def test_one_workload_measured_checked_and_reported():
    try:
        make_adapter("netrove default", [4])
    except Unavailable as e:
        pytest.skip(str(e))
    t = table_of(nested_cidrs(random.Random(6), 400, 0)).subset("ipv4", 4)
    st = make_streams(t, 500, 100, seed=3)
    libs = ["netrove default", "netrove standard"]
    plan = Plan(libs, ("inside", "contains", "many", "packed_contains"), bulk=True, memory=False)
    w = run_workload(t, st, plan, repeats=1, remove_sample=50, verbose=False)
    for name in libs:
        lib = w.libs[name]
        assert not lib.wrong, lib.wrong
        for op in ("build", "insert_many", "insert_many_gen", "inside", "contains", "many", "packed_contains",
                   "remove"):
            assert lib.seconds[op] > 0 and lib.counts[op] == (50 if op == "remove" else
                                                              500 if op in plan.read_ops else len(t)), (name, op)
    ratio = targets.vs_lib(w, "netrove standard", "inside", "netrove default")
    d, s = w.libs["netrove default"], w.libs["netrove standard"]
    assert ratio == pytest.approx((s.counts["inside"] / s.seconds["inside"]) / (d.counts["inside"] / d.seconds["inside"]))
    page = report.markdown({("realistic", "ipv4"): w}, {"date": "now", "cpu": "cpu", "cores": "2", "python": "3",
                                                        "commit": "abc", "repeats": 1, "stream_len": 500}, None, None)
    assert "netrove standard" in page and f"{ratio:.2f}" in page
    assert "Issue 34" in page and "WRONG" not in page
