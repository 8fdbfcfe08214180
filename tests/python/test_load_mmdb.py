"""The mmdb loader against MaxMind's own reader: random databases written by
mmdb_writer.py (24-, 28- and 32-bit records, IPv4 and IPv6 trees, MaxMind's
IPv4 aliases, every data type), every network the reader yields compared
with what load() stored, value and attributes computed from the reader's
records by the documented rules; truncated and corrupted files raise
ValueError or load, never crash."""

import gzip
import io
import ipaddress
import json
import random

import maxminddb  # the oracle (requirements-dev.txt)
import pytest

from netrove import RadixEngine

from conftest import raised
from mmdb_writer import Float32, Int32, UInt16, UInt32, UInt64, UInt128, write_mmdb

DEFAULT_VALUE = ("country.iso_code", "registered_country.iso_code", "autonomous_system_number")


def text(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, (bytes, bytearray)):
        return bytes(v).hex()
    if isinstance(v, (dict, list)):
        return json.dumps(jsonable(v), separators=(",", ":"), ensure_ascii=False)
    return str(v)


def jsonable(v):
    if isinstance(v, dict):
        return {k: jsonable(x) for k, x in v.items()}
    if isinstance(v, list):
        return [jsonable(x) for x in v]
    if isinstance(v, (bytes, bytearray)):
        return bytes(v).hex()
    return v


def at(record, path):
    for step in path.split("."):
        if isinstance(record, dict) and step in record:
            record = record[step]
        elif isinstance(record, list) and step.isdigit() and int(step) < len(record):
            record = record[int(step)]
        else:
            return None
    return record


def leaves(v, path=""):
    if isinstance(v, dict):
        for k, x in v.items():
            yield from leaves(x, f"{path}.{k}" if path else k)
    elif isinstance(v, list):
        for i, x in enumerate(v):
            yield from leaves(x, f"{path}.{i}" if path else str(i))
    else:
        yield path, text(v)


def expected(record, value=None, attributes=None):
    if not isinstance(record, dict):
        return {"value": text(record), "attributes": {}}
    if value is not None:
        found = at(record, value)
        v = "" if found is None else text(found)
    else:
        found = next((x for x in (at(record, p) for p in DEFAULT_VALUE) if x is not None), None)
        v = text(record if found is None else found)
    if attributes is not None:
        attrs = {p: "" if at(record, p) is None else text(at(record, p)) for p in attributes}
    else:
        attrs = {}
        for k, x in leaves(record):
            attrs.setdefault(k, x)
    return {"value": v, "attributes": attrs}


def random_value(rng, depth=0):
    kind = rng.randrange(12 if depth < 3 else 9)
    if kind == 0:
        return rng.choice(["", "München", "a b", "x" * 40])
    if kind == 1:
        return UInt16(rng.randrange(2 ** 16))
    if kind == 2:
        return UInt32(rng.randrange(2 ** 32))
    if kind == 3:
        return UInt64(rng.randrange(2 ** 64))
    if kind == 4:
        return UInt128(rng.randrange(2 ** 128))
    if kind == 5:
        return Int32(rng.randrange(-2 ** 31, 2 ** 31))
    if kind == 6:
        return rng.choice([1.5, -0.25, 51.5074, 1e16, 1.2345678901234568e+17, 1e-05, 0.0001, 100.0, 2.5e-300])
    if kind == 7:
        return rng.choice([True, False, Float32(rng.choice([0.1, 3.5, -2.0]))])
    if kind == 8:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(4)))
    if kind == 9:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(3))]
    return {f"k{i}": random_value(rng, depth + 1) for i in range(rng.randrange(4))}


def geo_record(rng):
    rec = {"city": {"names": {"en": rng.choice(["Sydney", "Paris"]), "de": "Stadt"}},
           "country": {"iso_code": rng.choice(["AU", "FR", "DE"]), "geoname_id": UInt32(rng.randrange(10 ** 6))},
           "location": {"latitude": 48.8566, "longitude": 2.3522, "accuracy_radius": UInt16(20)},
           "subdivisions": [{"iso_code": "NSW", "names": {"en": "New South Wales"}}], "empty": {}, "none": []}
    if rng.random() < 0.3:
        del rec["country"]
        rec["registered_country"] = {"iso_code": "US"}
    return rec


def random_networks(rng, ip_version, n):
    nets = []
    reserved = [ipaddress.ip_network(x) for x in ("::/96", "::ffff:0:0/96", "2001::/32", "2002::/16")]
    while len(nets) < n:
        if ip_version == 4 or rng.random() < 0.5:
            net = ipaddress.ip_network((rng.randrange(2 ** 32), rng.randrange(1, 33)), strict=False)
        else:
            net = ipaddress.ip_network((rng.randrange(2 ** 128), rng.randrange(1, 129)), strict=False)
            if any(net.overlaps(r) for r in reserved):
                continue
        if not any(net.overlaps(o) for o in nets):
            nets.append(net)
    return nets


def oracle(path):
    with maxminddb.open_database(str(path)) as reader:
        return list(reader)


@pytest.mark.parametrize("record_size", [24, 28, 32])
@pytest.mark.parametrize("ip_version", [4, 6])
def test_every_network_matches_maxminds_reader(tmp_path, record_size, ip_version):
    rng = random.Random(record_size * 10 + ip_version)
    records = [geo_record(rng) for _ in range(6)] + [random_value(rng) for _ in range(10)]
    records += [{"autonomous_system_number": UInt32(64500), "autonomous_system_organization": "Example"}, "bare", 7]
    entries = [(net, rng.choice(records)) for net in random_networks(rng, ip_version, 300)]
    path = tmp_path / "t.mmdb"
    write_mmdb(path, entries, ip_version=ip_version, record_size=record_size)
    want = oracle(path)
    assert len(want) == len(entries)
    e = RadixEngine()
    assert e.load(path) == len(want)  # detected
    got = dict(e.items())
    assert got == {str(net): expected(rec) for net, rec in want}
    # value= and attributes= paths, through gzip and a file object
    e = RadixEngine("standard")
    e.load(io.BytesIO(gzip.compress(path.read_bytes())), "mmdb", value="city.names.en",
           attributes=["country.iso_code", "subdivisions.0", "missing.path"])
    got = dict(e.items())
    assert got == {str(net): expected(rec, "city.names.en", ["country.iso_code", "subdivisions.0", "missing.path"])
                   for net, rec in want}


def test_ipv4_in_an_ipv6_tree_and_its_aliases(tmp_path):
    path = tmp_path / "a.mmdb"
    write_mmdb(path, [(ipaddress.ip_network("1.2.3.0/24"), {"country": {"iso_code": "AU"}}),
                      (ipaddress.ip_network("2400:cb00::/32"), {"country": {"iso_code": "US"}})])
    e = RadixEngine()
    assert e.load(path) == 2
    assert [p for p, _ in e.items()] == ["1.2.3.0/24", "2400:cb00::/32"]  # no ::ffff:, 2001:, 2002: copies
    assert e.lookup_value("1.2.3.4") == "AU" and e.lookup_value("2002:102:304::1") is None


def test_corrupt_files_raise_value_error_and_never_crash(tmp_path):
    rng = random.Random(4)
    path = tmp_path / "c.mmdb"
    write_mmdb(path, [(net, geo_record(rng)) for net in random_networks(rng, 6, 60)], record_size=24)
    whole = path.read_bytes()
    for cut in (10, len(whole) // 2, len(whole) - 5):
        err = raised(RadixEngine().load, io.BytesIO(whole[:cut]), format="mmdb")
        assert isinstance(err, ValueError), cut
    for _ in range(200):
        bad = bytearray(whole)
        for _ in range(rng.randrange(1, 4)):
            bad[rng.randrange(len(bad))] = rng.randrange(256)
        e = RadixEngine()
        try:
            e.load(io.BytesIO(bytes(bad)), format="mmdb")
        except ValueError:
            assert len(e) == 0
    err = raised(RadixEngine().load, io.BytesIO(b"\x00\x01\x02" * 100))
    assert isinstance(err, ValueError) and "cannot tell the format" in str(err)
