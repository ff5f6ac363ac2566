"""A small bibliography: people, books and tags, linked to one another.

Shows what a program built on Brindle does day to day: records with links
(some carrying local fields), backlinks to answer "what points here",
resolution across links including the "$self" key, grouped writes, a
checkpoint forced to disk, and the operating tools (check, compact, dump).

Run it from anywhere: it keeps its database in ./bibliography-db beside this
file and starts afresh each time.
"""

from __future__ import annotations

import io
import pathlib
import shutil
from typing import Any

import brindle
from brindle import tools

root = pathlib.Path(__file__).resolve().parent / "bibliography-db"
shutil.rmtree(root, ignore_errors=True)
db = brindle.open(root)

# People and tags are plain records.
people = {
    "le-guin": {"name": "Ursula K. Le Guin", "born": 1929},
    "calvino": {"name": "Italo Calvino", "born": 1923},
    "weaver": {"name": "William Weaver", "born": 1923},
}
for key, person in people.items():
    db.set("people", key, person)
for tag in ("fantasy", "classic", "translated"):
    db.set("tags", tag, {"label": tag.title()})

# A book links to its author and tags; a link's local map holds facts about
# that one relationship (a translator's language), not about the person.
books: dict[str, dict[str, Any]] = {
    "earthsea": {
        "title": "A Wizard of Earthsea",
        "year": 1968,
        "author": brindle.Link("people/le-guin"),
        "tags": [brindle.Link("tags/fantasy"), brindle.Link("tags/classic")],
    },
    "cities": {
        "title": "Invisible Cities",
        "year": 1972,
        "author": brindle.Link("people/calvino"),
        "translator": brindle.Link("people/weaver", {"from": "Italian", "year": 1974}),
        "tags": [brindle.Link("tags/classic"), brindle.Link("tags/translated")],
        # "$self" names this record's own key: a link to the book's own page.
        "page": brindle.Link("pages/$self"),
    },
}

# Grouped writes: the records go to the files at commit, together with the
# backlink changes. There is no rollback: what was written stays written.
db.begin()
for key, book in books.items():
    db.set("books", key, book)
db.set("pages", "cities", {"url": "https://example.org/cities"})
db.commit()

# Resolution follows links: book -> author -> name.
print("earthsea by", db.resolve("books", "earthsea", ["author", "name"]))
# Local fields shadow the target's fields and cost no hop.
print("cities translated from", db.resolve("books", "cities", ["translator", "from"]),
      "by", db.resolve("books", "cities", ["translator", "name"]))
print("cities page:", db.resolve("books", "cities", ["page", "url"]))

# Backlinks answer the reverse question: which books carry a tag?
for entry in db.backlinks("tags", "classic"):
    print("tagged classic:", entry["source_key"], "at", entry["source_path"])

# Retagging rewrites the record; its old backlinks go, the new ones come.
cities = dict(books["cities"], tags=[brindle.Link("tags/translated")])
db.set("books", "cities", cities)
print("classic now:", [e["source_key"] for e in db.backlinks("tags", "classic")])

# A checkpoint: everything acknowledged survives a crash of this process;
# sync makes it survive a power loss too.
tools.sync(root)

# The operating tools read the files directly.
print("collections:", tools.collections(root))
print("books:", tools.keys(root, "books"), "people:", tools.count(root, "people"))
report = tools.check(root)
print("check:", "ok" if report.ok else report.lines())

# Rewriting tools need the database closed: drop the handle first.
del db
print("compaction freed", tools.compact(root), "bytes")
out = io.StringIO()
tools.dump(root, out, ["books"])
print("first line of the dump:", out.getvalue().splitlines()[0][:90], "...")
