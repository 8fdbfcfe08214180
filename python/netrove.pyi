"""Netrove — high-performance IP subnet longest-prefix matching engine."""

from typing import Literal, TypeAlias, TypedDict, final

__all__ = ["RadixEngine", "version"]

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

_Variant: TypeAlias = Literal["standard", "lockfree", "adaptive"]

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
    def remove(self, subnet: str) -> bool:
        """Remove a prefix.  Returns ``True`` if the entry existed."""
    def contains(self, ip: str) -> bool:
        """Returns ``True`` if any stored prefix covers the given IP."""
    def clear(self) -> None:
        """Remove all entries."""
    def stats(self) -> _Stats:
        """Engine performance statistics."""
    def __len__(self) -> int: ...

def version() -> str: ...
