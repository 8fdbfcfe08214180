"""The mrt loader against mrtparse: random RIB dumps built byte by byte
(TABLE_DUMP_V2 with ADD-PATH, the older TABLE_DUMP, records to skip), the
origins computed from mrtparse's reading of the same bytes; and truncated
or corrupt dumps, which raise ValueError naming the byte offset."""

import gzip
import io
import ipaddress
import random
import struct

import mrtparse  # the oracle (requirements-dev.txt)
import pytest

from netrove import RadixEngine

from conftest import raised


def attr(kind, value, extended=False):
    return struct.pack("!BBH" if extended else "!BBB", 0x50 if extended else 0x40, kind, len(value)) + value


def as_path(segments, width):
    out = b""
    for kind, asns in segments:
        out += struct.pack("!BB", kind, len(asns)) + b"".join(struct.pack("!I" if width == 4 else "!H", a) for a in asns)
    return out


def record(kind, subtype, body):
    return struct.pack("!IHHI", 1700000000, kind, subtype, len(body)) + body


def attributes(rng, width):
    segments = [(2, [rng.choice([rng.randrange(1, 65536), rng.randrange(65536, 2 ** 32)]) if width == 4
                     else rng.randrange(1, 65536) for _ in range(rng.randrange(1, 4))])]
    shape = rng.random()
    if shape < 0.1:
        segments = []                                          # an empty path: no origin
    elif shape < 0.2:
        segments.append((1, [rng.randrange(1, 65536) for _ in range(rng.randrange(1, 4))]))  # ends in a set
    elif shape < 0.25:
        segments.append((3, [64512]))                          # a confederation segment last
    elif shape < 0.3:
        segments.insert(0, (4, [64513, 64514]))
    origin = struct.pack("!B", 0)
    return (attr(1, origin) + attr(2, as_path(segments, width), extended=rng.random() < 0.3)
            + attr(3, bytes([192, 0, 2, 1])))


def random_dump(rng):
    peers = 6
    table = struct.pack("!4sH", bytes([10, 0, 0, 1]), 0) + struct.pack("!H", peers)
    for i in range(peers):
        table += struct.pack("!B4s4sI", 2, bytes([10, 0, 0, i]), bytes([10, 0, 0, i]), 65000 + i)
    out = [record(13, 1, table)]
    nets = [ipaddress.ip_network((rng.randrange(2 ** 32), rng.randrange(8, 25)), strict=False) for _ in range(40)]
    nets += [ipaddress.ip_network((rng.randrange(2 ** 128), rng.randrange(16, 49)), strict=False) for _ in range(15)]
    nets += [ipaddress.ip_network("0.0.0.0/0"), ipaddress.ip_network("::/0")]
    for _ in range(120):
        net = rng.choice(nets)
        v6 = net.version == 6
        add_path = rng.random() < 0.3
        subtype = (10 if v6 else 8) if add_path else (4 if v6 else 2)
        if rng.random() < 0.15 and not v6:  # the older format, one entry a record
            a = attributes(rng, 2)
            out.append(record(12, 1, struct.pack("!HH4sBBI4sHH", 0, 0, net.network_address.packed, net.prefixlen, 1,
                                                 0, bytes(4), 65000, len(a)) + a))
            continue
        body = struct.pack("!IB", 0, net.prefixlen) + net.network_address.packed[:(net.prefixlen + 7) // 8]
        entries = [(rng.randrange(peers), attributes(rng, 4)) for _ in range(rng.randrange(0, 5))]
        body += struct.pack("!H", len(entries))
        for i, (peer, a) in enumerate(entries):
            body += struct.pack("!HI", peer, 0) + (struct.pack("!I", i) if add_path else b"") + struct.pack("!H", len(a)) + a
        out.append(record(13, subtype, body))
        if rng.random() < 0.1:
            out.append(record(16, 4, bytes(rng.randrange(40))))           # BGP4MP: skipped
            out.append(record(13, 3, body))                              # multicast: skipped
    return b"".join(out)


def oracle(dump, path):
    path.write_bytes(dump)
    tallies, order = {}, 0
    for entry in mrtparse.Reader(str(path)):
        d = entry.data
        kind, subtype = next(iter(d["type"])), next(iter(d["subtype"]))
        if kind == 13 and subtype in (2, 4, 8, 10):
            rows = [(e["peer_index"], e["path_attributes"]) for e in d["rib_entries"]]
        elif kind == 12:
            rows = [(0, d["path_attributes"])]
        else:
            continue
        net = str(ipaddress.ip_network(f"{d['prefix']}/{d['length']}", strict=False))
        t = tallies.setdefault(net, {"entries": 0, "origins": {}})
        for peer, attrs in rows:
            t["entries"] += 1
            origin = None
            for a in attrs:
                if next(iter(a["type"])) != 2:
                    continue
                for seg in a["value"]:
                    kind_ = next(iter(seg["type"]))
                    if kind_ == 2 and seg["value"]:
                        origin = seg["value"][-1]
                    elif kind_ == 1 and seg["value"]:
                        origin = "{" + ",".join(seg["value"]) + "}"
            key = (peer, order)
            order += 1
            if origin is not None:
                count, first = t["origins"].get(origin, (0, key))
                t["origins"][origin] = (count + 1, min(first, key))
    out = {}
    for net, t in tallies.items():
        ranked = sorted(t["origins"], key=lambda o: (-t["origins"][o][0], t["origins"][o][1]))
        out[net] = {"value": ranked[0] if ranked else "",
                    "attributes": {"origins": " ".join(ranked), "peers": str(t["entries"])}}
    return out


@pytest.mark.parametrize("seed", range(6))
def test_random_dumps_match_mrtparse(seed, tmp_path):
    rng = random.Random(seed)
    dump = random_dump(rng)
    want = oracle(dump, tmp_path / "rib.mrt")
    e = RadixEngine()
    source = gzip.compress(dump) if seed % 2 else dump
    assert e.load(io.BytesIO(source)) == len(want)  # detected
    assert dict(e.items()) == want


def test_truncated_and_corrupt_dumps_name_the_byte(tmp_path):
    dump = random_dump(random.Random(9))
    for cut in (5, 12, 40, len(dump) - 3):
        err = raised(RadixEngine().load, io.BytesIO(dump[:cut]), format="mrt")
        assert isinstance(err, ValueError) and ": at byte " in str(err), (cut, err)
    rng = random.Random(1)
    for _ in range(300):  # flipped bytes: an error or a table, never a crash
        bad = bytearray(dump)
        for _ in range(3):
            bad[rng.randrange(len(bad))] = rng.randrange(256)
        e = RadixEngine()
        try:
            e.load(io.BytesIO(bytes(bad)), format="mrt")
        except ValueError as exc:
            assert ": at byte " in str(exc) and len(e) == 0
