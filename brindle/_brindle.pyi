"""Type stub of the compiled module brindle._brindle."""

from collections.abc import Sequence
from typing import Any, Final, TypedDict, final

__all__ = ["Tombstone", "Link", "Database", "open", "TOMBSTONE"]

class _Backlink(TypedDict):
    """One record linking to the queried record, and where in it the link sits."""

    source_collection: str
    source_key: str
    source_path: str

@final
class Tombstone:
    """Marks a deleted key; always false. Use the module's TOMBSTONE."""

    def __bool__(self) -> bool: ...

@final
class Link:
    """A link to the record "collection/key" (optionally followed by field
    names), with local fields that shadow the target's."""

    def __new__(cls, path: str, local: dict[str, Any] | None = None) -> Link: ...
    @property
    def path(self) -> str:
        """The target path."""
    @property
    def local(self) -> dict[str, Any]:
        """A fresh dict of the link's local fields."""

@final
class Database:
    """A database directory opened with open(path)."""

    def get(self, collection: str, key: str) -> Any:
        """The record's value; KeyError when absent or deleted."""
    def set(self, collection: str, key: str, value: Any) -> None:
        """Writes a record and updates the backlink index."""
    def set_many(self, ops: list[tuple[str, str, Any]]) -> None:
        """Writes each (collection, key, value) in order; stops at the first failure."""
    def delete(self, collection: str, key: str) -> None:
        """Deletes a record (writes a tombstone)."""
    def resolve(self, collection: str, key: str, path: Sequence[str]) -> Any:
        """The value at a field path from a record, following links."""
    def begin(self) -> None:
        """Starts grouping writes until commit()."""
    def commit(self) -> None:
        """Writes out grouped records and applies their backlink changes."""
    def backlinks(self, collection: str, key: str) -> list[_Backlink]:
        """The records whose values link to (collection, key)."""

def open(path: str) -> Database:
    """Opens (creating it with its parents when missing) a database directory."""

TOMBSTONE: Final[Tombstone]
