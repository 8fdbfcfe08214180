"""Netrove — high-performance IP subnet longest-prefix matching engine."""

import os
from collections.abc import Buffer, Callable, Iterable, Iterator, Mapping
from ipaddress import IPv4Address, IPv4Interface, IPv4Network, IPv6Address, IPv6Interface, IPv6Network
from typing import BinaryIO, Literal, TypeAlias, TypedDict, final, overload

__all__ = ["RadixEngine", "version", "StoreError"]

# Names starting with "_" exist only for type checkers, not in the module.

class _Metadata(TypedDict):
    """A stored record as returned by ``RadixEngine.lookup``: a new dict
    (and a new attributes dict) per answer, which the cyclic collector does
    not walk until the program changes it; its strings are the record's
    own, shared by every answer."""

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

_Address: TypeAlias = str | IPv4Address | IPv6Address | bytes
"""An address: its text, an ``ipaddress`` address, or 4 or 16 bytes in
network order."""

_Prefix: TypeAlias = str | IPv4Network | IPv6Network | IPv4Interface | IPv6Interface | IPv4Address | IPv6Address | bytes
"""A prefix: its CIDR text, an ``ipaddress`` network or interface, or an
address (its /32 or /128)."""

_Key: TypeAlias = _Prefix
"""An address or a prefix: a text with a ``/`` and the network and
interface objects are prefixes; any other text, the address objects and
packed bytes are addresses."""

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
    def insert(self, subnet: _Prefix, metadata: _MetadataInput | dict[str, object]) -> None:
        """Insert a CIDR prefix with associated metadata dict.

        Parameters
        ----------
        subnet : str
            CIDR notation, e.g. ``"10.0.0.0/8"``.
        metadata : dict
            Must contain at least ``{"value": str, "attributes": dict}``.
        """
    def lookup(self, ip: _Address) -> _Metadata | None:
        """Longest-prefix match.

        Returns a metadata dict on match, or ``None``.
        """
    def lookup_value(self, ip: _Address) -> str | None:
        """The value of the longest stored prefix covering ``ip``, or ``None``.

        Returns the record's stored ``str`` itself, the same object for every
        answer of that record, so nothing is allocated per call.  Counts and
        caches as ``lookup`` does.
        """
    @overload
    def lookup_many(self, ips: Iterable[_Address], *, family: None = None) -> list[_Metadata | None]: ...
    @overload
    def lookup_many(self, ips: Buffer, *, family: Literal[4, 6]) -> list[_Metadata | None]:
        """Longest-prefix match of every address of ``ips``.

        Returns a list whose element i is what ``lookup(ips[i])`` returns.
        ``ips`` is any iterable of str (a list or tuple is read directly),
        or, with ``family=4`` or ``family=6``, packed addresses in any object
        with the buffer protocol (bytes, bytearray, memoryview, array.array,
        a NumPy array), read in place:

        - ``family=4``: integer items of 4 bytes, the address's number as
          ``int(IPv4Address(...))`` gives it (``array('I')``, NumPy
          ``uint32``; native byte order unless the buffer's format says
          ``>``), or bytes read as 4-byte big-endian rows
          (``IPv4Address.packed``);
        - ``family=6``: 16-byte big-endian rows (``IPv6Address.packed``),
          item size 16 or 1.

        Every element is converted before any lookup runs: a bad element
        raises the error ``lookup`` raises, with the note "while processing
        element i of 'ips'", and no lookup is made; a buffer of the wrong
        item size, length or layout raises ``ValueError`` (``TypeError`` for
        a non-integer 4-byte item or an object without the buffer protocol).
        Counters and the lookup cache change exactly as for the single
        lookups in order.  The lookups run without the interpreter lock, so
        batches from several threads run in parallel.
        """
    @overload
    def lookup_values(self, ips: Iterable[_Address], *, family: None = None) -> list[str | None]: ...
    @overload
    def lookup_values(self, ips: Buffer, *, family: Literal[4, 6]) -> list[str | None]:
        """``lookup_value`` of every address of ``ips``: a list of the stored
        value strs (or ``None``).  Arguments, errors, counters and threads as
        for ``lookup_many``."""
    @overload
    def contains_many(self, ips: Iterable[_Address], *, family: None = None) -> list[bool]: ...
    @overload
    def contains_many(self, ips: Buffer, *, family: Literal[4, 6]) -> list[bool]:
        """``contains`` of every address of ``ips``: a list of bool, element
        i being ``contains(ips[i])``.  Arguments, errors, counters and
        threads as for ``lookup_many``."""
    def insert_many(
        self,
        items: Mapping[_Prefix, _MetadataInput | dict[str, object]]
        | Iterable[tuple[_Prefix, _MetadataInput | dict[str, object]]],
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
    def load(
        self,
        source: str | bytes | os.PathLike[str] | os.PathLike[bytes] | BinaryIO,
        format: Literal["list", "pfx2as", "ipasn", "csv", "mrt", "mmdb", "table"] | None = None,
        *,
        value: str | None = None,
        attributes: Iterable[str] | None = None,
        network: str | None = None,
        start: str | None = None,
        end: str | None = None,
        progress: Callable[[int, int | None], object] | None = None,
    ) -> int:
        """Load a table from a file in one call; returns the number of
        distinct prefixes stored.

        ``source`` is a path or a binary file object; gzip, bzip2 and xz are
        read through.  ``format`` is detected from the content when None.
        ``value`` is csv's value column, list's value or a dotted path into
        an mmdb record; ``attributes`` names csv columns or mmdb paths;
        ``network``, ``start`` and ``end`` name csv columns.
        ``progress(done_bytes, total_bytes)`` is called from the calling
        thread a few times a second and once at the end; an exception it
        raises stops the load.  One bulk load without the interpreter lock:
        an equal prefix replaces the stored one, later lines win, and a bad
        line (``ValueError`` naming the source and the line) or a failed
        read (``OSError``) stores nothing.
        """
    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Write the table to a table file at ``path``.

        The file holds each distinct record once, then every prefix, under a
        header with the counts and a checksum.  It is written beside ``path``
        and renamed over it once complete, so ``path`` holds the old file or
        the new one, never part of one.  Raises OSError when it cannot be
        written (``path`` is then untouched).
        """
    @classmethod
    def open(
        cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], variant: _Variant | str | None = None
    ) -> RadixEngine:
        """A new engine holding the table file at ``path`` (see ``save``).

        The whole file is checked before anything is built: a truncated or
        corrupt file, or one written by a newer netrove, raises ValueError
        saying which; OSError when it cannot be read.  ``variant`` as for
        ``RadixEngine(variant)``.
        """
    def remove(self, subnet: _Prefix) -> bool:
        """Remove a prefix.  Returns ``True`` if the entry existed."""
    def contains(self, ip: _Address) -> bool:
        """Returns ``True`` if any stored prefix covers the given IP."""
    def clear(self) -> None:
        """Remove all entries."""
    def stats(self) -> _Stats:
        """Engine performance statistics."""
    def match(self, ip: _Key) -> _Entry | None:
        """The longest stored prefix covering ``ip``, with its metadata.

        ``ip`` is an address or a prefix; a prefix is covered by the stored
        prefixes of its family no longer than it that contain its network,
        itself included when stored.  Returns ``(prefix, metadata)`` or
        ``None``; ``prefix`` is the network form, e.g. ``"10.0.0.0/8"``.  For
        an address it agrees with ``lookup`` but counts nothing and bypasses
        the cache.
        """
    def covering(self, ip: _Key) -> list[_Entry]:
        """Every stored prefix covering ``ip`` (an address or a prefix, as for
        ``match``): a list of ``(prefix, metadata)``, longest first."""
    def parent(self, subnet: _Prefix) -> _Entry | None:
        """The longest stored prefix strictly shorter than ``subnet`` that
        covers it: ``(prefix, metadata)`` or ``None``."""
    def covered(self, subnet: _Prefix) -> list[_Entry]:
        """Every stored prefix inside ``subnet`` (host bits ignored),
        ``subnet`` itself included: a list of ``(prefix, metadata)`` in
        address order, a shorter prefix before a longer one at the same
        address."""
    def get(self, subnet: _Prefix) -> _Metadata | None:
        """The metadata stored for exactly ``subnet`` (host bits ignored),
        or ``None``."""
    def items(self) -> list[_Entry]:
        """Every entry as a list of ``(prefix, metadata)``: IPv4 before
        IPv6, in address order, a shorter prefix before a longer one."""
    def keys(self) -> list[str]:
        """Every stored prefix as text, in the order of ``items()``."""
    def values(self) -> list[_Metadata]:
        """The metadata of every stored prefix, in the order of ``items()``."""
    def __getitem__(self, key: _Key) -> _Metadata:
        """The metadata of the longest stored prefix covering ``key`` (an
        address: ``lookup``, counted and cached; a prefix: as ``match``);
        ``KeyError(key)`` when none does.  Unlike ``get``, which answers for
        exactly one stored prefix."""
    def __setitem__(self, subnet: _Prefix, metadata: _MetadataInput | dict[str, object]) -> None:
        """``insert(subnet, metadata)``."""
    def __delitem__(self, subnet: _Prefix) -> None:
        """``remove(subnet)``; ``KeyError(subnet)`` when nothing was stored
        for exactly it."""
    def __contains__(self, key: object) -> bool:
        """Whether some stored prefix covers ``key`` (an address:
        ``contains``; a prefix: as ``match``)."""
    def __iter__(self) -> Iterator[str]:
        """The stored prefixes as text, in the order of ``items()``, from a
        list taken when the iteration starts."""
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
