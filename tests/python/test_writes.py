"""set, delete, set_many, begin and commit as seen from Python: results,
which exception each failure raises, and the per-database lock. The store's
own rules (framing, backlink upkeep, transactions) are pinned by the core's
tests."""

import os

import pytest

from brindle import _brindle  # the store itself, without the recovery of brindle.open
from brindle import TOMBSTONE, Link
from values import absent, raises

IN_USE = "Database is already in use by a call on this thread; it cannot be used again until that call returns"
INVALID_NAME = "io: invalid collection name"
BAD_OP = "set_many: expected list of (col, key, value) tuples"


def entry(collection, key, path):
    return {"source_collection": collection, "source_key": key, "source_path": path}


def test_set_many_writes_in_order(db, db_path):
    assert db.set_many([]) is None
    assert os.listdir(db_path) == []
    ops = type("Ops", (list,), {})([("a", "1", 1), ("b", "2", [2]), ("a", "1", "again"), ("a", "3", 3), ("a", "3", TOMBSTONE)])
    assert db.set_many(ops) is None
    assert (db.get("a", "1"), db.get("b", "2")) == ("again", [2])
    raises(KeyError, "key not found", db.get, "a", "3")
    # items after the third are ignored
    db.set_many([("c", "k", 1, "ignored", object())])
    assert db.get("c", "k") == 1


@pytest.mark.parametrize(
    "bad, exc_type, message",
    [
        ("not a tuple", TypeError, BAD_OP),
        (("c", "k", {"a": ()}), TypeError, "cannot convert tuple to a Brindle value"),
        (("c", "k"), IndexError, "tuple index out of range"),
        (("bad/name", "k", 1), RuntimeError, INVALID_NAME),
    ],
)
def test_set_many_stops_at_the_first_failing_element(db, bad, exc_type, message):
    raises(exc_type, message, db.set_many, [("c", "first", 1), bad, ("c", "third", 3)])
    # the elements before the failing one are written, the rest are not
    assert db.get("c", "first") == 1 and absent(db, "c", "third")
    # the lock was released
    db.set_many([("c", "third", 3)])
    assert db.get("c", "third") == 3


def test_set_many_looking_ahead_on_a_large_index_still_fails_in_turn(db):
    # On an index this large set_many looks at the next element's key while
    # it writes the current one; that element's error must still come in its
    # turn, and no error may be left behind.
    db.set_many([("c", str(i), i) for i in range(100_000)])
    raises(UnicodeEncodeError, None, db.set_many, [("c", "first", 1), ("c", "\ud800", 2), ("c", "third", 3)])
    assert db.get("c", "first") == 1 and absent(db, "c", "third")
    db.set_many([("c", "third", 3), ("c", "fourth", 4)])
    assert db.get("c", "fourth") == 4


def test_storage_failures_raise_key_error_from_get_and_runtime_error_elsewhere(db, db_path):
    name = "nul\0"
    for call in (lambda: db.set(name, "k", 1), lambda: db.delete(name, "k"), lambda: db.backlinks(name, "k")):
        raises(RuntimeError, INVALID_NAME, call)
    raises(KeyError, INVALID_NAME, db.get, name, "k")
    raises(RuntimeError, "storage: " + INVALID_NAME, db.resolve, name, "k", [])
    assert os.listdir(db_path) == []
    # a failing commit raises too, and a retry once the cause is gone succeeds
    db.begin()
    db.set("c", "k", {"a": Link("people/alice")})
    os.mkdir(os.path.join(db_path, "people.brl"))
    raises(RuntimeError, "io: Is a directory (os error 21)", db.commit)
    os.rmdir(os.path.join(db_path, "people.brl"))
    assert db.commit() is None
    assert db.backlinks("people", "alice") == [entry("c", "k", "a")]


def test_writes_and_an_open_transaction_survive_the_process(db_path, run_python):
    run_python("""
        from brindle import Link, _brindle
        db = _brindle.open(%r)
        db.set("people", "alice", {"name": "Alice"})
        db.set_many([("books", "b1", {"author": Link("people/alice")}), ("books", "b2", 2)])
        db.delete("books", "b2")
        db.begin()
        db.set("books", "b3", [Link("people/alice")])
        db.commit()
        db.begin()
        db.set("books", "b4", {"x": Link("people/alice", {"note": "n"})})
        assert db.backlinks("people", "alice")[-1]["source_key"] == "b3"
        # the process ends inside the transaction
        """ % db_path, ok=True)
    db = _brindle.open(db_path)
    assert db.resolve("books", "b4", ["x", "note"]) == "n" and absent(db, "books", "b2")
    expected = [entry("books", "b1", "author"), entry("books", "b3", "0"), entry("books", "b4", "x")]
    assert db.backlinks("people", "alice") == expected


def test_lock_refuses_reentry_and_makes_other_threads_wait(run_python):
    # Type-name lookups of unsupported values run Python code while set_many
    # holds the database, as a finaliser run by a collection could.
    done = run_python("""
        import tempfile
        import threading
        from brindle import _brindle

        db = _brindle.open(tempfile.mkdtemp())
        events, threads, worker_saw = [], [], []

        def worker():
            try:
                worker_saw.append("worker read %r" % db.get("c", "k0"))
            except Exception as e:
                worker_saw.append("worker failed: %r" % e)

        class Meta(type):
            @property
            def __name__(cls):
                events.append(repr(db))
                for call in (lambda: db.get("c", "k0"), lambda: db.set("c", "x", 1),
                             lambda: db.backlinks("c", "k0"), db.begin, db.commit):
                    try:
                        call()
                        events.append("no error")
                    except RuntimeError as e:
                        events.append(str(e))
                threads.append(threading.Thread(target=worker))
                threads[0].start()
                threads[0].join(0.5)  # lets the worker run; it must wait for the database
                events.append("worker waiting: %s" % threads[0].is_alive())
                return "Trigger"

        class Trigger(metaclass=Meta):
            pass

        try:
            db.set_many([("c", "k0", 0), ("c", "k1", Trigger()), ("c", "k2", 2)])
        except TypeError as e:
            events.append(str(e))
        threads[0].join(30)
        events += worker_saw + ["worker alive: %s" % threads[0].is_alive()]
        for key in ("k1", "k2", "x"):
            try:
                db.get("c", key)
            except KeyError as e:
                events.append(e.args[0])
        print("\\n".join(events))
        """, timeout=90, ok=True)
    lines = done.stdout.splitlines()
    assert lines[0].startswith('Database("/') and lines[0].endswith('")')
    assert lines[1:] == [IN_USE] * 5 + [
        "worker waiting: True",
        "cannot convert Trigger to a Brindle value",
        "worker read 0",
        "worker alive: False",
    ] + ["key not found"] * 3
