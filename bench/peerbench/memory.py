"""The memory mode: resident memory of a steady table under churn (fresh /24s
inserted and removed each round), and the peak a reloaded feed adds alone
and in a child forked from a loaded parent; each variant in a fresh
interpreter (bench/README.md).  Writes memory.md.
"""

from __future__ import annotations

import ipaddress
import json
import os
import random
import subprocess
import sys
import time
from pathlib import Path

from .measure import rss_bytes, write_page

VARIANTS = ("default", "standard", "lockfree", "adaptive")


def add_arguments(ap) -> None:
    ap.add_argument("--rounds", type=int, default=12, help="churn rounds")
    ap.add_argument("--fork-rounds", type=int, default=120, help="reloads of the feed")
    ap.add_argument("--settle", type=float, default=0.3, help="seconds after each churn round")
    ap.add_argument("--variants", default=",".join(VARIANTS))


def churn(netrove, variant, rounds: int, settle: float, fresh: int = 20_000, steady: int = 5_000) -> list[int]:
    rng = random.Random(5)
    engine = netrove.RadixEngine(variant)
    record = {"value": "steady", "attributes": {"src": "bench"}}
    stored = set()
    while len(engine) < steady:
        a = rng.getrandbits(32)
        p = ipaddress.ip_network(f"{a >> 24}.{(a >> 16) & 255}.{(a >> 8) & 255}.0/{rng.randint(8, 24)}", strict=False)
        engine.insert(str(p), record)
        stored.add(str(p))
    size = len(engine)
    # Fresh /24s from 1.0.0.0 on, in the steady prefixes' space: inserts
    # split and removes merge the steady set's nodes as well as their own.
    nxt, out = 1 << 16, []
    for _ in range(rounds):
        batch = []
        while len(batch) < fresh:
            p = f"{nxt >> 16}.{(nxt >> 8) & 255}.{nxt & 255}.0/24"
            nxt += 1
            if p not in stored:  # a steady /24 is not fresh
                batch.append(p)
        for p in batch:
            engine.insert(p, {"value": "fresh", "attributes": {}})
        rng.shuffle(batch)
        for p in batch:
            engine.remove(p)
        assert len(engine) == size
        time.sleep(settle)
        out.append(rss_bytes())
    return out


def _status(key: str) -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))


def reload_peak(netrove, variant, rounds: int) -> float:
    """MB the feed's reloads add at peak in this process."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    start = _status("VmRSS")
    engine = netrove.RadixEngine(variant)
    for _ in range(rounds):
        for i in range(20000):
            engine.insert(f"10.{i >> 9}.{(i >> 1) & 255}.{(i & 1) * 128}/25", {"value": "a"})
        for i in range(2857):
            engine.insert(f"11.{i >> 7}.{(i & 127) * 2}.0/23", {"value": "b"})
        engine.clear()
    return (_status("VmHWM") - start) / 1024


def child(variant: str, rounds: int, fork_rounds: int, settle: float) -> dict:
    """Runs in a fresh interpreter: both measurements of one variant."""
    import netrove

    v = None if variant == "default" else variant
    out = {"churn": churn(netrove, v, rounds, settle)}
    parent = netrove.RadixEngine(v)
    parent.insert_many((f"100.{i >> 8}.{i & 255}.0/24", {"value": "kept"}) for i in range(50000))
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(w, repr(reload_peak(netrove, v, fork_rounds)).encode())
        os._exit(0)
    os.close(w)
    out["forked"] = float(os.read(r, 64))
    os.waitpid(pid, 0)
    out["alone"] = reload_peak(netrove, v, fork_rounds)
    return out


def run(args) -> int:
    if args.quick:
        args.rounds, args.fork_rounds, args.settle = 4, 5, 0.1
    bench = str(Path(__file__).resolve().parent.parent)
    rows = []
    for v in args.variants.split(","):
        code = ("import json, sys; sys.path.insert(0, sys.argv[1]); from peerbench.memory import child; "
                "print(json.dumps(child(sys.argv[2], *map(int, sys.argv[3:5]), float(sys.argv[5]))))")
        p = subprocess.run([sys.executable, "-c", code, bench, v, str(args.rounds), str(args.fork_rounds),
                            str(args.settle)], capture_output=True, text=True)
        if p.returncode:
            raise SystemExit(f"memory mode, variant {v}: {p.stderr.strip()}")
        r = json.loads(p.stdout.splitlines()[-1])
        c = r["churn"]
        warm = c[min(2, len(c) - 1)]
        rows.append([v, f"{c[0] / 1e6:.1f}", f"{c[-1] / 1e6:.1f}", f"{(c[-1] - warm) / 1e6:+.1f}",
                     f"{r['alone']:.1f}", f"{r['forked']:.1f}"])
    write_page(args.out / "memory.md", "Resident memory under churn and after fork (`python -m peerbench memory`)",
               f"{args.rounds} churn rounds, {args.fork_rounds} reloads; each variant in a fresh process.",
               [("", ["variant", "RSS after round 1, MB", "after the last, MB", "growth from round 3, MB",
                      "reloads' peak alone, MB", "reloads' peak in a forked child, MB"], rows)])
    return 0
