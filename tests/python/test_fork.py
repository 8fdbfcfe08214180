"""No thread of our own, and a table built before fork() that keeps working
and freeing memory in the child.  Each case runs in a fresh interpreter, so
that what it counts (threads, peak memory, warnings) is its own."""

import os
import subprocess
import sys
import textwrap

import pytest

COMMON = """
import os, random
from oracle import Oracle

def tasks():
    return len(os.listdir("/proc/self/task"))

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))

def churn(engine, rounds):
    # The table of a feed that is reloaded: /25s and /23s in, some out, clear.
    for r in range(rounds):
        for i in range(8000):
            engine.insert(f"10.{i >> 7}.{(i >> 1) & 63}.{(i & 1) * 128}/25", {"value": "a"})
            if i % 7 == 0:
                engine.insert(f"11.{i >> 7}.{(i >> 1) & 62}.0/23", {"value": "b"})
            if i % 4 == 0:
                engine.remove(f"10.{i >> 7}.{(i >> 1) & 63}.{(i & 1) * 128}/25")
        engine.clear()

def check_answers(engine, seed):
    rng, oracle = random.Random(seed), Oracle()
    for _ in range(200):
        net = (f"10.{rng.randrange(4)}.{rng.randrange(256)}.0/{rng.choice((8, 16, 20, 24, 28))}" if rng.random() < 0.5
               else f"2001:db8:{rng.randrange(4):x}::/{rng.choice((32, 40, 48, 64))}")
        engine.insert(net, {"value": net})
        oracle.insert(net, {"value": net})
    for _ in range(300):
        ip = (f"10.{rng.randrange(5)}.{rng.randrange(256)}.{rng.randrange(256)}" if rng.random() < 0.5
              else f"2001:db8:{rng.randrange(5):x}::{rng.randrange(65536):x}")
        assert engine.lookup(ip) == oracle.lookup(ip), ip
"""


def run(body):
    """Runs COMMON + body in a fresh interpreter; returns its stdout words."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-X", "dev", "-c", COMMON + textwrap.dedent(body)],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "fork" not in proc.stderr, proc.stderr  # e.g. "This process is multi-threaded, use of fork() ..."
    return proc.stdout.split()


@pytest.mark.parametrize("variant,how", [(None, "os.fork"), ("standard", "os.fork"), ("lockfree", "os.fork"),
                                         ("adaptive", "multiprocessing")])
def test_a_forked_child_answers_and_frees_what_it_retires(variant, how):
    # The peak memory that churning adds, in a process of its own and in a
    # child forked from a parent holding a built table.
    before, base, child, after = run(f"""
        before = tasks()
        import multiprocessing, netrove

        def grown():
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # the peak starts again from here
            start = status("VmRSS")
            churn(netrove.RadixEngine({variant!r}), 8)
            return status("VmHWM") - start

        def in_child(send):
            check_answers(engine, 1)  # the parent's table, then written in the child
            engine.insert("192.0.2.0/24", {{"value": "child"}})
            churn(engine, 1)
            check_answers(engine, 2)
            send(grown())

        engine = netrove.RadixEngine({variant!r})
        check_answers(engine, 1)
        baseline = grown()
        if {how!r} == "os.fork":
            r, w = os.pipe()
            if (pid := os.fork()) == 0:
                try:
                    in_child(lambda v: os.write(w, str(v).encode()))
                    os._exit(0)
                finally:
                    os._exit(1)
            os.close(w)
            got = int(os.read(r, 64))
            assert os.waitpid(pid, 0)[1] == 0
        else:
            a, b = multiprocessing.get_context("fork").Pipe()
            p = multiprocessing.get_context("fork").Process(target=in_child, args=(b.send,))
            p.start()
            got = a.recv()
            p.join()
            assert p.exitcode == 0
        check_answers(engine, 1)  # the parent's table is untouched and still right
        assert engine.lookup("192.0.2.1") is None
        print(before, baseline, got, tasks())
    """)
    assert before == after == "1"  # the module never starts a thread
    assert int(child) <= 1.5 * int(base) + 4096, (base, child)  # kB


def test_a_child_forked_beside_an_unlocked_batch_frees_record_objects():
    # Another thread is inside lookup_values, with the interpreter lock
    # released, when the main thread forks: in the child that batch never
    # ends, and the objects of the records the child frees must not wait
    # for it.
    (grown,) = run("""
        import gc, sys, threading, time, warnings, netrove
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside a thread, on purpose
        engine = netrove.RadixEngine()
        engine.insert("10.0.0.0/8", {"value": "x"})
        running = threading.Event()
        stop = False

        def batches():
            while not stop:
                running.set()
                engine.lookup_values(["10.1.2.3"] * 50_000)

        def churn_values(start, n):
            for i in range(start, start + n):
                engine.insert("10.0.0.0/8", {"value": f"v{i}"})
                assert engine.lookup_value("10.1.2.3") == f"v{i}"
            engine.clear()

        t = threading.Thread(target=batches)
        t.start()
        running.wait()
        time.sleep(0.05)
        r, w = os.pipe()
        if (pid := os.fork()) == 0:
            try:
                churn_values(0, 500)
                gc.collect()
                before = sys.getallocatedblocks()
                churn_values(500, 20_000)
                gc.collect()
                os.write(w, str(sys.getallocatedblocks() - before).encode())
                os._exit(0)
            finally:
                os._exit(1)
        os.close(w)
        got = os.read(r, 64).decode()
        assert os.waitpid(pid, 0)[1] == 0
        stop = True
        t.join()
        print(got)
    """)
    assert int(grown) < 300, grown
