"""Calls made as an attacker would make them: records shared between engines
and dropped while another engine's batch reads them, pairs and keys whose
Python code changes what is being converted, forks and interpreter exit in
the middle of calls, a replaced ipaddress module.  A crash is the failure
here, so each case runs in a fresh interpreter and must exit 0."""

import os
import subprocess
import sys
import textwrap

import pytest

from netrove import RadixEngine

from conftest import VARIANTS, raised


def run(body, *args, timeout=240):
    """Runs `body` in a fresh interpreter with `args` as sys.argv[1:];
    returns its stdout.  A crash, an abort or any stderr output fails."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(body), *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=timeout)
    assert proc.returncode == 0 and not proc.stderr, (proc.returncode, proc.stderr[-3000:])
    return proc.stdout


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_a_record_dropped_by_another_engine_outlives_a_batch_reading_it(variant):
    # E's batches read E's record without the interpreter lock while the
    # main thread replaces it; C (or a copy of E) holds the record's last
    # share and is dropped, which must not free it under the batch.
    out = run("""
        import copy, sys, threading, netrove
        variant = None if sys.argv[1] == "None" else sys.argv[1]
        E = netrove.RadixEngine(variant)
        E.insert("10.0.0.0/8", {"value": "v0"})
        stop, seen = False, set()

        def batches():
            while not stop:
                seen.update(E.lookup_values(["10.1.2.3"] * 5000))

        t = threading.Thread(target=batches)
        t.start()
        for i in range(6000):
            meta = {"value": "v%d" % i + "x" * (300 + 700 * (i % 5))}
            E.insert("10.0.0.0/8", meta)
            E.lookup_value("10.0.0.1")
            C = netrove.RadixEngine(variant) if i % 2 else copy.copy(E)
            C.insert("192.0.2.0/24", meta)
            E.insert("10.0.0.0/8", {"value": "w"})
            C = None
        stop = True
        t.join()
        # every answer was a value some write stored, read whole
        assert all(v == "w" or v == "v0" or v.startswith("v") and v.rstrip("x")[1:].isdigit() for v in seen)
        print(len(seen) > 1)
    """, variant)
    assert out.split() == ["True"]


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_insert_many_holds_a_pair_whose_subnet_empties_it(variant):
    out = run("""
        import ipaddress, sys, netrove
        e, keep, pairs = netrove.RadixEngine(None if sys.argv[1] == "None" else sys.argv[1]), [], []

        class A(ipaddress.IPv4Address):
            def __getattribute__(self, n):
                if n == "_ip" and pair:
                    keep.append(pair[0])
                    pair.clear()
                    [{} for _ in range(200)]  # reuse the freed memory
                return object.__getattribute__(self, n)

        class N(ipaddress.IPv4Network):
            def __getattribute__(self, n):
                if n == "network_address" and pairs and pairs[0]:
                    pairs[0].clear()
                    [{} for _ in range(200)]
                return object.__getattribute__(self, n)

        pair = [A("10.0.0.0"), {"value": "v" * 50}]
        e.insert_many([pair])
        assert pair == []
        pairs.append([N("11.0.0.0/8"), {"value": "n" * 40, "attributes": {"k": "x" * 30}}])
        e.insert_many(p for p in pairs)  # through a generator of list pairs
        print(e.lookup("10.0.0.0")["value"], e.get("11.0.0.0/8")["attributes"]["k"])
    """, variant)
    assert out.split() == ["v" * 50, "x" * 30]


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
@pytest.mark.parametrize("shape", [tuple, list])
def test_the_insert_many_memo_never_outlives_code_run_by_a_pair(shape, variant):
    # A subclass pair's __iter__ runs between elements and changes the
    # dict an earlier element used: each element stores what its dict held
    # when it was read, as single inserts would.
    d = {"value": "old"}

    class P(shape):
        def __iter__(self):
            d["value"] = "new"
            return shape.__iter__(self)

    e = RadixEngine(variant)
    e.insert_many([("1.0.0.0/8", d), P(("2.0.0.0/8", d)), ("3.0.0.0/8", d)])
    assert e.get("1.0.0.0/8")["value"] == "old"
    assert e.get("2.0.0.0/8") == e.get("3.0.0.0/8") == {"value": "new", "attributes": {}}


@pytest.mark.parametrize("call", ["lookup_values", "packed contains_many", "lookup_many from a generator",
                                  "insert_many from a generator", "key subclass"])
def test_interpreter_exit_with_daemon_threads_inside_calls(call):
    # Two daemon threads are inside the call (without the interpreter lock,
    # or running Python code the call runs) when the main thread exits.
    for variant in VARIANTS:
        run("""
            import ipaddress, sys, threading, time, netrove
            E = netrove.RadixEngine(None if sys.argv[2] == "None" else sys.argv[2])
            E.insert("10.0.0.0/8", {"value": "v0"})
            ips, packed = ["10.1.2.3"] * 300000, bytes(4) * 300000

            def gen(item):
                while True:
                    for _ in range(100): pass
                    yield item

            class Slow(ipaddress.IPv4Address):
                def __getattribute__(self, n):
                    for _ in range(1000): pass
                    return object.__getattribute__(self, n)

            slow = Slow("10.1.2.3")
            calls = {
                "lookup_values": lambda: E.lookup_values(ips),
                "packed contains_many": lambda: E.contains_many(packed, family=4),
                "lookup_many from a generator": lambda: E.lookup_many(gen("10.1.2.3")),
                "insert_many from a generator": lambda: E.insert_many(
                    (("10.0.0.0/8", {"value": str(i)}) for i in iter(int, 1))),
                "key subclass": lambda: E.lookup(slow),
            }
            call = calls[sys.argv[1]]

            def loop():
                while True:
                    call()

            for _ in range(2):
                threading.Thread(target=loop, daemon=True).start()
            time.sleep(0.2)
        """, call, variant)


def test_a_child_forked_beside_an_insert_many_changes_the_dicts_it_was_reading():
    # A thread is inside insert_many, its generator paused, when the main
    # thread forks.  In the child that thread is gone, its memo still on the
    # list the dict watcher walks, and its stack free for the child's own
    # threads: changing the dicts it watched must not reach into that stack.
    out = run("""
        import os, threading, warnings, netrove
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside a thread, on purpose
        shared = [{"value": "v%d" % i, "attributes": {"k": "a%d" % i}} for i in range(50)]
        paused, go = threading.Event(), threading.Event()

        def pairs():
            for i in range(200):
                yield "10.%d.0.0/16" % i, shared[i % 50]
                if i == 100:
                    paused.set()
                    go.wait()

        t = threading.Thread(target=lambda: netrove.RadixEngine().insert_many(pairs()))
        t.start()
        paused.wait()
        pid = os.fork()
        if pid == 0:
            def deep(n):  # fills the stacks the child's threads get
                return n if n == 0 else sorted([n], key=lambda x: deep(x - 1))[0]
            for _ in range(4):
                th = threading.Thread(target=deep, args=(150,))
                th.start()
                th.join()
                for d in shared:
                    d["value"] += "x"
                    d["attributes"]["k"] += "y"
            e = netrove.RadixEngine()
            e.insert_many(("11.%d.0.0/16" % i, shared[i]) for i in range(50))
            os._exit(0 if e.get("11.3.0.0/16") == {"value": "v3xxxx", "attributes": {"k": "a3yyyy"}} else 3)
        status = os.waitpid(pid, 0)[1]
        go.set()
        t.join()
        print(os.waitstatus_to_exitcode(status))
    """)
    assert out.split() == ["0"]


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_a_fork_inside_a_batch_leaves_the_child_freeing_record_objects(variant):
    # The generator forks while lookup_many converts it: the child finishes
    # the batch it inherited and must go on freeing the objects of the
    # records it frees, also beside a writer thread of its own.
    out = run("""
        import gc, os, sys, threading, netrove
        E = netrove.RadixEngine(None if sys.argv[1] == "None" else sys.argv[1])
        E.insert("10.0.0.0/8", {"value": "v"})

        def gen():
            yield "10.0.0.1"
            if (pid := os.fork()):
                os._exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            yield "10.0.0.2"

        assert E.lookup_many(gen()) == [{"value": "v", "attributes": {}}] * 2

        def churn(start, n):
            for i in range(start, start + n):
                net = "11.%d.%d.0/24" % (i // 256 % 256, i % 256)
                E.insert(net, {"value": "x%d" % i + "y" * 200})
                assert E.lookup_value(net[:-4] + "1") == "x%d" % i + "y" * 200
                E.remove(net)

        churn(0, 500)
        gc.collect()
        before = sys.getallocatedblocks()
        churn(500, 20000)
        gc.collect()
        print(sys.getallocatedblocks() - before)
        stop = False

        def writer():
            i = 0
            while not stop:
                E.insert("12.0.0.0/8", {"value": "w%d" % i})
                i += 1

        t = threading.Thread(target=writer)
        t.start()
        for _ in range(300):
            assert all(v.startswith("w") for v in E.lookup_values(["12.1.2.3"] * 2000) if v)
        stop = True
        t.join()
    """, variant)
    assert int(out) < 300, out


@pytest.mark.parametrize("name,replacement", [("IPv4Address", "None"), ("IPv6Address", "object()"),
                                              ("IPv4Network", "'a str'"), ("IPv6Interface", "None")])
def test_a_replaced_ipaddress_class_converts_nothing_of_its_name(name, replacement):
    # The module looks the classes up on the first key that is not a str;
    # one that is not a class then takes no key, the others still do.
    out = run("""
        import ipaddress, sys, netrove
        v4, v6 = ipaddress.ip_address("10.1.2.3"), ipaddress.ip_address("2001:db8::1")
        net, iface = ipaddress.ip_network("10.0.0.0/8"), ipaddress.ip_interface("2001:db8::1/32")
        setattr(ipaddress, sys.argv[1], eval(sys.argv[2]))
        e = netrove.RadixEngine()
        e.insert("10.0.0.0/8", {"value": "a"})
        e.insert("2001:db8::/32", {"value": "b"})
        for key in (1, v4, v6, net, iface, b"\\x0a\\x01\\x02\\x03"):
            try:
                print(e[key]["value"])
            except TypeError as x:
                print("TypeError")
    """, name, replacement).split()
    want = ["TypeError", "a", "b", "a", "b", "a"]
    if name != "IPv6Interface":  # an interface is an address too, and converts as one
        want[{"IPv4Address": 1, "IPv6Address": 2, "IPv4Network": 3}[name]] = "TypeError"
    assert out == want


def odd_key(base, text, **fields):
    """An instance of a subclass of `base` whose named fields read as given
    (an exception given is raised) once it is built."""
    built = []

    class Odd(base):
        def __getattribute__(self, n):
            if built and n in fields:
                if isinstance(fields[n], BaseException):
                    raise fields[n]
                return fields[n]
            return object.__getattribute__(self, n)

    key = Odd(text)
    built.append(True)
    return key


@pytest.mark.parametrize("variant", VARIANTS, ids=str)
def test_odd_key_objects_raise_the_documented_errors(variant):
    import ipaddress

    e = RadixEngine(variant)
    v4, v6, net4 = ipaddress.IPv4Address, ipaddress.IPv6Address, ipaddress.IPv4Network
    keys = [odd_key(v4, "1.2.3.4", _ip=2 ** 70), odd_key(v6, "::1", _ip=-1), odd_key(v6, "::1", _ip=2 ** 129),
            odd_key(v4, "1.2.3.4", _ip=AttributeError("_ip"), packed=AttributeError("packed")),
            odd_key(net4, "10.0.0.0/8", _prefixlen=2 ** 80),
            odd_key(net4, "10.0.0.0/8", network_address=AttributeError("network_address"))]
    for key in keys:
        for call in (e.lookup, e.contains, lambda k: e.insert(k, {"value": "v"}), lambda k: e.lookup_many([k])):
            assert isinstance(raised(call, key), ValueError), (key, call)
    for family in (2 ** 70, -2 ** 70, 5):
        err = raised(e.lookup_many, b"", family=family)
        assert isinstance(err, ValueError) and str(err) == f"family must be 4 or 6, not {family}"
    # the key's own error stands
    assert isinstance(raised(e.lookup, odd_key(v4, "1.2.3.4", _ip=ZeroDivisionError())), ZeroDivisionError)
    assert len(e) == 0
