"""The module's surface: names, classes, signatures, reprs, immutability, and
importing it again or from a subinterpreter."""

import os
import shutil
import subprocess
import sys
import sysconfig
import weakref

import pytest

import brindle
from brindle import _brindle
from values import raises

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


def full_name(cls):
    """The type's name as the interpreter shows it in its own messages."""
    return repr(cls)[len("<class '") : -len("'>")]


def test_module_names_and_signatures():
    assert _brindle.__all__ == ["Tombstone", "Link", "Database", "open", "TOMBSTONE"]
    # The package re-exports the store's names; its own open recovers first.
    assert brindle.__all__ == _brindle.__all__ + ["RecoveryWarning"]
    assert all(getattr(brindle, name) is getattr(_brindle, name) for name in _brindle.__all__ if name != "open")
    # What the package needs for itself stays out of its public names.
    public = {name for name, value in vars(brindle).items() if not name.startswith("_")}
    assert public - {"tools", "cli"} == set(brindle.__all__)  # its submodules, once imported
    assert (_brindle.__name__, _brindle.__doc__) == ("brindle._brindle", "")
    assert type(_brindle.TOMBSTONE) is _brindle.Tombstone
    assert (_brindle.open.__module__, _brindle.open.__name__) == ("brindle._brindle", "open")
    assert (_brindle.open.__text_signature__, _brindle.open.__doc__) == ("(path)", None)
    assert (brindle.Link.__text_signature__, brindle.Link.__doc__) == ("(path, local=None)", "")
    assert brindle.Database.__doc__ is None and brindle.Tombstone.__doc__ is None
    own = {name for name, value in vars(brindle.Database).items() if callable(value) and not name.startswith("__")}
    assert own == set(DATABASE_METHODS)
    for name, signature in DATABASE_METHODS.items():
        method = getattr(brindle.Database, name)
        assert (method.__text_signature__, method.__doc__) == (signature, None), name


# Regression guard: classes named without their module warn at import, which
# fails an import under warnings-as-errors.
def test_the_package_imports_with_warnings_as_errors(run_python):
    assert run_python("import warnings; warnings.simplefilter('error'); import brindle", ok=True).stderr == ""


@pytest.mark.parametrize(
    "cls, make",
    [(brindle.Database, _brindle.open), (brindle.Link, brindle.Link), (brindle.Tombstone, lambda _: brindle.TOMBSTONE)],
)
def test_class_properties(db_path, cls, make):
    name = cls.__name__
    assert (cls.__qualname__, cls.__module__, full_name(cls)) == (name, "brindle._brindle", "brindle._brindle." + name)
    raises(TypeError, "type '%s' is not an acceptable base type" % full_name(cls), type, "Sub", (cls,), {})
    obj = make(db_path)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    raises(TypeError, "cannot create weak reference to '%s' object" % full_name(cls), weakref.ref, obj)
    # Regression: the classes could be changed, and a __new__ put on Database
    # made objects without a store behind them (a crash on first use).
    with pytest.raises(TypeError, match="immutable type"):
        cls.__new__ = lambda c: object.__new__(c)


@pytest.mark.parametrize("cls", [brindle.Database, brindle.Tombstone])
def test_classes_without_constructor(cls):
    for args, kwargs in [((), {}), (("x",), {"key": 1})]:
        raises(TypeError, "No constructor defined for %s" % cls.__name__, lambda: cls(*args, **kwargs))


def test_tombstone_repr_and_truth():
    assert repr(brindle.TOMBSTONE) == "TOMBSTONE" and bool(brindle.TOMBSTONE) is False


@pytest.mark.parametrize(
    "path, local, expected",
    [
        ("u/1", {}, 'Link("u/1")'),
        ("u/1", {"a": {"b": [1]}}, 'Link("u/1", local={...})'),
        # quoted as the core quotes text
        ('q"\tcaf\u00e9\x07', None, 'Link("q\\"\\tcaf\u00e9\\u{7}")'),
    ],
)
def test_link_repr(path, local, expected):
    link = brindle.Link(path, local)
    assert (repr(link), link.path) == (expected, path)


def test_link_is_immutable_and_hands_out_copies():
    given = {"b": {"c": "d"}, "a": [1, 2]}
    link = brindle.Link("u/1", given)
    given["a"].append(3)
    given["new"] = 1
    for attribute in ("path", "local"):
        with pytest.raises(AttributeError):
            setattr(link, attribute, {})
    first = link.local
    assert list(first.items()) == [("b", {"c": "d"}), ("a", [1, 2])]
    first["a"].append(3)
    first["b"]["c"] = "changed"
    assert link.local == {"a": [1, 2], "b": {"c": "d"}}
    # compared and hashed by identity
    other = brindle.Link("u/1", {"a": [1, 2], "b": {"c": "d"}})
    assert link == link and link != other and len({link, other}) == 2


def test_database_repr(tmp_path, monkeypatch):
    db = _brindle.open(str(tmp_path / 'q"b\\n\nl'))
    assert repr(db) == 'Database("%s/q\\"b\\\\n\\nl")' % tmp_path
    # the path is shown as given, not normalised
    monkeypatch.chdir(tmp_path)
    assert repr(_brindle.open("rel/./dir/")) == 'Database("rel/./dir/")'
    assert os.path.isdir(tmp_path / "rel" / "dir")


# Regression: a relative path was joined to the working directory at the
# open, so one that opened from a deep working directory failed there once
# the joined path passed the length limit of a path.
def test_a_relative_path_opens_from_a_working_directory_too_deep_to_join_it_to(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    part = "d" * 200
    while len(os.getcwd()) < os.pathconf("/", "PC_PATH_MAX") - 1200:
        os.mkdir(part)
        os.chdir(part)
    relative = "/".join([part] * 6)
    _brindle.open(relative).set("c", "k", 1)
    assert _brindle.open(relative).get("c", "k") == 1


def test_reimport_and_subinterpreter_import(run_python):
    done = run_python("""
        import sys
        import tempfile
        import brindle._brindle as first
        del sys.modules["brindle._brindle"]
        import brindle._brindle as second
        print(second is first, second.Link is first.Link)
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("no subinterpreters")
        else:
            i = interpreters.create()
            try:
                interpreters.run_string(i, "import brindle._brindle")
            except Exception as e:
                print(e)
            else:
                print("imported")
            interpreters.destroy(i)
        # the main interpreter keeps working
        db = first.open(tempfile.mkdtemp())
        db.set("c", "k", 1)
        print(db.get("c", "k"))
        """, ok=True)
    same, refusal, value = done.stdout.splitlines()
    assert (same, value) == ("True True", "1")
    if refusal == "no subinterpreters":
        pytest.skip("this interpreter offers no subinterpreters")
    assert "ImportError" in refusal and "does not support subinterpreters" in refusal


EMBEDDING_PROGRAM = r"""
#include <Python.h>
int main(int argc, char** argv) {
  for (int round = 0; round < 2; ++round) {
    Py_Initialize();
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals, "so", PyUnicode_FromString(argv[1]));
    PyDict_SetItemString(globals, "root", PyUnicode_FromString(argv[2]));
    PyObject* done = PyRun_String(
        "import importlib.machinery, importlib.util\n"
        "loader = importlib.machinery.ExtensionFileLoader('brindle._brindle', so)\n"
        "found = importlib.util.spec_from_file_location('brindle._brindle', so, loader=loader)\n"
        "module = importlib.util.module_from_spec(found)\n"
        "db = module.open(root)\n"
        "db.set('c', 'k', [1, module.Link('c/k')])\n"
        "print('round', db.get('c', 'k'), flush=True)\n",
        Py_file_input, globals, globals);
    if (done == NULL) PyErr_Print();
    Py_XDECREF(done);
    Py_DECREF(globals);
    Py_Finalize();
  }
  return 0;
}
"""


# Regression: a program that embeds Python and initialises it again after
# finalising it got back the module of the first life, emptied.
def test_the_module_works_again_after_the_interpreter_is_initialised_again(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    if not compiler or not sysconfig.get_config_var("Py_ENABLE_SHARED") or not library.endswith(".so"):
        pytest.skip("needs a C compiler and a shared libpython")
    libdir = sysconfig.get_config_var("LIBDIR")
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBEDDING_PROGRAM)
    subprocess.run(
        [compiler, str(source), "-o", str(program), "-I" + sysconfig.get_paths()["include"], "-L" + libdir,
         "-l" + library[len("lib"):-len(".so")], "-Wl,-rpath," + libdir],
        check=True,
    )
    done = subprocess.run([str(program), _brindle.__file__, str(tmp_path / "db")], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHOME=sys.base_prefix), timeout=60)
    assert done.stdout.splitlines() == ["round [1, Link(\"c/k\")]"] * 2, done.stdout + done.stderr
