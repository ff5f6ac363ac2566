"""No leaks: a long run of cheap calls, successful and failing, keeps the
process's memory, the number of live objects and the reference counts of
everything passed in flat."""

import gc
import os
import sys

import pytest

from brindle import TOMBSTONE, Link
from values import shape

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("BRINDLE_UNDER_SANITIZER")) or not os.path.exists("/proc/self/statm"),
    reason="resident memory is only meaningful for a plain build on Linux",
)

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class FailingPath:
    def __len__(self):
        raise RuntimeError("length")

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        raise TypeError("cannot iterate") from KeyError("cause")


def attempt(exc_type, call, *args):
    """Calls, letting only the expected exception type pass."""
    try:
        call(*args)
    except exc_type:
        pass


def test_many_calls_keep_memory_flat(db):
    key, other, col, target = "k", "k2", "c", "t"
    local = {"n": [1, "s", b"b", 2.5, None, True], "m": {"x": TOMBSTONE}}
    value_a = {"l": Link("t/x", local), "list": [Link("t/x"), 1, "two"], "i": 2**62}
    value_b = {"l": Link("t/y"), "list": [], "f": -0.0}
    good_ops = [(col, other, value_a), (col, other, value_b)]
    bad_ops = [(col, other, value_b), (col, other, [1, (2,)])]
    short_ops = [(col, other)]
    bad_value = [1, {"deep": (1,)}]
    path_ok, path_bad, path_link = ["l", "n"], ["i", "x"], ["l"]
    failing_path = FailingPath()
    db.set(target, "x", {"name": "X"})
    db.set(target, "y", {"name": "Y"})
    inputs = [
        db, key, other, col, target, local, value_a, value_b, good_ops, bad_ops, short_ops, bad_value,
        path_ok, path_bad, path_link, failing_path, TOMBSTONE, Link, *good_ops, *bad_ops,
    ]

    def round_(i):
        db.set(col, key, value_a if i & 1 else value_b)
        db.get(col, key)
        attempt(KeyError, db.get, col, "missing")
        attempt(TypeError, db.set, col, key, bad_value)
        attempt(TypeError, db.get, 1, key)
        attempt(TypeError, db.get, col)
        db.resolve(col, key, path_link)
        db.resolve(col, other, path_ok) if i & 2 else db.resolve(col, key, [])
        attempt(RuntimeError, db.resolve, col, key, path_bad)
        attempt(TypeError, db.resolve, col, key, failing_path)
        db.backlinks(target, "x")
        db.backlinks(target, "y")
        link = Link("t/x", local)
        link.local
        repr(link)
        attempt(TypeError, Link, "t/x", [])
        db.set_many(good_ops)
        attempt(TypeError, db.set_many, bad_ops)
        attempt(IndexError, db.set_many, short_ops)
        if i % 64 == 0:
            db.delete(col, "gone")
            db.begin()
            db.set(col, "tx", [Link("t/x")] if i & 128 else [])
            db.commit()

    for i in range(20_000):
        round_(i)
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in inputs]
    objects = len(gc.get_objects())
    before = resident_bytes()

    for i in range(60_000):  # 1.2 million calls
        round_(i)
    gc.collect()
    grown = resident_bytes() - before
    assert [sys.getrefcount(obj) for obj in inputs] == refcounts
    assert len(gc.get_objects()) - objects < 100
    # a leak of even one small object per round would exceed this
    assert grown < 2 * 1024 * 1024, grown
    # the database is still consistent: the last good batch left value_b
    assert shape(db.get(col, other)) == shape(value_b)
    assert {"source_collection": col, "source_key": other, "source_path": "l"} in db.backlinks(target, "y")
