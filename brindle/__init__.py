"""Brindle: an embedded record store with typed records, links between
records, a persistent backlink index and path resolution across links."""

from ._brindle import TOMBSTONE, Database, Link, Tombstone, open

__all__ = ["Tombstone", "Link", "Database", "open", "TOMBSTONE"]
