"""The routing table the peer suite measures, and a reference answer for it.

A `Table` holds one workload's prefixes three ways: the CIDR texts handed to
every library, the value stored with each one, and (family, network, length)
integers used to draw addresses and to check answers.  `Oracle` answers
longest-prefix match with one dict per prefix length, which is slow but too
simple to be wrong; the suite checks every library against it before timing.
"""

from __future__ import annotations

import gzip
import os
import socket
from dataclasses import dataclass, field
from pathlib import Path

DATA_NAME = "tier1-prefixes.txt.gz"
WIDTH = {4: 32, 6: 128}


def data_path(root: Path) -> Path:
    """Locates the routing table.

    Order: $NETROVE_BENCH_DATA, then ../shared/data beside the project root
    `root`, then /work/shared/data (a worktree sits deeper than the root).
    Raises FileNotFoundError naming every place tried.
    """
    tried = []
    env = os.environ.get("NETROVE_BENCH_DATA")
    if env:
        tried.append(Path(env))
    tried.append(root.parent / "shared" / "data" / DATA_NAME)
    tried.append(Path("/work/shared/data") / DATA_NAME)
    for p in tried:
        if p.is_file():
            return p
    raise FileNotFoundError("routing table not found; tried " + ", ".join(map(str, tried)))


def parse_cidr(text: str) -> tuple[int, int, int]:
    """CIDR text to (family 4|6, network as int, length). Raises ValueError."""
    addr, sep, plen = text.partition("/")
    fam = 6 if ":" in addr else 4
    packed = socket.inet_pton(socket.AF_INET6 if fam == 6 else socket.AF_INET, addr)
    length = int(plen) if sep else WIDTH[fam]
    if not 0 <= length <= WIDTH[fam]:
        raise ValueError(f"bad prefix length in {text!r}")
    return fam, int.from_bytes(packed, "big"), length


def format_address(fam: int, value: int) -> str:
    """Integer address to its usual text form."""
    if fam == 4:
        return socket.inet_ntoa(value.to_bytes(4, "big"))
    return socket.inet_ntop(socket.AF_INET6, value.to_bytes(16, "big"))


@dataclass
class Table:
    """One workload: prefixes in file order with one value each."""

    name: str
    cidrs: list[str] = field(default_factory=list)
    values: list[str] = field(default_factory=list)
    nets: list[tuple[int, int, int]] = field(default_factory=list)
    # Prefixes whose text had host bits set; they are stored as written.
    host_bits: int = 0

    def __len__(self) -> int:
        return len(self.cidrs)

    def count(self, fam: int) -> int:
        return sum(1 for n in self.nets if n[0] == fam)

    def add(self, cidr: str) -> None:
        fam, net, length = parse_cidr(cidr)
        host = WIDTH[fam] - length
        if host and net & ((1 << host) - 1):
            self.host_bits += 1
            net &= ~((1 << host) - 1)
        self.nets.append((fam, net, length))
        self.cidrs.append(cidr)
        self.values.append(f"r{len(self.values)}")


def load_tables(path: Path, limit: int | None = None) -> dict[str, Table]:
    """Reads the gzip table into the two workloads.

    "ipv4": the IPv4 prefixes alone; "both": every prefix, both families, in
    file order.  `limit`, when given, keeps only the first `limit` lines (for
    quick runs and tests).  Values are "r<index>" within each workload.
    Duplicate lines are dropped so that every library holds the same count.
    """
    v4, both = Table("ipv4"), Table("both")
    seen = set()
    with gzip.open(path, "rt", encoding="ascii") as f:
        for i, line in enumerate(f):
            if limit is not None and i >= limit:
                break
            cidr = line.strip()
            if not cidr or cidr.startswith("#") or cidr in seen:
                continue
            seen.add(cidr)
            both.add(cidr)
            if ":" not in cidr:
                v4.add(cidr)
    return {"ipv4": v4, "both": both}


def table_from_cidrs(name: str, cidrs: list[str]) -> Table:
    """A table from a list of CIDR texts (tests and small runs)."""
    t = Table(name)
    for c in cidrs:
        t.add(c)
    return t


class Oracle:
    """Longest-prefix match by one dict probe per stored length, longest first."""

    def __init__(self, table: Table):
        self._by_len: dict[int, dict[int, dict[int, str]]] = {4: {}, 6: {}}
        for (fam, net, length), value in zip(table.nets, table.values):
            shift = WIDTH[fam] - length
            # A later duplicate of the same network replaces the earlier one,
            # as a second insert does in every library measured.
            self._by_len[fam].setdefault(length, {})[net >> shift] = value
        self._lengths = {f: sorted(d, reverse=True) for f, d in self._by_len.items()}

    def lookup(self, fam: int, addr: int) -> str | None:
        """The value of the longest stored prefix covering `addr`, or None."""
        width = WIDTH[fam]
        for length in self._lengths[fam]:
            v = self._by_len[fam][length].get(addr >> (width - length))
            if v is not None:
                return v
        return None

    def lookup_text(self, text: str) -> str | None:
        fam = 6 if ":" in text else 4
        packed = socket.inet_pton(socket.AF_INET6 if fam == 6 else socket.AF_INET, text)
        return self.lookup(fam, int.from_bytes(packed, "big"))
