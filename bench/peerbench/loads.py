"""The loads mode: load() of ipasn.dat against pyasn's constructor, of
GeoLite2 City against MaxMind's reader flattened into insert_many, and the
MB/s of a synthesised MRT RIB dump; lookups of each loaded table against the
peer's, and resident memory per prefix (bench/README.md).  Writes loads.md.
"""

from __future__ import annotations

import ipaddress
import random
import statistics
import struct
import tempfile
import time
from pathlib import Path

from .measure import alternate, rss_bytes, write_page
from .origins import load_tables
from .table import data_path


def add_arguments(ap) -> None:
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--only", default="ipasn,mmdb,mrt", help="comma list of ipasn, mmdb, mrt")


def _lookups(fn, ips, rounds) -> float:
    """Median ns per call of fn over `ips`."""
    runs = []
    for _ in range(rounds):
        t = time.perf_counter()
        for ip in ips:
            fn(ip)
        runs.append(time.perf_counter() - t)
    return statistics.median(runs) / len(ips) * 1e9


def _loaded(netrove, *args):
    """A new engine loaded by load(*args), returned so that its teardown
    falls outside the timed call, as the peers' objects' does."""
    e = netrove.RadixEngine()
    e.load(*args)
    return e


def _measured(netrove, *args):
    """A loaded engine, and the resident bytes it added per prefix."""
    before = rss_bytes()
    e = _loaded(netrove, *args)
    return e, (rss_bytes() - before) / max(1, len(e))


def _random_ipv4(seed, n):
    rng = random.Random(seed)
    return [str(ipaddress.IPv4Address(rng.getrandbits(32))) for _ in range(n)]


def ipasn(netrove, tables, args, tmp, rows):
    import pyasn

    t = tables["ipv4"]
    path = tmp / "ipasn.dat"
    path.write_text("; IP-ASN32-DAT file\n" + "".join(f"{p}\t{a}\n" for p, a in zip(t.cidrs, t.origins)))
    times = alternate(args.rounds, {"pyasn": lambda: pyasn.pyasn(str(path)), "load": lambda: _loaded(netrove, path)})
    (e, per), oracle = _measured(netrove, path), pyasn.pyasn(str(path))
    ips = _random_ipv4(5, 20_000 if args.quick else 300_000)
    wrong = sum(str(oracle.lookup(ip)[0] or "") != (e.lookup_value(ip) or "") for ip in ips)
    ns_peer, ns_ours = _lookups(oracle.lookup, ips, args.rounds), _lookups(e.lookup_value, ips, args.rounds)
    tp, tl = statistics.median(times["pyasn"]), statistics.median(times["load"])
    rows += [(f"ipasn.dat, {len(e):,} IPv4 prefixes: build", f"{tp:.3f} s", f"{tl:.3f} s", f"{tp / tl:.2f}x", "target 3x"),
             ("ipasn.dat: lookup_value / pyasn.lookup", f"{ns_peer:.0f} ns", f"{ns_ours:.0f} ns",
              f"{ns_peer / ns_ours:.2f}x", f"{wrong} of {len(ips):,} answers differ"),
             ("ipasn.dat: resident memory per prefix", "", f"{per:.0f} B", "", "")]


def _flatten(v, path, out):
    if isinstance(v, dict):
        for k, x in v.items():
            _flatten(x, f"{path}.{k}" if path else k, out)
    elif isinstance(v, list):
        for i, x in enumerate(v):
            _flatten(x, f"{path}.{i}" if path else str(i), out)
    else:
        out[path] = ("true" if v else "false") if isinstance(v, bool) else str(v)


def mmdb(netrove, tables, args, tmp, rows):
    import _maxminddb_geolite2  # the data package of maxminddb-geolite2
    import maxminddb

    path = next(Path(_maxminddb_geolite2.__file__).parent.glob("*City*.mmdb"))

    def through_reader():
        # The reader hands out a new dict per network: equal records are
        # shared through a memo on their flattened items, as a user must.
        memo, items = {}, []
        with maxminddb.open_database(str(path)) as reader:
            for net, rec in reader:
                attrs = {}
                _flatten(rec, "", attrs)
                meta = memo.get(key := tuple(attrs.items()))
                if meta is None:
                    value = attrs.get("country.iso_code") or attrs.get("registered_country.iso_code") or ""
                    meta = memo[key] = {"value": value, "attributes": attrs}
                items.append((str(net), meta))
                if args.quick and len(items) >= args.limit:
                    break
        e = netrove.RadixEngine()
        e.insert_many(items)
        return e

    times = alternate(1, {"reader": through_reader})  # one run: it takes minutes
    times.update(alternate(args.rounds, {"load": lambda: _loaded(netrove, path)}))
    (e, per), reader = _measured(netrove, path), maxminddb.open_database(str(path))
    ips = _random_ipv4(6, 20_000 if args.quick else 300_000)
    ns_peer, ns_ours = _lookups(reader.get, ips, args.rounds), _lookups(e.lookup, ips, args.rounds)
    tr, tl = statistics.median(times["reader"]), statistics.median(times["load"])
    rows += [(f"GeoLite2 City, {len(e):,} networks: build (reader + insert_many)", f"{tr:.2f} s", f"{tl:.2f} s",
              f"{tr / tl:.1f}x", "the reader stopped at --limit networks" if args.quick else ""),
             ("GeoLite2 City: lookup / reader.get", f"{ns_peer:.0f} ns", f"{ns_ours:.0f} ns",
              f"{ns_peer / ns_ours:.1f}x", ""),
             ("GeoLite2 City: resident memory per network", "", f"{per:.0f} B", "", "")]


def _synth_mrt(path, prefixes, entries=20):
    """A TABLE_DUMP_V2 RIB of `prefixes`, `entries` routes each over 5,000
    random AS paths (ORIGIN, AS_PATH of 4-byte ASes, NEXT_HOP)."""
    rng = random.Random(7)
    paths = []
    for _ in range(5000):
        segs = [rng.randrange(1, 400000) for _ in range(rng.randrange(2, 7))]
        asp = struct.pack("!BB", 2, len(segs)) + b"".join(struct.pack("!I", a) for a in segs)
        attrs = (struct.pack("!BBB", 0x40, 1, 1) + b"\0" + struct.pack("!BBB", 0x40, 2, len(asp)) + asp
                 + struct.pack("!BBB", 0x40, 3, 4) + bytes([192, 0, 2, 1]))
        paths.append(struct.pack("!H", len(attrs)) + attrs)
    with open(path, "wb") as f:
        for p in prefixes:
            net = ipaddress.ip_network(p, strict=False)
            body = [struct.pack("!IB", 0, net.prefixlen), net.network_address.packed[:(net.prefixlen + 7) // 8],
                    struct.pack("!H", entries)]
            body += [struct.pack("!HI", peer, 0) + paths[rng.randrange(len(paths))] for peer in range(entries)]
            b = b"".join(body)
            f.write(struct.pack("!IHHI", 0, 13, 4 if net.version == 6 else 2, len(b)) + b)


def mrt(netrove, tables, args, tmp, rows):
    path = tmp / "rib.mrt"
    _synth_mrt(path, tables["both"].cidrs)
    mb = path.stat().st_size / 1e6
    t = statistics.median(alternate(args.rounds, {"load": lambda: _loaded(netrove, path, "mrt")})["load"])
    rows.append((f"MRT RIB dump, {len(tables['both']):,} prefixes x 20 entries ({mb:.0f} MB): load", "",
                 f"{t:.2f} s", f"{mb / t:.0f} MB/s", ""))


def run(args) -> int:
    import netrove

    tables = load_tables(data_path(Path(__file__).resolve().parents[2]), args.limit)
    rows: list[tuple] = []
    with tempfile.TemporaryDirectory(prefix="peerbench-loads.") as d:
        for name in args.only.split(","):
            try:
                {"ipasn": ipasn, "mmdb": mmdb, "mrt": mrt}[name](netrove, tables, args, Path(d), rows)
            except ImportError as e:
                rows.append((f"{name}: not measured", str(e), "", "", ""))
    write_page(args.out / "loads.md", "Loading tables from files (`python -m peerbench loads`)",
               "Realistic setting: collector on, nothing frozen, records with attributes; one process, median of "
               f"{args.rounds} alternating rounds.", [("", ["figure", "peer", "netrove", "ratio", "note"], rows)])
    return 0
