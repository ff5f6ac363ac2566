"""The module's surface: names, classes, signatures, reprs, immutability."""

import os
import weakref

import pytest

import brindle
from brindle import _brindle

DATABASE_METHODS = {
    "get": "($self, collection, key)",
    "set": "($self, collection, key, value)",
    "set_many": "($self, ops)",
    "delete": "($self, collection, key)",
    "resolve": "($self, collection, key, path)",
    "begin": "($self)",
    "commit": "($self)",
    "backlinks": "($self, collection, key)",
}


def test_all_lists_the_five_names_in_registration_order():
    assert _brindle.__all__ == ["Tombstone", "Link", "Database", "open", "TOMBSTONE"]
    assert brindle.__all__ == _brindle.__all__
    for name in _brindle.__all__:
        assert getattr(brindle, name) is getattr(_brindle, name)


def test_module_identity():
    assert _brindle.__name__ == "brindle._brindle"
    assert _brindle.__doc__ == ""
    assert isinstance(_brindle.TOMBSTONE, _brindle.Tombstone)
    assert _brindle.open.__module__ == _brindle.__name__
    assert _brindle.open.__name__ == "open"
    assert _brindle.open.__text_signature__ == "(path)"
    assert _brindle.open.__doc__ is None


def full_name(cls):
    """The type's name as the interpreter shows it in its own messages."""
    return repr(cls)[len("<class '") : -len("'>")]


@pytest.mark.parametrize("cls, name", [(brindle.Database, "Database"), (brindle.Link, "Link"), (brindle.Tombstone, "Tombstone")])
def test_class_names(cls, name):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "brindle._brindle"
    assert full_name(cls) == "brindle._brindle." + name


@pytest.mark.parametrize("cls", [brindle.Database, brindle.Tombstone])
def test_classes_without_constructor(cls):
    message = "No constructor defined for %s" % cls.__name__
    with pytest.raises(TypeError) as info:
        cls()
    assert info.value.args == (message,)
    with pytest.raises(TypeError, match="^No constructor defined for"):
        cls("x", key=1)


@pytest.mark.parametrize("cls", [brindle.Database, brindle.Link, brindle.Tombstone])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError) as info:
        type("Sub", (cls,), {})
    assert str(info.value) == "type '%s' is not an acceptable base type" % full_name(cls)


def test_instances_have_no_dict_and_no_weakref(db):
    for obj in (db, brindle.Link("u/1"), brindle.TOMBSTONE):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError) as info:
            weakref.ref(obj)
        assert str(info.value) == "cannot create weak reference to '%s' object" % full_name(type(obj))


def test_docstrings_and_text_signatures():
    assert brindle.Database.__doc__ is None
    assert brindle.Tombstone.__doc__ is None
    assert brindle.Link.__text_signature__ == "(path, local=None)"
    assert brindle.Link.__doc__ == ""
    for name, signature in DATABASE_METHODS.items():
        method = getattr(brindle.Database, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name


def test_database_method_table_is_exactly_the_documented_methods():
    own = {name for name, value in vars(brindle.Database).items() if callable(value) and not name.startswith("__")}
    assert own == set(DATABASE_METHODS)
    assert "__repr__" in vars(brindle.Database)


def test_begin_and_commit_take_no_arguments(db):
    with pytest.raises(TypeError) as info:
        db.begin(1)
    assert str(info.value) == "Database.begin() takes no arguments (1 given)"
    with pytest.raises(TypeError) as info:
        db.commit(1, 2)
    assert str(info.value) == "Database.commit() takes no arguments (2 given)"
    with pytest.raises(TypeError) as info:
        db.commit(x=1)
    assert str(info.value) == "Database.commit() takes no keyword arguments"
    assert db.begin() is None
    assert db.commit() is None


def test_tombstone_repr_and_truth():
    assert repr(brindle.TOMBSTONE) == "TOMBSTONE"
    assert str(brindle.TOMBSTONE) == "TOMBSTONE"
    assert bool(brindle.TOMBSTONE) is False
    assert not brindle.TOMBSTONE


@pytest.mark.parametrize(
    "path, local, expected",
    [
        ("u/1", None, 'Link("u/1")'),
        ("u/1", {}, 'Link("u/1")'),
        ("u/1", {"note": 1}, 'Link("u/1", local={...})'),
        ("u/1", {"a": {"b": [1, 2]}, "c": None}, 'Link("u/1", local={...})'),
        ("", None, 'Link("")'),
        ('q"uote\\back', None, 'Link("q\\"uote\\\\back")'),
        ("tab\tcr\rlf\nnul\0", None, 'Link("tab\\tcr\\rlf\\nnul\\0")'),
        ("it's", None, "Link(\"it's\")"),
        ("caf\u00e9/\u65e5\u672c", None, 'Link("caf\u00e9/\u65e5\u672c")'),
        ("bell\x07", None, 'Link("bell\\u{7}")'),
        ("e\u0301", None, 'Link("e\\u{301}")'),
    ],
)
def test_link_repr(path, local, expected):
    link = brindle.Link(path) if local is None else brindle.Link(path, local)
    assert repr(link) == expected
    assert link.path == path


def test_link_is_immutable():
    link = brindle.Link("u/1", {"a": 1})
    with pytest.raises(AttributeError):
        link.path = "u/2"
    with pytest.raises(AttributeError):
        link.local = {}
    with pytest.raises(AttributeError):
        del link.path
    assert link.path == "u/1"
    assert link.local == {"a": 1}


def test_link_local_is_a_fresh_dict_on_every_access():
    link = brindle.Link("u/1", {"a": [1, 2], "b": {"c": "d"}})
    first = link.local
    second = link.local
    assert first == second == {"a": [1, 2], "b": {"c": "d"}}
    assert first is not second
    assert first["a"] is not second["a"]
    first["a"].append(3)
    first["b"]["c"] = "changed"
    first["new"] = 1
    assert link.local == {"a": [1, 2], "b": {"c": "d"}}


def test_link_local_copies_the_given_dict():
    given = {"a": [1]}
    link = brindle.Link("u/1", given)
    given["a"].append(2)
    given["b"] = 2
    assert link.local == {"a": [1]}


def test_link_compares_and_hashes_by_identity():
    a = brindle.Link("u/1")
    b = brindle.Link("u/1")
    assert a != b
    assert a == a
    assert hash(a) == hash(a)
    assert len({a, b}) == 2


def test_link_local_keeps_insertion_order():
    keys = ["zeta", "alpha", "mid", "b", "a"]
    link = brindle.Link("u/1", {k: i for i, k in enumerate(keys)})
    assert list(link.local) == keys


@pytest.mark.parametrize(
    "name, rendered",
    [
        ("plain", "plain"),
        ('dou"ble', 'dou\\"ble'),
        ("back\\slash", "back\\\\slash"),
        ("single'quote", "single'quote"),
        ("new\nline", "new\\nline"),
        ("tab\there", "tab\\there"),
    ],
)
def test_database_repr_quotes_the_path(tmp_path, name, rendered):
    path = str(tmp_path / name)
    db = brindle.open(path)
    assert repr(db) == 'Database("%s")' % (str(tmp_path) + os.sep + rendered)
    assert os.path.isdir(path)


def test_database_repr_keeps_the_path_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = brindle.open("rel/./dir/")
    assert repr(db) == 'Database("rel/./dir/")'
    assert os.path.isdir(tmp_path / "rel" / "dir")


def test_reimport_from_main_interpreter_returns_same_module(run_python):
    done = run_python(
        """
        import sys
        import brindle._brindle as first
        del sys.modules["brindle._brindle"]
        import brindle._brindle as second
        assert second is first, (second, first)
        assert second.Link is first.Link
        print("ok")
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


def test_subinterpreter_import_is_refused(run_python):
    pytest.importorskip("_xxsubinterpreters")
    done = run_python(
        """
        import tempfile
        import _xxsubinterpreters as interpreters
        import brindle._brindle
        i = interpreters.create()
        try:
            interpreters.run_string(i, "import brindle._brindle")
        except Exception as e:
            print(type(e).__name__)
            print(e)
        else:
            print("imported")
        interpreters.destroy(i)
        # the main interpreter keeps working
        db = brindle._brindle.open(tempfile.mkdtemp())
        db.set("c", "k", 1)
        print(db.get("c", "k"))
        """
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] != "imported"
    assert "ImportError" in lines[1]
    assert "does not support subinterpreters" in lines[1]
    assert lines[-1] == "1"
