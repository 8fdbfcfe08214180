"""The peer benchmark harness (bench/peerbench): its reference answers, its
streams, every peer adapter that is installed, and a whole suite run against
a stand-in module with netrove's API.

The peers live in the bench environment only; under the test venv their
cases are skipped and the rest runs.
"""

import importlib.util
import ipaddress
import random
import sys
import types
import zlib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from peerbench import measure, report, suite  # noqa: E402
from peerbench.adapters import PEERS, Unavailable, make_adapter  # noqa: E402
from peerbench.streams import HOT_WEIGHT, make_streams  # noqa: E402
from peerbench.table import Oracle, format_address, load_tables, parse_cidr, table_from_cidrs  # noqa: E402


def random_cidrs(rng: random.Random, n4: int, n6: int, v6_default: bool = True) -> list[str]:
    """Distinct random prefixes, nested on purpose: short ones over a few /8s.

    `v6_default` False leaves out ::/0 (see the pysubnettree case below).
    """
    out = set()
    while len(out) < n4:
        length = rng.choice([0, 1, 8, 8, 12, 16, 20, 24, 24, 24, 28, 32])
        first = rng.choice([10, 11, 192, rng.randrange(256)])
        addr = (first << 24) | rng.getrandbits(24)
        out.add(str(ipaddress.ip_network((addr, length), strict=False)))
    v6 = set()
    while len(v6) < n6:
        length = rng.choice([0 if v6_default else 3, 3, 16, 32, 40, 44, 48, 48, 64, 128])
        addr = (0x2001 << 112) | (rng.getrandbits(16) << 96) | rng.getrandbits(96)
        v6.add(str(ipaddress.ip_network((addr, length), strict=False)))
    cidrs = sorted(out) + sorted(v6)
    rng.shuffle(cidrs)
    return cidrs


def brute_force(cidrs, values, text):
    addr = ipaddress.ip_address(text)
    best = None
    for c, v in zip(cidrs, values):
        net = ipaddress.ip_network(c)
        if net.version == addr.version and addr in net and (best is None or net.prefixlen > best[0]):
            best = (net.prefixlen, v)
    return None if best is None else best[1]


# -- table and oracle ---------------------------------------------------------

def test_parse_and_format_round_trip():
    assert parse_cidr("10.0.0.0/8") == (4, 10 << 24, 8)
    assert parse_cidr("2001:db8::/32") == (6, 0x20010DB8 << 96, 32)
    assert parse_cidr("1.2.3.4") == (4, 0x01020304, 32)
    with pytest.raises(ValueError):
        parse_cidr("10.0.0.0/33")
    with pytest.raises(OSError):
        parse_cidr("10.0.0/8")
    rng = random.Random(1)
    for _ in range(200):
        v = rng.getrandbits(32)
        assert parse_cidr(format_address(4, v))[1] == v
        v = rng.getrandbits(128)
        assert parse_cidr(format_address(6, v))[1] == v


def test_table_counts_host_bits_and_values():
    t = table_from_cidrs("t", ["10.0.0.0/8", "10.1.0.1/16", "::/0"])
    assert len(t) == 3 and t.count(4) == 2 and t.count(6) == 1
    assert t.host_bits == 1
    assert t.nets[1] == (4, (10 << 24) | (1 << 16), 16)
    assert t.values == ["r0", "r1", "r2"]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_oracle_matches_brute_force(seed):
    rng = random.Random(seed)
    cidrs = random_cidrs(rng, 120, 40)
    t = table_from_cidrs("t", cidrs)
    o = Oracle(t)
    s = make_streams(t, 300, 50, seed)
    for a in s.inside + s.random + [format_address(4, rng.getrandbits(32)) for _ in range(100)]:
        assert o.lookup_text(a) == brute_force(cidrs, t.values, a), a


def test_oracle_keeps_families_apart():
    t = table_from_cidrs("t", ["0.0.0.0/0", "a00::/8"])
    o = Oracle(t)
    assert o.lookup_text("10.1.2.3") == "r0"
    assert o.lookup_text("a00::1") == "r1"
    assert o.lookup_text("2001::1") is None


def test_load_tables_splits_families(tmp_path):
    import gzip

    p = tmp_path / "t.txt.gz"
    with gzip.open(p, "wt") as f:
        f.write("10.0.0.0/8\n2001:db8::/32\n\n10.0.0.0/8\n11.0.0.0/8\n")
    ts = load_tables(p)
    assert ts["ipv4"].cidrs == ["10.0.0.0/8", "11.0.0.0/8"]
    assert ts["both"].cidrs == ["10.0.0.0/8", "2001:db8::/32", "11.0.0.0/8"]
    assert load_tables(p, limit=2)["both"].cidrs == ["10.0.0.0/8", "2001:db8::/32"]


# -- streams ------------------------------------------------------------------

def test_streams_are_reproducible_and_shaped():
    rng = random.Random(7)
    t = table_from_cidrs("t", random_cidrs(rng, 300, 100))
    o = Oracle(t)
    a = make_streams(t, 20000, 1000, 99)
    assert a == make_streams(t, 20000, 1000, 99)
    assert make_streams(t, 200, 100, 98).inside != a.inside[:200]
    assert len(a.inside) == len(a.random) == len(a.skewed) == 20000
    # Every in-table address matches; both families appear in both streams.
    assert all(o.lookup_text(x) is not None for x in a.inside)
    assert any(":" in x for x in a.inside) and any(":" not in x for x in a.inside)
    assert any(":" in x for x in a.random)
    assert all(x.startswith(("2", "3")) for x in a.random if ":" in x)
    # Skew: the hot tenth of the pool takes about 90% of the lookups.
    assert a.pool == 1000 and a.hot == 100
    counts = {}
    for x in a.skewed:
        counts[x] = counts.get(x, 0) + 1
    top = sorted(counts.values(), reverse=True)[: a.hot]
    assert abs(sum(top) / len(a.skewed) - HOT_WEIGHT) < 0.03
    assert len(counts) <= a.pool


def test_streams_reject_bad_input():
    with pytest.raises(ValueError):
        make_streams(table_from_cidrs("t", []), 10, 100, 1)
    with pytest.raises(ValueError):
        make_streams(table_from_cidrs("t", ["10.0.0.0/8"]), 10, 5, 1)


# -- peer adapters (bench environment only) -----------------------------------

def _installed(name):
    mod = {"pytricia": "pytricia", "py-radix": "radix", "pysubnettree": "SubnetTree",
           "radixtarget": "radixtarget"}[name]
    return importlib.util.find_spec(mod) is not None


@pytest.mark.parametrize("name", list(PEERS))
@pytest.mark.parametrize("fams", [(4,), (4, 6)])
def test_peer_adapter_agrees_with_oracle(name, fams):
    if not _installed(name):
        pytest.skip(f"{name} is not installed in this environment")
    rng = random.Random(zlib.crc32(repr((name, fams)).encode()))
    # pysubnettree keeps IPv4 as IPv4-mapped IPv6, so its ::/0 also covers
    # every IPv4 address (test below); the routing table has no such prefix.
    cidrs = random_cidrs(rng, 400, 150 if 6 in fams else 0, v6_default=name != "pysubnettree")
    t = table_from_cidrs("t", cidrs)
    o = Oracle(t)
    s = make_streams(t, 2000, 200, 5)
    a = make_adapter(name, fams)
    a.build(t.cidrs, t.values, [{"value": v, "attributes": {}} for v in t.values])
    assert a.size() == len(t)
    assert suite.check_answers(a, o, s, 2000) == []
    # The timed loops run over the same streams without raising.
    kept = a.lookup_loop(s.random)
    assert len(kept) == len(s.random) and a.lookup_loop(s.random, keep=False) is None
    a.contains_loop(s.inside)
    half = t.cidrs[: len(t) // 2]
    a.remove_loop(half)
    assert a.size() == len(t) - len(half)
    rest = table_from_cidrs("t", t.cidrs[len(t) // 2:])
    rest.values = t.values[len(t) // 2:]
    assert suite.check_answers(a, Oracle(rest), s, 2000) == []
    a.remove_loop(rest.cidrs)
    assert a.size() == 0


def test_pytricia_needs_two_trees_for_two_families():
    """Why the adapter splits the families: one tree gives wrong answers."""
    if not _installed("pytricia"):
        pytest.skip("pytricia is not installed in this environment")
    import pytricia

    one = pytricia.PyTricia(128)
    one["10.0.0.0/8"] = "v4"
    one["a00::/8"] = "v6"
    assert one.get("10.1.2.3") != "v4"  # folded together
    a = make_adapter("pytricia", (4, 6))
    a.build(["10.0.0.0/8", "a00::/8"], ["v4", "v6"], [])
    assert a.lookup_value("10.1.2.3") == "v4" and a.lookup_value("a00::1") == "v6"


def test_pysubnettree_v6_default_route_covers_ipv4():
    """A quirk of the peer, pinned so that the exclusion above stays justified."""
    if not _installed("pysubnettree"):
        pytest.skip("pysubnettree is not installed in this environment")
    a = make_adapter("pysubnettree", (4, 6))
    a.build(["::/0"], ["v6"], [])
    assert a.lookup_value("10.1.2.3") == "v6"


def test_unknown_and_missing_libraries():
    with pytest.raises(KeyError):
        make_adapter("nosuchlib", (4,))
    with pytest.raises(KeyError):
        make_adapter("netrove turbo", (4,))
    placeholder = types.ModuleType("netrove")
    with pytest.raises(Unavailable):
        make_adapter("netrove default", (4,), placeholder)


# -- a whole run against a stand-in module ------------------------------------

class StandIn:
    """Pure-Python engine with netrove's RadixEngine API, for the harness only."""

    def __init__(self, variant=None, wrong_every=0):
        self.variant = variant
        self.by_len = {4: {}, 6: {}}
        self.n = 0
        self.lookups = 0
        self.wrong_every = wrong_every

    @staticmethod
    def _key(text):
        fam, net, length = parse_cidr(text)
        width = 32 if fam == 4 else 128
        return fam, length, net >> (width - length)

    def insert(self, subnet, metadata):
        fam, length, key = self._key(subnet)
        d = self.by_len[fam].setdefault(length, {})
        self.n += key not in d
        d[key] = (metadata["value"], dict(metadata["attributes"]))

    def lookup(self, ip):
        self.lookups += 1
        if self.wrong_every and self.lookups % self.wrong_every == 0:
            return None
        fam, net, _ = parse_cidr(ip)
        width = 32 if fam == 4 else 128
        for length in sorted(self.by_len[fam], reverse=True):
            r = self.by_len[fam][length].get(net >> (width - length))
            if r is not None:
                return {"value": r[0], "attributes": dict(r[1])}
        return None

    def contains(self, ip):
        return self.lookup(ip) is not None

    def remove(self, subnet):
        fam, length, key = self._key(subnet)
        found = self.by_len[fam].get(length, {}).pop(key, None) is not None
        self.n -= found
        return found

    def stats(self):
        return {"size": self.n, "inserts": 0, "lookups": self.lookups, "hits": 0, "misses": 0,
                "removals": 0}

    def __len__(self):
        return self.n


def stand_in_module(wrong_every=0):
    m = types.ModuleType("netrove")
    m.RadixEngine = lambda variant=None: StandIn(variant, wrong_every)
    m.version = lambda: "stand-in"
    return m


def _small_run(module, libs, remove_sample=None):
    rng = random.Random(11)
    t = table_from_cidrs("ipv4", random_cidrs(rng, 300, 0))
    s = make_streams(t, 500, 100, 3)
    return suite.run_workload(t, s, libs, repeats=2, build_repeats=2, check_sample=500,
                              memory=False, remove_sample=remove_sample, netrove_module=module,
                              verbose=False)


def test_removal_sample_splits_the_table():
    t = table_from_cidrs("t", [f"10.{i}.0.0/16" for i in range(100)])
    removed, kept = suite.removal_sample(t, 30, 5)
    assert len(removed) == 30 and len(kept) == 70
    assert sorted(removed + kept) == sorted(t.cidrs)
    assert suite.removal_sample(t, 30, 5) == (removed, kept)
    assert suite.removal_sample(t, None, 5) == (t.cidrs, [])
    assert suite.removal_sample(t, 1000, 5) == (t.cidrs, [])


@pytest.mark.parametrize("remove_sample", [None, 120])
def test_partial_and_full_removal_are_checked(remove_sample):
    w = _small_run(stand_in_module(), ["netrove default"], remove_sample)
    lib = w.libs["netrove default"]
    assert lib.wrong == [] and lib.counts["remove"] == (remove_sample or 300)
    assert w.removed == (remove_sample or 300)

    class KeepsEverything(StandIn):
        def remove(self, subnet):
            return True

    m = types.ModuleType("netrove")
    m.RadixEngine = lambda variant=None: KeepsEverything(variant)
    w = _small_run(m, ["netrove default"], remove_sample)
    assert any("after remov" in f for f in w.libs["netrove default"].wrong)


def test_suite_run_with_stand_in_reports_every_op(tmp_path):
    libs = ["netrove default", "netrove standard"] + [n for n in PEERS if _installed(n)]
    w = _small_run(stand_in_module(), libs)
    assert set(w.libs) == set(libs)
    for lib in w.libs.values():
        assert lib.wrong == []
        assert set(lib.seconds) == {op for op, _ in suite.OPS}
        assert all(v > 0 for v in lib.seconds.values())
    assert any("cache hit rate" in n for n in w.libs["netrove standard"].notes)
    base = report.baseline_of(w)
    assert report.speed_ratio(base, base, "inside") == pytest.approx(1.0)
    md = report.markdown([w], {"date": "d", "cpu": "c", "cores": "2", "python": "3", "commit": "x",
                               "repeats": 2, "build_repeats": 2, "stream_len": 500}, "r.png")
    assert "netrove standard" in md and "## Targets" in md
    if importlib.util.find_spec("matplotlib"):
        report.chart([w], str(tmp_path / "r.png"))
        assert (tmp_path / "r.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_suite_flags_wrong_answers():
    w = _small_run(stand_in_module(wrong_every=7), ["netrove default"])
    assert any("wrong" in f for f in w.libs["netrove default"].wrong)
    assert "WRONG ANSWERS" in report.workload_table(w)


def test_placeholder_module_is_listed_not_measured():
    w = _small_run(types.ModuleType("netrove"), ["netrove default"])
    assert "netrove default" in w.unavailable and not w.libs
    assert "not measured" in report.workload_table(w)


# -- ratios and targets -------------------------------------------------------

def _lib(name, t, mem=None):
    r = suite.LibResult(name)
    for op, _ in suite.OPS:
        r.seconds[op], r.counts[op] = t, 1000
    r.mem_per_prefix = mem
    return r


def test_ratios_and_targets():
    w = suite.WorkloadResult("ipv4", 1, 1, 0, 1000, 10, 1)
    w.libs = {"pytricia": _lib("pytricia", 2.0, 100.0), "netrove default": _lib("netrove default", 1.0, 160.0),
              "netrove standard": _lib("netrove standard", 0.5, 100.0)}
    assert report.speed_ratio(w.libs["netrove default"], w.libs["pytricia"], "inside") == pytest.approx(2.0)
    assert report.memory_ratio(w.libs["netrove default"], w.libs["pytricia"]) == pytest.approx(1.6)
    got = {t.text: (t.ratio, t.met) for t in report.targets(w)}
    assert got["lookup, in table, default variant, >= 4x pytricia get"] == (pytest.approx(2.0), False)
    assert got["contains, default variant, >= 6x pytricia `in`"][1] is False
    assert got["lookup, skewed, standard (cached), >= 4x"] == (pytest.approx(4.0), True)
    assert got["lookup, skewed, lockfree (cached), >= 4x"] == (None, None)
    assert got["memory per prefix, default variant, <= 1.2x"][1] is False
    assert got["memory per prefix, lockfree, <= 2x"] == (None, None)


def test_memory_child_reports_failure_and_growth():
    r = measure.memory_per_prefix("nosuchlib", [4], ["10.0.0.0/8"])
    assert "error" in r and "nosuchlib" in r["error"]
    if not _installed("pytricia"):
        pytest.skip("pytricia is not installed in this environment")
    cidrs = [f"10.{i >> 8}.{i & 255}.0/24" for i in range(40000)]
    r = measure.memory_per_prefix("pytricia", [4], cidrs)
    assert r["n"] == 40000 and 10 < r["bytes_per_prefix"] < 10000


def test_cpp_report_tables(tmp_path):
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
    import cpp_report

    data = {"context": {"date": "d", "num_cpus": 2},
            "benchmarks": [
                {"name": "BM_A/1", "run_type": "iteration", "real_time": 2.0, "time_unit": "us",
                 "items_per_second": 1e6, "threads": 1},
                {"name": "BM_A/2", "run_type": "iteration", "real_time": 500.0, "time_unit": "ns",
                 "items_per_second": 4e6, "threads": 2},
                {"name": "BM_A/2_mean", "run_type": "aggregate", "real_time": 1.0},
                {"name": "BM_B", "run_type": "iteration", "real_time": 1.0, "time_unit": "ns",
                 "error_occurred": True}]}
    (tmp_path / "x_bench.json").write_text(__import__("json").dumps(data))
    (tmp_path / "broken_bench.json").write_text("{")
    assert cpp_report.main(["cpp_report", str(tmp_path)]) == 0
    md = (tmp_path / "cpp.md").read_text()
    assert "| BM_A/1 | 2,000.0 ns | 1.00 M | 1 | 1.00 |" in md
    assert "| BM_A/2 | 500.0 ns | 4.00 M | 2 | 4.00 |" in md
    assert "_mean" not in md and "BM_B" not in md
    assert "unreadable" in md


def test_embed_replaces_only_the_marked_block(tmp_path):
    p = tmp_path / "README.md"
    assert report.embed(tmp_path / "missing.md", "# x") is False
    p.write_text("# Title\n\nno markers\n")
    assert report.embed(p, "# x") is False and p.read_text() == "# Title\n\nno markers\n"
    p.write_text(f"# Title\nbefore\n{report.START}\nold\n{report.END}\nafter\n")
    assert report.embed(p, "# Results\n\n## IPv4\n| a |\n")
    assert report.embed(p, "# Results\n\n## IPv4\n| a |\n")  # idempotent
    assert p.read_text() == (f"# Title\nbefore\n{report.START}\n## Results\n\n### IPv4\n| a |\n"
                             f"{report.END}\nafter\n")
