"""Opening a table kept in Redis against building it locally.

`RadixEngine.from_redis(url)` loads the hash "netrove:entries" into a table
before it returns; the figure is that time against a local `insert_many` of
the same (prefix, record) pairs into `RadixEngine()`.

  1. start a private redis-server: no TCP port, a Unix socket in a fresh
     temp folder, no persistence; wait until the socket takes a connection;
  2. fill the hash through netrove itself: from_redis(url, follow=False),
     then insert_many of every pair (this engine's own table stays as the
     hash was when it opened, empty, and is dropped);
  3. rounds, alternating: a local insert_many into RadixEngine(), then
     from_redis(url) (the default, following engine), each checked to hold
     every prefix and dropped after its clock stops; best of each kept;
  4. stop the server (the process this module started, by its handle) and
     remove the folder.

Skipped with a note when redis-server is not installed or the module has no
from_redis.  Nothing is sent anywhere but the private socket.
"""

from __future__ import annotations

import gc
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path


class PrivateRedis:
    """A redis-server on a Unix socket in a temp folder, for `with`."""

    def __init__(self, timeout: float = 10.0):
        self.timeout = timeout
        self.dir = Path(tempfile.mkdtemp(prefix="peerbench-redis-"))
        self.sock = self.dir / "redis.sock"
        self.url = f"unix://{self.sock}"
        self.proc: subprocess.Popen | None = None

    def __enter__(self) -> "PrivateRedis":
        self.proc = subprocess.Popen(
            ["redis-server", "--port", "0", "--unixsocket", str(self.sock), "--unixsocketperm", "700",
             "--dir", str(self.dir), "--save", "", "--appendonly", "no", "--daemonize", "no"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                break
            try:
                with socket.socket(socket.AF_UNIX) as s:
                    s.connect(str(self.sock))
                return self
            except OSError:
                time.sleep(0.05)
        self.__exit__(None, None, None)
        raise RuntimeError("redis-server did not start")

    def __exit__(self, *exc) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def measure(mod, cidrs: list[str], records: list[dict], repeats: int, log=print) -> dict:
    """Times from_redis against a local insert_many (module comment).

    Returns {"local": s, "open": s, "fill": s, "n": count} or {"skipped": why}
    or {"error": text}.
    """
    if shutil.which("redis-server") is None:
        return {"skipped": "redis-server is not installed"}
    if not hasattr(mod.RadixEngine, "from_redis"):
        return {"skipped": "this netrove build has no from_redis"}
    n = len(cidrs)
    pairs = list(zip(cidrs, records))
    try:
        with PrivateRedis() as r:
            w = mod.RadixEngine.from_redis(r.url, follow=False)
            t0 = time.perf_counter()
            w.insert_many(pairs)
            fill = time.perf_counter() - t0
            del w
            log(f"  redis: hash filled with {n:,} entries in {fill:.1f} s")
            best = {"local": float("inf"), "open": float("inf")}
            make = {"local": lambda: _local(mod, pairs), "open": lambda: mod.RadixEngine.from_redis(r.url)}
            enabled = gc.isenabled()
            try:
                for _ in range(repeats):
                    for k in ("local", "open"):
                        gc.collect()
                        gc.enable()
                        t0 = time.perf_counter()
                        e = make[k]()
                        dt = time.perf_counter() - t0
                        if len(e) != n:
                            return {"error": f"{k}: the table holds {len(e)} prefixes, expected {n}"}
                        del e
                        best[k] = min(best[k], dt)
                        log(f"  redis: {k} {dt:.2f} s")
            finally:
                (gc.enable if enabled else gc.disable)()
            return {"local": best["local"], "open": best["open"], "fill": fill, "n": n}
    except Exception as e:  # a store error is a result, not a crash of the suite
        return {"error": f"{type(e).__name__}: {e}"}


def _local(mod, pairs):
    e = mod.RadixEngine()
    e.insert_many(pairs)
    return e
