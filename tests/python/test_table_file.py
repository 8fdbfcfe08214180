"""Table files (RadixEngine.save, .open, load of a table): round trips on every variant, a cut, flipped or newer
file refused naming the path, the OSErrors and types of paths, a failed save that leaves the old file alone.
Every cut and flipped byte and the header layout: the C++ tests."""

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


def table(e):
    return {p: (m["value"], m["attributes"]) for p, m in e.items()}


def expected(entries):
    return {p: (m["value"], m.get("attributes", {})) for p, m in entries.items()}


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
    got, rng = RadixEngine.open(path, variant), random.Random(1)
    assert table(got) == expected(entries) and got.items() == src.items() and len(got) == len(entries)
    addresses = [str(ipaddress.ip_address(rng.getrandbits(rng.choice((32, 128))))) for _ in range(400)]
    addresses += [p.split("/")[0] for p in entries]
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


@pytest.mark.parametrize("case,reason", [
    ("header", "truncated in the header (12 of 40 bytes)"),
    ("body", "truncated: the header announces {} body bytes, {} follow it"),
    ("flip", "corrupt: checksum mismatch"),
    ("version 2", "written by a newer netrove: format version 2 (this one reads 1)")])
def test_refused_naming_the_path_and_leaving_the_engine(tmp_path, case, reason):
    (src := RadixEngine()).insert_many(random_entries(7, 300))
    src.save(good := tmp_path / "good.nrv")
    data = good.read_bytes()
    cut = random.Random(8).randrange(41, len(data))  # a header cut short, the body cut or flipped, a newer version
    bad = {"header": data[:12], "body": data[:cut], "version 2": data[:8] + struct.pack("<I", 2) + data[12:],
           "flip": data[:cut] + bytes([data[cut] ^ 0x10]) + data[cut + 1:]}[case]
    (path := tmp_path / "bad.nrv").write_bytes(bad)
    err = raised(RadixEngine.open, path)
    assert type(err) is ValueError and str(err) == f"{path}: " + reason.format(len(data) - 40, cut - 40), err
    e = RadixEngine()
    e.insert("203.0.113.0/24", {"value": "kept"})
    for fmt in (None, "table"):
        again = raised(e.load, path, format=fmt)
        assert type(again) is ValueError and str(again) == str(err)
    assert table(e) == {"203.0.113.0/24": ("kept", {})}


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
