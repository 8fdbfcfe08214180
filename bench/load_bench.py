"""Loading tables from files: netrove's load() against what a user of the
peers would write instead, side by side in one process, in the realistic
setting (collector on, nothing frozen, records with attributes).

  ipasn   a full routing table as pyasn's ipasn.dat (bench/as_records.py's
          origins for ../shared/data's table): pyasn.pyasn(path) against
          RadixEngine().load(path); then pyasn.lookup against lookup_value
          on the same addresses.
  mmdb    GeoLite2 City (maxminddb-geolite2's 2018 copy): MaxMind's reader
          iterated and flattened into insert_many, as a user would, against
          load(path); then reader.get against lookup on the same addresses.
  mrt     a RIB dump synthesised from the routing table (20 entries a
          prefix, 4-byte AS paths): uncompressed MB per second of load().

Each build is timed in alternating rounds (median of --rounds); the
resident memory a loaded table adds is reported per prefix.  Results are
printed as a Markdown table (and written to bench/results/loads.md with
--write).

    .venv-bench/bin/python bench/load_bench.py [--build build] [--rounds 3]
"""

from __future__ import annotations

import argparse
import gc
import ipaddress
import os
import random
import statistics
import struct
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def timed(fn):
    gc.collect()
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def alternate(rounds, a, b):
    """Median seconds of a() and b(), run in alternation."""
    ta, tb = [], []
    for _ in range(rounds):
        ta.append(timed(a)[0])
        tb.append(timed(b)[0])
    return statistics.median(ta), statistics.median(tb)


def lookups(fn, ips, rounds):
    best = []
    for _ in range(rounds):
        t = time.perf_counter()
        for ip in ips:
            fn(ip)
        best.append(time.perf_counter() - t)
    return statistics.median(best) / len(ips) * 1e9  # ns per lookup


def loaded(netrove, path):
    """An engine loaded from `path`, and the resident bytes it added per prefix."""
    before = rss()
    e = netrove.RadixEngine()
    e.load(path)
    return e, (rss() - before) / len(e)


def load_into_new(netrove, path, *args):
    """A new engine loaded from `path`, returned so that its teardown falls
    outside the timed call, as the peers' objects' does."""
    e = netrove.RadixEngine()
    e.load(path, *args)
    return e


def random_ipv4(seed, n=300_000):
    rng = random.Random(seed)
    return [str(ipaddress.IPv4Address(rng.randrange(2 ** 32))) for _ in range(n)]


def table_prefixes():
    from peerbench.table import data_path
    import gzip
    with gzip.open(data_path(HERE.parent), "rt") as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


def bench_ipasn(netrove, rounds, rows):
    import pyasn
    from as_records import asn_per_prefix
    prefixes = [p for p in table_prefixes() if ":" not in p]
    asns = asn_per_prefix(len(prefixes))
    path = Path(tempfile.mkdtemp()) / "ipasn.dat"
    with open(path, "w") as f:
        f.write("; IP-ASN32-DAT file\n")
        for p, a in zip(prefixes, asns):
            f.write(f"{p}\t{a}\n")
    t_pyasn, t_load = alternate(rounds, lambda: pyasn.pyasn(str(path)), lambda: load_into_new(netrove, path))
    e, per_prefix = loaded(netrove, path)
    oracle = pyasn.pyasn(str(path))
    ips = random_ipv4(5)
    assert all(str(oracle.lookup(ip)[0] or "") == (e.lookup_value(ip) or "") for ip in ips[:20000])
    ns_pyasn = lookups(oracle.lookup, ips, rounds)
    ns_netrove = lookups(e.lookup_value, ips, rounds)
    rows.append(("ipasn.dat, %d IPv4 prefixes: build" % len(e), f"{t_pyasn:.3f} s", f"{t_load:.3f} s",
                 f"{t_pyasn / t_load:.2f}x", "1.5x"))
    rows.append(("ipasn.dat: lookup_value / pyasn.lookup", f"{ns_pyasn:.0f} ns", f"{ns_netrove:.0f} ns",
                 f"{ns_pyasn / ns_netrove:.2f}x", "3x"))
    rows.append(("ipasn.dat: resident memory per prefix", "", f"{per_prefix:.0f} B", "", ""))


def flatten(v, path, out):
    if isinstance(v, dict):
        for k, x in v.items():
            flatten(x, f"{path}.{k}" if path else k, out)
    elif isinstance(v, list):
        for i, x in enumerate(v):
            flatten(x, f"{path}.{i}" if path else str(i), out)
    else:
        out[path] = ("true" if v else "false") if isinstance(v, bool) else str(v)


def bench_mmdb(netrove, rounds, rows):
    import maxminddb
    import _maxminddb_geolite2  # the data package of maxminddb-geolite2
    path = next(Path(_maxminddb_geolite2.__file__).parent.glob("*City*.mmdb"))

    def through_reader():
        e = netrove.RadixEngine()
        # The reader hands out a new dict per network: equal records are
        # shared through a memo on their flattened items, or 3.4 M
        # metadata dicts would not fit in memory.
        with maxminddb.open_database(str(path)) as reader:
            memo = {}
            items = []
            for net, rec in reader:
                attrs = {}
                flatten(rec, "", attrs)
                key = tuple(attrs.items())
                meta = memo.get(key)
                if meta is None:
                    value = attrs.get("country.iso_code") or attrs.get("registered_country.iso_code") or ""
                    meta = memo[key] = {"value": value, "attributes": attrs}
                items.append((str(net), meta))
            e.insert_many(items)
        return e

    t_reader, e_reader = timed(through_reader)
    t_load = statistics.median(timed(lambda: load_into_new(netrove, path))[0] for _ in range(rounds))
    e, per_prefix = loaded(netrove, path)
    reader = maxminddb.open_database(str(path))
    ips = random_ipv4(6)
    ns_reader = lookups(reader.get, ips, rounds)
    ns_netrove = lookups(e.lookup, ips, rounds)
    rows.append((f"GeoLite2 City, {len(e):,} networks: build (reader + insert_many, one run)", f"{t_reader:.2f} s",
                 f"{t_load:.2f} s", f"{t_reader / t_load:.1f}x", "20x"))
    rows.append(("GeoLite2 City: lookup / reader.get", f"{ns_reader:.0f} ns", f"{ns_netrove:.0f} ns",
                 f"{ns_reader / ns_netrove:.1f}x", "15x"))
    rows.append(("GeoLite2 City: resident memory per network", "", f"{per_prefix:.0f} B", "", ""))
    del e_reader


def synth_mrt(path, prefixes, entries_per_prefix=20):
    rng = random.Random(7)
    paths = []
    for _ in range(5000):
        segs = [rng.randrange(1, 400000) for _ in range(rng.randrange(2, 7))]
        asp = struct.pack("!BB", 2, len(segs)) + b"".join(struct.pack("!I", a) for a in segs)
        attrs = (struct.pack("!BBB", 0x40, 1, 1) + b"\0" + struct.pack("!BBB", 0x50 & 0x40, 2, len(asp)) + asp
                 + struct.pack("!BBB", 0x40, 3, 4) + bytes([192, 0, 2, 1]))
        paths.append(struct.pack("!H", len(attrs)) + attrs)
    with open(path, "wb") as f:
        for p in prefixes:
            net = ipaddress.ip_network(p, strict=False)
            v6 = net.version == 6
            body = [struct.pack("!IB", 0, net.prefixlen), net.network_address.packed[:(net.prefixlen + 7) // 8],
                    struct.pack("!H", entries_per_prefix)]
            for peer in range(entries_per_prefix):
                body.append(struct.pack("!HI", peer, 0) + paths[rng.randrange(len(paths))])
            b = b"".join(body)
            f.write(struct.pack("!IHHI", 0, 13, 4 if v6 else 2, len(b)) + b)


def bench_mrt(netrove, rounds, rows):
    prefixes = table_prefixes()
    path = Path(tempfile.mkdtemp()) / "rib.mrt"
    synth_mrt(path, prefixes)
    size = path.stat().st_size
    t = statistics.median(timed(lambda: load_into_new(netrove, path, "mrt"))[0] for _ in range(rounds))
    rows.append((f"MRT RIB dump, {len(prefixes):,} prefixes x 20 entries ({size / 1e6:.0f} MB): load", "",
                 f"{t:.2f} s", f"{size / 1e6 / t:.0f} MB/s", "100 MB/s"))
    path.unlink()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--only", default="ipasn,mmdb,mrt")
    ap.add_argument("--write", action="store_true")
    args = ap.parse_args()
    sys.path.insert(0, str(HERE.parent / args.build / "python"))
    import netrove
    rows = []
    for name in args.only.split(","):
        {"ipasn": bench_ipasn, "mmdb": bench_mmdb, "mrt": bench_mrt}[name](netrove, args.rounds, rows)
    lines = ["Setting: collector on, nothing frozen, records with attributes; one process, nothing else running.", "",
             "| figure | peer | netrove | ratio | target |", "|---|---|---|---|---|"]
    lines += [f"| {' | '.join(r)} |" for r in rows]
    print("\n".join(lines))
    if args.write:
        (HERE / "results" / "loads.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
