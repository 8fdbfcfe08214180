"""The `netrove` command against the Python engine on the same table file: lookup and export line by line,
info's counts, build against load(), and grep against a brute-force scan of the log written here with ipaddress."""

import csv
import io
import ipaddress
import json
import random
import re
import select
import subprocess

import pytest

from netrove import RadixEngine

TEXTS = ["deny", "ü", "日本語", "tab\there", "line\nbreak", 'quote",comma', "back\\slash", "😀"]


def run(cli, *args, stdin=b"", cwd=None):
    p = subprocess.run([cli, *map(str, args)], input=stdin, capture_output=True, cwd=cwd)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


def assert_error(result, names=""):
    """Exit status 2 and a last line of stderr from netrove that names `names`; returns `result`."""
    code, _, err = result
    assert code == 2 and err.rstrip("\n").split("\n")[-1].startswith("netrove: ") and names in err, result
    return result


def joined(lines):
    return "".join(s + "\n" for s in lines)


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """An engine of random prefixes (no /0, so that misses happen) and its table file."""
    rng = random.Random(21)
    records = [{"value": rng.choice(TEXTS) + str(i),
                "attributes": {f"k{j}": rng.choice(TEXTS) for j in range(rng.randrange(3))}} for i in range(30)]
    (e := RadixEngine()).insert("::ffff:10.0.0.0/104", records[0])  # some IPv4-mapped addresses
    for _ in range(1500):
        cls, bits, low = (ipaddress.IPv4Network, 32, 8) if rng.random() < 0.5 else (ipaddress.IPv6Network, 128, 16)
        e.insert(cls((rng.getrandbits(bits), rng.randint(low, bits)), strict=False), rng.choice(records))
    e.save(path := tmp_path_factory.mktemp("cli") / "t.nrv")
    return e, path


def addresses(e, seed, n=200):
    """Half inside stored prefixes, half anywhere, of both families."""
    rng, keys, out = random.Random(seed), e.keys(), []
    for _ in range(n):
        if rng.random() < 0.5:
            net = ipaddress.ip_network(rng.choice(keys))
            out.append(str(net[rng.randrange(min(net.num_addresses, 2 ** 20))]))
        else:
            out.append(str(ipaddress.ip_address(rng.getrandbits(32 if rng.random() < 0.5 else 128))))
    return out + ["::FFFF:10.1.2.3", "2001:DB8::1", "::ffff:1.2.3.4"]


def lookup_line(e, text):
    m = e.match(text)
    tsv = m and m[1]["value"].replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
    return f"{text}\t{m[0]}\t{tsv}" if m else f"{text}\t-\t-"


def lookup_json(e, text):
    m = e.match(text)
    return {"address": text, "prefix": m and m[0], "value": m and m[1]["value"], "attributes": m and m[1]["attributes"]}


@pytest.mark.parametrize("how", ["arguments", "stdin", "json"])
def test_lookup(cli, saved, how):
    e, path = saved
    ips = addresses(e, 1)
    if how == "stdin":  # blank lines skipped, blanks around an address trimmed
        rng, before, after, blank = random.Random(2), ["", " ", "\t "], ["", "  ", "\t", "\r"], ["", "\n", "  \n"]
        lines = "".join(rng.choice(before) + ip + rng.choice(after) + "\n" + rng.choice(blank) for ip in ips)
        code, out, _ = run(cli, "lookup", path, stdin=lines.encode())
    else:
        code, out, _ = run(cli, "lookup", *(["--json"] if how == "json" else []), path, *ips)
    want = [lookup_json(e, ip) for ip in ips] if how == "json" else joined(lookup_line(e, ip) for ip in ips)
    assert code == 0 and (list(map(json.loads, out.splitlines())) if how == "json" else out) == want


def test_lookup_unmap_strict_and_errors(cli, saved, tmp_path):
    e, path = saved
    v4 = [ip for ip in addresses(e, 4) if "." in ip and ":" not in ip]
    mapped = [f"::FFFF:{ip}" if i % 2 else f"::ffff:{ip}" for i, ip in enumerate(v4)]
    plain, unmapped = run(cli, "lookup", path, *mapped)[1], run(cli, "lookup", "-u", path, *mapped)[1]
    assert plain.splitlines() == [lookup_line(e, ip) for ip in mapped] and plain != unmapped
    assert unmapped.splitlines() == [ip + lookup_line(e, v)[len(v):] for ip, v in zip(mapped, v4)]
    hits = [ip for ip in addresses(e, 5) if e.contains(ip)]
    miss = next(ip for ip in addresses(e, 6) if not e.contains(ip))
    assert [run(cli, "lookup", *args)[0] for args in (["--strict", path, *hits], ["--strict", path, *hits, miss],
                                                      [path, *hits, miss])] == [0, 1, 0]
    assert run(cli, "lookup", "-s", path, stdin=f"{miss}\n".encode())[0] == 1
    for bad in ["banana", "10.0.0.256", "10.0.0.0/8", "01.2.3.4", "1:2:3", "::ffff:01.2.3.4", "fe80::1%eth0"]:
        assert_error(run(cli, "lookup", path, "10.0.0.1", bad))
        assert_error(run(cli, "lookup", path, stdin=f"10.0.0.1\n{bad}\n".encode()))
    data = path.read_bytes()
    (tmp_path / "cut.nrv").write_bytes(data[:-1])
    (tmp_path / "flip.nrv").write_bytes(data[:50] + bytes([data[50] ^ 1]) + data[51:])
    for table, reason in [("cut.nrv", "truncated"), ("flip.nrv", "corrupt: checksum mismatch"),
                          ("missing.nrv", "missing.nrv")]:
        assert assert_error(run(cli, "lookup", tmp_path / table, "10.0.0.1"), reason)[1] == ""


@pytest.mark.parametrize("fmt", ["list", "csv"])
def test_a_source_as_table(cli, saved, tmp_path, fmt):
    e, path = saved
    source = tmp_path / f"source.{fmt}"
    if fmt == "list":
        source.write_text("# hosts\n" + "\n".join(e.keys()[::3]) + "\n10.0.0.0 - 10.0.3.255\n")
    else:
        rows = [["network", "value", "asn"]] + [[p, m["value"], str(i)] for i, (p, m) in enumerate(e.items()[::3])]
        with open(source, "w", newline="") as f:
            csv.writer(f).writerows(rows)
    (want := RadixEngine()).load(source)
    want.save(tmp_path / "source.nrv")
    ips = addresses(e, 7)
    from_source = run(cli, "lookup", "--json", source, *ips)
    assert from_source == run(cli, "lookup", "--json", tmp_path / "source.nrv", *ips)
    assert [json.loads(line)["prefix"] for line in from_source[1].splitlines()] == [
        m and m[0] for m in map(want.match, ips)]


FIELD = re.compile(r"[A-Za-z0-9.:]+")
QUAD = re.compile(r"((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)\.){3}(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)")


def addresses_in(line):
    """The addresses a line holds: a field that is an IPv6 address, else the dotted quads among its pieces."""
    for field in FIELD.findall(line):
        try:
            ipaddress.IPv6Address(field)
            yield field
        except ValueError:
            yield from (piece for piece in field.split(":") if QUAD.fullmatch(piece))


def make_log(e, seed, n=300):
    """Log lines holding addresses (some upper case) where logs put them, beside texts that are none."""
    rng, ips = random.Random(seed), addresses(e, seed, 2 * n)
    v4 = [ip for ip in ips if ":" not in ip]
    v6 = [ip.upper() if rng.random() < 0.2 else ip for ip in ips if ":" in ip]
    forms = ["{a} - - [07/Dec/2026:10:00:00] \"GET / HTTP/1.1\" 200", "connect from {a}:8080 to [{b}]:443",
             "user=bob ip={a}, ok", "peer {b}%eth0 up", "mapped ::ffff:{a} seen", "nothing at all here",
             "1.2.3.4.5 host1.2.3.4 01.2.3.4 v1.2.3.4 at 2026:10:00:00", "ends with {b}", "{a} {b} {a}",
             "x:{a}:y GET /?ip={a}&v6={b}", "{b}", "ip={a};{a}", "{b} bad 1.2.3.4.5"]
    return [rng.choice(forms).format(a=rng.choice(v4), b=rng.choice(v6)) for _ in range(n)]


def grep_oracle(lines, covered, flags, name=None):
    lead, out, count = f"{name}:" if name else "", [], 0
    for line in lines:
        hits = [a for a in addresses_in(line) if covered(a)]
        if bool(hits) != ("-v" in flags):
            count += 1
            out += [] if "-c" in flags else [lead + a for a in hits] if "-o" in flags else [lead + line]
    return out + ([f"{lead}{count}"] if "-c" in flags else []), count


@pytest.mark.parametrize("flags", [[], ["-v"], ["-c"], ["-o"], ["-c", "-v"], ["-c", "-o"]], ids=" ".join)
def test_grep(cli, saved, tmp_path, flags):
    e, path = saved
    logs, names = [make_log(e, 8), make_log(e, 9)], [tmp_path / "a.log", tmp_path / "b.log"]
    for name, lines in zip(names, logs):
        name.write_text(joined(lines))
    one, count = grep_oracle(logs[0], e.contains, flags)
    assert 0 < count < len(logs[0])
    assert run(cli, "grep", *flags, path, names[0]) == (0, joined(one), "")
    assert run(cli, "grep", *flags, path, stdin=names[0].read_bytes()) == (0, joined(one), "")
    both = [s for name, lines in zip(names, logs) for s in grep_oracle(lines, e.contains, flags, name)[0]]
    assert run(cli, "grep", *flags, path, *names) == (0, joined(both), "")


@pytest.mark.parametrize("sub", ["lookup", "grep"])
def test_a_stream_is_answered_line_by_line(cli, saved, sub):
    """Each line written to a pipe is answered before the next comes (tail -f | netrove ...)."""
    e, path = saved
    texts = [a for a in addresses(e, 9, 40) if e.contains(a)][:3]
    proc = subprocess.Popen([cli, sub, str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        for text in texts:
            proc.stdin.write(f"{text}\n".encode())
            proc.stdin.flush()  # the command now waits for more: its answer must be out already
            want = lookup_line(e, text) if sub == "lookup" else text
            assert select.select([proc.stdout], [], [], 10)[0], f"no answer to {text!r} while more input may come"
            assert proc.stdout.readline().decode() == want + "\n"
    finally:
        proc.stdin.close()
        assert proc.wait(10) == 0


def test_grep_patterns(cli, saved, tmp_path):
    e, _ = saved
    (log := tmp_path / "a.log").write_text(joined(lines := make_log(e, 10)))
    nets = [ipaddress.ip_network(p) for p in random.Random(11).sample(e.keys(), 40)]
    first, last = ipaddress.IPv4Address("10.0.0.7"), ipaddress.IPv4Address("172.31.0.0")

    def covered(a):
        ip = ipaddress.ip_address(a)
        return any(ip in n for n in nets) or (ip.version == 4 and first <= ip <= last)

    want = joined(grep_oracle(lines, covered, [])[0])
    (tmp_path / "pats").write_text("# from the table\n" + "\n".join(map(str, nets[2:])) + f"\n{first}-{last}\n")
    by_p = ["-p", f"{nets[0]},{nets[1]}", "-p", f"{first}-{last}"] + [a for n in nets[2:] for a in ("-p", n)]
    assert run(cli, "grep", *by_p, log) == (0, want, "")
    assert run(cli, "grep", "-f", tmp_path / "pats", "-p", f"{nets[0]} {nets[1]}", log) == (0, want, "")


def test_grep_exit_status(cli, saved, tmp_path):
    e, path = saved
    miss = next(ip for ip in addresses(e, 12) if not e.contains(ip) and ":" not in ip)
    (log := tmp_path / "quiet.log").write_text(f"nothing here\nfrom {miss}:80\n")
    assert run(cli, "grep", path, log) == (1, "", "")
    assert run(cli, "grep", "-c", path, log) == (1, "0\n", "")
    assert run(cli, "grep", "-v", path, log) == (0, log.read_text(), "")
    result = assert_error(run(cli, "grep", "-v", path, tmp_path / "missing.log", log), "missing.log")
    assert result[1] == joined(f"{log}:{s}" for s in log.read_text().splitlines())
    assert_error(run(cli, "grep", "-o", "-v", path, log))
    assert_error(run(cli, "grep", tmp_path / "missing.nrv", log))


def test_info(cli, saved, tmp_path):
    def counts(e):
        ks, records = e.keys(), {(m["value"], tuple(sorted(m["attributes"].items()))) for m in e.values()}
        return {"ipv4_prefixes": str(sum(":" not in k for k in ks)), "ipv6_prefixes": str(sum(":" in k for k in ks)),
                "prefixes": str(len(ks)), "records": str(len(records))}

    e, path = saved
    (source := tmp_path / "s.csv").write_text("network,value,asn\n10.0.0.0/8,a,1\n10.0.0.0/9,a,1\n::/1,b,1\n")
    (loaded := RadixEngine()).load(source)
    of_table = {"format": "table", "format_version": "1", **counts(e), "bytes": str(path.stat().st_size)}
    for table, want in [(path, of_table), (source, {"format": "source", **counts(loaded)})]:
        code, out, _ = run(cli, "info", table)
        assert code == 0 and dict(line.split(": ", 1) for line in out.splitlines()) == want


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "list"])
def test_export(cli, saved, fmt):
    e, path = saved
    code, out, _ = run(cli, "export", "--format", fmt, path)
    assert code == 0
    if fmt == "list":
        assert out == joined(e.keys())
    elif fmt == "jsonl":
        assert [json.loads(line) for line in out.split("\n")[:-1]] == [{"prefix": p, **m} for p, m in e.items()]
    else:
        rows = list(csv.reader(io.StringIO(out, newline="")))
        assert rows[0] == ["prefix", "value", "attributes"]
        assert [(p, v, json.loads(a)) for p, v, a in rows[1:]] == [(p, m["value"], m["attributes"]) for p, m in e.items()]


def test_build_usage_and_input_errors(cli, tmp_path):
    (tmp_path / "a.txt").write_text("10.0.0.0/8\n192.0.2.0 - 192.0.2.9\n2001:db8::/32\n")
    (tmp_path / "b.csv").write_text("network,value,asn\n10.0.0.0/8,b,1\n2001:db8::/32,ü,2\n2001:db8:1::/48,\"x,y\",3\n")
    (tmp_path / "c.csv").write_text("network,value,asn\n10.0.0.0/8,c,9\n10.1.0.0/16,c,8\n")
    (tmp_path / "bad.txt").write_text("10.0.0.0/8\nbanana\n")
    out = tmp_path / "out.nrv"
    assert_error(run(cli, "build", tmp_path / "a.txt"))
    assert_error(run(cli, "build", "-o", out))
    assert_error(run(cli, "build", "-o", out, "--format", "yaml", tmp_path / "a.txt"))
    assert not out.exists()
    for args, sources, kw in [(["--value", "blocked", "a.txt"], ["a.txt"], {"value": "blocked"}),
                              (["b.csv", "c.csv"], ["b.csv", "c.csv"], {}),
                              (["c.csv", "b.csv"], ["c.csv", "b.csv"], {}),
                              (["--format", "csv", "-", "c.csv"], ["b.csv", "c.csv"], {"format": "csv"})]:
        want = RadixEngine()
        for source in sources:
            want.load(tmp_path / source, **kw)
        result = run(cli, "build", "-o", "out.nrv", *args, stdin=(tmp_path / "b.csv").read_bytes(), cwd=tmp_path)
        assert result[0] == 0 and RadixEngine.open(out).items() == want.items(), (args, result)
    assert run(cli, "build", "-o", out, tmp_path / "a.txt")[0] == 0
    before = out.read_bytes()
    for source in ("bad.txt", "missing.txt"):
        assert_error(run(cli, "build", "-o", out, tmp_path / "a.txt", tmp_path / source), source)
        assert out.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt", "b.csv", "bad.txt", "c.csv", "out.nrv"]
    assert_error(run(cli, "frobnicate"))
    assert_error(run(cli, "export", "--format", "xml", out))


@pytest.mark.parametrize("sub", ["build", "lookup", "grep", "info", "export"])
def test_help(cli, sub):
    code, out, _ = run(cli, sub, "--help")
    assert code == 0 and out.startswith(f"usage: netrove {sub} ")
