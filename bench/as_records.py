"""Realistic records for the write benchmarks, as a route loader makes them.

Every prefix gets the record of its origin AS, {"value": "AS<n>",
"attributes": {"asn": "<n>"}}, and every prefix of one AS gets the same dict
object (a loader keeps one per AS).  The routing table carries no origins,
so they are synthesised, deterministically, with the shape of a real table:

  - neighbouring prefixes often share an origin: runs of 1 to 4 prefixes;
  - half the runs walk through all 70,000 AS numbers (so about that many
    distinct records appear in a full table), the other half draw an AS
    log-uniformly (AS n with weight 1/n: a few origins hold many prefixes).

bench/as_records.hpp makes the same numbers in C++ (same generator).
"""

from __future__ import annotations

import gzip
from pathlib import Path

AS_COUNT = 70_000
MASK = (1 << 64) - 1


def asn_per_prefix(n: int, seed: int = 25) -> list[int]:
    """The origin AS of each of `n` prefixes in table order."""
    state = seed
    out: list[int] = []
    run_index = 0

    def next64() -> int:  # splitmix64
        nonlocal state
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    while len(out) < n:
        run = 1 + next64() % 4
        r = next64()
        if r & 1:
            asn = (run_index * 40503) % AS_COUNT + 1
        else:
            asn = min(AS_COUNT, 1 + int(AS_COUNT ** ((r >> 11) / float(1 << 53))))
        out.extend([asn] * min(run, n - len(out)))
        run_index += 1
    return out


def realistic_metas(n: int) -> list[dict]:
    """One record dict per prefix; prefixes of one AS share the dict object."""
    by_asn: dict[int, dict] = {}
    out = []
    for asn in asn_per_prefix(n):
        m = by_asn.get(asn)
        if m is None:
            m = by_asn[asn] = {"value": f"AS{asn}", "attributes": {"asn": str(asn)}}
        out.append(m)
    return out


def table_path() -> Path:
    root = Path(__file__).resolve().parent.parent
    for p in (root.parent / "shared" / "data" / "tier1-prefixes.txt.gz",
              Path("/work/shared/data/tier1-prefixes.txt.gz")):
        if p.is_file():
            return p
    raise FileNotFoundError("routing table not found")


def read_table(families=(4,), limit: int | None = None) -> list[str]:
    """Prefix texts of the routing table in file order, of the given families."""
    out = []
    with gzip.open(table_path(), "rt") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            if (6 if ":" in line else 4) in families:
                out.append(line)
                if limit is not None and len(out) >= limit:
                    break
    return out
