"""The routing table the suite measures, and a reference answer for it.

A `Table` holds one workload's prefixes (ipv4, both, ipv6) in file order as
CIDR texts and as flat (family, network, length) buffers, with each
prefix's origin AS.  `Oracle` answers longest-prefix match with one dict per
prefix length: slow, but too simple to be wrong.
"""

from __future__ import annotations

import gzip
import os
import socket
from array import array
from pathlib import Path

DATA_NAME = "tier1-prefixes.txt.gz"
WIDTH = {4: 32, 6: 128}
WORKLOADS = ("ipv4", "both", "ipv6")


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


class Table:
    """One workload: prefixes in file order, each with its origin AS.

    The networks and origins are held in flat buffers, not as Python
    tuples and ints: in the realistic setting the cyclic collector walks
    whatever the harness keeps, and a million tuples would add tens of
    milliseconds to every pass it makes over the heap.

      _fam[i]        4 or 6
      _len[i]        prefix length
      _addr[16*i:]   network, 16 bytes big-endian (IPv4 in the last 4)
      origins[i]     origin AS (array('I')), 0 until assigned
    """

    def __init__(self, name: str):
        self.name = name
        self.cidrs: list[str] = []
        self._fam = bytearray()
        self._len = bytearray()
        self._addr = bytearray()
        self.origins = array("I")
        self._count = {4: 0, 6: 0}
        # Prefixes whose text had host bits set; they are stored as written.
        self.host_bits = 0

    def __len__(self) -> int:
        return len(self.cidrs)

    def count(self, fam: int) -> int:
        return self._count[fam]

    def families(self) -> list[int]:
        return [f for f in (4, 6) if self._count[f]] or [4]

    def net(self, i: int) -> tuple[int, int, int]:
        """(family, network as int, length) of prefix i."""
        return self._fam[i], int.from_bytes(self._addr[16 * i:16 * i + 16], "big"), self._len[i]

    def nets(self):
        """Every (family, network, length), in order (an iterator)."""
        return (self.net(i) for i in range(len(self.cidrs)))

    def _append(self, cidr: str, fam: int, value: int, length: int, origin: int) -> None:
        self.cidrs.append(cidr)
        self._fam.append(fam)
        self._len.append(length)
        self._addr += value.to_bytes(16, "big")
        self.origins.append(origin)
        self._count[fam] += 1

    def add(self, cidr: str, origin: int = 0) -> None:
        fam, value, length = parse_cidr(cidr)
        host = WIDTH[fam] - length
        if host and value & ((1 << host) - 1):
            self.host_bits += 1
            value &= ~((1 << host) - 1)
        self._append(cidr, fam, value, length, origin)

    def subset(self, name: str, fam: int) -> "Table":
        """The prefixes of one family, in the same order, origins kept."""
        t = Table(name)
        for i in range(len(self.cidrs)):
            if self._fam[i] == fam:
                t._append(self.cidrs[i], *self.net(i), self.origins[i])
        return t


def read_lines(path: Path, limit: int | None = None) -> list[str]:
    """The distinct prefix texts of the file: its IPv4 lines, then its IPv6
    lines, each in file order (the file itself lists them so).

    `limit`, when given, keeps about `limit` lines with the file's family mix:
    the first lines of the IPv4 part and of the IPv6 part in proportion (the
    file lists IPv6 after IPv4, so a plain head would hold no IPv6).
    """
    seen = set()
    v4: list[str] = []
    v6: list[str] = []
    with gzip.open(path, "rt", encoding="ascii") as f:
        for line in f:
            cidr = line.strip()
            if not cidr or cidr.startswith("#") or cidr in seen:
                continue
            seen.add(cidr)
            (v6 if ":" in cidr else v4).append(cidr)
    if limit is not None and limit < len(v4) + len(v6):
        n6 = round(limit * len(v6) / (len(v4) + len(v6)))
        v4, v6 = v4[: limit - n6], v6[:n6]
    # The file's own order: IPv4 first, then IPv6.
    return v4 + v6


class Oracle:
    """Longest-prefix match by one dict probe per stored length, longest first.

    Answers with the index (in `table`) of the matching prefix, or None.
    """

    def __init__(self, table: Table, keep: list[int] | None = None):
        """`keep`, when given, lists the indices still stored (after removal)."""
        self._by_len: dict[int, dict[int, dict[int, int]]] = {4: {}, 6: {}}
        indices = range(len(table)) if keep is None else keep
        for i in indices:
            fam, net, length = table.net(i)
            shift = WIDTH[fam] - length
            # A later duplicate of the same network replaces the earlier one,
            # as a second insert does in every library measured.
            self._by_len[fam].setdefault(length, {})[net >> shift] = i
        self._lengths = {f: sorted(d, reverse=True) for f, d in self._by_len.items()}

    def lookup(self, fam: int, addr: int) -> int | None:
        """The index of the longest stored prefix covering `addr`, or None."""
        width = WIDTH[fam]
        for length in self._lengths[fam]:
            i = self._by_len[fam][length].get(addr >> (width - length))
            if i is not None:
                return i
        return None

    def lookup_text(self, text: str) -> int | None:
        fam = 6 if ":" in text else 4
        packed = socket.inet_pton(socket.AF_INET6 if fam == 6 else socket.AF_INET, text)
        return self.lookup(fam, int.from_bytes(packed, "big"))
