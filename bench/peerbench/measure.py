"""Timing of one operation, two threads against one, and resident memory per
prefix in a fresh process.

Timing: the best of several runs is kept; the machine is shared, and the
fastest run is the one least disturbed by others.  Every run starts after a
full collection, so that every library starts from the same heap and the
same collector counts (a young one for the peers in the realistic setting:
their calls create nothing the collector tracks, so its state cannot change
their time, and a full pass over a large heap costs up to a second).  Then,
by setting (peerbench.records):

  realistic  the cyclic collector runs, nothing is frozen: it walks the
             table's records, the harness's objects and every answer the
             loop keeps, as in an application;
  frozen     the rows of earlier runs: where answers are kept, the collector
             runs with everything alive before the loop frozen out of its
             reach (gc.freeze); elsewhere it is off (as timeit does).

What the operation returns is dropped after the clock stops.

Two threads: the same total work, the stream cut in two halves, run once as
two calls on one thread and once as one call on each of two threads started
together (a barrier); the ratio of the times is the scaling.  Rounds
alternate the two, best kept of each.

Memory: a child interpreter per library loads the prefix texts and what is
stored (the same records as the timed runs), imports the library, returns
free heap to the system, reads its resident size, builds the table, waits
half a second for deferred frees, returns free heap again, and reads it
again.  The growth divided by the prefix count is the library's memory per
prefix: the inputs existed before the first reading, so only what the
library keeps is counted.
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


def timed(fn: Callable[[], object], *, frozen: bool, kept: bool = False, full: bool = True) -> float:
    """Seconds one call of fn() takes, under the collector rule of the
    setting (module comment); `kept` says whether fn keeps its answers.
    `full` False makes the collection before it a young one: for a library
    whose calls create nothing the collector tracks, where the collector's
    state cannot change its time."""
    enabled = gc.isenabled()
    gc.collect() if full else gc.collect(0)
    if not frozen:
        gc.enable()
    elif kept:
        gc.freeze()
        gc.enable()
    else:
        gc.disable()
    out = None
    try:
        t0 = time.perf_counter()
        out = fn()
        return time.perf_counter() - t0
    finally:
        if frozen and kept:
            gc.unfreeze()
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


def memory_child(lib: str, families: list[int], prefix_file: str, setting: str) -> dict:
    """Runs in the child: builds `lib` over the prefixes and reports RSS growth.

    `prefix_file` holds one "cidr asn" line per prefix; `setting` picks what
    is stored (peerbench.records).
    """
    from .adapters import make_adapter
    from .records import SETTINGS, stored_for
    from .table import Table

    table = Table("memory")
    with open(prefix_file, encoding="ascii") as f:
        for line in f:
            parts = line.split()
            if parts:
                table.cidrs.append(parts[0])
                table.origins.append(int(parts[1]))
    stored = stored_for(SETTINGS[setting], table)
    peer, records = stored.peer(), stored.records()
    adapter = make_adapter(lib, families)
    _trim()
    before = rss_bytes()
    adapter.build(table.cidrs, peer, records)
    # Let deferred reclamation (nodes a library retired while building)
    # finish, and hand free heap back, so that `after` is what is kept.
    time.sleep(0.5)
    _trim()
    after = rss_bytes()
    n = len(table.cidrs)
    return {"lib": lib, "n": n, "rss_before": before, "rss_after": after,
            "bytes_per_prefix": (after - before) / max(1, n)}


def memory_per_prefix(lib: str, families: list[int], cidrs: list[str], origins,
                      setting: str, timeout: float = 600.0) -> dict:
    """Spawns a fresh interpreter that measures `lib` (see `memory_child`).

    Returns the child's report, or {"error": text} when it failed.
    """
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False, encoding="ascii") as f:
        f.write("\n".join(f"{c} {o}" for c, o in zip(cidrs, origins)))
        path = f.name
    try:
        cmd = [sys.executable, "-c",
               "import json, sys; sys.path.insert(0, sys.argv[1]);"
               "from peerbench.measure import memory_child;"
               "print(json.dumps(memory_child(sys.argv[2], json.loads(sys.argv[3]), sys.argv[4], sys.argv[5])))",
               str(BENCH_DIR), lib, json.dumps(families), path, setting]
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        if p.returncode != 0:
            tail = (p.stderr.strip().splitlines() or ["exit %d" % p.returncode])[-1]
            return {"error": tail}
        return json.loads(p.stdout.strip().splitlines()[-1])
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    finally:
        os.unlink(path)


def load_average() -> tuple[float, float, float]:
    """The machine's 1, 5 and 15 minute load averages."""
    try:
        return os.getloadavg()
    except OSError:
        return (float("nan"),) * 3
