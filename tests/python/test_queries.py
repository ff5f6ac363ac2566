"""resolve and backlinks as seen from Python: results, their types, and how
failures are raised. The resolution rules themselves are pinned by the core's
own tests; a representative few are checked here."""

import pytest

from brindle import TOMBSTONE, Link
from values import raises, shape


def entry(collection, key, path):
    return {"source_collection": collection, "source_key": key, "source_path": path}


@pytest.fixture
def library(db):
    db.set("people", "alice", {"name": "Alice", "gone": TOMBSTONE, "friend": Link("people/bob"), "tags": ["x"]})
    db.set("people", "bob", {"name": "Bob", "friend": Link("people/alice"), "profile": Link("profiles/$self")})
    db.set("profiles", "b1", {"bio": "b1's bio"})
    db.set("books", "b1", {"author": Link("people/bob"), "bad": Link("people")})
    db.set("books", "b2", {"noted": Link("people/alice", {"name": "Shadow"}), "n": 5, "by_n": Link("people/$self.n")})
    return db


@pytest.mark.parametrize(
    "collection, key, path, expected",
    [
        # "$self" names the root record's key, wherever the link sits
        ("books", "b1", ["author", "profile", "bio"], "b1's bio"),
        ("books", "b2", ["noted", "name"], "Shadow"),
        # a link in last position is followed; links inside a list are not
        ("books", "b1", ["author"], {"name": "Bob", "friend": Link("people/alice"), "profile": Link("profiles/$self")}),
        ("people", "alice", ["gone", "x"], TOMBSTONE),
    ],
)
def test_resolve(library, collection, key, path, expected):
    assert shape(library.resolve(collection, key, path)) == shape(expected)


@pytest.mark.parametrize(
    "collection, key, path, message",
    [
        # a missing root is a RuntimeError, unlike get's KeyError
        ("people", "nobody", [], "storage: key not found"),
        ("people", "alice", ["tags", "0"], "field not found"),
        ("books", "b1", ["bad", "x"], "invalid path: people"),
        ("books", "b2", ["by_n", "name"], "invalid path: $self.n resolved to Int(5), expected TEXT"),
        ("people", "alice", ["friend"] * 33 + ["name"], "cyclic link detected"),
    ],
)
def test_resolve_errors(library, collection, key, path, message):
    raises(RuntimeError, message, library.resolve, collection, key, path)
    # a failed resolution leaves the database usable
    assert library.resolve("people", "bob", ["name"]) == "Bob"


# Regression: a path's length was trusted as the room to reserve, and a
# claimed 2**62 became a SystemError.
def test_a_path_that_lies_about_its_length_still_resolves(library):
    class Lying:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            return ["name"][i]

    assert library.resolve("people", "bob", Lying()) == "Bob"


def test_results_are_fresh_objects(db):
    assert db.backlinks("people", "alice") == []
    db.set("books", "b1", {"author": Link("people/alice"), "a": [1, {"b": 2}]})
    db.set("books", "b2", [Link("people/alice")])
    for read in (lambda: db.get("books", "b1"), lambda: db.resolve("books", "b1", [])):
        first = read()
        assert first is not read() and first["a"] is not read()["a"] and first["author"] is not read()["author"]
        first["a"].append(3)
        assert read()["a"] == [1, {"b": 2}]
    db.set("books", "b3", {"author": Link("people/alice")})
    expected = [entry("books", "b1", "author"), entry("books", "b2", "0"), entry("books", "b3", "author")]
    first = db.backlinks("people", "alice")
    assert first == expected
    for item in first:
        assert type(item) is dict and list(item) == ["source_collection", "source_key", "source_path"]
    first[0]["source_key"] = "changed"
    first[0]["source_path"] = "changed"
    assert first[2] == expected[2] and db.backlinks("people", "alice") == expected


# Regression: a garbage collection while a read built its result could hand
# the result list, slots still empty, to a finaliser; reading one crashed.
@pytest.mark.parametrize("read", ["db.get('c', 'k')", "db.resolve('c', 'k', ['l'])", "db.backlinks('p', 'x')"])
def test_a_finaliser_never_sees_a_result_list_half_built(tmp_path, run_python, read):
    run_python(f"""
        import gc
        from brindle import _brindle, Link
        db = _brindle.open({str(tmp_path / "db")!r})
        N = 4099
        db.set("c", "k", {{"l": [{{"a": i}} for i in range(N)]}} if "resolve" in {read!r} else [{{"a": i}} for i in range(N)])
        db.begin()
        for i in range(N):
            db.set("b", str(i), Link("p/x"))
        db.commit()
        class Bomb:
            def __init__(self):
                self.me = self  # a cycle: only a collection frees it
            def __del__(self):
                for o in gc.get_objects():
                    if type(o) is list and len(o) == N:
                        o[-1]
                Bomb()
        gc.collect()
        gc.set_threshold(50)
        Bomb()
        assert len({read}) == N
        """, ok=True)


# backlinks lets go of the database before it makes the result's dicts, so a
# finaliser that runs meanwhile can use the database.
def test_a_finaliser_run_while_backlinks_builds_its_result_can_use_the_database(tmp_path, run_python):
    run = run_python(f"""
        import gc
        from brindle import _brindle, Link
        db = _brindle.open({str(tmp_path / "db")!r})
        db.begin()
        for i in range(2000):
            db.set("b", str(i), Link("p/x"))
        db.commit()
        seen = []
        class Bomb:
            def __init__(self):
                self.me = self
            def __del__(self):
                seen.append(db.get("b", "0"))
                Bomb()
        gc.collect()
        gc.set_threshold(50)
        Bomb()
        assert len(db.backlinks("p", "x")) == 2000
        gc.set_threshold(700)
        print(len(seen) > 0 and all(repr(s) == 'Link("p/x")' for s in seen))
        """, ok=True)
    assert run.stdout == "True\n"
