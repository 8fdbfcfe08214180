"""Timing of one operation, two threads against one, and resident memory per
prefix in a fresh process.

Every figure is timed as an application runs: the collector on, nothing
frozen.  Memory: a child interpreter per
library loads its inputs first, then reads its resident size before and
after the build (free heap handed back each time).
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable

BENCH_DIR = Path(__file__).resolve().parent.parent


def timed(fn: Callable[[], object], *, full: bool = True) -> float:
    """Seconds one call of fn() takes with the collector on and nothing
    frozen, after a collection: a full one, or with `full` False a young one
    (for a library whose calls create nothing the collector tracks, whose
    time the collector's state cannot change).  What fn returns is dropped
    after the clock stops."""
    enabled = gc.isenabled()
    gc.collect() if full else gc.collect(0)
    gc.unfreeze()
    gc.enable()
    out = None
    try:
        t0 = time.perf_counter()
        out = fn()
        return time.perf_counter() - t0
    finally:
        del out
        (gc.enable if enabled else gc.disable)()


def _two(fn: Callable[[object], object], a: object, b: object) -> float:
    """Seconds for fn(a) and fn(b) on two threads started together."""
    start = threading.Barrier(3)
    keep: list[object] = [None, None]

    def work(i: int, x: object) -> None:
        start.wait()
        keep[i] = fn(x)

    ts = [threading.Thread(target=work, args=(0, a)), threading.Thread(target=work, args=(1, b))]
    for t in ts:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in ts:
        t.join()
    return time.perf_counter() - t0


def _one(fn: Callable[[object], object], a: object, b: object) -> float:
    t0 = time.perf_counter()
    ka = fn(a)
    kb = fn(b)
    dt = time.perf_counter() - t0
    del ka, kb
    return dt


def two_threads(fn: Callable[[object], object], a: object, b: object, repeats: int) -> tuple[float, float]:
    """(best one-thread time, best two-thread time) for fn over halves a, b,
    collector on and nothing frozen.  The answers are kept until both
    halves are done (dropped after the clock)."""
    enabled = gc.isenabled()
    best1 = best2 = float("inf")
    try:
        for _ in range(repeats):
            gc.collect()
            gc.enable()
            best1 = min(best1, _one(fn, a, b))
            gc.collect()
            best2 = min(best2, _two(fn, a, b))
    finally:
        (gc.enable if enabled else gc.disable)()
    return best1, best2


def rss_bytes() -> int:
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _trim() -> None:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_child(lib: str, families: list[int], prefix_file: str) -> dict:
    """Runs in the child: builds `lib` over the prefixes of `prefix_file`
    (one "cidr asn" line each, their records made as the suite makes them)
    and reports the resident growth."""
    from .adapters import make_adapter
    from .records import Stored
    from .table import Table

    table = Table("memory")
    with open(prefix_file, encoding="ascii") as f:
        for line in f:
            parts = line.split()
            if parts:
                table.cidrs.append(parts[0])
                table.origins.append(int(parts[1]))
    records = Stored(table).records()
    adapter = make_adapter(lib, families)
    _trim()
    before = rss_bytes()
    adapter.build(table.cidrs, records, records)
    # Let deferred reclamation (nodes a library retired while building)
    # finish, and hand free heap back, so that `after` is what is kept.
    time.sleep(0.5)
    _trim()
    n = len(table.cidrs)
    return {"bytes_per_prefix": (rss_bytes() - before) / max(1, n)}


def memory_per_prefix(lib: str, families: list[int], cidrs: list[str], origins, timeout: float = 600.0) -> dict:
    """Runs `memory_child` in a fresh interpreter: its report, or {"error": text}."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False, encoding="ascii") as f:
        f.write("\n".join(f"{c} {o}" for c, o in zip(cidrs, origins)))
        path = f.name
    try:
        cmd = [sys.executable, "-c",
               "import json, sys; sys.path.insert(0, sys.argv[1]);"
               "from peerbench.measure import memory_child;"
               "print(json.dumps(memory_child(sys.argv[2], json.loads(sys.argv[3]), sys.argv[4])))",
               str(BENCH_DIR), lib, json.dumps(families), path]
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        if p.returncode != 0:
            return {"error": (p.stderr.strip().splitlines() or [f"exit {p.returncode}"])[-1]}
        return json.loads(p.stdout.strip().splitlines()[-1])
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    finally:
        os.unlink(path)


def alternate(rounds: int, fns: dict[str, Callable[[], object]]) -> dict[str, list[float]]:
    """Seconds of every round of each of `fns`, run in turn (the order
    reversed every other round, so that the machine's noise falls on all of
    them alike), collector on; what they return is dropped."""
    times: dict[str, list[float]] = {k: [] for k in fns}
    for r in range(rounds):
        for k in (list(fns) if r % 2 == 0 else list(fns)[::-1]):
            times[k].append(timed(fns[k]))
    return times


def machine(mod=None) -> dict:
    """Where and on what a run happens: CPU, cores, Python, the commit, the
    module's version and build folder, and the date (UTC)."""
    fields = {}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
    except OSError:
        pass
    root = str(BENCH_DIR.parent)
    commit = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip() or "?"
    if subprocess.run(["git", "-C", root, "diff", "--quiet", "HEAD", "--", "engine", "python", "cli", "bench",
                       ":!bench/results"]).returncode:
        commit += " with local changes"
    return {"cpu": fields.get("Model name", "?").strip(), "cores": fields.get("CPU(s)", "?").strip(),
            "python": sys.version.split()[0], "commit": commit,
            "netrove_version": getattr(mod, "version", lambda: "?")(),
            "build": str(Path(getattr(mod, "__file__", "?")).parent),
            "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}


def write_page(path: Path, title: str, intro: str, sections: list[tuple[str, list[str], list]]) -> None:
    """Writes (and prints) a results page: the title, when, where and on
    which build it ran, `intro`, then one Markdown table per (heading, column
    titles, rows) section."""
    import netrove

    m = machine(netrove)
    out = [f"# {title}", "", f"Run {m['date']} on {m['cores']} cores ({m['cpu']}), module of {m['build']} at "
           f"{m['commit']}.  {intro}"]
    for heading, head, rows in sections:
        out += ["", f"## {heading}", ""] if heading else [""]
        out += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        out += ["| " + " | ".join(map(str, r)) + " |" for r in rows]
    path.write_text("\n".join(out) + "\n")
    print("\n".join(out))


def load_average() -> tuple[float, float, float]:
    """The machine's 1, 5 and 15 minute load averages."""
    try:
        return os.getloadavg()
    except OSError:
        return (float("nan"),) * 3
