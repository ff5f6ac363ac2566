"""Argument binding and argument conversion of every function of the module.

Binding and conversion happen before the database is touched: a failing call
writes nothing and creates no file.
"""

import os
import pathlib

import pytest

import brindle
from brindle import Link


class Outer:
    class Inner:
        pass


StrSub = type("StrSub", (str,), {})
ListSub = type("ListSub", (list,), {})
TypeErrorSub = type("TypeErrorSub", (TypeError,), {})


class Seq:
    """A sequence read through __getitem__; asking for its length may fail."""

    def __init__(self, items, len_error=None):
        self.items, self.len_error = items, len_error

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class IterRaises(Seq):
    def __init__(self, exc):
        super().__init__([])
        self.exc = exc

    def __iter__(self):
        raise self.exc


T = TypeError
D = "Database."
NOT_TEXT = " object cannot be converted to 'PyString'"
NOT_SEQ = " object cannot be converted to 'Sequence'"
BAD_OP = "set_many: expected list of (col, key, value) tuples"
NO_VEC = "argument 'path': Can't extract `str` to `Vec`"

# (call given the Database d, exception type, exact message or None for the
# interpreter's own message)
CASES = [
    # --- missing arguments
    (lambda d: d.get(), T, D + "get() missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda d: d.get("c"), T, D + "get() missing 1 required positional argument: 'key'"),
    (lambda d: d.get(key="k"), T, D + "get() missing 1 required positional argument: 'collection'"),
    (lambda d: d.set(), T, D + "set() missing 3 required positional arguments: 'collection', 'key', and 'value'"),
    (lambda d: d.set("c"), T, D + "set() missing 2 required positional arguments: 'key' and 'value'"),
    (lambda d: d.set(key="k"), T, D + "set() missing 2 required positional arguments: 'collection' and 'value'"),
    (lambda d: d.set("c", value=1), T, D + "set() missing 1 required positional argument: 'key'"),
    (lambda d: d.set("c", "k"), T, D + "set() missing 1 required positional argument: 'value'"),
    (lambda d: d.set_many(), T, D + "set_many() missing 1 required positional argument: 'ops'"),
    (lambda d: d.delete(), T, D + "delete() missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda d: d.delete("c"), T, D + "delete() missing 1 required positional argument: 'key'"),
    (lambda d: d.resolve(), T, D + "resolve() missing 3 required positional arguments: 'collection', 'key', and "
     "'path'"),
    (lambda d: d.resolve(path=[]), T, D + "resolve() missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda d: d.resolve("c", "k"), T, D + "resolve() missing 1 required positional argument: 'path'"),
    (lambda d: d.backlinks(), T, D + "backlinks() missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda d: d.backlinks(key="k"), T, D + "backlinks() missing 1 required positional argument: 'collection'"),
    (lambda d: brindle.open(), T, "open() missing 1 required positional argument: 'path'"),
    (lambda d: Link(), T, "Link.__new__() missing 1 required positional argument: 'path'"),
    (lambda d: Link(local={}), T, "Link.__new__() missing 1 required positional argument: 'path'"),
    # --- too many positional arguments (checked before keywords)
    (lambda d: d.get("c", "k", "x"), T, D + "get() takes 2 positional arguments but 3 were given"),
    (lambda d: d.get(1, 2, 3, bogus=1), T, D + "get() takes 2 positional arguments but 3 were given"),
    (lambda d: d.set("c", "k", 1, 2), T, D + "set() takes 3 positional arguments but 4 were given"),
    (lambda d: d.set_many([], []), T, D + "set_many() takes 1 positional arguments but 2 were given"),
    (lambda d: d.delete("c", "k", "x"), T, D + "delete() takes 2 positional arguments but 3 were given"),
    (lambda d: d.resolve("c", "k", [], []), T, D + "resolve() takes 3 positional arguments but 4 were given"),
    (lambda d: d.backlinks("c", "k", "x", "y"), T, D + "backlinks() takes 2 positional arguments but 4 were given"),
    (lambda d: brindle.open("a", "b"), T, "open() takes 1 positional arguments but 2 were given"),
    (lambda d: Link("u/1", None, 3), T, "Link.__new__() takes 2 positional arguments but 3 were given"),
    (lambda d: d.begin(1), T, D + "begin() takes no arguments (1 given)"),
    (lambda d: d.commit(1, 2), T, D + "commit() takes no arguments (2 given)"),
    (lambda d: d.commit(x=1), T, D + "commit() takes no keyword arguments"),
    # --- unknown keywords (checked before missing arguments)
    (lambda d: d.get("c", "k", bogus=1), T, D + "get() got an unexpected keyword argument 'bogus'"),
    (lambda d: d.get(bogus=1), T, D + "get() got an unexpected keyword argument 'bogus'"),
    (lambda d: d.set("c", "k", val=1), T, D + "set() got an unexpected keyword argument 'val'"),
    (lambda d: d.set_many(op=[]), T, D + "set_many() got an unexpected keyword argument 'op'"),
    (lambda d: d.delete("c", k="k"), T, D + "delete() got an unexpected keyword argument 'k'"),
    (lambda d: d.resolve("c", "k", [], x=1), T, D + "resolve() got an unexpected keyword argument 'x'"),
    (lambda d: d.backlinks("c", "k", self=1), T, D + "backlinks() got an unexpected keyword argument 'self'"),
    (lambda d: brindle.open("p", mode="r"), T, "open() got an unexpected keyword argument 'mode'"),
    (lambda d: Link("u/1", lokal={}), T, "Link.__new__() got an unexpected keyword argument 'lokal'"),
    # --- the same parameter twice
    (lambda d: d.get("c", collection="d"), T, D + "get() got multiple values for argument 'collection'"),
    (lambda d: d.set("c", "k", 1, key="k"), T, D + "set() got multiple values for argument 'key'"),
    (lambda d: d.set_many([], ops=[]), T, D + "set_many() got multiple values for argument 'ops'"),
    (lambda d: d.delete("c", "k", key="k"), T, D + "delete() got multiple values for argument 'key'"),
    (lambda d: d.resolve("c", "k", [], path=[]), T, D + "resolve() got multiple values for argument 'path'"),
    (lambda d: d.backlinks("c", collection="c"), T, D + "backlinks() got multiple values for argument 'collection'"),
    (lambda d: brindle.open("p", path="p"), T, "open() got multiple values for argument 'path'"),
    (lambda d: Link("u/1", path="u/2"), T, "Link.__new__() got multiple values for argument 'path'"),
    (lambda d: Link("u/1", {}, local={}), T, "Link.__new__() got multiple values for argument 'local'"),
    # --- text parameters accept str only, converted in parameter order
    (lambda d: d.get(1, "k"), T, "argument 'collection': 'int'" + NOT_TEXT),
    (lambda d: d.get(1, 2), T, "argument 'collection': 'int'" + NOT_TEXT),
    (lambda d: d.get("c", b"k"), T, "argument 'key': 'bytes'" + NOT_TEXT),
    (lambda d: d.get(key="k", collection=None), T, "argument 'collection': 'NoneType'" + NOT_TEXT),
    (lambda d: d.get(Outer.Inner(), "k"), T, "argument 'collection': 'Outer.Inner'" + NOT_TEXT),
    (lambda d: d.set(1, "k", 1), T, "argument 'collection': 'int'" + NOT_TEXT),
    (lambda d: d.set(1, "k", ()), T, "argument 'collection': 'int'" + NOT_TEXT),
    (lambda d: d.set("c", 1.5, ()), T, "argument 'key': 'float'" + NOT_TEXT),
    (lambda d: d.delete(["c"], "k"), T, "argument 'collection': 'list'" + NOT_TEXT),
    (lambda d: d.delete("c", ("k",)), T, "argument 'key': 'tuple'" + NOT_TEXT),
    (lambda d: d.resolve(1, "k", "a"), T, "argument 'collection': 'int'" + NOT_TEXT),
    (lambda d: d.resolve("c", 2, "a"), T, "argument 'key': 'int'" + NOT_TEXT),
    (lambda d: d.backlinks("c", 1), T, "argument 'key': 'int'" + NOT_TEXT),
    (lambda d: brindle.open(b"/tmp/x"), T, "argument 'path': 'bytes'" + NOT_TEXT),
    (lambda d: brindle.open(pathlib.PurePosixPath("/tmp/x")), T, "argument 'path': 'PurePosixPath'" + NOT_TEXT),
    (lambda d: Link(1), T, "argument 'path': 'int'" + NOT_TEXT),
    (lambda d: Link(1, []), T, "argument 'path': 'int'" + NOT_TEXT),
    # a lone surrogate is the interpreter's encoding error, unchanged
    (lambda d: d.get("\ud800", "k"), UnicodeEncodeError, None),
    (lambda d: d.set("c", "\udfff", 1), UnicodeEncodeError, None),
    (lambda d: d.backlinks("c", "\ud800"), UnicodeEncodeError, None),
    (lambda d: brindle.open("\ud800"), UnicodeEncodeError, None),
    (lambda d: Link("\ud800"), UnicodeEncodeError, None),
    # --- Link local: errors inside the dict carry no argument prefix
    (lambda d: Link("u/1", []), T, "argument 'local': 'list' object cannot be converted to 'PyDict'"),
    (lambda d: Link("u/1", local=0), T, "argument 'local': 'int' object cannot be converted to 'PyDict'"),
    (lambda d: Link("u/1", {1: 2}), T, "'int'" + NOT_TEXT),
    (lambda d: Link("u/1", {"a": ()}), T, "cannot convert tuple to a Brindle value"),
    (lambda d: Link("u/1", {"a": [1, {2}]}), T, "cannot convert set to a Brindle value"),
    (lambda d: Link("u/1", {"a": 2**63}), OverflowError, None),
    # --- the value of set: conversion errors carry no argument prefix
    (lambda d: d.set("c", "k", object()), T, "cannot convert object to a Brindle value"),
    (lambda d: d.set("c", "k", Outer.Inner()), T, "cannot convert Inner to a Brindle value"),
    (lambda d: d.set("c", "k", {1: "v"}), T, "'int'" + NOT_TEXT),
    # --- set_many
    (lambda d: d.set_many((("c", "k", 1),)), T, "argument 'ops': 'tuple' object cannot be converted to 'PyList'"),
    (lambda d: d.set_many(None), T, "argument 'ops': 'NoneType' object cannot be converted to 'PyList'"),
    (lambda d: d.set_many(iter([])), T, "argument 'ops': 'list_iterator' object cannot be converted to 'PyList'"),
    (lambda d: d.set_many({"c": 1}), T, "argument 'ops': 'dict' object cannot be converted to 'PyList'"),
    (lambda d: d.set_many([1]), T, BAD_OP),
    (lambda d: d.set_many([["c", "k", 1]]), T, BAD_OP),
    (lambda d: d.set_many(ListSub(["ckv"])), T, BAD_OP),
    (lambda d: d.set_many([(1, "k", 1)]), T, "'int'" + NOT_TEXT),
    (lambda d: d.set_many([("c", b"k", 1)]), T, "'bytes'" + NOT_TEXT),
    (lambda d: d.set_many([("c", "k", ())]), T, "cannot convert tuple to a Brindle value"),
    (lambda d: d.set_many([("c", "k", bytearray())]), T, "cannot convert bytearray to a Brindle value"),
    (lambda d: d.set_many([("c", "\ud800", 1)]), UnicodeEncodeError, None),
    (lambda d: d.set_many([("c", "k", 2**64)]), OverflowError, None),
    (lambda d: d.set_many([("c", "k")]), IndexError, "tuple index out of range"),
    (lambda d: d.set_many([("c",)]), IndexError, "tuple index out of range"),
    (lambda d: d.set_many([()]), IndexError, "tuple index out of range"),
    (lambda d: d.set_many([(1,)]), T, "'int'" + NOT_TEXT),
    # --- resolve path
    (lambda d: d.resolve("c", "k", "a.b"), T, NO_VEC),
    (lambda d: d.resolve("c", "k", ""), T, NO_VEC),
    (lambda d: d.resolve("c", "k", StrSub("a")), T, NO_VEC),
    (lambda d: d.resolve("c", "k", 1), T, "argument 'path': 'int'" + NOT_SEQ),
    (lambda d: d.resolve("c", "k", None), T, "argument 'path': 'NoneType'" + NOT_SEQ),
    (lambda d: d.resolve("c", "k", {"a"}), T, "argument 'path': 'set'" + NOT_SEQ),
    (lambda d: d.resolve("c", "k", {"a": 1}), T, "argument 'path': 'dict'" + NOT_SEQ),
    (lambda d: d.resolve("c", "k", (s for s in ["a"])), T, "argument 'path': 'generator'" + NOT_SEQ),
    (lambda d: d.resolve("c", "k", ["a", 1]), T, "argument 'path': 'int'" + NOT_TEXT),
    (lambda d: d.resolve("c", "k", (b"a",)), T, "argument 'path': 'bytes'" + NOT_TEXT),
    (lambda d: d.resolve("c", "k", ["a", None]), T, "argument 'path': 'NoneType'" + NOT_TEXT),
    (lambda d: d.resolve("c", "k", b"ab"), T, "argument 'path': 'int'" + NOT_TEXT),
    (lambda d: d.resolve("c", "k", ["\ud800"]), UnicodeEncodeError, None),
    # iteration failures: a TypeError gets the prefix, anything else passes
    (lambda d: d.resolve("c", "k", IterRaises(TypeError("no iter"))), T, "argument 'path': no iter"),
    (lambda d: d.resolve("c", "k", IterRaises(ValueError("no iter"))), ValueError, "no iter"),
    (lambda d: d.resolve("c", "k", IterRaises(TypeErrorSub("no iter"))), TypeErrorSub, "no iter"),
    (lambda d: d.resolve(1, "k", IterRaises(ValueError("no iter"))), T, "argument 'collection': 'int'" + NOT_TEXT),
]


@pytest.mark.parametrize("call, exc_type, message", CASES)
def test_failing_call(db, db_path, call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(db)
    assert type(info.value) is exc_type
    if message is not None:
        assert info.value.args == (message,)
    assert os.listdir(db_path) == []


def test_argument_prefix_keeps_the_cause(db):
    inner = KeyError("inner")
    outer = TypeError("outer")
    outer.__cause__ = inner
    with pytest.raises(TypeError) as info:
        db.resolve("c", "k", IterRaises(outer))
    assert info.value.args == ("argument 'path': outer",)
    assert info.value.__cause__ is inner


def test_paths_are_read_by_iteration(db):
    db.set("c", "k", {"a": {"b": 7}})
    # the length is only a hint; iteration falls back on __getitem__
    assert db.resolve("c", "k", Seq(["a", "b"], len_error=RuntimeError("no length"))) == 7
    assert db.resolve("c", "k", Seq(["a", "b"])) == db.resolve("c", "k", ("a", "b")) == 7


def test_keyword_calls_match_positional_calls(db_path):
    db = brindle.open(path=db_path)
    assert db.set(value={"f": Link("t/x")}, key="k", collection="c") is None
    db.set("t", "x", {"name": "X"})
    assert db.get(key="k", collection="c")["f"].path == "t/x"
    assert db.resolve(path=["f", "name"], key="k", collection="c") == "X"
    assert db.resolve("c", path=("f", "name"), key="k") == "X"
    assert db.backlinks("t", key="x") == [{"source_collection": "c", "source_key": "k", "source_path": "f"}]
    assert db.set_many(ops=[("c", "k2", 2)]) is None
    assert db.delete(key="k2", collection="c") is None
    with pytest.raises(KeyError):
        db.get("c", "k2")
    link = Link(local={"a": 1}, path="t/x")
    assert (link.path, link.local) == ("t/x", {"a": 1})
    assert Link("t/x", local=None).local == {}


def test_str_subclasses_are_accepted_as_text(db, tmp_path):
    assert repr(brindle.open(StrSub(str(tmp_path / "sub")))) == 'Database("%s")' % (tmp_path / "sub")
    db.set(StrSub("c"), StrSub("k"), {"f": 5})
    assert db.get("c", "k") == db.get(StrSub("c"), StrSub("k")) == {"f": 5}
    assert db.resolve("c", "k", [StrSub("f")]) == 5
    assert type(Link(StrSub("u/1")).path) is str
