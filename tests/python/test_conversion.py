"""Conversion of Python objects to stored values and back."""

import copy
import datetime
import enum
import io
import os
import pickle
import struct

import pytest

import brindle
from brindle import _brindle  # the store itself, without the recovery of brindle.open
from brindle import TOMBSTONE, Link, Tombstone
from values import absent, raises, shape, text_bytes, u32

MAX_NESTING = 256
TOO_DEEP = "value is nested too deeply (more than 256 levels of lists, dicts and links)"
NAN_WITH_PAYLOAD = struct.unpack("<d", bytes.fromhex("010000000000f87f"))[0]


class Color(enum.IntEnum):
    RED = 1
    BIG = 2**62


MyInt = type("MyInt", (int,), {})
MyFloat = type("MyFloat", (float,), {})
MyStr = type("MyStr", (str,), {})
MyBytes = type("MyBytes", (bytes,), {})
MyList = type("MyList", (list,), {})
MyDict = type("MyDict", (dict,), {})


class Outer:
    class Inner:
        pass


def nest_list(n, inner=0):
    for _ in range(n):
        inner = [inner]
    return inner


def nest_dict(n, inner=0):
    for _ in range(n):
        inner = {"k": inner}
    return inner


# (written, expected when read back); shape() also compares the types and the
# key order, so bool stays bool, subclasses come back as their plain base type
# and dicts (also in a link's local map) keep their order
ROUND_TRIPS = [
    (None, None),
    ([True, False, 0, -5], [True, False, 0, -5]),
    ([2**63 - 1, -(2**63)], [2**63 - 1, -(2**63)]),
    ([Color.RED, Color.BIG, MyInt(7)], [1, 2**62, 7]),
    ([1.5, -0.0, float("-inf"), NAN_WITH_PAYLOAD, MyFloat(2.25)], [1.5, -0.0, float("-inf"), NAN_WITH_PAYLOAD, 2.25]),
    (["", "caf\u00e9 \U0001f600", "nul\0inside", MyStr("sub")], ["", "caf\u00e9 \U0001f600", "nul\0inside", "sub"]),
    ([b"", b"\x00\xff\x80", MyBytes(b"exact\x00bytes")], [b"", b"\x00\xff\x80", b"exact\x00bytes"]),
    (MyList([[], MyList([2])]), [[], [2]]),
    ({"b": 1, "a": 2, "c": {"z": 0, "y": [1]}, "": "\0"}, {"b": 1, "a": 2, "c": {"z": 0, "y": [1]}, "": "\0"}),
    (MyDict(x=MyDict(y=1)), {"x": {"y": 1}}),
    (Link("u/1"), Link("u/1")),
    (Link("u/1", {"z": {"y": 1, "x": 2}, "n": [Link("t/red", {"x": None})]}),
     Link("u/1", {"z": {"y": 1, "x": 2}, "n": [Link("t/red", {"x": None})]})),
    ([TOMBSTONE, {"t": TOMBSTONE}], [TOMBSTONE, {"t": TOMBSTONE}]),
]


@pytest.mark.parametrize("written, expected", ROUND_TRIPS)
def test_round_trip(db_path, written, expected):
    db = _brindle.open(db_path)
    db.set("c", "k", written)
    assert shape(db.get("c", "k")) == shape(expected)
    # an empty path gives the record itself, except that a link is followed
    # (here to a record that does not exist)
    assert shape(db.resolve("c", "k", [])) == shape(None if isinstance(written, Link) else expected)
    del db
    # decoded from the data file
    assert shape(_brindle.open(db_path).get("c", "k")) == shape(expected)


class Twin(str):
    """A key that equals only itself, so a dict can hold its text twice."""

    __hash__ = object.__hash__
    __eq__ = object.__eq__


def twins(*entries):
    return {Twin(key): value for key, value in entries}


def stored_values(path):
    """The encoded values of the records in a data file, in file order."""
    data, pos, values = open(path, "rb").read(), 0, []
    while pos < len(data):
        pos += 4 + struct.unpack_from("<I", data, pos)[0]
        size = struct.unpack_from("<I", data, pos)[0]
        values.append(data[pos + 4:pos + 4 + size])
        pos += 4 + size
    return values


def test_records_holding_links_and_tombstones_copy_and_pickle(db):
    db.set("c", "k", {"to": Link("c/other", {"role": Link("p/x")}), "gone": [TOMBSTONE]})
    record = db.get("c", "k")
    for copied in (copy.deepcopy(record), copy.copy(record), pickle.loads(pickle.dumps(record))):
        assert isinstance(copied["gone"][0], Tombstone)
        assert copied["to"].path == "c/other"
        assert copied["to"].local["role"].path == "p/x"
        db.set("c", "again", copied)
        assert db.backlinks("p", "x") == [
            {"source_collection": "c", "source_key": key, "source_path": "to/role"} for key in ("k", "again")
        ]


# Regression: a link whose local fields hold a date or time past what a
# Python int converts back to (only load can store one) pickled, and then
# failed to unpickle in the process that received it.
def test_a_link_that_cannot_be_rebuilt_fails_where_it_is_pickled(db_path):
    line = '{"collection":"c","key":"k","value":{"$link":"a/b","local":{"t":{"$datetime":18446744073709551615}}}}'
    brindle.tools.load(db_path, io.StringIO(line))
    link = brindle.open(db_path).get("c", "k")
    assert link.local == {"t": 2**64 - 1}
    for send in (pickle.dumps, copy.deepcopy):
        with pytest.raises(OverflowError):
            send(link)


def test_written_objects_encode_as_their_values_do(db_path):
    # A dict is encoded as it is walked; a link's local map is converted to
    # a value first and encoded from that. The same contents must give the
    # same bytes and backlinks either way; a repeated key text keeps its
    # first place and its last value.
    extra = [
        {"": Link("t/1", {"": Link("t/2")}), "ключ \U0001f511": [[], {}, Link("t/3/more")], "$": Link("t/$4")},
        twins(("a", Link("t/1")), ("b", [Link("t/2")]), ("a", {"c": Link("t/3")}), ("b", 1.5)),
        twins(*[("k%d" % (i % 10), [Link("t/%d" % i)] * (i % 3)) for i in range(14)]),
    ]
    db = _brindle.open(db_path)
    for i, value in enumerate([written for written, _ in ROUND_TRIPS] + extra):
        db.set("direct", str(i), {"v": value})
        db.set("local", str(i), Link("", {"v": value}))
    direct = stored_values(os.path.join(db_path, "direct.brd"))
    local = stored_values(os.path.join(db_path, "local.brd"))
    assert [v[:5] for v in local] == [b"\x05" + u32(0)] * len(direct)
    assert [b"\x08" + v[5:] for v in local] == direct
    backlinks = {"direct": [], "local": []}
    for collection, key in [("u", "1"), ("t", "red")] + [("t", str(i)) for i in range(14)]:
        for entry in db.backlinks(collection, key):
            backlinks[entry["source_collection"]].append((key, entry["source_key"], entry["source_path"]))
    assert backlinks["direct"] == backlinks["local"] != []


def not_text(type_name):
    return "'%s' object cannot be converted to 'PyString'" % type_name


def unsupported(type_name):
    return "cannot convert %s to a Brindle value" % type_name


# (value, exception type, exact message or None for the interpreter's own)
REFUSED = [
    ((), TypeError, unsupported("tuple")),
    (bytearray(b"x"), TypeError, unsupported("bytearray")),
    (datetime.date(2020, 1, 2), TypeError, unsupported("date")),
    (Outer.Inner(), TypeError, unsupported("Inner")),
    (Color, TypeError, unsupported(type(Color).__name__)),
    ({"a": 1, b"k": "v"}, TypeError, not_text("bytes")),
    ({Outer.Inner: 1}, TypeError, not_text("type")),
    (2**63, OverflowError, None),
    (-(2**63) - 1, OverflowError, None),
    ({"\udc00": 1}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("value, exc_type, message", REFUSED)
def test_refused_values(db, value, exc_type, message):
    db.set("c", "k", "before")
    calls = [lambda v=v: db.set("c", "k", v) for v in (value, [1, value], {"a": 1, "b": value}, [[value]])]
    calls.append(lambda: db.set_many([("c", "k", value)]))
    calls.append(lambda: Link("u/1", {"x": value}))
    for call in calls:
        raises(exc_type, message, call)
    assert db.get("c", "k") == "before"


def test_failing_type_name_is_raised_instead(db):
    class Meta(type):
        @property
        def __name__(cls):
            raise LookupError("no name")

    class Odd(metaclass=Meta):
        pass

    with pytest.raises(LookupError, match="^no name$"):
        db.set("c", "k", Odd())


def test_nested_failure_writes_nothing(db):
    db.set("c", "k", {"old": Link("people/alice")})
    for key, value in (("k", [Link("people/bob"), (1, 2)]), ("new", [1, (1,)])):
        raises(TypeError, "cannot convert tuple to a Brindle value", db.set, "c", key, value)
    assert db.get("c", "k")["old"].path == "people/alice"
    assert db.backlinks("people", "alice") == [{"source_collection": "c", "source_key": "k", "source_path": "old"}]
    assert db.backlinks("people", "bob") == [] and absent(db, "c", "new")


# --- nesting bound --------------------------------------------------------


def link_nest(n):
    """n containers: a link whose local map holds n - 1 nested lists."""
    return Link("u/1") if n == 1 else Link("u/1", {"a": nest_list(n - 1)})


@pytest.mark.parametrize(
    "make",
    [nest_list, nest_dict, link_nest, lambda n: nest_list(n - 1, Link("u/1")),
     lambda n: Link("v/1", {"l": link_nest(n - 1)})],
    ids=["lists", "dicts", "link-local", "link-in-lists", "link-in-link-local"],
)
def test_nesting_limit(db, make):
    deepest = make(MAX_NESTING)
    db.set("c", "deep", deepest)
    assert shape(db.get("c", "deep")) == shape(deepest)
    db.set("c", "k", "before")
    for call in (lambda v: db.set("c", "k", v), lambda v: db.set_many([("c", "k", v)])):
        raises(ValueError, TOO_DEEP, lambda: call(make(MAX_NESTING + 1)))  # a too deep link fails as it is made
    assert db.get("c", "k") == "before"


def looped_list(_):
    value = []
    value.append(value)
    return value


def looped_dict(_):
    value = {}
    value["self"] = value
    return value


@pytest.mark.parametrize("make", [nest_list, nest_dict, looped_list, looped_dict])
def test_absurd_and_looped_nesting_is_refused_cleanly(db, make):
    deep = make(100000)
    for call in (
        lambda: db.set("c", "k", deep),
        lambda: db.set("c", "k", [1, deep]),
        lambda: db.set_many([("c", "k", deep)]),
        lambda: Link("u/1", {"a": deep}),
    ):
        with pytest.raises((RecursionError, ValueError)):
            call()
    assert absent(db, "c", "k")
    db.set("c", "k", 1)
    assert db.get("c", "k") == 1


# --- values that only come from stored data -------------------------------


def append_raw(db_path, collection, key, encoded_value):
    """Appends one raw record to <collection>.brd: the way to store values
    that no Python object converts to. Open the database afterwards."""
    os.makedirs(db_path, exist_ok=True)
    with open(os.path.join(db_path, collection + ".brd"), "ab") as f:
        f.write(text_bytes(key) + u32(len(encoded_value)) + encoded_value)


def stored(type_byte, layout, number):
    """An encoded Date (9, u32), Time (10, u32) or DateTime (11, u64)."""
    return bytes([type_byte]) + struct.pack(layout, number)


def test_values_only_stored_data_holds(db_path):
    dates = stored(9, "<I", 2**32 - 1) + stored(10, "<I", 86399) + stored(11, "<Q", 2**64 - 1)
    append_raw(db_path, "c", "dates", b"\x08" + u32(2) + text_bytes("z") + b"\x07" + u32(3) + dates + text_bytes("a") + b"\x00")
    append_raw(db_path, "c", "tombs", b"\x07" + u32(2) + b"\x0c" + b"\x08" + u32(1) + text_bytes("t") + b"\x0c")
    append_raw(db_path, "c", "deep", (b"\x07" + u32(1)) * (MAX_NESTING + 1) + b"\x00")
    db = _brindle.open(db_path)
    # dates and times read back as int
    expected = {"z": [2**32 - 1, 86399, 2**64 - 1], "a": None}
    assert shape(db.get("c", "dates")) == shape(db.resolve("c", "dates", [])) == shape(expected)
    # stored tombstones are new, false instances; any instance deletes when written
    first, second = db.get("c", "tombs"), db.get("c", "tombs")
    assert isinstance(first[0], Tombstone) and isinstance(first[1]["t"], Tombstone)
    assert first[0] is not TOMBSTONE and first[0] is not second[0] and not first[0]
    db.set("c", "dates", first[0])
    assert absent(db, "c", "dates")
    # a record that cannot be decoded is a KeyError from get and a
    # RuntimeError from resolve
    raises(KeyError, "codec: value is nested too deeply", db.get, "c", "deep")
    raises(RuntimeError, "storage: codec: value is nested too deeply", db.resolve, "c", "deep", [])


def mapping(*entries):
    return b"\x08" + u32(len(entries)) + b"".join(text_bytes(k) + v for k, v in entries)


@pytest.mark.parametrize(
    "encoded",
    [
        # a later duplicate key replaces the value and keeps the first position
        mapping(("a", b"\x00"), ("b", b"\x01\x01"), ("a", b"\x04" + text_bytes("x"))),
        # keys alike in length and end bytes stay distinct, record after record
        mapping(("axb", b"\x00"), ("ayb", b"\x01\x00"), ("a" * 40, b"\x00")),
        b"\x07" + u32(2) + b"\x05" + text_bytes("p/k") + u32(1) + text_bytes("f") + b"\x06" + text_bytes("\xff") + b"\x0c",
        mapping(("ok", b"\x00")) + b"trailing bytes are ignored",
        b"\x07" + u32(2**32 - 1) + b"\x00",  # a count past the bytes left
        b"\x08" + u32(1) + u32(1) + b"\xff" + b"\x00",  # invalid UTF-8 in a key
        b"\x05" + text_bytes("p/k") + u32(1) + u32(1) + b"\xc0" + b"\x00",  # ... in a link's local key
    ],
)
def test_get_and_resolve_decode_stored_bytes_alike(db_path, encoded):
    # get decodes straight into Python objects, resolve through values: the
    # same bytes must give the same object or the same codec error.
    for key in ("k1", "k2"):
        append_raw(db_path, "c", key, encoded)
    db = brindle.open(db_path)
    try:
        resolved = shape(db.resolve("c", "k1", []))
    except RuntimeError as error:
        for key in ("k1", "k2"):
            raises(KeyError, error.args[0][len("storage: "):], db.get, "c", key)
            assert error.args[0].startswith("storage: ")
    else:
        assert [shape(db.get("c", key)) for key in ("k1", "k2")] == [resolved, resolved]
