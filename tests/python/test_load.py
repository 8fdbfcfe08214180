"""RadixEngine.load against independent readers: ranges against
ipaddress.summarize_address_range, ipasn files against pyasn, csv against
the csv module; every format's edge cases (comments, BOM and CRLF, quoted
fields, multi-origin and AS-set fields, ranges across families), the three
codecs (concatenated streams, truncation), progress, and that a bad source
stores nothing."""

import bz2
import csv
import gzip
import io
import ipaddress
import lzma
import os
import random
import threading

import pytest

from netrove import RadixEngine

from conftest import VARIANTS, raised

CODECS = {"plain": lambda b: b, "gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress}


def load_bytes(e, data, **kw):
    return e.load(io.BytesIO(data), **kw)


def table(e):
    return {p: (m["value"], m["attributes"]) for p, m in e.items()}


def random_range(rng):
    if rng.random() < 0.5:
        a, b = sorted(rng.randrange(2 ** 32) >> rng.randrange(32) for _ in range(2))
        return ipaddress.IPv4Address(a), ipaddress.IPv4Address(b)
    base = rng.randrange(2 ** 128)
    a, b = sorted(base ^ (rng.randrange(2 ** 128) >> rng.randrange(128)) for _ in range(2))
    return ipaddress.IPv6Address(a), ipaddress.IPv6Address(b)


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_list_ranges_are_the_fewest_blocks(variant):
    rng = random.Random(7)
    ranges = [random_range(rng) for _ in range(300)]
    ranges += [(ipaddress.IPv4Address(0), ipaddress.IPv4Address(2 ** 32 - 1)),
               (ipaddress.IPv6Address(0), ipaddress.IPv6Address(2 ** 128 - 1)),
               (ipaddress.IPv6Address(2 ** 128 - 1), ipaddress.IPv6Address(2 ** 128 - 1))]
    for first, last in ranges:
        e = RadixEngine(variant)
        n = load_bytes(e, f"{first} - {last}\n".encode(), value="r")
        want = {str(net) for net in ipaddress.summarize_address_range(first, last)}
        assert set(table(e)) == want and n == len(want), (first, last)


@pytest.mark.parametrize("codec", CODECS)
def test_list_lines_comments_bom_crlf_and_codecs(codec):
    text = ("\ufeff# a block list\r\n"
            "10.0.0.0/8\r\n"
            "192.0.2.1 ; a host\r\n"
            "   \r\n"
            "; whole-line comment\r\n"
            "2001:db8::/32 # v6\r\n"
            "10.1.2.3/8\r\n"            # the same entry as 10.0.0.0/8, host bits kept
            "198.51.100.0-198.51.100.9")  # no final line end
    e = RadixEngine()
    assert load_bytes(e, CODECS[codec](text.encode()), value="block") == 5
    assert set(table(e)) == {"10.0.0.0/8", "192.0.2.1/32", "2001:db8::/32", "198.51.100.0/29", "198.51.100.8/31"}
    assert e.lookup_value("10.9.9.9") == "block"
    assert e.stats()["inserts"] == 6  # every entry counts, as insert_many counts


@pytest.mark.parametrize("line,why", [("10.0.0.0/33", "not an address"), ("10.0.0.9 - 10.0.0.1", "ends before"),
                                      ("10.0.0.1 - ::1", "two families"), ("banana", "not an address")])
def test_a_bad_list_line_names_the_line_and_stores_nothing(line, why):
    e = RadixEngine()
    e.insert("203.0.113.0/24", {"value": "kept"})
    err = raised(load_bytes, e, f"10.0.0.0/8\n# c\n{line}\n".encode(), format="list")
    assert isinstance(err, ValueError) and str(err).startswith("<file>:3: ") and why in str(err), err
    assert table(e) == {"203.0.113.0/24": ("kept", {})}


def test_ipasn_matches_pyasn(tmp_path):
    import pyasn  # the oracle (requirements-dev.txt)
    rng = random.Random(3)
    lines = ["; IP-ASN32-DAT file", "; Original source: a test"]
    origins = [rng.randrange(1, 2 ** 32) for _ in range(40)]  # each on many lines, seldom adjacent
    for _ in range(2000):
        if rng.random() < 0.7:
            net = ipaddress.IPv4Network((rng.randrange(2 ** 32), rng.randrange(8, 33)), strict=False)
        else:
            net = ipaddress.IPv6Network((rng.randrange(2 ** 128), rng.randrange(16, 129)), strict=False)
        lines.append(f"{net}\t{rng.choice(origins)}")
    path = tmp_path / "ipasn.dat"
    path.write_text("\n".join(lines) + "\n")
    e = RadixEngine()
    e.load(path)
    oracle = pyasn.pyasn(str(path))
    for _ in range(3000):
        ip = str(ipaddress.IPv4Address(rng.randrange(2 ** 32)) if rng.random() < 0.7
                 else ipaddress.IPv6Address(rng.randrange(2 ** 128)))
        asn, prefix = oracle.lookup(ip)
        got = e.match(ip)
        assert (got and (int(got[1]["value"]), got[0])) == ((asn, prefix) if asn else None), ip


def test_pfx2as_origins():
    data = ("1.0.0.0\t24\t13335\n"
            "1.0.4.0\t22\t38803_56203\n"      # multi-origin: the first is the value
            "1.0.16.0\t24\t271,8111_9000\n"   # an AS set stays whole
            "2001:db8::\t32\t4200000000\n")   # 4-byte ASN, IPv6
    e = RadixEngine()
    assert load_bytes(e, data.encode()) == 4  # detected
    assert table(e) == {"1.0.0.0/24": ("13335", {"origins": "13335"}),
                        "1.0.4.0/22": ("38803", {"origins": "38803_56203"}),
                        "1.0.16.0/24": ("271,8111", {"origins": "271,8111_9000"}),
                        "2001:db8::/32": ("4200000000", {"origins": "4200000000"})}
    err = raised(load_bytes, e, b"1.0.0.0\t33\t1\n", format="pfx2as")
    assert isinstance(err, ValueError) and "<file>:1: bad prefix length '33'" in str(err)


def test_csv_against_the_csv_module():
    rows = [["Network", "country", "city, name", "note"],
            ["10.0.0.0/8", "US", "New York, NY", 'say "hi"'],
            ["11.0.0.0/8", "DE", "", "two\nlines"],
            ["2001:db8::/32", "FR", "Paris", ""]]
    for delimiter in (",", "\t"):
        buf = io.StringIO()
        csv.writer(buf, delimiter=delimiter, lineterminator="\r\n").writerows(rows)
        e = RadixEngine()
        assert load_bytes(e, buf.getvalue().encode("utf-8-sig")) == 3
        want = {r[0]: (r[1], {"city, name": r[2], "note": r[3]}) for r in rows[1:]}
        assert table(e) == want
        e = RadixEngine()
        load_bytes(e, buf.getvalue().encode(), format="csv", network="Network", value="city, name",
                   attributes=["note"])
        assert table(e)["10.0.0.0/8"] == ("New York, NY", {"note": 'say "hi"'})


def test_csv_ranges_as_text_and_integers():
    data = ("first,last,cc\n"
            "1.0.0.0,1.0.0.255,AU\n"
            "16777472,16777727,CN\n"                                  # 1.0.1.0 - 1.0.1.255
            "2001:db8::,2001:db8::ff,XX\n"
            f"{int(ipaddress.IPv6Address('2001:db9::'))},{int(ipaddress.IPv6Address('2001:db9::7'))},YY\n")
    e = RadixEngine()
    assert load_bytes(e, data.encode(), start="first", end="last") == 4
    assert table(e) == {"1.0.0.0/24": ("AU", {}), "1.0.1.0/24": ("CN", {}), "2001:db8::/120": ("XX", {}),
                        "2001:db9::/125": ("YY", {})}
    for bad, why in [("1.0.0.0,::1,X", "two families"), ("1.0.0.9,1.0.0.1,X", "ends before"),
                     ("1.0.0.0,1.0.0.1", "a row of 2 fields")]:
        err = raised(load_bytes, e, f"first,last,cc\n{bad}\n".encode(), start="first", end="last")
        assert isinstance(err, ValueError) and str(err).startswith("<file>:2: ") and why in str(err), err
    err = raised(load_bytes, e, b"a,b\n1,2\n", format="csv", network="net")
    assert isinstance(err, ValueError) and "no column named 'net'" in str(err)
    err = raised(load_bytes, e, b"a,b\n1,2\n", format="list", network="a")
    assert isinstance(err, ValueError) and "network= does not apply to the list format" in str(err)


def test_later_lines_win_and_the_count_is_of_distinct_prefixes():
    e = RadixEngine("standard")
    assert load_bytes(e, b"1.0.0.0/24\t1\n1.0.0.0/24\t2\n1.0.0.7/24\t3\n2.0.0.0/8\t4\n", format="ipasn") == 2
    assert e.lookup_value("1.0.0.1") == "3" and len(e) == 2


@pytest.mark.parametrize("codec", ["gzip", "bzip2", "xz"])
def test_concatenated_streams_and_truncation(codec):
    compress = CODECS[codec]
    e = RadixEngine()
    assert load_bytes(e, compress(b"10.0.0.0/8\n") + compress(b"11.0.0.0/8\n")) == 2
    whole = compress(b"".join(b"10.%d.%d.0/24\n" % (i // 256, i % 256) for i in range(5000)))
    err = raised(load_bytes, RadixEngine(), whole[:len(whole) // 2])
    assert isinstance(err, ValueError) and codec in str(err), err
    corrupt = bytearray(whole)
    corrupt[len(corrupt) // 2] ^= 0xFF
    assert isinstance(raised(load_bytes, RadixEngine(), bytes(corrupt)), ValueError)


def test_paths_progress_and_errors(tmp_path):
    path = tmp_path / "big.list.gz"
    with gzip.open(path, "wb", compresslevel=1) as f:
        for i in range(400_000):
            f.write(b"%d.%d.%d.0/24\n" % (10 + i // 65536, i // 256 % 256, i % 256))
    calls = []
    e = RadixEngine()
    assert e.load(str(path), progress=lambda done, total: calls.append((done, total,
                                                                        threading.get_ident()))) == 400_000
    size = os.path.getsize(path)
    assert calls[-1][:2] == (size, size) and {c[2] for c in calls} == {threading.get_ident()}
    assert [c[0] for c in calls] == sorted(c[0] for c in calls)
    assert e.load(path) == 400_000 and len(e) == 400_000  # os.PathLike

    def stop(done, total):
        raise KeyboardInterrupt

    e2 = RadixEngine()
    assert isinstance(raised(e2.load, path, progress=stop), KeyboardInterrupt) and len(e2) == 0
    r, w = os.pipe()
    os.write(w, b"10.0.0.0/8\n")
    os.close(w)
    with os.fdopen(r, "rb") as pipe:
        seen = []
        assert e2.load(pipe, progress=lambda d, t: seen.append(t)) == 1 and seen[-1] is None
    assert isinstance(raised(e2.load, tmp_path / "missing"), FileNotFoundError)
    assert isinstance(raised(e2.load, tmp_path), IsADirectoryError)
    assert isinstance(raised(e2.load, io.StringIO("10.0.0.0/8\n")), TypeError)
    assert isinstance(raised(e2.load, 5), TypeError)
    assert isinstance(raised(e2.load, path, format="mmdbx"), ValueError)
    assert isinstance(raised(e2.load, path, progress=5), TypeError)
    assert isinstance(raised(e2.load, path, attributes="ab"), TypeError)
    err = raised(e2.load, io.BytesIO(b"\x00\x01\x02"))
    assert isinstance(err, ValueError) and "csv, ipasn, list, mmdb, mrt, pfx2as" in str(err)
    assert len(e2) == 1


def test_a_file_object_that_raises_stores_nothing():
    class Broken(io.RawIOBase):
        def __init__(self):
            self.left = 3

        def readable(self):
            return True

        def read(self, n=-1):
            self.left -= 1
            if self.left < 0:
                raise OSError(5, "disk on fire")
            return b"10.%d.0.0/16\n" % self.left

    e = RadixEngine()
    err = raised(e.load, Broken())
    assert isinstance(err, OSError) and err.errno == 5 and len(e) == 0


def test_load_runs_beside_other_threads(tmp_path):
    path = tmp_path / "t.list"
    path.write_bytes(b"".join(b"10.%d.%d.0/24\n" % (i // 256, i % 256) for i in range(60_000)))
    e = RadixEngine()
    e.insert("11.0.0.0/8", {"value": "x"})
    answers, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            answers.append(e.lookup_value("11.1.1.1"))

    t = threading.Thread(target=reader)
    t.start()
    for _ in range(5):
        assert e.load(path) == 60_000
    stop.set()
    t.join()
    assert answers and set(answers) == {"x"} and len(e) == 60_001
