"""resolve and backlinks."""

import os

import pytest

import brindle
from brindle import TOMBSTONE, Link, Tombstone


def entry(collection, key, path):
    return {"source_collection": collection, "source_key": key, "source_path": path}


@pytest.fixture
def library(db):
    db.set(
        "people",
        "alice",
        {
            "name": "Alice",
            "age": 30,
            "address": {"city": "Paris"},
            "tags": ["a", "b"],
            "nothing": None,
            "gone": TOMBSTONE,
            "friend": Link("people/bob"),
            "profile": Link("profiles/$self"),
            "links": [Link("people/bob")],
        },
    )
    db.set("people", "bob", {"name": "Bob", "friend": Link("people/alice")})
    db.set("people", "$selfish", {"name": "Selfish"})
    db.set("people", "", {"name": "Empty key"})
    db.set("profiles", "alice", {"bio": "Alice's bio"})
    db.set("profiles", "b1", {"bio": "b1's bio"})
    db.set(
        "books",
        "b1",
        {
            "title": "T",
            "author": Link("people/alice"),
            "editor": Link("people/alice/address"),
            "ghost": Link("people/nobody"),
            "noted": Link("people/alice", {"note": "local", "name": "Shadow"}),
            "bad": Link("people"),
            "odd": Link("people/$selfish"),
            "empty": Link("people/"),
            "owner": "bob",
            "by_owner": Link("people/$self.owner"),
            "int_owner": 5,
            "by_int": Link("people/$self.int_owner"),
            "by_nothing": Link("people/$self."),
            "deep": {"who": {"key": "alice"}},
            "by_deep": Link("people/$self.deep.who.key"),
            "to_field": Link("people/alice/address/city"),
        },
    )
    db.set("books", "direct", Link("people/alice"))
    db.set("books", "loop", Link("books/loop"))
    return db


RESOLVE = [
    ("people", "alice", ["name"], "Alice"),
    ("people", "alice", ["address", "city"], "Paris"),
    ("people", "alice", ["address"], {"city": "Paris"}),
    ("people", "alice", ["missing"], None),
    ("people", "alice", ["missing", "deeper", "still"], None),
    ("people", "alice", ["nothing", "x", "y"], None),
    ("people", "alice", ["friend", "name"], "Bob"),
    ("people", "alice", ["friend", "friend", "name"], "Alice"),
    ("people", "alice", ["profile", "bio"], "Alice's bio"),
    ("books", "b1", ["title"], "T"),
    ("books", "b1", ["author", "name"], "Alice"),
    ("books", "b1", ["author", "address", "city"], "Paris"),
    # "$self" names the root record's key, wherever the link sits
    ("books", "b1", ["author", "profile", "bio"], "b1's bio"),
    ("books", "b1", ["editor", "city"], "Paris"),
    ("books", "b1", ["editor"], {"city": "Paris"}),
    ("books", "b1", ["to_field"], "Paris"),
    ("books", "b1", ["ghost"], None),
    ("books", "b1", ["ghost", "name", "more"], None),
    ("books", "b1", ["noted", "note"], "local"),
    ("books", "b1", ["noted", "name"], "Shadow"),
    ("books", "b1", ["noted", "age"], 30),
    ("books", "b1", ["odd", "name"], "Selfish"),
    ("books", "b1", ["empty", "name"], "Empty key"),
    ("books", "b1", ["by_owner", "name"], "Bob"),
    ("books", "b1", ["by_deep", "name"], "Alice"),
    ("books", "direct", ["name"], "Alice"),
]


@pytest.mark.parametrize("collection, key, path, expected", RESOLVE)
def test_resolve(library, collection, key, path, expected):
    assert library.resolve(collection, key, path) == expected
    assert library.resolve(collection, key, tuple(path)) == expected


def test_resolve_results(library):
    # an empty path gives the record itself
    record = library.resolve("people", "alice", [])
    assert list(record) == ["name", "age", "address", "tags", "nothing", "gone", "friend", "profile", "links"]
    # a link in last position is followed; links inside a list are not
    followed = library.resolve("books", "b1", ["author"])
    assert followed["name"] == "Alice"
    assert list(library.resolve("books", "direct", [])) == list(record)
    links = library.resolve("people", "alice", ["links"])
    assert [type(link) for link in links] == [Link]
    assert links[0].path == "people/bob"
    gone = library.resolve("people", "alice", ["gone", "x"])
    assert isinstance(gone, Tombstone) and gone is not TOMBSTONE
    assert isinstance(library.resolve("people", "alice", ["gone"]), Tombstone)
    # results are new objects
    first = library.resolve("people", "alice", ["address"])
    first["city"] = "changed"
    assert library.resolve("people", "alice", ["address"]) == {"city": "Paris"}


RESOLVE_ERRORS = [
    ("people", "nobody", [], "storage: key not found"),
    ("nowhere", "nobody", ["x"], "storage: key not found"),
    ("people", "alice", ["age", "x"], "field not found"),
    ("people", "alice", ["name", "x"], "field not found"),
    ("people", "alice", ["tags", "0"], "field not found"),
    ("people", "alice", ["address", "city", "x"], "field not found"),
    ("books", "b1", ["bad"], "invalid path: people"),
    ("books", "b1", ["bad", "x"], "invalid path: people"),
    ("books", "b1", ["by_int", "name"], "invalid path: $self.int_owner resolved to Int(5), expected TEXT"),
    ("books", "b1", ["by_nothing"], "invalid path: $self. resolved to Null, expected TEXT"),
    ("books", "loop", [], "cyclic link detected"),
    ("books", "loop", ["x"], "cyclic link detected"),
    ("people", "alice", ["friend"] * 33 + ["name"], "cyclic link detected"),
]


@pytest.mark.parametrize("collection, key, path, message", RESOLVE_ERRORS)
def test_resolve_errors(library, collection, key, path, message):
    for given in (path, tuple(path)):
        with pytest.raises(RuntimeError) as info:
            library.resolve(collection, key, given)
        assert info.value.args == (message,)
    # a failed resolution leaves the database usable
    assert library.resolve("people", "bob", ["name"]) == "Bob"


def test_resolve_of_a_missing_root_is_not_a_key_error(db):
    with pytest.raises(RuntimeError) as info:
        db.resolve("c", "k", [])
    assert type(info.value) is RuntimeError
    assert str(info.value) == "storage: key not found"


def test_hop_limit(db):
    # a friend cycle can be walked through 32 links but not 33
    db.set("p", "a", {"name": "A", "f": Link("p/b")})
    db.set("p", "b", {"name": "B", "f": Link("p/a")})
    assert db.resolve("p", "a", ["f"] * 32 + ["name"]) == "A"
    assert db.resolve("p", "a", ["f"] * 31 + ["name"]) == "B"
    with pytest.raises(RuntimeError, match="^cyclic link detected$"):
        db.resolve("p", "a", ["f"] * 33 + ["name"])
    # a straight chain of 32 links resolves, one of 33 does not
    db.set_many([("chain", str(i), Link("chain/%d" % (i + 1))) for i in range(33)])
    db.set("chain", "33", "end")
    assert db.resolve("chain", "1", []) == "end"
    with pytest.raises(RuntimeError, match="^cyclic link detected$"):
        db.resolve("chain", "0", [])


def test_self_field_resolution_is_bounded(db):
    # the key of the link is read from the root, through the same link
    db.set("c", "r", {"k": Link("c/$self.k")})
    with pytest.raises(RuntimeError) as info:
        db.resolve("c", "r", ["k"])
    assert info.value.args == ("cyclic link detected",)


def test_resolve_with_any_sequence(library):
    class Path:
        def __init__(self, *segments):
            self.segments = segments

        def __len__(self):
            return len(self.segments)

        def __getitem__(self, i):
            return self.segments[i]

    assert library.resolve("people", "alice", Path("address", "city")) == "Paris"
    assert library.resolve("people", "alice", ("address", "city")) == "Paris"
    assert library.resolve("people", "alice", ["address", "city"]) == "Paris"
    assert list(library.resolve("people", "alice", ())) == list(library.resolve("people", "alice", []))


def test_resolve_does_not_write(library, db_path):
    sizes = {name: os.path.getsize(os.path.join(db_path, name)) for name in os.listdir(db_path)}
    library.resolve("books", "b1", ["author", "friend", "name"])
    library.resolve("books", "b1", ["ghost"])
    for name, size in sizes.items():
        assert os.path.getsize(os.path.join(db_path, name)) == size


# --- backlinks ------------------------------------------------------------


def test_backlinks_of_an_unlinked_record(db, db_path):
    assert db.backlinks("people", "nobody") == []
    db.set("people", "alice", {})
    assert db.backlinks("people", "alice") == []
    # the query leaves an empty index file and no data file
    assert os.path.getsize(os.path.join(db_path, "people.brl")) == 0
    assert db.backlinks("nowhere", "x") == []
    assert not os.path.exists(os.path.join(db_path, "nowhere.brd"))


def test_backlink_shape_and_identity(db):
    db.set("books", "b1", {"author": Link("people/alice")})
    db.set("books", "b2", [Link("people/alice")])
    first = db.backlinks("people", "alice")
    second = db.backlinks("people", "alice")
    assert first == second == [entry("books", "b1", "author"), entry("books", "b2", "0")]
    assert first is not second
    for a, b in zip(first, second):
        assert a is not b
        assert type(a) is dict
        assert list(a) == ["source_collection", "source_key", "source_path"]
        assert all(type(v) is str for v in a.values())
    first[0]["source_key"] = "changed"
    first.append(None)
    assert db.backlinks("people", "alice") == second


@pytest.mark.parametrize(
    "value, expected",
    [
        (Link("people/alice"), [("people", "alice", "")]),
        ({"author": Link("people/alice")}, [("people", "alice", "author")]),
        ({"refs": [Link("a/b"), Link("c/d")]}, [("a", "b", "refs/0"), ("c", "d", "refs/1")]),
        ({"m": [[0, Link("a/b")]]}, [("a", "b", "m/0/1")]),
        ({"a/b": Link("x/y")}, [("x", "y", "a/b")]),
        (Link("people/alice/address/city"), [("people", "alice", "")]),
        (Link("people/"), [("people", "", "")]),
        ({"x": Link("people/alice", {"note": Link("tags/red")})}, [("people", "alice", "x"), ("tags", "red", "x/note")]),
        (Link("people", {"n": Link("t/r")}), [("t", "r", "n")]),
        (Link("/alice", {"n": [Link("t/r")]}), [("t", "r", "n/0")]),
        (Link("people/$self", {"n": Link("t/r")}), [("t", "r", "n")]),
        (Link("people/$self.owner"), []),
        (Link("people/$anything"), []),
        (Link("people"), []),
        ({"list": [1, "people/alice", {"n": None}]}, []),
        (
            {"z": Link("t/1"), "a": Link("t/1"), "m": {"k": Link("t/1")}},
            [("t", "1", "z"), ("t", "1", "a"), ("t", "1", "m/k")],
        ),
    ],
)
def test_where_links_are_found(db, value, expected):
    db.set("src", "s", value)
    targets = {(c, k) for c, k, _ in expected}
    for c, k in targets:
        assert db.backlinks(c, k) == [entry("src", "s", p) for tc, tk, p in expected if (tc, tk) == (c, k)]
    for c, k in [("people", "alice"), ("people", "$self"), ("people", "$self.owner"), ("people", "$anything"), ("", "alice")]:
        if (c, k) not in targets:
            assert db.backlinks(c, k) == []
    # deleting the record removes every entry it made
    db.delete("src", "s")
    for c, k in targets:
        assert db.backlinks(c, k) == []


def test_backlinks_follow_writes(db_path):
    db = brindle.open(db_path)
    db.set("books", "b1", {"author": Link("people/alice")})
    db.set("books", "b2", {"author": Link("people/alice")})
    db.set("people", "alice", {"self": Link("people/alice")})
    assert db.backlinks("people", "alice") == [
        entry("books", "b1", "author"),
        entry("books", "b2", "author"),
        entry("people", "alice", "self"),
    ]
    size = os.path.getsize(os.path.join(db_path, "people.brl"))
    # the same links again change nothing
    db.set("books", "b1", {"author": Link("people/alice"), "title": "new"})
    assert os.path.getsize(os.path.join(db_path, "people.brl")) == size
    # moving a link removes it from its old place and adds it at the end
    db.set("books", "b1", {"editor": Link("people/alice")})
    assert db.backlinks("people", "alice") == [
        entry("books", "b2", "author"),
        entry("people", "alice", "self"),
        entry("books", "b1", "editor"),
    ]
    # retargeting
    db.set("books", "b2", {"author": Link("people/bob")})
    assert db.backlinks("people", "bob") == [entry("books", "b2", "author")]
    assert entry("books", "b2", "author") not in db.backlinks("people", "alice")
    # a delete of a record that never existed changes no index
    db.delete("books", "never")
    db.delete("people", "alice")
    assert db.backlinks("people", "alice") == [entry("books", "b1", "editor")]
    del db
    db = brindle.open(db_path)
    assert db.backlinks("people", "alice") == [entry("books", "b1", "editor")]
    assert db.backlinks("people", "bob") == [entry("books", "b2", "author")]


def test_equal_entries_stand_twice_and_go_together(db):
    # two places that give the same source path
    db.set("c", "k", {"a/b": Link("t/x"), "a": {"b": Link("t/x")}})
    assert db.backlinks("t", "x") == [entry("c", "k", "a/b"), entry("c", "k", "a/b")]
    db.set("c", "j", Link("t/x"))
    db.set("c", "k", {"a/b": Link("t/x")})  # unchanged: the link is still there
    assert db.backlinks("t", "x") == [entry("c", "k", "a/b"), entry("c", "k", "a/b"), entry("c", "j", "")]
    db.set("c", "k", None)
    assert db.backlinks("t", "x") == [entry("c", "j", "")]
