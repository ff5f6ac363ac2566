"""Imports brindle from the current directory and exercises each method once.

Run under every supported interpreter with the same built extension, to show
that one stable-ABI build serves them all."""

import sys
import tempfile

import brindle

with tempfile.TemporaryDirectory() as root:
    db = brindle.open(root + "/db")
    db.set("people", "alice", {"name": "Alice"})
    db.set_many([("books", "b1", {"author": brindle.Link("people/alice")})])
    db.begin()
    db.set("books", "b2", [brindle.Link("people/alice")])
    db.commit()
    assert db.get("people", "alice") == {"name": "Alice"}
    assert db.resolve("books", "b1", ["author", "name"]) == "Alice"
    assert [b["source_key"] for b in db.backlinks("people", "alice")] == ["b1", "b2"]
    db.delete("books", "b2")
    assert isinstance(brindle.TOMBSTONE, brindle.Tombstone)
    del db
    db = brindle.open(root + "/db")
    assert [b["source_key"] for b in db.backlinks("people", "alice")] == ["b1"]
print("smoke ok: Python %d.%d.%d" % sys.version_info[:3])
