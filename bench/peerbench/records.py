"""What each library stores: the realistic setting's records.

Every prefix stores its origin AS's record {"value": "AS<n>", "attributes":
{"asn": "<n>"}}, one dict object per AS, the same object for every library
(the peers keep a pointer to it; netrove converts and interns it).  `Stored`
makes the per-prefix lists a build needs on demand, so that the heap the
reads run over holds the records and not a million references the harness
would keep.
"""

from __future__ import annotations

from .table import Table


class Stored:
    """What the libraries of one workload are given, made on demand."""

    def __init__(self, table: Table):
        self.table = table
        self.by_as: dict[int, dict] = {}
        for asn in table.origins:
            if asn not in self.by_as:
                s = str(asn)
                self.by_as[asn] = {"value": "AS" + s, "attributes": {"asn": s}}
        self.distinct = len(self.by_as)

    def records(self) -> list[dict]:
        """The record of every prefix, in table order (peers and netrove alike)."""
        by_as = self.by_as
        return [by_as[a] for a in self.table.origins]

    def expected(self, i: int) -> dict:
        """What a lookup of prefix i must answer."""
        return self.by_as[self.table.origins[i]]
