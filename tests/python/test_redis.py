"""RadixEngine.from_redis against a redis-server of the test's own (127.0.0.1
and a Unix socket in a temporary folder, never any other address): good and
bad URLs, writers and followers against the oracle, no thread or
descriptor left behind, and fork()."""

import copy
import io
import ipaddress
import json
import os
import pickle
import random
import shutil
import socket
import subprocess
import sys
import time
import warnings

import pytest

import netrove

from conftest import raised
from oracle import Oracle
from test_differential import make_pool

pytestmark = pytest.mark.skipif(shutil.which("redis-server") is None, reason="redis-server not installed")

PASSWORD = "pw"
# A host name whose 64-byte label the resolver refuses locally, so the
# lookup fails without any query leaving the machine.
UNKNOWN_HOST = "x" * 64 + ".invalid"
REC = {"value": "allow", "attributes": {"asn": "AS1234"}}


# Two start-ups that fail only after waiting out every connection attempt
# (seconds), both at once in threads of a process of their own, started
# when this module is collected so that the wait overlaps the other tests.
UNREACHABLE_SCRIPT = f"""
import json, socket, threading, time, netrove
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    urls = {{"unknown host": "redis://{UNKNOWN_HOST}:6379", "server down": f"redis://127.0.0.1:{{s.getsockname()[1]}}"}}
failures = {{}}
def attempt(name, url):
    try:
        netrove.RadixEngine.from_redis(url)
    except netrove.StoreError as e:
        failures[name] = str(e)
threads = [threading.Thread(target=attempt, args=item) for item in urls.items()]
ticks = [t.start() for t in threads]
while any(t.is_alive() for t in threads):
    ticks.append(time.sleep(0.001))
print(json.dumps([failures, len(ticks)]))
"""
UNREACHABLE = (subprocess.Popen([sys.executable, "-c", UNREACHABLE_SCRIPT], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True) if shutil.which("redis-server") else None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("redis")
    sock, port = str(folder / "redis.sock"), free_port()
    proc = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--unixsocket", sock,
                             "--unixsocketperm", "700", "--save", "", "--appendonly", "no", "--dir", str(folder),
                             "--requirepass", PASSWORD], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not os.path.exists(sock):
        assert time.monotonic() < deadline and proc.poll() is None, "redis-server did not start"
        time.sleep(0.02)
    yield {"tcp": f"redis://:{PASSWORD}@127.0.0.1:{port}", "unix": f"unix://{sock}?pass={PASSWORD}",
           "port": port}
    proc.terminate()
    proc.wait(10)


def wait_until(pred, limit=5.0):
    deadline = time.monotonic() + limit
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def emptied(engine):
    """`engine` once the hash it follows is empty."""
    engine.clear()
    assert wait_until(lambda: len(engine) == 0)
    return engine


def threads_and_fds():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("form,variant", [("tcp", None), ("unix", "lockfree"), ("unix", "adaptive")])
def test_writer_and_follower_match_the_oracle(server, form, variant):
    # Seeded writes through one engine; after each, once its own events are
    # back, the writer, a second follower and a snapshot opened now answer
    # like the oracle (entry queries and batches included).
    writer = emptied(netrove.RadixEngine.from_redis(server[form], variant))
    follower = netrove.RadixEngine.from_redis(server[form], variant, follow=True)
    assert writer.follow_stats()["in_step"] and netrove.RadixEngine(variant).follow_stats() is None
    prefixes, addresses = make_pool(7, size=12)
    prefixes = [str(ipaddress.ip_network(p, strict=False)) for p in prefixes]  # see the host-bits test below
    rng, oracle = random.Random(variant), Oracle()
    for i in range(25):
        op, subnet = rng.choice(["insert", "insert_many", "remove"]), rng.choice(prefixes)
        if op == "insert":
            writer.insert(subnet, {"value": f"#{i}", "attributes": {"i": str(i)}})
            oracle.insert(subnet, {"value": f"#{i}", "attributes": {"i": str(i)}})
        elif op == "insert_many":
            items = {p: {"value": f"#{i}"} for p in rng.sample(prefixes, 4)}
            writer.insert_many(items)
            for p, m in items.items():
                oracle.insert(p, m)
        else:
            assert writer.remove(subnet) == oracle.remove(subnet)
        want = oracle.items()
        assert wait_until(lambda: writer.items() == want and follower.items() == want), (i, op)
        snapshot = netrove.RadixEngine.from_redis(server[form], follow=False)
        for e in (writer, follower, snapshot):
            ips = rng.sample(addresses, 8)
            assert e.lookup_many(ips) == [oracle.lookup(ip) for ip in ips] == [e.lookup(ip) for ip in ips]
            assert e.contains_many(ips) == [e.contains(ip) for ip in ips] == [oracle.lookup(ip) is not None for ip in ips]
            assert e.match(ips[0]) == oracle.match(ips[0]) and e.covering(ips[1]) == oracle.covering(ips[1])
            assert e.covered(subnet) == oracle.covered(subnet) and e.get(subnet) == oracle.get(subnet)
            assert len(e) == len(oracle)
    stats = follower.follow_stats()
    assert (stats["events_skipped"], stats["resyncs"], stats["lag_seconds"]) == (0, 0, 0.0)
    assert stats["events_applied"] >= 25
    writer.clear()
    assert wait_until(lambda: len(follower) == 0)
    for dump in (pickle.dumps, copy.copy, copy.deepcopy):
        got = raised(dump, writer)
        assert type(got) is TypeError and str(got) == ("cannot pickle a RadixEngine opened with from_redis: its "
                                                       "table lives in Redis (pickle items() instead)")


def test_bad_urls_raise_store_error_and_leave_nothing_behind(server):
    base = f"127.0.0.1:{server['port']}"
    cases = {
        "http://" + base: "Redis error: Redis URL did not parse",
        "rediss://" + base: "Redis error: can't connect with TLS, the feature is not enabled",
        f"redis://:wrong@{base}": "Redis error: WRONGPASS",
        f"redis://{base}": "Redis error: NOAUTH",
    }
    for url, text in cases.items():
        with pytest.raises(netrove.StoreError) as info:
            netrove.RadixEngine.from_redis(url)
        assert isinstance(info.value, ConnectionError) and str(info.value).startswith(text), url
    # Unreachable servers: see UNREACHABLE, started while the module loaded.
    out, err = UNREACHABLE.communicate(timeout=60)
    assert UNREACHABLE.returncode == 0, err
    failures, ticks = json.loads(out)
    assert failures == {"unknown host": "Redis error: Name or service not known",
                        "server down": "Redis error: Connection refused"}
    assert ticks > 100, ticks  # the interpreter ran on while both waited
    # A follower's thread and sockets go with it.
    before = threads_and_fds()
    follower = netrove.RadixEngine.from_redis(server["unix"])
    assert threads_and_fds()[0] == before[0] + 1
    del follower
    # The thread is joined by then; the kernel drops it from /proc/self/task
    # a moment after the join returns.
    assert wait_until(lambda: threads_and_fds() == before), threads_and_fds()


def test_a_follower_refuses_a_forked_child_and_a_plain_one_works(server):
    follower = emptied(netrove.RadixEngine.from_redis(server["unix"]))
    follower.insert("10.0.0.0/8", REC)
    assert wait_until(lambda: len(follower) == 1)
    plain = netrove.RadixEngine.from_redis(server["unix"], follow=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # "multi-threaded, use of fork()"
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            follower.lookup("10.1.2.3")
        except RuntimeError as e:
            code = 0 if "open it after fork()" in str(e) else 2
        plain.insert("192.0.2.0/24", REC)
        os._exit(code if plain.lookup_many(["10.1.2.3", "192.0.2.1"]) == [REC, None] else 3)
    _, status = os.waitpid(pid, 0)
    assert os.WEXITSTATUS(status) == 0
    assert wait_until(lambda: follower.lookup("192.0.2.1") == REC)  # the child's write reached the parent


def test_a_prefix_written_with_other_host_bits_is_one_field(server):
    writer = emptied(netrove.RadixEngine.from_redis(server["unix"]))
    writer.insert("1.2.3.4/0", REC)
    assert writer.remove("5.6.7.8/0") is True
    assert wait_until(lambda: len(writer) == 0)
    assert netrove.RadixEngine.from_redis(server["unix"], follow=False).items() == []


def test_records_a_following_thread_frees_give_back_their_objects(server):
    # The follower's own thread applies the writer's replacements and frees
    # the old records (no interpreter lock there); lookups here build the
    # new records' objects and give back the freed ones'.
    writer = netrove.RadixEngine.from_redis(server["unix"], follow=False)
    follower = emptied(netrove.RadixEngine.from_redis(server["unix"]))

    def churn(start, n):
        for i in range(start, start + n):
            writer.insert("10.0.0.0/8", {"value": f"v{i}"})
            assert wait_until(lambda: follower.lookup_value("10.1.2.3") == f"v{i}"), i
            follower.lookup("10.1.2.3")

    churn(0, 300)
    before = sys.getallocatedblocks()
    churn(300, 3000)
    follower.clear()  # the follower's next writes free what its thread retired
    assert wait_until(lambda: len(follower) == 0)
    follower.insert("10.0.0.0/8", REC)
    assert wait_until(lambda: follower.lookup("10.1.2.3") == REC)
    assert sys.getallocatedblocks() - before < 300


def test_load_into_a_redis_engine_is_one_bulk_write_with_its_events(server):
    writer = emptied(netrove.RadixEngine.from_redis(server["unix"]))
    follower = netrove.RadixEngine.from_redis(server["unix"])
    data = b"".join(b"10.%d.%d.0/24\t%d\n" % (i // 256, i % 256, i) for i in range(2000))
    assert writer.load(io.BytesIO(data), format="ipasn") == 2000
    want = {f"10.{i // 256}.{i % 256}.0/24": {"value": str(i), "attributes": {"origins": str(i)}} for i in range(2000)}
    assert wait_until(lambda: dict(writer.items()) == want and dict(follower.items()) == want)
    assert dict(netrove.RadixEngine.from_redis(server["unix"], follow=False).items()) == want
    writer.clear()


@pytest.mark.parametrize("form", ["tcp", "unix"])
def test_the_command_reads_a_table_from_redis_as_a_reader_that_does_not_follow(server, form, cli, tmp_path):
    writer = emptied(netrove.RadixEngine.from_redis(server[form]))
    writer.insert("10.0.0.0/8", {"value": "ten", "attributes": {"k": "v"}})
    writer.insert("10.1.0.0/16", {"value": "ten-one"})
    writer.insert("2001:db8::/32", {"value": "doc"})
    run = lambda *args: subprocess.run([cli, *args], capture_output=True, text=True)  # noqa: E731
    got = run("lookup", "--json", server[form], "10.1.2.3", "10.9.9.9", "2001:db8::1", "192.0.2.1")
    assert got.returncode == 0, got.stderr
    answers = [json.loads(line) for line in got.stdout.splitlines()]
    for answer, address in zip(answers, ["10.1.2.3", "10.9.9.9", "2001:db8::1", "192.0.2.1"], strict=True):
        entry = writer.match(address)
        assert answer == {"address": address, "prefix": entry and entry[0], "value": entry and entry[1]["value"],
                          "attributes": entry and entry[1]["attributes"]}
    info = dict(line.split(": ") for line in run("info", server[form]).stdout.splitlines())
    assert info["format"] == "redis" and (info["ipv4_prefixes"], info["ipv6_prefixes"]) == ("2", "1")
    # A refused password is an input error, told on stderr.
    bad = run("lookup", server[form].replace(PASSWORD, "wrong"), "10.1.2.3")
    assert bad.returncode == 2 and bad.stderr.splitlines()[-1].startswith("netrove: ")
    writer.clear()
