"""Address streams every library answers, drawn once per run from a seeded
generator: inside (an address inside a prefix drawn uniformly), random
(uniform IPv4; IPv6 uniform in 2000::/3, in the table's family mix) and
skewed (a pool whose hottest 10% take 90% of the lookups).  `pack` gives the
packed forms of the batch calls: array('I') for IPv4, 16-byte rows for IPv6.
"""

from __future__ import annotations

import random
import socket
from array import array
from dataclasses import dataclass

from .table import WIDTH, Table, format_address

V6_GLOBAL = 1 << 125  # 2000::/3: top three bits 001
HOT_SHARE = 0.10        # fraction of the pool that is hot
HOT_WEIGHT = 0.90       # fraction of lookups that go to the hot set


@dataclass
class Streams:
    inside: list[str]
    random: list[str]
    skewed: list[str]
    # Distinct addresses in the skewed stream's pool and in its hot set.
    pool: int
    hot: int


def inside_address(rng: random.Random, table: Table) -> tuple[int, int]:
    """(family, address) inside a prefix drawn uniformly from `table`."""
    fam, net, length = table.net(rng.randrange(len(table)))
    host = WIDTH[fam] - length
    return fam, net | (rng.getrandbits(host) if host else 0)


def _uniform(rng: random.Random, v6_share: float) -> tuple[int, int]:
    if v6_share and rng.random() < v6_share:
        return 6, V6_GLOBAL | rng.getrandbits(125)
    return 4, rng.getrandbits(32)


def make_streams(table: Table, n: int, pool: int, seed: int) -> Streams:
    """Draws the three streams of `n` addresses each for `table`.

    `pool` is the number of distinct addresses of the skewed stream; its
    first 10% are the hot set.  Raises ValueError for an empty table or a
    pool of fewer than 10 addresses.
    """
    if not len(table):
        raise ValueError("empty table")
    if pool < 10:
        raise ValueError("skewed pool must hold at least 10 addresses")
    rng = random.Random(seed)
    v6_share = table.count(6) / len(table)
    inside = [format_address(*inside_address(rng, table)) for _ in range(n)]
    rand = [format_address(*_uniform(rng, v6_share)) for _ in range(n)]
    # Distinct pool: redraw on collision so the hot set really holds
    # pool * HOT_SHARE different addresses.
    seen: set[tuple[int, int]] = set()
    addrs: list[str] = []
    tries = 0
    while len(addrs) < pool and tries < pool * 20:
        tries += 1
        a = inside_address(rng, table)
        if a not in seen:
            seen.add(a)
            addrs.append(format_address(*a))
    hot_n = max(1, int(len(addrs) * HOT_SHARE))
    hot, cold = addrs[:hot_n], addrs[hot_n:] or addrs[:hot_n]
    skewed = [rng.choice(hot) if rng.random() < HOT_WEIGHT else rng.choice(cold) for _ in range(n)]
    return Streams(inside, rand, skewed, len(addrs), hot_n)


@dataclass
class Packed:
    """One stream packed per family (see the module comment)."""

    v4: array | None
    v6: bytes | None
    v4_texts: list[str]
    v6_texts: list[str]

    def __len__(self) -> int:
        return len(self.v4_texts) + len(self.v6_texts)


def pack(addrs: list[str]) -> Packed:
    """The packed forms of `addrs`: array('I') for IPv4, 16-byte rows for IPv6."""
    if array("I").itemsize != 4:
        raise RuntimeError("array('I') items are not 4 bytes on this platform")
    v4t = [a for a in addrs if ":" not in a]
    v6t = [a for a in addrs if ":" in a]
    aton, pton = socket.inet_aton, socket.inet_pton
    v4 = array("I", [int.from_bytes(aton(a), "big") for a in v4t]) if v4t else None
    v6 = b"".join(pton(socket.AF_INET6, a) for a in v6t) if v6t else None
    return Packed(v4, v6, v4t, v6t)
