"""The two settings the suite measures in, and what each library stores.

  setting     collector while timing                 stored per prefix
  realistic   on, nothing frozen, for every figure    the origin AS's record
  (headline)                                          {"value": "AS<n>",
                                                       "attributes": {"asn": "<n>"}},
                                                      one dict object per AS
  frozen      on with everything older than the      peers: the text "r<i>";
  (the rows   loop frozen (gc.freeze) for kept       netrove: {"value": "r<i>",
  of earlier  answers, off for everything else       "attributes": {}} (a new
  runs)                                               outer dict per prefix)

The realistic setting is an application's normal state: the collector runs
over a heap that holds the table's records and every answer the loop keeps.
The peers (pytricia, ...) store the very same per-AS dict object (they keep
a pointer); netrove converts and interns it.  The frozen setting keeps the
figures of earlier runs comparable.

`Stored` is what a build hands to the libraries: `peer()[i]` the object a
peer stores for prefix i, `records()[i]` the metadata netrove is given.  The
oracle check compares a peer's answer with `expected_peer(i)` and netrove's
with `expected_record(i)` (a dict equal to what netrove was given).
"""

from __future__ import annotations

from dataclasses import dataclass

from .table import Table


@dataclass(frozen=True)
class Setting:
    key: str
    title: str
    frozen: bool


REALISTIC = Setting("realistic", "collector on, nothing frozen, records with attributes", False)
FROZEN = Setting("frozen", "frozen heap, records without attributes (the rows of earlier runs)", True)
SETTINGS = {s.key: s for s in (REALISTIC, FROZEN)}


class Stored:
    """What the libraries of one workload are given, made on demand.

    Nothing per prefix is kept between builds: the per-prefix lists are
    made when a build asks for them and dropped after, so that the heap the
    collector walks while reads are timed holds what an application holds
    (the records themselves, one per AS), not a million references the
    harness would keep.
    """

    def __init__(self, table: Table, plain: bool):
        self.table = table
        self.plain = plain
        self.by_as: dict[int, dict] = {}
        if not plain:
            for asn in table.origins:
                if asn not in self.by_as:
                    s = str(asn)
                    self.by_as[asn] = {"value": "AS" + s, "attributes": {"asn": s}}
        self.distinct = len(table) if plain else len(self.by_as)

    def peer(self) -> list[object]:
        """The object a peer stores for each prefix."""
        if self.plain:
            return [f"r{i}" for i in range(len(self.table))]
        by_as = self.by_as
        return [by_as[a] for a in self.table.origins]

    def records(self) -> list[dict]:
        """The metadata of every prefix, as netrove is given it."""
        if not self.plain:
            return self.peer()
        empty: dict = {}
        return [{"value": f"r{i}", "attributes": empty} for i in range(len(self.table))]

    def expected_peer(self, i: int) -> object:
        """What a peer's lookup of prefix i must equal."""
        return f"r{i}" if self.plain else self.by_as[self.table.origins[i]]

    def expected_record(self, i: int) -> dict:
        """What netrove's lookup of prefix i must equal."""
        if self.plain:
            return {"value": f"r{i}", "attributes": {}}
        return self.by_as[self.table.origins[i]]


def stored_for(setting: Setting, table: Table) -> Stored:
    return Stored(table, setting.frozen)
