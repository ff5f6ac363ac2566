"""A tour of Brindle: open a database, write linked records, group writes in a
transaction, follow links with resolve() and ask who links where with
backlinks().

Run it from anywhere; it keeps its database in ./quickstart-db beside this
file and starts afresh each time."""

import pathlib
import shutil

import brindle

root = pathlib.Path(__file__).resolve().parent / "quickstart-db"
shutil.rmtree(root, ignore_errors=True)

db = brindle.open(str(root))
print("opened", repr(db))

# Records are plain Python values: None, bool, int, float, str, bytes, lists
# and dicts, plus links to other records.
db.set("people", "alice", {"name": "Alice", "city": "Lisbon", "langs": ["pt", "en"]})
db.set("people", "bob", {"name": "Bob", "city": "Oslo", "mentor": brindle.Link("people/alice")})
db.set("books", "b1", {"title": "Tides", "author": brindle.Link("people/bob"),
                       "editor": brindle.Link("people/alice", {"role": "copy editor"}),
                       "reviewers": [brindle.Link("people/alice")]})
print("people/alice ->", db.get("people", "alice"))
print("books/b1     ->", db.get("books", "b1"))

# Paths are followed across links: book -> author (bob) -> mentor (alice).
print("b1 author's mentor's city:", db.resolve("books", "b1", ["author", "mentor", "city"]))
# Fields of a link's local map shadow the target's and need no hop.
print("b1 editor's role (local):", db.resolve("books", "b1", ["editor", "role"]))
print("b1 editor's name (target):", db.resolve("books", "b1", ["editor", "name"]))

# Every write keeps the backlink index in step.
for entry in db.backlinks("people", "alice"):
    print("alice is linked from", entry)

# Grouped writes: records are visible at once, backlinks after commit.
db.begin()
db.set_many([
    ("books", "b2", {"title": "Fjords", "author": brindle.Link("people/bob")}),
    ("books", "b3", {"title": "Harbours", "author": brindle.Link("people/alice")}),
])
print("inside the transaction, bob's backlinks:", len(db.backlinks("people", "bob")))
db.commit()
print("after commit, bob's backlinks:", [e["source_key"] for e in db.backlinks("people", "bob")])

# A delete removes the record and the backlinks its links made.
db.delete("books", "b1")
try:
    db.get("books", "b1")
except KeyError as error:
    print("books/b1 after delete:", error.args[0])
print("bob's backlinks after deleting b1:", [e["source_key"] for e in db.backlinks("people", "bob")])

# Everything is on disk: a fresh handle replays the files.
del db
db = brindle.open(str(root))
print("reopened; b3's author is", db.resolve("books", "b3", ["author", "name"]))
print("files:", sorted(p.name for p in root.iterdir()))
