"""Timing of one loop, and resident memory per prefix in a fresh process.

Timing: the best of several runs is kept; the machine is shared, and the
fastest run is the one least disturbed by others.  A loop runs with the
cyclic garbage collector off (as timeit does), except where its answers
are kept: then the collector runs as in an application, over what the loop
itself creates (everything alive before the loop is frozen out of its
reach, so the harness's own million objects are not what is timed).

Memory: a child interpreter per library loads the prefix texts, values and
records, imports the library, returns free heap to the system, reads its
resident size, builds the table, waits half a second for deferred frees,
returns free heap again, and reads it again.  The growth divided by
the prefix count is the library's memory per prefix: the inputs existed
before the first reading, so only what the library keeps is counted.
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

BENCH_DIR = Path(__file__).resolve().parent.parent


def timed(fn: Callable[[list], object], arg: list, collector: bool = False) -> float:
    """Seconds one call of fn(arg) takes, with the cyclic collector off, or
    with `collector` on over the objects the call makes (see above).  What
    fn returns is dropped after the clock stops."""
    enabled = gc.isenabled()
    gc.collect()
    if collector:
        gc.freeze()
        gc.enable()
    else:
        gc.disable()
    kept = None
    try:
        t0 = time.perf_counter()
        kept = fn(arg)
        return time.perf_counter() - t0
    finally:
        if collector:
            gc.unfreeze()
        del kept
        (gc.enable if enabled else gc.disable)()


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
    """Runs in the child: builds `lib` over the prefixes and reports RSS growth."""
    from .adapters import make_adapter

    with open(prefix_file, encoding="ascii") as f:
        cidrs = [line.strip() for line in f if line.strip()]
    values = [f"r{i}" for i in range(len(cidrs))]
    empty: dict = {}
    metas = [{"value": v, "attributes": empty} for v in values]
    adapter = make_adapter(lib, families)
    _trim()
    before = rss_bytes()
    adapter.build(cidrs, values, metas)
    # Let deferred reclamation (nodes a library retired while building)
    # finish, and hand free heap back, so that `after` is what is kept.
    time.sleep(0.5)
    _trim()
    after = rss_bytes()
    return {"lib": lib, "n": len(cidrs), "rss_before": before, "rss_after": after,
            "bytes_per_prefix": (after - before) / max(1, len(cidrs))}


def memory_per_prefix(lib: str, families: list[int], cidrs: list[str],
                      timeout: float = 600.0) -> dict:
    """Spawns a fresh interpreter that measures `lib` (see `memory_child`).

    Returns the child's report, or {"error": text} when it failed.
    """
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False, encoding="ascii") as f:
        f.write("\n".join(cidrs))
        path = f.name
    try:
        cmd = [sys.executable, "-c",
               "import json, sys; sys.path.insert(0, sys.argv[1]);"
               "from peerbench.measure import memory_child;"
               "print(json.dumps(memory_child(sys.argv[2], json.loads(sys.argv[3]), sys.argv[4])))",
               str(BENCH_DIR), lib, json.dumps(families), path]
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        if p.returncode != 0:
            tail = (p.stderr.strip().splitlines() or ["exit %d" % p.returncode])[-1]
            return {"error": tail}
        return json.loads(p.stdout.strip().splitlines()[-1])
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    finally:
        os.unlink(path)
