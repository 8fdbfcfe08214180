"""No thread of our own, and tables that keep working and freeing memory in
a forked child.  Each case runs in a fresh interpreter, so that what it
counts (threads, peak memory, warnings) is its own."""

import os
import subprocess
import sys
import textwrap

import pytest

CHURN = """
import os, random, sys
import netrove
from oracle import Oracle

def tasks():
    return len(os.listdir("/proc/self/task"))

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])

def churn(engine, rounds):
    # The table of a feed that is reloaded: /25s and /23s in, then clear.
    for r in range(rounds):
        for i in range(8000):
            engine.insert(f"10.{i >> 7}.{(i >> 1) & 63}.{(i & 1) * 128}/25", {"value": "a"})
            if i % 7 == 0:
                engine.insert(f"11.{i >> 7}.{(i >> 1) & 62}.0/23", {"value": "b"})
            if i % 4 == 0:
                engine.remove(f"10.{i >> 7}.{(i >> 1) & 63}.{(i & 1) * 128}/25")
        engine.clear()

def check_answers(engine):
    rng = random.Random(7)
    oracle = Oracle()
    for _ in range(300):
        if rng.random() < 0.5:
            net = f"10.{rng.randrange(4)}.{rng.randrange(256)}.0/{rng.choice((8, 16, 20, 24, 28))}"
        else:
            net = f"2001:db8:{rng.randrange(4):x}::/{rng.choice((32, 40, 48, 64))}"
        md = {"value": net, "attributes": {}}
        engine.insert(net, md)
        oracle.insert(net, md)
    for _ in range(500):
        ip = (f"10.{rng.randrange(5)}.{rng.randrange(256)}.{rng.randrange(256)}" if rng.random() < 0.5
              else f"2001:db8:{rng.randrange(5):x}::{rng.randrange(65536):x}")
        assert engine.lookup(ip) == oracle.lookup(ip), ip
"""


def run(body):
    """Runs CHURN + body in a fresh interpreter; returns its stdout lines."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-X", "dev", "-c", CHURN + textwrap.dedent(body)],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "fork" not in proc.stderr, proc.stderr  # e.g. "This process is multi-threaded, use of fork() ..."
    return proc.stdout.split()


def test_the_module_never_starts_a_thread():
    counts = run("""
        before = tasks()
        import netrove
        seen = [before, tasks()]
        engines = [netrove.RadixEngine(v) for v in (None, "standard", "lockfree", "adaptive")]
        seen.append(tasks())
        for e in engines:
            churn(e, 3)            # about a million inserts, removes and clears in all
            seen.append(tasks())
        del engines
        seen.append(tasks())
        print(*seen)
    """)
    assert set(counts) == {"1"}


@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
@pytest.mark.parametrize("variant", [None, "lockfree"], ids=str)
def test_a_forked_child_frees_what_it_retires(how, variant):
    # The peak memory that churning adds is measured once in a process of its
    # own and once in a child forked from a parent holding a built table.
    rounds = 20
    base, child = run(f"""
        import multiprocessing
        def grown():
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")      # the peak starts again from here
            start = status("VmRSS")
            churn(netrove.RadixEngine({variant!r}), {rounds})
            return status("VmHWM") - start

        def in_child(conn):
            engine.insert("192.0.2.0/24", {{"value": "parent"}})
            churn(engine, 1)
            check_answers(engine)
            conn.send(grown())

        engine = netrove.RadixEngine({variant!r})
        check_answers(engine)
        baseline = grown()
        if {how!r} == "os.fork":
            r, w = os.pipe()
            pid = os.fork()
            if pid == 0:
                class Conn:
                    def send(self, v): os.write(w, str(v).encode()); os._exit(0)
                try:
                    in_child(Conn())
                finally:
                    os._exit(1)
            os.close(w)
            got = int(os.read(r, 64))
            assert os.waitpid(pid, 0)[1] == 0
        else:
            ctx = multiprocessing.get_context("fork")
            a, b = ctx.Pipe()
            p = ctx.Process(target=in_child, args=(b,))
            p.start()
            got = a.recv()
            p.join()
            assert p.exitcode == 0
        check_answers(engine)   # the parent's table is untouched and still right
        print(baseline, got)
    """)
    base, child = int(base), int(child)
    assert child <= 1.5 * base + 4096, (base, child)  # kB
