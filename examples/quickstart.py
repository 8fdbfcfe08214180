"""Quick start: load a prefix table, look addresses up with every variant.

    make run        (or: PYTHONPATH=build/python python examples/quickstart.py)
"""

import ipaddress
import random
import time
from pathlib import Path

import netrove
from netrove import RadixEngine

TABLE = Path(__file__).with_name("data") / "prefixes.tsv"
BATCH = 200_000


def load_table(path):
    """(subnet, metadata) pairs from the tab-separated sample table."""
    rows = []
    for line in path.read_text().splitlines()[1:]:  # after the header row
        if not line:
            continue
        subnet, value, asn, region = line.split("\t")
        rows.append((subnet, {"value": value, "attributes": {"asn": asn, "region": region}}))
    return rows


def address_batch(rows, n, seed=1):
    """`n` addresses: most inside a stored prefix, some anywhere."""
    rng = random.Random(seed)
    nets = [ipaddress.ip_network(s) for s, _ in rows]
    out = []
    for _ in range(n):
        if rng.random() < 0.8:
            net = rng.choice(nets)
            out.append(str(net.network_address + rng.randrange(net.num_addresses)))
        else:
            out.append(str(ipaddress.IPv4Address(rng.getrandbits(32))))
    return out


def main():
    rows = load_table(TABLE)
    # A few hot addresses take most of the traffic, as in real lookups.
    distinct = address_batch(rows, 2_000)
    rng = random.Random(2)
    batch = [rng.choice(distinct[:200] if i % 10 else distinct) for i in range(BATCH)]
    print(f"netrove {netrove.version()}: {len(rows)} prefixes from {TABLE.name}, {BATCH} lookups per variant\n")

    for variant in (None, "standard", "lockfree", "adaptive"):
        engine = RadixEngine(variant)
        t0 = time.perf_counter()
        for subnet, metadata in rows:
            engine.insert(subnet, metadata)
        built = time.perf_counter() - t0

        lookup = engine.lookup
        t0 = time.perf_counter()
        found = sum(lookup(ip) is not None for ip in batch)
        took = time.perf_counter() - t0

        print(f"variant={variant!r}: {engine!r}, built in {built * 1e3:.1f} ms")
        print(f"  {BATCH / took:,.0f} lookups/s, {found / BATCH:.0%} matched, stats {engine.stats()}")
    print()

    engine = RadixEngine("standard")
    for subnet, metadata in rows:
        engine.insert(subnet, metadata)
    for ip in distinct[:4] + ["192.0.2.1", "2001:db8::1"]:
        print(f"  lookup({ip!r}) -> {engine.lookup(ip)}")


if __name__ == "__main__":
    main()
