"""Argument binding and argument conversion of every function of the module.

Binding and conversion happen before the database is touched: a failing call
writes nothing, creates no file, and leaves the object usable.
"""

import os
import pathlib

import pytest

import brindle


class Outer:
    class Inner:
        pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class IterRaises:
    """A sequence whose iteration fails with the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        raise self.exc


class LenRaises:
    """A sequence whose length cannot be asked for; iteration still works."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 2:
            return "abc"[i]
        raise IndexError(i)


class TypeErrorSub(TypeError):
    pass


T = TypeError
B = "Database.backlinks()"

# (call, exception type, exact message). Each call gets the Database, the
# Link class and the open function.
CASES = [
    # --- missing arguments
    (lambda db: db.get(), T, "Database.get() missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda db: db.get("c"), T, "Database.get() missing 1 required positional argument: 'key'"),
    (lambda db: db.get(key="k"), T, "Database.get() missing 1 required positional argument: 'collection'"),
    (
        lambda db: db.set(),
        T,
        "Database.set() missing 3 required positional arguments: 'collection', 'key', and 'value'",
    ),
    (lambda db: db.set("c"), T, "Database.set() missing 2 required positional arguments: 'key' and 'value'"),
    (
        lambda db: db.set(key="k"),
        T,
        "Database.set() missing 2 required positional arguments: 'collection' and 'value'",
    ),
    (lambda db: db.set("c", value=1), T, "Database.set() missing 1 required positional argument: 'key'"),
    (lambda db: db.set("c", "k"), T, "Database.set() missing 1 required positional argument: 'value'"),
    (lambda db: db.set_many(), T, "Database.set_many() missing 1 required positional argument: 'ops'"),
    (
        lambda db: db.delete(),
        T,
        "Database.delete() missing 2 required positional arguments: 'collection' and 'key'",
    ),
    (lambda db: db.delete("c"), T, "Database.delete() missing 1 required positional argument: 'key'"),
    (
        lambda db: db.resolve(),
        T,
        "Database.resolve() missing 3 required positional arguments: 'collection', 'key', and 'path'",
    ),
    (
        lambda db: db.resolve(path=[]),
        T,
        "Database.resolve() missing 2 required positional arguments: 'collection' and 'key'",
    ),
    (lambda db: db.resolve("c", "k"), T, "Database.resolve() missing 1 required positional argument: 'path'"),
    (lambda db: db.backlinks(), T, B + " missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda db: db.backlinks(key="k"), T, B + " missing 1 required positional argument: 'collection'"),
    (lambda db: brindle.open(), T, "open() missing 1 required positional argument: 'path'"),
    (lambda db: brindle.Link(), T, "Link.__new__() missing 1 required positional argument: 'path'"),
    (lambda db: brindle.Link(local={}), T, "Link.__new__() missing 1 required positional argument: 'path'"),
    # --- too many positional arguments (checked before keywords)
    (lambda db: db.get("c", "k", "x"), T, "Database.get() takes 2 positional arguments but 3 were given"),
    (lambda db: db.get(1, 2, 3, bogus=1), T, "Database.get() takes 2 positional arguments but 3 were given"),
    (lambda db: db.set("c", "k", 1, 2), T, "Database.set() takes 3 positional arguments but 4 were given"),
    (lambda db: db.set_many([], []), T, "Database.set_many() takes 1 positional arguments but 2 were given"),
    (lambda db: db.delete("c", "k", "x"), T, "Database.delete() takes 2 positional arguments but 3 were given"),
    (
        lambda db: db.resolve("c", "k", [], []),
        T,
        "Database.resolve() takes 3 positional arguments but 4 were given",
    ),
    (lambda db: db.backlinks("c", "k", "x", "y"), T, B + " takes 2 positional arguments but 4 were given"),
    (lambda db: brindle.open("a", "b"), T, "open() takes 1 positional arguments but 2 were given"),
    (lambda db: brindle.Link("u/1", None, 3), T, "Link.__new__() takes 2 positional arguments but 3 were given"),
    # --- unknown keywords (checked before missing arguments)
    (lambda db: db.get("c", "k", bogus=1), T, "Database.get() got an unexpected keyword argument 'bogus'"),
    (lambda db: db.get(bogus=1), T, "Database.get() got an unexpected keyword argument 'bogus'"),
    (lambda db: db.set("c", "k", val=1), T, "Database.set() got an unexpected keyword argument 'val'"),
    (lambda db: db.set_many(op=[]), T, "Database.set_many() got an unexpected keyword argument 'op'"),
    (lambda db: db.delete("c", k="k"), T, "Database.delete() got an unexpected keyword argument 'k'"),
    (lambda db: db.resolve("c", "k", [], x=1), T, "Database.resolve() got an unexpected keyword argument 'x'"),
    (lambda db: db.backlinks("c", "k", self=1), T, B + " got an unexpected keyword argument 'self'"),
    (lambda db: brindle.open("p", mode="r"), T, "open() got an unexpected keyword argument 'mode'"),
    (lambda db: brindle.Link("u/1", lokal={}), T, "Link.__new__() got an unexpected keyword argument 'lokal'"),
    # --- the same parameter twice
    (lambda db: db.get("c", collection="d"), T, "Database.get() got multiple values for argument 'collection'"),
    (lambda db: db.set("c", "k", 1, key="k"), T, "Database.set() got multiple values for argument 'key'"),
    (lambda db: db.set_many([], ops=[]), T, "Database.set_many() got multiple values for argument 'ops'"),
    (lambda db: db.delete("c", "k", key="k"), T, "Database.delete() got multiple values for argument 'key'"),
    (lambda db: db.resolve("c", "k", [], path=[]), T, "Database.resolve() got multiple values for argument 'path'"),
    (lambda db: db.backlinks("c", collection="c"), T, B + " got multiple values for argument 'collection'"),
    (lambda db: brindle.open("p", path="p"), T, "open() got multiple values for argument 'path'"),
    (lambda db: brindle.Link("u/1", path="u/2"), T, "Link.__new__() got multiple values for argument 'path'"),
    (lambda db: brindle.Link("u/1", {}, local={}), T, "Link.__new__() got multiple values for argument 'local'"),
    # --- text parameters accept str only, converted in parameter order
    (lambda db: db.get(1, "k"), T, "argument 'collection': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.get(1, 2), T, "argument 'collection': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.get("c", b"k"), T, "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
    (lambda db: db.get(key="k", collection=None), T, "argument 'collection': 'NoneType' object cannot be converted to 'PyString'"),
    (
        lambda db: db.get(Outer.Inner(), "k"),
        T,
        "argument 'collection': 'Outer.Inner' object cannot be converted to 'PyString'",
    ),
    (lambda db: db.set(1, "k", 1), T, "argument 'collection': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.set(1, "k", ()), T, "argument 'collection': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.set("c", 1.5, ()), T, "argument 'key': 'float' object cannot be converted to 'PyString'"),
    (lambda db: db.delete(["c"], "k"), T, "argument 'collection': 'list' object cannot be converted to 'PyString'"),
    (lambda db: db.delete("c", ("k",)), T, "argument 'key': 'tuple' object cannot be converted to 'PyString'"),
    (lambda db: db.resolve(1, "k", "a"), T, "argument 'collection': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.resolve("c", 2, "a"), T, "argument 'key': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.backlinks("c", 1), T, "argument 'key': 'int' object cannot be converted to 'PyString'"),
    (lambda db: brindle.open(b"/tmp/x"), T, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (
        lambda db: brindle.open(pathlib.PurePosixPath("/tmp/x")),
        T,
        "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'",
    ),
    (lambda db: brindle.Link(1), T, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda db: brindle.Link(1, []), T, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    # a lone surrogate is the interpreter's encoding error, unchanged
    (lambda db: db.get("\ud800", "k"), UnicodeEncodeError, None),
    (lambda db: db.set("c", "\udfff", 1), UnicodeEncodeError, None),
    (lambda db: db.backlinks("c", "\ud800"), UnicodeEncodeError, None),
    (lambda db: brindle.open("\ud800"), UnicodeEncodeError, None),
    (lambda db: brindle.Link("\ud800"), UnicodeEncodeError, None),
    # --- Link local
    (lambda db: brindle.Link("u/1", []), T, "argument 'local': 'list' object cannot be converted to 'PyDict'"),
    (lambda db: brindle.Link("u/1", local=0), T, "argument 'local': 'int' object cannot be converted to 'PyDict'"),
    (lambda db: brindle.Link("u/1", {1: 2}), T, "'int' object cannot be converted to 'PyString'"),
    (lambda db: brindle.Link("u/1", {"a": ()}), T, "cannot convert tuple to a Brindle value"),
    (lambda db: brindle.Link("u/1", {"a": [1, {2}]}), T, "cannot convert set to a Brindle value"),
    (lambda db: brindle.Link("u/1", {"a": 2**63}), OverflowError, None),
    # --- the value of set: conversion errors carry no argument prefix
    (lambda db: db.set("c", "k", object()), T, "cannot convert object to a Brindle value"),
    (lambda db: db.set("c", "k", Outer.Inner()), T, "cannot convert Inner to a Brindle value"),
    (lambda db: db.set("c", "k", {1: "v"}), T, "'int' object cannot be converted to 'PyString'"),
    # --- set_many
    (lambda db: db.set_many((("c", "k", 1),)), T, "argument 'ops': 'tuple' object cannot be converted to 'PyList'"),
    (lambda db: db.set_many(None), T, "argument 'ops': 'NoneType' object cannot be converted to 'PyList'"),
    (lambda db: db.set_many(iter([])), T, "argument 'ops': 'list_iterator' object cannot be converted to 'PyList'"),
    (lambda db: db.set_many({"c": 1}), T, "argument 'ops': 'dict' object cannot be converted to 'PyList'"),
    (lambda db: db.set_many([1]), T, "set_many: expected list of (col, key, value) tuples"),
    (lambda db: db.set_many([["c", "k", 1]]), T, "set_many: expected list of (col, key, value) tuples"),
    (lambda db: db.set_many(ListSub(["ckv"])), T, "set_many: expected list of (col, key, value) tuples"),
    (lambda db: db.set_many([(1, "k", 1)]), T, "'int' object cannot be converted to 'PyString'"),
    (lambda db: db.set_many([("c", b"k", 1)]), T, "'bytes' object cannot be converted to 'PyString'"),
    (lambda db: db.set_many([("c", "k", ())]), T, "cannot convert tuple to a Brindle value"),
    (lambda db: db.set_many([("c", "k", bytearray())]), T, "cannot convert bytearray to a Brindle value"),
    (lambda db: db.set_many([("c", "\ud800", 1)]), UnicodeEncodeError, None),
    (lambda db: db.set_many([("c", "k", 2**64)]), OverflowError, None),
    (lambda db: db.set_many([("c", "k")]), IndexError, "tuple index out of range"),
    (lambda db: db.set_many([("c",)]), IndexError, "tuple index out of range"),
    (lambda db: db.set_many([()]), IndexError, "tuple index out of range"),
    (lambda db: db.set_many([(1,)]), T, "'int' object cannot be converted to 'PyString'"),
    # --- resolve path
    (lambda db: db.resolve("c", "k", "a.b"), T, "argument 'path': Can't extract `str` to `Vec`"),
    (lambda db: db.resolve("c", "k", ""), T, "argument 'path': Can't extract `str` to `Vec`"),
    (lambda db: db.resolve("c", "k", StrSub("a")), T, "argument 'path': Can't extract `str` to `Vec`"),
    (lambda db: db.resolve("c", "k", 1), T, "argument 'path': 'int' object cannot be converted to 'Sequence'"),
    (lambda db: db.resolve("c", "k", None), T, "argument 'path': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda db: db.resolve("c", "k", {"a"}), T, "argument 'path': 'set' object cannot be converted to 'Sequence'"),
    (lambda db: db.resolve("c", "k", {"a": 1}), T, "argument 'path': 'dict' object cannot be converted to 'Sequence'"),
    (
        lambda db: db.resolve("c", "k", (s for s in ["a"])),
        T,
        "argument 'path': 'generator' object cannot be converted to 'Sequence'",
    ),
    (lambda db: db.resolve("c", "k", ["a", 1]), T, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.resolve("c", "k", (b"a",)), T, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda db: db.resolve("c", "k", ["a", None]), T, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda db: db.resolve("c", "k", b"ab"), T, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.resolve("c", "k", ["\ud800"]), UnicodeEncodeError, None),
    # iteration failures: a TypeError gets the prefix, anything else passes
    (lambda db: db.resolve("c", "k", IterRaises(TypeError("no iter"))), T, "argument 'path': no iter"),
    (lambda db: db.resolve("c", "k", IterRaises(ValueError("no iter"))), ValueError, "no iter"),
    (lambda db: db.resolve("c", "k", IterRaises(TypeErrorSub("no iter"))), TypeErrorSub, "no iter"),
    (lambda db: db.resolve(1, "k", IterRaises(ValueError("no iter"))), T, "argument 'collection': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, exc_type, message", CASES)
def test_failing_call(db, db_path, call, exc_type, message):
    before = sorted(os.listdir(db_path))
    with pytest.raises(exc_type) as info:
        call(db)
    assert type(info.value) is exc_type
    if message is not None:
        assert info.value.args == (message,)
    # nothing was written or created, and the object is still usable
    assert sorted(os.listdir(db_path)) == before
    db.set("ok", "k", [1])
    assert db.get("ok", "k") == [1]


def test_argument_prefix_keeps_the_cause(db):
    inner = KeyError("inner")

    def failing():
        raise TypeError("outer") from inner

    class Seq:
        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise IndexError(i)

        def __iter__(self):
            failing()

    with pytest.raises(TypeError) as info:
        db.resolve("c", "k", Seq())
    assert str(info.value) == "argument 'path': outer"
    assert info.value.__cause__ is inner


def test_path_length_failure_is_ignored(db):
    # the length is only a hint: the path is still read by iteration
    db.set("c", "k", {"a": {"b": 7}})
    assert db.resolve("c", "k", LenRaises()) == 7


def test_keyword_calls_match_positional_calls(db_path):
    db = brindle.open(path=db_path)
    assert repr(db) == repr(brindle.open(db_path))
    assert db.set(value={"f": brindle.Link("t/x")}, key="k", collection="c") is None
    db.set("t", "x", {"name": "X"})
    assert db.get(key="k", collection="c")["f"].path == db.get("c", "k")["f"].path == "t/x"
    assert db.get(key="x", collection="t") == db.get("t", "x") == {"name": "X"}
    assert db.resolve(path=["f", "name"], key="k", collection="c") == "X"
    assert db.resolve("c", path=("f", "name"), key="k") == "X"
    assert db.backlinks(key="x", collection="t") == db.backlinks("t", "x")
    assert db.backlinks("t", key="x") == [{"source_collection": "c", "source_key": "k", "source_path": "f"}]
    assert db.set_many(ops=[("c", "k2", 2)]) is None
    assert db.get("c", "k2") == 2
    assert db.delete(key="k2", collection="c") is None
    with pytest.raises(KeyError):
        db.get("c", "k2")
    link = brindle.Link(local={"a": 1}, path="t/x")
    assert (link.path, link.local) == ("t/x", {"a": 1})
    link = brindle.Link("t/x", local=None)
    assert (link.path, link.local) == ("t/x", {})


def test_str_subclasses_are_accepted_as_text(db, tmp_path):
    sub_db = brindle.open(StrSub(str(tmp_path / "sub")))
    assert repr(sub_db) == 'Database("%s")' % (tmp_path / "sub")
    db.set(StrSub("c"), StrSub("k"), 1)
    assert db.get("c", "k") == 1
    assert db.get(StrSub("c"), StrSub("k")) == 1
    assert brindle.Link(StrSub("u/1")).path == "u/1"
    assert type(brindle.Link(StrSub("u/1")).path) is str
    db.set("c", "m", {"f": 5})
    assert db.resolve("c", "m", [StrSub("f")]) == 5
