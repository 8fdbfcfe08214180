"""The profile mode: one library's loop over the IPv4 table under perf (the
hottest symbols, by module) or callgrind (instructions per operation),
loading and building left out.  OP is build, insert_many, remove or a read
operation of the peers mode.  Prints only.
"""

from __future__ import annotations

import ipaddress
import os
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .adapters import READ_OPS, Inputs, make_adapter
from .origins import load_tables
from .records import Stored
from .streams import make_streams, pack
from .table import data_path

WRITES = ("build", "insert_many", "remove")


def add_arguments(ap) -> None:
    ap.add_argument("tool", choices=("perf", "callgrind"))
    ap.add_argument("lib", help='a library of the peer mode, e.g. "netrove default" or pytricia')
    ap.add_argument("op", choices=WRITES + READ_OPS)
    ap.add_argument("--n", type=int, default=None,
                    help="addresses per pass, or prefixes removed (default 200,000; callgrind 50,000)")
    ap.add_argument("--data", type=Path, default=Path(tempfile.gettempdir()) / "netrove-profile")
    ap.add_argument("--child", action="store_true", help=__import__("argparse").SUPPRESS)


def child(args) -> None:
    """The profiled process: builds, says "ready", waits for its go file,
    runs the loop, and leaves with os._exit so that no teardown is profiled."""
    table = load_tables(data_path(Path(__file__).resolve().parents[2]), args.limit)["ipv4"]
    peer = records = Stored(table).records()
    a = make_adapter(args.lib, [4])
    if args.op == "build":
        loop, count = (lambda: a.build(table.cidrs, peer, records)), len(table)
    elif args.op == "insert_many":
        pairs = list(zip(table.cidrs, records))
        loop, count = (lambda: a.bulk_build(table.cidrs, peer, pairs)), len(table)
    else:
        a.build(table.cidrs, peer, records)
        if args.op == "remove":
            gone = random.Random(3).sample(table.cidrs, min(args.n, len(table)))
            loop, count = (lambda: a.remove_loop(gone)), len(gone)
        else:
            st = make_streams(table, args.n, 100_000, 20240607)
            inp = Inputs(st.inside, st.random, st.skewed, pack(st.inside))
            if args.op.startswith("ipobj"):
                inp.ipobjs = [ipaddress.ip_address(x) for x in st.inside]
            loop, count = a.read_ops(inp).get(args.op), args.n
            if loop is None:
                sys.exit(f"{args.lib} has no {args.op} here")
    go = args.data / "go"
    print("ready", flush=True)
    while not go.exists():
        time.sleep(0.05)
    t0 = time.perf_counter()
    loops = 0
    while loops == 0 or (args.tool == "perf" and time.perf_counter() - t0 < 8):
        loop()
        loops += 1
    rate = count * loops / (time.perf_counter() - t0)
    print(f"{args.lib} {args.op}: {rate / 1e6:.3f} M/s under {args.tool}; count {count}", flush=True)
    os._exit(0)


def run(args) -> int:
    if args.n is None:
        args.n = 50_000 if args.tool == "callgrind" else 200_000
    if args.child:
        child(args)
    args.data.mkdir(parents=True, exist_ok=True)
    go, log = args.data / "go", args.data / "child.log"
    go.unlink(missing_ok=True)
    me = [sys.executable, "-m", "peerbench", "profile", args.tool, args.lib, args.op, "--child",
          "--n", str(args.n), "--data", str(args.data)] + (["--limit", str(args.limit)] if args.limit else [])
    raw = args.data / f"{args.tool}.out"
    if args.tool == "callgrind":
        me = ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--cache-sim=yes",
              f"--callgrind-out-file={raw}"] + me
    with open(log, "w") as out:
        p = subprocess.Popen(me, stdout=out, stderr=subprocess.STDOUT, cwd=Path(__file__).resolve().parent.parent)
        while "ready" not in log.read_text():
            if p.poll() is not None:
                raise SystemExit(log.read_text())
            time.sleep(0.2)
        if args.tool == "callgrind":
            subprocess.run(["callgrind_control", "-i", "on", str(p.pid)], capture_output=True)
            go.touch()
            p.wait()
        else:
            go.touch()
            subprocess.run(["perf", "record", "-F", "1999", "-g", "-p", str(p.pid), "-o", str(raw), "--",
                            "sleep", "6"], capture_output=True)
            p.wait()
    said = [l for l in log.read_text().splitlines() if l.strip() and not l.startswith("==")][-1]
    print(said)
    if args.tool == "callgrind":
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes", str(raw)], capture_output=True,
                              text=True).stdout
        total = re.search(r"^\s*([\d,]+) .*PROGRAM TOTALS", text, re.M)
        count = int(said.rsplit(" ", 1)[1])
        if total:
            print(f"{int(total.group(1).replace(',', '')) / count:,.0f} instructions per operation")
        print("\n".join(text.splitlines()[:45]))
    else:
        text = subprocess.run(["perf", "report", "-i", str(raw), "--no-children", "--sort", "dso,symbol"],
                              capture_output=True, text=True).stdout
        print("\n".join(line for line in text.splitlines() if re.match(r"^ +[\d.]+%", line))[:4000])
    return 0
