"""A synthetic origin AS for every prefix of the table.

The routing table file lists prefixes only.  Real tables carry one origin AS
per prefix, and that is what a loader turns into records: one record per
origin AS, {"value": "AS<n>", "attributes": {"asn": "<n>"}}, the same dict
object for every prefix of that AS.  How many distinct records there are and
how they repeat decides what interning, per-record caches and a bulk load's
memo see, so the synthesis imitates a real table's shape:

  * about 70,000 distinct ASes on the full table (1.06 M prefixes);
  * skewed: the AS of a new run is drawn from a Zipf-like law over RANKS
    ranks, P(rank r) proportional to 1 / (r + 1) ** EXPONENT, so a few ASes
    originate tens of thousands of prefixes and most originate a handful;
  * local: walking the prefixes in address order (a covering prefix before
    its more-specifics), a prefix keeps the AS of the one before it with
    probability SHARE (same family only), as neighbouring blocks and the
    more-specifics of one allocation usually belong to one network.

Deterministic: one random.Random(SEED), the prefixes in (family, network,
length) order, and a fixed rank -> AS number map (a seeded sample of
distinct numbers below MAX_ASN, so the busiest AS is not AS1).  The same
prefix list always gets the same origins; a shorter list (`--limit`) gets
its own, fewer ASes.

Measured on the full table (1,062,046 prefixes): 71,189 distinct ASes (67,699
on its IPv4 prefixes), the five busiest originating 34,617 / 19,414 / 13,431
/ 10,580 / 8,960 prefixes, 13% of the ASes a single prefix, the median AS 5
prefixes.
"""

from __future__ import annotations

import itertools
from array import array
import random
from collections import Counter

from .table import Table

SEED = 20240607
RANKS = 85_000
EXPONENT = 0.85
SHARE = 0.55
MAX_ASN = 400_000


def assign_origins(table: Table) -> None:
    """Sets table.origins[i] to the synthetic origin AS of prefix i (see the
    module comment).  An empty table is left as it is."""
    n = len(table)
    if n == 0:
        return
    rng = random.Random(SEED)
    asn_of_rank = rng.sample(range(1, MAX_ASN), RANKS)
    cum = list(itertools.accumulate(1.0 / (r + 1) ** EXPONENT for r in range(RANKS)))
    draws = iter(rng.choices(range(RANKS), cum_weights=cum, k=n))
    nets = list(table.nets())
    order = sorted(range(n), key=nets.__getitem__)
    del nets
    origins = array("I", bytes(4 * n))
    prev_fam, prev_asn = None, 0
    for i in order:
        fam = table.net(i)[0]
        if fam == prev_fam and rng.random() < SHARE:
            asn = prev_asn
        else:
            asn = asn_of_rank[next(draws)]
        origins[i] = asn
        prev_fam, prev_asn = fam, asn
    table.origins = origins


def describe(table: Table) -> dict:
    """The shape of the origins of `table`: distinct ASes, the five busiest
    ASes' prefix counts, the share of single-prefix ASes, the median."""
    c = Counter(table.origins)
    if not c:
        return {"ases": 0, "top": [], "single": 0.0, "median": 0}
    counts = sorted(c.values())
    return {"ases": len(c), "top": [k for _, k in c.most_common(5)],
            "single": sum(1 for k in counts if k == 1) / len(c), "median": counts[len(counts) // 2]}
