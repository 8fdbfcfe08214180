"""The cli mode: table files against pickle (save/open, size), `netrove
lookup` in lines per second, and `netrove grep` against grepcidr on a
generated log, each output checked against grepcidr's (bench/README.md).
Writes cli.md.
"""

from __future__ import annotations

import os
import pickle
import random
import shutil
import statistics
import subprocess
import tempfile
from pathlib import Path

from .measure import alternate, write_page
from .origins import load_tables
from .records import Stored
from .streams import inside_address
from .table import Table, data_path, format_address

SAMPLE = 1_000


def add_arguments(ap) -> None:
    ap.add_argument("--rounds", type=int, default=5, help="alternating rounds of each group")
    ap.add_argument("--cli", type=Path, help="the netrove command (default: cli/netrove beside the module's build)")
    ap.add_argument("--lines", type=int, default=1_000_000, help="addresses, and log lines")


def command(argv, stdin=None, stdout=None):
    with open(stdin or os.devnull, "rb") as i, open(stdout or os.devnull, "wb") as o:
        code = subprocess.run([str(a) for a in argv], stdin=i, stdout=o).returncode
    if code > 1:  # grep's 1 is "nothing selected"
        raise SystemExit(f"{argv[0]} exited with status {code}")


def output_of(argv, stdin, tmp):
    """What the command writes, from a run into a file, untimed."""
    command(argv, stdin, tmp / "output")
    return (tmp / "output").read_bytes()


def secs(ts):
    return f"{statistics.median(ts):.3f} s (min {min(ts):.3f})"


def ratio(peer, ours):
    return statistics.median(peer) / statistics.median(ours)


def draw(rng, mix):
    """One address text: `mix` lists (share, a Table to draw inside of, or
    None for a uniformly random IPv4 address)."""
    r = rng.random()
    for share, table in mix:
        r -= share
        if r < 0:
            break
    return format_address(*(inside_address(rng, table) if table is not None else (4, rng.getrandbits(32))))


def log_line(rng, i, a):
    """A log line holding address `a` as a whole field, where grepcidr and
    netrove agree (nothing glued to it but brackets, '=' or a port)."""
    t = f"10:{i // 60 % 60:02d}:{i % 60:02d}"
    path = rng.choice(("/", "/index.html", f"/api/v1/items/{i % 9973}", "/static/app.js", "/login"))
    if ":" in a:
        return f'[{a}]:443 - - [07/Dec/2026:{t} +0000] "GET {path} HTTP/2.0" 200 {rng.randrange(100, 90000)}'
    kind = rng.random()
    if kind < 0.6:
        return (f'{a} - - [07/Dec/2026:{t} +0000] "GET {path} HTTP/1.1" {rng.choice((200, 200, 304, 404))} '
                f'{rng.randrange(100, 90000)} "-" "Mozilla/5.0 (X11; Linux x86_64)"')
    if kind < 0.8:
        return (f"Dec  7 {t} web1 sshd[{rng.randrange(1000, 60000)}]: Failed password for "
                f"{rng.choice(('root', 'admin', 'invalid user test'))} from {a} port {rng.randrange(1024, 65536)} ssh2")
    return (f"Dec  7 {t} fw1 kernel: [UFW BLOCK] IN=eth0 OUT= SRC={a} DST=10.0.0.{rng.randrange(2, 30)} LEN=60 "
            f"TOS=0x00 PREC=0x00 TTL=52 ID={rng.randrange(65536)} DF PROTO=TCP SPT={rng.randrange(1024, 65536)} "
            f"DPT={rng.choice((22, 80, 443, 3389))} WINDOW=64240 RES=0x00 SYN URGP=0")


def write_lines(path, lines):
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def bench_table(netrove, label, table, rounds, path, rows):
    """save/open of a table file against pickle.dumps/loads of the engine."""
    cidrs = table.cidrs
    e = netrove.RadixEngine()
    e.insert_many(list(zip(cidrs, Stored(table).records())))
    w = alternate(rounds, {"dumps": lambda: pickle.dumps(e, pickle.HIGHEST_PROTOCOL), "save": lambda: e.save(path)})
    blob = pickle.dumps(e, pickle.HIGHEST_PROTOCOL)
    r = alternate(rounds, {"loads": lambda: pickle.loads(blob), "open": lambda: netrove.RadixEngine.open(path)})
    probe = [c.partition("/")[0] for c in cidrs[::997]]
    want = e.lookup_many(probe)
    assert netrove.RadixEngine.open(path).lookup_many(probe) == want == pickle.loads(blob).lookup_many(probe)
    size, q = path.stat().st_size, ratio(r["loads"], r["open"])
    what = f"{label} ({len(cidrs):,} prefixes)"
    rows += [
        (f"{what}: `RadixEngine.open(path)` / `pickle.loads(blob)`", secs(r["loads"]), secs(r["open"]),
         f"{q:.2f}x", ">= 1.0x", "✓✗"[q < 1.0], ""),
        (f"{what}: `engine.save(path)` / `pickle.dumps(engine)`", secs(w["dumps"]), secs(w["save"]),
         f"{ratio(w['dumps'], w['save']):.2f}x", "", "", "save ends with fsync of the file and its folder"),
        (f"{what}: table file size / pickle blob", f"{len(blob):,} B", f"{size:,} B",
         f"{size / len(blob):.3f}", "<= 1.000", "✓✗"[size > len(blob)], ""),
    ]
    return path


def bench_lookup(cli, table, v4, v6, rounds, tmp, rows, lines):
    rng = random.Random(11)
    addresses = tmp / "addresses.txt"
    write_lines(addresses, (draw(rng, [(0.8, v4), (0.1, None), (0.1, v6)]) for _ in range(lines)))
    cmds = {"plain": [cli, "lookup", table], "json": [cli, "lookup", "--json", table]}
    t = alternate(rounds, {**{k: lambda c=c: command(c, addresses) for k, c in cmds.items()},
                           "open": lambda: command([cli, "lookup", table])})
    misses = output_of(cmds["plain"], addresses, tmp).count(b"\t-\t-\n")
    for k, c in cmds.items():
        n = output_of(c, addresses, tmp).count(b"\n")
        assert n == lines, f"lookup {k}: {n:,} output lines for {lines:,} addresses"
        rate, best = lines / statistics.median(t[k]), lines / min(t[k])
        rows.append((f"`netrove lookup{' --json' if k == 'json' else ''} TABLE < addresses`, {lines:,} addresses, "
                     f"full table file ({table.stat().st_size / 1e6:.1f} MB)", "", secs(t[k]),
                     f"{rate:,.0f} lines/s (best {best:,.0f})", ">= 2,000,000 lines/s", "✓✗"[rate < 2e6],
                     f"output lines = input lines; {misses / lines:.1%} without a match"))
    rows.append(("of which: start and open the table (`netrove lookup TABLE < /dev/null`)", "", secs(t["open"]),
                 "", "", "", ""))


def first_difference(a, b):
    for n, (x, y) in enumerate(zip(a.splitlines(), b.splitlines()), 1):
        if x != y:
            return f"line {n}: grepcidr {x[:120]!r}, netrove {y[:120]!r}"
    return f"the end: grepcidr {len(a.splitlines()):,} lines, netrove {len(b.splitlines()):,}"


def bench_grep(cli, cidrs, v4, v6, rounds, tmp, rows, lines):
    if shutil.which("grepcidr") is None:
        rows.append(("`netrove grep` against grepcidr", "not installed: tools/setup installs it", *[""] * 5))
        return
    sample = random.Random(13).sample(cidrs, min(SAMPLE, len(cidrs) // 2))
    some = Table("sample")
    for p in sample:
        some.add(p)
    rng = random.Random(12)
    log = tmp / "access.log"
    write_lines(log, (log_line(rng, i, draw(rng, [(0.6, v4), (0.15, some), (0.15, None), (0.1, v6)]))
                      for i in range(lines)))
    size = log.stat().st_size / 1e6
    for label, prefixes in (("the table's prefixes", cidrs), (f"{len(sample):,} of them drawn at random", sample)):
        patterns, table = tmp / "patterns.txt", tmp / "patterns.nrv"
        write_lines(patterns, prefixes)
        built = alternate(1, {"build": lambda: command([cli, "build", "-o", table, patterns])})["build"][0]
        cmds = {"grepcidr": ["grepcidr", "-f", patterns, log], "list": [cli, "grep", "-f", patterns, log],
                "table": [cli, "grep", table, log]}
        t = alternate(rounds, {k: lambda c=c: command(c) for k, c in cmds.items()})
        ref = output_of(cmds["grepcidr"], None, tmp)
        selected = ref.count(b"\n")
        what = f"{lines:,}-line log ({size:.0f} MB), {len(prefixes):,} prefixes ({label})"
        for k, how in (("list", "-f LIST"), ("table", "TABLE")):
            out = output_of(cmds[k], None, tmp)
            same = out == ref
            q = ratio(t["grepcidr"], t[k])
            note = f"same output: {'yes' if same else 'no'}, {selected:,} lines selected"
            if not same:
                note += "; first difference at " + first_difference(ref, out)
            rows.append((f"{what}: `grepcidr -f LIST` / `netrove grep {how}`", secs(t["grepcidr"]), secs(t[k]),
                         f"{q:.2f}x", ">= 1.0x, same output", "✓✗"[not (q >= 1.0 and same)], note))
        rows.append((f"{len(prefixes):,} prefixes: `netrove build -o TABLE LIST`, once beforehand", "",
                     f"{built:.3f} s", "", "", "", ""))


def run(args) -> int:
    import netrove

    cli = args.cli or Path(netrove.__file__).parent.parent / "cli" / "netrove"
    lines = 20_000 if args.quick else args.lines
    tables = load_tables(data_path(Path(__file__).resolve().parents[2]), args.limit)
    sections = [("Table files against pickle", []), ("`netrove lookup`", []), ("`netrove grep` against grepcidr", [])]
    with tempfile.TemporaryDirectory(prefix="peerbench-cli.") as d:
        tmp = Path(d)
        bench_table(netrove, "whole IPv4 table", tables["ipv4"], args.rounds, tmp / "ipv4.nrv", sections[0][1])
        table = bench_table(netrove, "full table", tables["both"], args.rounds, tmp / "full.nrv", sections[0][1])
        cidrs = tables["both"].cidrs
        v4, v6 = tables["ipv4"], tables["ipv6"] if len(tables["ipv6"]) else tables["ipv4"]
        bench_lookup(cli, table, v4, v6, args.rounds, tmp, sections[1][1], lines)
        bench_grep(cli, cidrs, v4, v6, args.rounds, tmp, sections[2][1], lines)
    grepcidr = subprocess.run(["grepcidr", "-V"], capture_output=True, text=True) if shutil.which("grepcidr") else None
    write_page(args.out / "cli.md", "The table files and the command (`python -m peerbench cli`)",
               f"The command is {cli}" + (f"; {grepcidr.stdout.splitlines()[0]}" if grepcidr else "") + ".  Realistic "
               "setting: collector on, nothing frozen, records with attributes, nothing else running.  Each group "
               f"is timed side by side in one run, {args.rounds} alternating rounds: the median, the minimum beside "
               "it.  Commands are whole processes (startup included) writing to /dev/null; one more run of each "
               "into a file checks its output.  Table files are read from the page cache.  Ratios are the peer's "
               "time over netrove's (above 1: netrove is faster).",
               [(title, ["figure", "peer", "netrove", "ratio", "target", "met", "notes"], rows)
                for title, rows in sections])
    return 0
