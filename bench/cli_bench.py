#!/usr/bin/env python3
"""Table files and the netrove command against their peers, side by side in
one run, in the realistic setting: collector on, nothing frozen, records
with attributes (bench/as_records.py: {"value": "AS<n>", "attributes":
{"asn": "<n>"}}, one dict per origin AS), nothing else running.

  table files  the routing table ($NETROVE_BENCH_DATA or ../shared/data),
               the IPv4 prefixes alone and both families, built by
               insert_many: RadixEngine.save(path) against pickle.dumps of
               the same engine, RadixEngine.open(path) against pickle.loads
               of that blob, and the file's size against the blob's.
  lookup       `netrove lookup TABLE < addresses`, plain and --json, over
               1,000,000 addresses (80% inside a prefix of the table, 10%
               uniformly random IPv4, 10% inside an IPv6 prefix) against
               the full table's file: lines per second of the whole process,
               startup included.  No shell peer answers a stream of them.
  grep         `netrove grep` against grepcidr on a 1,000,000-line log (web
               server, sshd, firewall and IPv6 proxy lines) with two pattern
               lists, the table's prefixes and 1,000 of them drawn at random:
               `grepcidr -f LIST log`, `netrove grep -f LIST log` and
               `netrove grep TABLE log`, TABLE built once beforehand with
               `netrove build -o`; each output compared with grepcidr's.

Each group is timed in alternating rounds (order reversed every other
round); the median is reported with the minimum beside it.  Commands are
timed as whole processes writing to /dev/null; one more run of each into a
file checks its output.  The inputs are generated in a temporary folder,
removed at the end.  Prints a Markdown page, written to
bench/results/cli.md with --write.

    PYTHONPATH=build/python .venv-bench/bin/python bench/cli_bench.py \\
        [--build build] [--rounds 5] [--write]
"""

from __future__ import annotations

import argparse
import gc
import gzip
import os
import pickle
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from as_records import realistic_metas  # noqa: E402
from peerbench.table import data_path  # noqa: E402

SETTING = "realistic setting: collector on, nothing frozen, records with attributes, nothing else running"
LINES = 1_000_000
SAMPLE = 1_000


def timed(fn):
    gc.collect()
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def alternate(rounds, fns):
    """Seconds of every round of each of `fns` (name -> callable), run in
    turn, the order reversed every other round; results are dropped."""
    times = {k: [] for k in fns}
    for r in range(rounds):
        for k in (list(fns) if r % 2 == 0 else list(fns)[::-1]):
            times[k].append(timed(fns[k]))
    return times


def run(argv, stdin=None, stdout=None):
    with open(stdin or os.devnull, "rb") as i, open(stdout or os.devnull, "wb") as o:
        code = subprocess.run([str(a) for a in argv], stdin=i, stdout=o).returncode
    if code > 1:  # grep's 1 is "nothing selected"
        raise SystemExit(f"{argv[0]} exited with status {code}")


def output_of(argv, stdin, tmp):
    """What the command writes, from a run into a file, untimed."""
    run(argv, stdin, tmp / "output")
    return (tmp / "output").read_bytes()


def secs(ts):
    return f"{statistics.median(ts):.3f} s (min {min(ts):.3f})"


def ratio(peer, ours):
    return statistics.median(peer) / statistics.median(ours)


def mark(ok):
    return "✓" if ok else "✗"


# --- inputs ----------------------------------------------------------------------


def read_prefixes():
    with gzip.open(data_path(HERE.parent), "rt") as f:
        return [s for s in (line.strip() for line in f) if s and not s.startswith("#")]


def networks(cidrs):
    """(family, network as int, host bits) of each prefix."""
    out = []
    for c in cidrs:
        addr, _, length = c.partition("/")
        fam = socket.AF_INET6 if ":" in addr else socket.AF_INET
        out.append((fam, int.from_bytes(socket.inet_pton(fam, addr), "big"),
                    (128 if fam == socket.AF_INET6 else 32) - int(length)))
    return out


def draw(rng, mix):
    """One address text: `mix` is a list of (share, networks), None for
    uniformly random IPv4."""
    r = rng.random()
    for share, nets in mix:
        r -= share
        if r < 0:
            break
    if nets is None:
        return socket.inet_ntop(socket.AF_INET, rng.getrandbits(32).to_bytes(4, "big"))
    fam, base, host = rng.choice(nets)
    return socket.inet_ntop(fam, (base | rng.getrandbits(host)).to_bytes(16 if fam == socket.AF_INET6 else 4, "big"))


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


# --- the measurements ------------------------------------------------------------


def bench_table(netrove, label, cidrs, rounds, path, rows):
    """save/open of a table file against pickle.dumps/loads of the engine."""
    e = netrove.RadixEngine()
    e.insert_many(list(zip(cidrs, realistic_metas(len(cidrs)))))
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
         f"{q:.2f}x", ">= 1.0x", mark(q >= 1.0), ""),
        (f"{what}: `engine.save(path)` / `pickle.dumps(engine)`", secs(w["dumps"]), secs(w["save"]),
         f"{ratio(w['dumps'], w['save']):.2f}x", "", "", "save ends with fsync of the file and its folder"),
        (f"{what}: table file size / pickle blob", f"{len(blob):,} B", f"{size:,} B",
         f"{size / len(blob):.3f}", "<= 1.000", mark(size <= len(blob)), ""),
    ]
    return path


def bench_lookup(cli, table, v4, v6, rounds, tmp, rows):
    rng = random.Random(11)
    addresses = tmp / "addresses.txt"
    write_lines(addresses, (draw(rng, [(0.8, v4), (0.1, None), (0.1, v6)]) for _ in range(LINES)))
    cmds = {"plain": [cli, "lookup", table], "json": [cli, "lookup", "--json", table]}
    t = alternate(rounds, {**{k: lambda c=c: run(c, addresses) for k, c in cmds.items()},
                           "open": lambda: run([cli, "lookup", table])})
    misses = output_of(cmds["plain"], addresses, tmp).count(b"\t-\t-\n")
    for k, c in cmds.items():
        n = output_of(c, addresses, tmp).count(b"\n")
        assert n == LINES, f"lookup {k}: {n:,} output lines for {LINES:,} addresses"
        rate, best = LINES / statistics.median(t[k]), LINES / min(t[k])
        rows.append((f"`netrove lookup{' --json' if k == 'json' else ''} TABLE < addresses`, {LINES:,} addresses, "
                     f"full table file ({table.stat().st_size / 1e6:.1f} MB)", "", secs(t[k]),
                     f"{rate:,.0f} lines/s (best {best:,.0f})", ">= 2,000,000 lines/s", mark(rate >= 2e6),
                     f"output lines = input lines; {misses / LINES:.1%} without a match"))
    rows.append(("of which: start and open the table (`netrove lookup TABLE < /dev/null`)", "", secs(t["open"]),
                 "", "", "", ""))


def first_difference(a, b):
    for n, (x, y) in enumerate(zip(a.splitlines(), b.splitlines()), 1):
        if x != y:
            return f"line {n}: grepcidr {x[:120]!r}, netrove {y[:120]!r}"
    return f"the end: grepcidr {len(a.splitlines()):,} lines, netrove {len(b.splitlines()):,}"


def bench_grep(cli, cidrs, v4, v6, rounds, tmp, rows):
    if shutil.which("grepcidr") is None:
        rows.append(("`netrove grep` against grepcidr", "not installed: bench/setup.sh installs it", *[""] * 5))
        return
    sample = random.Random(13).sample(cidrs, SAMPLE)
    some = networks(sample)
    rng = random.Random(12)
    log = tmp / "access.log"
    write_lines(log, (log_line(rng, i, draw(rng, [(0.6, v4), (0.15, some), (0.15, None), (0.1, v6)]))
                      for i in range(LINES)))
    size = log.stat().st_size / 1e6
    for label, prefixes in (("the table's prefixes", cidrs), (f"{SAMPLE:,} of them drawn at random", sample)):
        patterns, table = tmp / "patterns.txt", tmp / "patterns.nrv"
        write_lines(patterns, prefixes)
        built = timed(lambda: run([cli, "build", "-o", table, patterns]))
        cmds = {"grepcidr": ["grepcidr", "-f", patterns, log], "list": [cli, "grep", "-f", patterns, log],
                "table": [cli, "grep", table, log]}
        t = alternate(rounds, {k: lambda c=c: run(c) for k, c in cmds.items()})
        ref = output_of(cmds["grepcidr"], None, tmp)
        selected = ref.count(b"\n")
        what = f"{LINES:,}-line log ({size:.0f} MB), {len(prefixes):,} prefixes ({label})"
        for k, how in (("list", "-f LIST"), ("table", "TABLE")):
            out = output_of(cmds[k], None, tmp)
            same = out == ref
            q = ratio(t["grepcidr"], t[k])
            note = f"same output: {'yes' if same else 'no'}, {selected:,} lines selected"
            if not same:
                note += "; first difference at " + first_difference(ref, out)
            rows.append((f"{what}: `grepcidr -f LIST` / `netrove grep {how}`", secs(t["grepcidr"]), secs(t[k]),
                         f"{q:.2f}x", ">= 1.0x, same output", mark(q >= 1.0 and same), note))
        rows.append((f"{len(prefixes):,} prefixes: `netrove build -o TABLE LIST`, once beforehand", "",
                     f"{built:.3f} s", "", "", "", ""))


# --- the page --------------------------------------------------------------------


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    grepcidr = subprocess.run(["grepcidr", "-V"], capture_output=True, text=True) if shutil.which("grepcidr") else None
    return (f"{len(os.sched_getaffinity(0))} cores (nproc), {cpu}; netrove at {commit.stdout.strip() or '?'}"
            + (f", {grepcidr.stdout.splitlines()[0]}" if grepcidr else ""))


def load_average():
    return open("/proc/loadavg").read().split()[0]


def page(sections, started, load_before, rounds):
    lines = ["# The table files and the command (bench/cli_bench.py)", "",
             f"Machine: {machine()}.  Run {started} UTC; load average (1 min) {load_before} before,",
             f"{load_average()} after (this run's own process counts about 1).", "",
             f"Each group is timed side by side in one run, {rounds} alternating rounds: the median, the",
             "minimum beside it.  Commands are whole processes (startup included) writing to /dev/null",
             "(neither program does less work there); one more run of each into a file checks its output.",
             "Table files are read from the page cache.  Ratios are the peer's time over netrove's",
             "(above 1: netrove is faster)."]
    for title, rows in sections:
        lines += ["", f"## {title}", "", f"The {SETTING}.", "",
                  "| figure | peer | netrove | ratio | target | met | notes |", "|---|---|---|---|---|---|---|"]
        lines += [f"| {' | '.join(r)} |" for r in rows]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build", help="the build folder: its cli/netrove and python/ (default build)")
    ap.add_argument("--rounds", type=int, default=5, help="alternating rounds of each group (default 5)")
    ap.add_argument("--write", action="store_true", help="write bench/results/cli.md")
    args = ap.parse_args()
    build = HERE.parent / args.build
    sys.path.insert(0, str(build / "python"))
    import netrove
    cli = build / "cli" / "netrove"
    started, load_before = time.strftime("%Y-%m-%d %H:%M", time.gmtime()), load_average()
    cidrs = read_prefixes()
    sections = [("Table files against pickle", []), ("`netrove lookup`", []), ("`netrove grep` against grepcidr", [])]
    with tempfile.TemporaryDirectory(prefix="cli_bench.") as d:
        tmp = Path(d)
        bench_table(netrove, "whole IPv4 table", [c for c in cidrs if ":" not in c], args.rounds, tmp / "ipv4.nrv",
                    sections[0][1])
        table = bench_table(netrove, "full table", cidrs, args.rounds, tmp / "full.nrv", sections[0][1])
        nets = networks(cidrs)
        v4, v6 = [n for n in nets if n[0] == socket.AF_INET], [n for n in nets if n[0] == socket.AF_INET6]
        bench_lookup(cli, table, v4, v6, args.rounds, tmp, sections[1][1])
        bench_grep(cli, cidrs, v4, v6, args.rounds, tmp, sections[2][1])
    text = page(sections, started, load_before, args.rounds)
    print(text)
    if args.write:
        (HERE / "results" / "cli.md").write_text(text)


if __name__ == "__main__":
    main()
