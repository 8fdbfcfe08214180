"""Table files (RadixEngine.save, RadixEngine.open, load of a table): round
trips on every variant, the header against its layout (a CRC-32C written
here), every truncation and flipped byte refused with its reason, a failed
save that leaves the old file alone, and the path types."""

import ipaddress
import os
import pickle
import random
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from netrove import RadixEngine

from conftest import VARIANTS, raised

TEXTS = ["", "deny", "ü", "日本語", "tab\there", "line\nbreak", 'quote",comma', "😀", "back\\slash", "\u2028"]


def random_entries(seed, n):
    """n random prefixes of both families, both /0s, a /32 and a /128, over 40 shared records."""
    rng = random.Random(seed)
    records = [{"value": rng.choice(TEXTS) + str(i),
                "attributes": {f"k{j}": rng.choice(TEXTS) for j in range(rng.randrange(4))}} for i in range(40)]
    entries = {p: rng.choice(records) for p in ("0.0.0.0/0", "::/0", "192.0.2.1/32", "2001:db8::1/128")}
    for _ in range(n):
        cls, bits = (ipaddress.IPv4Network, 32) if rng.random() < 0.5 else (ipaddress.IPv6Network, 128)
        entries[str(cls((rng.getrandbits(bits), rng.randrange(bits + 1)), strict=False))] = rng.choice(records)
    return entries


def probes(seed, n=400):
    rng = random.Random(seed)
    return [str(ipaddress.IPv4Address(rng.getrandbits(32))) if rng.random() < 0.5
            else str(ipaddress.IPv6Address(rng.getrandbits(128))) for _ in range(n)]


def table(e):
    return {p: (m["value"], m["attributes"]) for p, m in e.items()}


def expected(entries):
    return {p: (m["value"], m.get("attributes", {})) for p, m in entries.items()}


def crc32c(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 & -(crc & 1))
    return crc ^ 0xFFFFFFFF


CASES = {"empty": {}, "one-v4": {"198.51.100.0/24": {"value": "one", "attributes": {"a": "b"}}},
         "one-v6": {"2001:db8:1::/48": {"value": "one"}}, "random": random_entries(5, 3000)}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_save_open_round_trip(tmp_path, variant, case):
    entries = CASES[case]
    src = RadixEngine(variant)
    src.insert_many(entries)
    path = tmp_path / "t.nrv"
    src.save(path)
    got = RadixEngine.open(path, variant)
    assert table(got) == expected(entries) and got.items() == src.items()
    assert len(got) == len(src) == len(entries)
    addresses = probes(1) + [p.split("/")[0] for p in entries]
    assert [got.match(a) for a in addresses] == [src.match(a) for a in addresses]
    assert os.path.getsize(path) <= len(pickle.dumps(src))
    for fmt in (None, "table"):  # detected or named, onto what an engine holds
        other = RadixEngine(variant)
        other.insert("100.64.0.0/10", {"value": "before"})
        assert other.load(path, format=fmt) == len(entries)
        assert table(other) == {"100.64.0.0/10": ("before", {})} | expected(entries)
    with open(path, "rb") as f:
        (other := RadixEngine(variant)).load(f)
    assert other.items() == src.items()


def test_header_follows_the_layout(tmp_path):
    entries = random_entries(6, 500)
    src = RadixEngine()
    src.insert_many(entries)
    src.save(tmp_path / "a.nrv")
    data = (tmp_path / "a.nrv").read_bytes()
    magic, version, v4, v6, body, crc = struct.unpack_from("<8sIQQQI", data)
    assert (magic, version, body) == (b"NRVTABLE", 1, len(data) - 40)
    assert v4 == sum(":" not in p for p in entries) and v6 == sum(":" in p for p in entries)
    assert crc == crc32c(data[12:36] + data[40:])
    RadixEngine.open(tmp_path / "a.nrv", "lockfree").save(tmp_path / "b.nrv")  # saved again: the same bytes
    assert (tmp_path / "b.nrv").read_bytes() == data


@pytest.fixture
def saved(tmp_path):
    src = RadixEngine()
    src.insert_many(random_entries(7, 300))
    path = tmp_path / "good.nrv"
    src.save(path)
    return tmp_path / "bad.nrv", path.read_bytes()


def assert_refused(path, data, *reasons):
    """Neither open nor load accepts `data`, with the same message naming
    `path` and one of `reasons`; the engine loaded into keeps its entries."""
    path.write_bytes(data)
    err = raised(RadixEngine.open, path)
    assert type(err) is ValueError and str(err).startswith(f"{path}: "), err
    assert any(r in str(err) for r in reasons), (str(err), reasons)
    e = RadixEngine()
    e.insert("203.0.113.0/24", {"value": "kept"})
    again = raised(e.load, path, format="table")
    assert type(again) is ValueError and str(again) == str(err)
    assert table(e) == {"203.0.113.0/24": ("kept", {})}


def test_truncated_at_every_header_boundary_and_in_the_body(saved):
    path, data = saved
    for cut in [0, 4, 8, 12, 20, 28, 36, 40] + random.Random(8).sample(range(41, len(data)), 25):
        reason = ("not a netrove table file (no NRVTABLE magic)" if cut == 0
                  else f"truncated in the header ({cut} of 40 bytes)" if cut < 40
                  else f"truncated: the header announces {len(data) - 40} body bytes, {cut - 40} follow it")
        assert_refused(path, data[:cut], reason)


def test_every_header_byte_and_random_body_bytes_flipped(saved):
    path, data = saved
    rng = random.Random(9)
    for at in list(range(40)) + rng.sample(range(40, len(data)), 60):
        bad = bytearray(data)
        bad[at] ^= rng.randrange(1, 256)
        reasons = (["no NRVTABLE magic"] if at < 8 else ["format version"] if at < 12
                   else ["truncated: the header announces", "bytes after the body"] if 28 <= at < 36
                   else ["corrupt: checksum mismatch"])
        assert_refused(path, bytes(bad), *reasons)


def resealed(header, body):
    """`header` with the length of `body` and a checksum that fits."""
    head = header[:28] + struct.pack("<Q", len(body))
    return head + struct.pack("<I", crc32c(head[12:] + body)) + body


def forged(data, case):
    """`data` made bad past its checksum (resealed where the change would
    show), or a file of another kind."""
    header, body = data[:40], data[40:]
    v4, v6 = struct.unpack_from("<QQ", header, 12)
    return {"version 2": data[:8] + struct.pack("<I", 2) + data[12:],
            "ipv4 count": resealed(header[:12] + struct.pack("<Q", v4 + 1) + header[20:], body),
            "ipv6 count": resealed(header[:20] + struct.pack("<Q", v6 - 1) + header[28:], body),
            "trailing byte": resealed(header, body + b"\0"),
            "random body": resealed(header, random.Random(10).randbytes(len(body))),
            "a list": b"10.0.0.0/8\n"}[case]


@pytest.mark.parametrize("case,reason", [
    ("version 2", "written by a newer netrove: format version 2 (this one reads 1)"),
    ("ipv4 count", "corrupt: the header counts"), ("ipv6 count", "corrupt: the header counts"),
    ("trailing byte", "corrupt: "), ("random body", "corrupt: "),
    ("a list", "not a netrove table file (no NRVTABLE magic)")])
def test_forged_files(saved, case, reason):
    path, data = saved
    assert_refused(path, forged(data, case), reason)


def test_paths_that_cannot_be_read_or_written_and_non_paths(tmp_path):
    e = RadixEngine()
    e.insert("10.0.0.0/8", {"value": "x"})
    (tmp_path / "plain").write_bytes(b"")
    for call, path, error in [(RadixEngine.open, tmp_path, IsADirectoryError),
                              (RadixEngine.open, tmp_path / "missing.nrv", FileNotFoundError),
                              (e.save, tmp_path, IsADirectoryError),
                              (e.save, tmp_path / "missing" / "t.nrv", FileNotFoundError),
                              (e.save, tmp_path / "plain" / "t.nrv", NotADirectoryError)]:
        err = raised(call, path)
        assert type(err) is error and err.filename == str(path), (call, path, err)
    for bad in (42, None, 1.5, ["t.nrv"]):
        assert type(raised(e.save, bad)) is TypeError and type(raised(RadixEngine.open, bad)) is TypeError
    assert os.listdir(tmp_path) == ["plain"] and (tmp_path / "plain").read_bytes() == b""


SAVE_OVER_THE_LIMIT = """
import resource, signal, sys
from netrove import RadixEngine
e = RadixEngine()
e.insert_many({f"10.{i >> 8}.{i & 255}.0/24": {"value": "v" * 50 + str(i)} for i in range(5000)})
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
try:
    e.save(sys.argv[1])
except OSError as err:
    sys.exit(f"OSError {err.errno}")
"""


def test_a_failed_save_leaves_the_old_file(tmp_path):
    old = RadixEngine()
    old.insert_many(random_entries(11, 20))
    path = tmp_path / "t.nrv"
    old.save(path)
    before = path.read_bytes()
    run = subprocess.run([sys.executable, "-c", SAVE_OVER_THE_LIMIT, str(path)], capture_output=True, text=True)
    assert run.returncode == 1 and run.stderr.strip() == "OSError 27", run.stderr  # EFBIG
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["t.nrv"]
    assert RadixEngine.open(path).items() == old.items()


@pytest.mark.parametrize("kind", [str, os.fsencode, Path], ids=["str", "bytes", "Path"])
def test_path_types(tmp_path, kind):
    src = RadixEngine()
    src.insert_many(CASES["one-v4"])
    path = kind(tmp_path / "tablé ü.nrv")
    src.save(path)
    assert RadixEngine.open(path).items() == src.items()
    other = RadixEngine()
    other.load(path, format="table")
    assert other.items() == src.items()
    bad = tmp_path / "bad.nrv"
    bad.write_bytes(b"NRVTABLE\1\0\0\0")
    err = raised(RadixEngine.open, kind(bad))
    assert type(err) is ValueError and str(err) == f"{bad}: truncated in the header (12 of 40 bytes)"
