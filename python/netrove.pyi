"""Netrove — high-performance IP subnet longest-prefix matching engine."""

from collections.abc import Iterable, Mapping
from typing import Literal, TypeAlias, TypedDict, final

__all__ = ["RadixEngine", "version", "StoreError"]

# Names starting with "_" exist only for type checkers, not in the module.

class _Metadata(TypedDict):
    """A stored record as returned by ``RadixEngine.lookup``."""

    value: str
    attributes: dict[str, str]

class _MetadataInput(TypedDict, total=False):
    """What ``RadixEngine.insert`` reads: both keys optional, others ignored."""

    value: str
    attributes: dict[str, str]

class _Stats(TypedDict):
    """``RadixEngine.stats()``; keys in this order."""

    size: int
    inserts: int
    lookups: int
    hits: int
    misses: int
    removals: int

class _FollowStats(TypedDict):
    """``RadixEngine.follow_stats()`` of a following engine."""

    events_applied: int
    events_skipped: int
    fields_skipped: int
    resyncs: int
    in_step: bool
    lag_seconds: float

_Entry: TypeAlias = tuple[str, _Metadata]
"""One stored entry: its prefix in network form (``"10.0.0.0/8"``, host
bits cleared) and a new metadata dict."""

_Variant: TypeAlias = Literal["standard", "lockfree", "adaptive"]

class StoreError(ConnectionError):
    """A Redis-backed engine could not reach its store: a bad URL, a server
    that does not answer, or refused authentication.  The text is the
    store's, ``"Redis error: ..."``."""

@final
class RadixEngine:
    """High-performance IP radix-tree engine.

    Example::

        from netrove import RadixEngine

        engine = RadixEngine()
        engine.insert("10.0.0.0/8", {"value": "allow", "attributes": {"asn": "AS1234"}})

        match = engine.lookup("10.1.2.3")
        print(match["value"])   # "allow"
    """

    def __new__(cls, variant: _Variant | str | None = None) -> RadixEngine: ...
    @classmethod
    def from_redis(cls, url: str, variant: _Variant | str | None = None, *, follow: bool = True) -> RadixEngine:
        """Open an engine whose table lives in the Redis hash "netrove:entries".

        ``url`` is ``redis://[user:password@]host[:port][/db]``,
        ``redis+unix:///path?db=N&user=U&pass=P`` or ``unix:///path?...``.
        Every insert and remove writes the hash and publishes an update
        event on "netrove:updates".  With ``follow=True`` a thread owned by
        the engine applies every event (other processes' and its own) to the
        table that answers lookups and reloads the hash after any break; its
        own writes show once their event is back (well under a millisecond
        on loopback).  With ``follow=False`` lookups answer from the hash as
        it was when the engine opened.  Lookups and ``contains`` never touch
        the network.  ``variant`` picks the tree as for ``RadixEngine``;
        there is no lookup cache.

        A following engine cannot be used in a child made by ``os.fork()``
        (``RuntimeError``): open it after the fork.

        Raises ``StoreError`` with the store's text, ``"Redis error: ..."``,
        for a bad URL, an unreachable server or refused authentication.
        """
    def follow_stats(self) -> _FollowStats | None:
        """How a following engine keeps in step, or ``None`` for any other
        engine.  ``lag_seconds`` is the time out of step so far (0.0 when in
        step); ``resyncs`` counts full reloads after the first."""
    def insert(self, subnet: str, metadata: _MetadataInput | dict[str, object]) -> None:
        """Insert a CIDR prefix with associated metadata dict.

        Parameters
        ----------
        subnet : str
            CIDR notation, e.g. ``"10.0.0.0/8"``.
        metadata : dict
            Must contain at least ``{"value": str, "attributes": dict}``.
        """
    def lookup(self, ip: str) -> _Metadata | None:
        """Longest-prefix match.

        Returns a metadata dict on match, or ``None``.
        """
    def lookup_many(self, ips: Iterable[str]) -> list[_Metadata | None]:
        """Longest-prefix match of every address of ``ips``.

        Returns a list whose element i is what ``lookup(ips[i])`` returns.
        ``ips`` is any iterable of str (a list or tuple is read directly).
        Every address is parsed before any lookup runs: a bad element raises
        the error ``lookup`` raises, with the note "while processing element
        i of 'ips'", and no lookup is made.  Counters and the lookup cache
        change exactly as for the single lookups in order.  The lookups run
        without the interpreter lock, so batches from several threads run
        in parallel.
        """
    def contains_many(self, ips: Iterable[str]) -> list[bool]:
        """``contains`` of every address of ``ips``: a list of bool, element
        i being ``contains(ips[i])``.  Errors, counters and threads as for
        ``lookup_many``."""
    def insert_many(
        self, items: Mapping[str, _MetadataInput | dict[str, object]] | Iterable[tuple[str, _MetadataInput | dict[str, object]]]
    ) -> None:
        """Insert many prefixes at once.

        ``items`` maps subnet to metadata dict, or is an iterable of
        ``(subnet, metadata)`` pairs.  Every element is converted before
        anything is stored: a bad element raises the error ``insert`` raises
        (a pair that is not a sequence: ``TypeError``; of another length:
        ``ValueError``), with the note "while processing element i of
        'items'", and the engine is left unchanged.  Afterwards the table
        and the counters are those of the single inserts in order (a later
        element of an equal prefix wins).  The prefixes are sorted and
        merged into the table in one pass per chunk of that order, without
        the interpreter lock; a metadata dict shared by several elements is
        converted once.
        """
    def remove(self, subnet: str) -> bool:
        """Remove a prefix.  Returns ``True`` if the entry existed."""
    def contains(self, ip: str) -> bool:
        """Returns ``True`` if any stored prefix covers the given IP."""
    def clear(self) -> None:
        """Remove all entries."""
    def stats(self) -> _Stats:
        """Engine performance statistics."""
    def match(self, ip: str) -> _Entry | None:
        """The longest stored prefix covering ``ip``, with its metadata.

        Returns ``(prefix, metadata)`` or ``None``; ``prefix`` is the network
        form, e.g. ``"10.0.0.0/8"``.  Agrees with ``lookup`` but counts
        nothing and bypasses the cache.
        """
    def covering(self, ip: str) -> list[_Entry]:
        """Every stored prefix covering ``ip``: a list of ``(prefix,
        metadata)``, longest first."""
    def covered(self, subnet: str) -> list[_Entry]:
        """Every stored prefix inside ``subnet`` (host bits ignored),
        ``subnet`` itself included: a list of ``(prefix, metadata)`` in
        address order, a shorter prefix before a longer one at the same
        address."""
    def get(self, subnet: str) -> _Metadata | None:
        """The metadata stored for exactly ``subnet`` (host bits ignored),
        or ``None``."""
    def items(self) -> list[_Entry]:
        """Every entry as a list of ``(prefix, metadata)``: IPv4 before
        IPv6, in address order, a shorter prefix before a longer one."""
    def __reduce__(self) -> tuple[object, tuple[_Variant | None, bytes]]:
        """Pickle support: ``(netrove.__restore__, (variant, snapshot))``,
        the snapshot being the table as bytes.  A reloaded or copied engine
        has the same variant and entries, and counters at zero.  Raises
        ``TypeError`` for an engine opened with ``from_redis``."""
    def __len__(self) -> int: ...

def version() -> str: ...
def __restore__(variant: _Variant | str | None, entries: bytes | list[_Entry] | tuple[_Entry, ...], /) -> RadixEngine:
    """Pickle support: a new ``RadixEngine(variant)`` holding the entries of
    ``entries``, a snapshot (bytes) or the ``(prefix, metadata)`` pairs of a
    pickle made before snapshots, with counters at zero.  A malformed
    snapshot raises ``ValueError`` and builds nothing."""
