"""RadixEngine.from_redis against a redis-server of the test's own (127.0.0.1
and a Unix socket in a temporary folder, never any other address): good and
bad URLs, following another engine's writes, no thread or descriptor left
behind, and fork()."""

import copy
import os
import pickle
import shutil
import socket
import subprocess
import threading
import time
import warnings

import pytest

import netrove

pytestmark = pytest.mark.skipif(shutil.which("redis-server") is None, reason="redis-server not installed")

PASSWORD = "pw"
# A host name whose 64-byte label the resolver refuses locally, so the
# lookup fails without any query leaving the machine.
UNKNOWN_HOST = "x" * 64 + ".invalid"
REC = {"value": "allow", "attributes": {"asn": "AS1234"}}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def resp(sock_path, *args):
    """One command on the server's Unix socket; the raw reply bytes."""
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(sock_path)
        words = [b"AUTH", PASSWORD.encode()], [a.encode() for a in args]
        for w in words:
            s.sendall(b"*%d\r\n" % len(w) + b"".join(b"$%d\r\n%s\r\n" % (len(a), a) for a in w))
            time.sleep(0.01)
        return s.recv(65536)


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
           "port": port, "sock": sock}
    proc.terminate()
    proc.wait(10)


def wait_until(pred, limit=5.0):
    deadline = time.monotonic() + limit
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def tasks():
    return len(os.listdir("/proc/self/task"))


def fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("form", ["tcp", "unix"])
@pytest.mark.parametrize("variant", [None, "lockfree"], ids=str)
def test_followers_see_every_write(server, form, variant):
    resp(server["sock"], "DEL", "netrove:entries")
    writer = netrove.RadixEngine.from_redis(server[form], variant)
    reader = netrove.RadixEngine.from_redis(server[form], variant, follow=True)
    snapshot = netrove.RadixEngine.from_redis(server[form], follow=False)
    assert writer.follow_stats()["in_step"] and snapshot.follow_stats() is None
    writer.insert_many({"10.0.0.0/8": REC})
    assert wait_until(lambda: reader.lookup("10.1.2.3") == REC and writer.contains("10.1.2.3"))
    assert reader.lookup_many(["10.1.2.3", "11.0.0.1"]) == [REC, None]
    assert writer.contains_many(("11.0.0.1", "10.1.2.3")) == [False, True]
    assert writer.remove("10.0.0.0/8") is True
    assert wait_until(lambda: reader.lookup("10.1.2.3") is None and len(writer) == 0)
    assert snapshot.lookup("10.1.2.3") is None and len(snapshot) == 0  # the hash as it was when opened
    assert netrove.RadixEngine.from_redis(server[form], follow=False).lookup("10.1.2.3") is None
    stats = reader.follow_stats()
    assert (stats["events_applied"], stats["events_skipped"], stats["resyncs"]) == (2, 0, 0)
    assert stats["lag_seconds"] == 0.0


def test_bad_urls_raise_store_error_and_leave_nothing_behind(server):
    before = (tasks(), fds())
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
    # Unreachable: each waits out the connection attempts, both at once
    # (the start-up runs without the interpreter lock).
    raised = {}
    slow = {"unknown host": f"redis://{UNKNOWN_HOST}:6379", "server down": f"redis://127.0.0.1:{free_port()}"}

    def attempt(name, url):
        try:
            netrove.RadixEngine.from_redis(url)
        except netrove.StoreError as e:
            raised[name] = str(e)

    threads = [threading.Thread(target=attempt, args=item) for item in slow.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert raised == {"unknown host": "Redis error: Name or service not known",
                      "server down": "Redis error: Connection refused"}
    # A follower's thread and sockets go with it.
    follower = netrove.RadixEngine.from_redis(server["unix"])
    assert tasks() == before[0] + 1
    del follower
    assert (tasks(), fds()) == before


def test_constructor_keeps_its_rules():
    with pytest.raises(TypeError):
        netrove.RadixEngine(variant="standard", follow=True)
    with pytest.raises(TypeError):
        netrove.RadixEngine.from_redis()
    with pytest.raises(TypeError):
        netrove.RadixEngine.from_redis("redis://127.0.0.1", None, True)  # follow is keyword-only
    assert netrove.RadixEngine().follow_stats() is None


def test_a_follower_refuses_a_forked_child_and_a_plain_one_works(server):
    resp(server["sock"], "DEL", "netrove:entries")
    follower = netrove.RadixEngine.from_redis(server["unix"])
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
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WEXITSTATUS(status) == 0
    assert wait_until(lambda: follower.lookup("192.0.2.1") == REC)  # the child's write reached the parent


@pytest.mark.parametrize("follow", [True, False])
def test_entry_queries_answer_from_the_local_table_and_pickling_refuses(server, follow):
    resp(server["sock"], "DEL", "netrove:entries")
    writer = netrove.RadixEngine.from_redis(server["unix"], "adaptive")
    writer.insert("10.1.2.3/8", REC)
    writer.insert("10.0.0.0/16", {"value": "deny", "attributes": {}})
    assert wait_until(lambda: len(writer) == 2)
    e = netrove.RadixEngine.from_redis(server["unix"], follow=follow)
    deny = ("10.0.0.0/16", {"value": "deny", "attributes": {}})
    assert e.match("10.0.1.1") == deny and e.covering("10.0.1.1") == [deny, ("10.0.0.0/8", REC)]
    assert e.covered("10.0.0.0/8") == e.items() == [("10.0.0.0/8", REC), deny] and e.get("10.9.9.9/8") == REC
    for dump in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="opened with from_redis"):
            dump(e)
