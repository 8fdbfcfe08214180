"""Opening a table kept in Redis against building it locally.

A private redis-server (a Unix socket in a fresh temp folder, no TCP port,
no persistence) is filled through netrove itself (from_redis(url,
follow=False), then insert_many), then, alternating, a local insert_many
into RadixEngine() and RadixEngine.from_redis(url) (following, the default)
are timed, each checked to hold every prefix; best of each kept.  The
server this module started is stopped and its folder removed at the end.
Nothing is sent anywhere but the private socket.
"""

from __future__ import annotations

import contextlib
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from .measure import alternate


@contextlib.contextmanager
def private_redis(timeout: float = 10.0):
    """Yields the unix:// URL of a redis-server of this process's own."""
    folder = Path(tempfile.mkdtemp(prefix="peerbench-redis-"))
    sock = folder / "redis.sock"
    proc = subprocess.Popen(["redis-server", "--port", "0", "--unixsocket", str(sock), "--unixsocketperm", "700",
                             "--dir", str(folder), "--save", "", "--appendonly", "no"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + timeout
        while True:
            with contextlib.suppress(OSError), socket.socket(socket.AF_UNIX) as s:
                s.connect(str(sock))
                break
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("redis-server did not start")
            time.sleep(0.05)
        yield f"unix://{sock}"
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)


def measure(mod, cidrs: list[str], records: list[dict], repeats: int, log=print) -> dict:
    """{"local": s, "open": s, "fill": s, "n": count}, {"skipped": why} or
    {"error": text}."""
    if shutil.which("redis-server") is None:
        return {"skipped": "redis-server is not installed"}
    if not hasattr(mod.RadixEngine, "from_redis"):
        return {"skipped": "this netrove build has no from_redis"}
    pairs = list(zip(cidrs, records))
    wrong = []

    def checked(make):  # returns the engine: it is dropped after the clock stops
        e = make()
        if len(e) != len(pairs):
            wrong.append(f"the table holds {len(e)} prefixes, expected {len(pairs)}")
        return e

    def local():
        e = mod.RadixEngine()
        e.insert_many(pairs)
        return e

    try:
        with private_redis() as url:
            t0 = time.perf_counter()
            mod.RadixEngine.from_redis(url, follow=False).insert_many(pairs)
            fill = time.perf_counter() - t0
            log(f"redis: hash filled with {len(pairs):,} entries in {fill:.1f} s")
            t = alternate(repeats, {"local": lambda: checked(local),
                                    "open": lambda: checked(lambda: mod.RadixEngine.from_redis(url))})
    except Exception as e:  # a store error is a result, not a crash of the suite
        return {"error": f"{type(e).__name__}: {e}"}
    if wrong:
        return {"error": wrong[0]}
    return {"local": min(t["local"]), "open": min(t["open"]), "fill": fill, "n": len(pairs)}
