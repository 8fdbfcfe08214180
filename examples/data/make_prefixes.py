"""Builds prefixes.tsv, the sample table of the quick start, from the shared
routing table: a fixed sample of its IPv4 and IPv6 prefixes with made-up
metadata (private-use AS numbers, invented regions).

    python examples/data/make_prefixes.py ../shared/data/tier1-prefixes.txt.gz
"""

import gzip
import random
import sys
from pathlib import Path

V4, V6 = 3000, 1000
KINDS = ["transit", "peering", "customer", "customer", "customer", "blackhole"]
REGIONS = ["eu-west", "eu-central", "us-east", "us-west", "ap-south", "ap-east", "sa-east", "af-south"]


def main(source):
    with gzip.open(source, "rt") as f:
        lines = [line.strip() for line in f if line.strip()]
    rng = random.Random(20240601)
    v4 = [p for p in lines if ":" not in p]
    v6 = [p for p in lines if ":" in p]
    # Runs of neighbouring lines keep some of the table's nesting.
    picked = []
    for pool, count in ((v4, V4), (v6, V6)):
        chosen = set()
        while len(chosen) < count:
            start = rng.randrange(len(pool) - 8)
            chosen.update(range(start, start + rng.randint(1, 8)))
        picked += [pool[i] for i in sorted(chosen)[:count]]
    out = Path(__file__).with_name("prefixes.tsv")
    with out.open("w") as f:
        f.write("prefix\tvalue\tasn\tregion\n")  # a header row: the csv loader names the columns by it
        for p in picked:
            asn = f"AS{rng.randint(64512, 65534)}"
            f.write(f"{p}\t{rng.choice(KINDS)}\t{asn}\t{rng.choice(REGIONS)}\n")
    print(f"wrote {len(picked)} prefixes to {out}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "../shared/data/tier1-prefixes.txt.gz")
