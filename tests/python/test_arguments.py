"""Argument binding and argument conversion of every function of the module.

Binding and conversion happen before the database is touched: a failing call
writes nothing and creates no file.
"""

import os
import pathlib

import pytest

from brindle import _brindle  # the store itself, without the recovery of brindle.open
from brindle import Link
from values import raises


class Outer:
    class Inner:
        pass


StrSub = type("StrSub", (str,), {})
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


class NextRaises(IterRaises):
    def __iter__(self):
        yield "a"
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
    # --- each function's name and parameters, through its missing-argument message
    (lambda d: d.get(), T, D + "get() missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda d: d.set(), T, D + "set() missing 3 required positional arguments: 'collection', 'key', and 'value'"),
    (lambda d: d.set(key="k"), T, D + "set() missing 2 required positional arguments: 'collection' and 'value'"),
    (lambda d: d.set_many(), T, D + "set_many() missing 1 required positional argument: 'ops'"),
    (lambda d: d.delete("c"), T, D + "delete() missing 1 required positional argument: 'key'"),
    (lambda d: d.resolve(path=[]), T, D + "resolve() missing 2 required positional arguments: 'collection' and 'key'"),
    (lambda d: d.backlinks(key="k"), T, D + "backlinks() missing 1 required positional argument: 'collection'"),
    (lambda d: _brindle.open(), T, "open() missing 1 required positional argument: 'path'"),
    (lambda d: Link(local={}), T, "Link.__new__() missing 1 required positional argument: 'path'"),
    # --- too many positional arguments (checked before keywords)
    (lambda d: d.get(1, 2, 3, bogus=1), T, D + "get() takes 2 positional arguments but 3 were given"),
    (lambda d: d.set("c", "k", 1, 2), T, D + "set() takes 3 positional arguments but 4 were given"),
    (lambda d: _brindle.open("a", "b"), T, "open() takes 1 positional arguments but 2 were given"),
    (lambda d: Link("u/1", None, 3), T, "Link.__new__() takes 2 positional arguments but 3 were given"),
    (lambda d: d.begin(1), T, D + "begin() takes no arguments (1 given)"),
    (lambda d: d.commit(x=1), T, D + "commit() takes no keyword arguments"),
    # --- unknown keywords (checked before missing arguments) and the same parameter twice
    (lambda d: d.get(bogus=1), T, D + "get() got an unexpected keyword argument 'bogus'"),
    (lambda d: Link("u/1", lokal={}), T, "Link.__new__() got an unexpected keyword argument 'lokal'"),
    (lambda d: d.set("c", "k", 1, key="k"), T, D + "set() got multiple values for argument 'key'"),
    (lambda d: Link("u/1", {}, local={}), T, "Link.__new__() got multiple values for argument 'local'"),
    # --- text parameters accept str only, converted in parameter order
    (lambda d: d.get(1, 2), T, "argument 'collection': 'int'" + NOT_TEXT),
    (lambda d: d.get("c", b"k"), T, "argument 'key': 'bytes'" + NOT_TEXT),
    (lambda d: d.get(Outer.Inner(), "k"), T, "argument 'collection': 'Outer.Inner'" + NOT_TEXT),
    (lambda d: d.set("c", 1.5, ()), T, "argument 'key': 'float'" + NOT_TEXT),
    (lambda d: _brindle.open(pathlib.PurePosixPath("/tmp/x")), T, "argument 'path': 'PurePosixPath'" + NOT_TEXT),
    (lambda d: Link(1, []), T, "argument 'path': 'int'" + NOT_TEXT),
    # a lone surrogate is the interpreter's encoding error, unchanged
    (lambda d: d.set("c", "\udfff", 1), UnicodeEncodeError, None),
    (lambda d: _brindle.open("\ud800"), UnicodeEncodeError, None),
    # --- Link local and set's value: errors inside the value carry no argument prefix
    (lambda d: Link("u/1", local=0), T, "argument 'local': 'int' object cannot be converted to 'PyDict'"),
    (lambda d: Link("u/1", {1: 2}), T, "'int'" + NOT_TEXT),
    (lambda d: Link("u/1", {"a": [1, {2}]}), T, "cannot convert set to a Brindle value"),
    (lambda d: d.set("c", "k", Outer.Inner()), T, "cannot convert Inner to a Brindle value"),
    # --- set_many
    (lambda d: d.set_many((("c", "k", 1),)), T, "argument 'ops': 'tuple' object cannot be converted to 'PyList'"),
    (lambda d: d.set_many([["c", "k", 1]]), T, BAD_OP),
    (lambda d: d.set_many([("c", b"k", 1)]), T, "'bytes'" + NOT_TEXT),
    (lambda d: d.set_many([("c",)]), IndexError, "tuple index out of range"),
    # --- resolve path
    (lambda d: d.resolve("c", "k", StrSub("a")), T, NO_VEC),
    (lambda d: d.resolve("c", "k", {"a"}), T, "argument 'path': 'set'" + NOT_SEQ),
    (lambda d: d.resolve("c", "k", ["a", None]), T, "argument 'path': 'NoneType'" + NOT_TEXT),
    (lambda d: d.resolve("c", "k", b"ab"), T, "argument 'path': 'int'" + NOT_TEXT),
    # iteration failures: a TypeError gets the prefix, anything else passes
    (lambda d: d.resolve("c", "k", IterRaises(TypeError("no iter"))), T, "argument 'path': no iter"),
    (lambda d: d.resolve("c", "k", IterRaises(ValueError("no iter"))), ValueError, "no iter"),
    (lambda d: d.resolve("c", "k", IterRaises(TypeErrorSub("no iter"))), TypeErrorSub, "no iter"),
    (lambda d: d.resolve("c", "k", NextRaises(TypeError("mid-way"))), T, "argument 'path': mid-way"),
    (lambda d: d.resolve(1, "k", IterRaises(ValueError("no iter"))), T, "argument 'collection': 'int'" + NOT_TEXT),
]


@pytest.mark.parametrize("call, exc_type, message", CASES)
def test_failing_call(db, db_path, call, exc_type, message):
    raises(exc_type, message, call, db)
    assert os.listdir(db_path) == []


def test_argument_prefix_keeps_the_cause(db):
    outer = TypeError("outer")
    outer.__cause__ = KeyError("inner")
    raised = raises(TypeError, "argument 'path': outer", db.resolve, "c", "k", IterRaises(outer))
    assert raised.__cause__ is outer.__cause__


def test_paths_are_read_by_iteration_and_keywords_match_positions(db_path):
    db = _brindle.open(path=db_path)
    assert db.set(value={"f": Link("t/x"), "g": {"h": 7}}, key="k", collection="c") is None
    db.set("t", "x", {"name": "X"})
    # the length is only a hint; iteration falls back on __getitem__
    assert db.resolve("c", "k", Seq(["g", "h"], len_error=RuntimeError("no length"))) == 7
    assert db.resolve(path=("f", "name"), key="k", collection="c") == "X"
    assert db.backlinks("t", key="x") == [{"source_collection": "c", "source_key": "k", "source_path": "f"}]
    assert db.set_many(ops=[("c", "k2", 2)]) is None
    assert db.delete(key="k2", collection="c") is None
    raises(KeyError, "key not found", lambda: db.get(key="k2", collection="c"))
    link = Link(local={"a": 1}, path="t/x")
    assert (link.path, link.local) == ("t/x", {"a": 1})
    # str subclasses are text
    db.set(StrSub("c"), StrSub("s"), 5)
    assert db.get("c", "s") == 5
    assert type(Link(StrSub("u/1")).path) is str
