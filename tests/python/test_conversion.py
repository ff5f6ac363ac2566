"""Conversion of Python objects to stored values and back."""

import datetime
import enum
import math
import struct

import pytest

import brindle
from brindle import TOMBSTONE, Link, Tombstone
from values import shape

MAX_NESTING = 256
TOO_DEEP = "value is nested too deeply (more than 256 levels of lists, dicts and links)"


class Color(enum.IntEnum):
    RED = 1
    BIG = 2**62


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


class Outer:
    class Inner:
        pass


def u32(n):
    return struct.pack("<I", n)


def enc_text(text):
    data = text.encode()
    return u32(len(data)) + data


def nest_list(n, inner=0):
    value = [inner]
    for _ in range(n - 1):
        value = [value]
    return value


def nest_dict(n, inner=0):
    value = {"k": inner}
    for _ in range(n - 1):
        value = {"k": value}
    return value


# (written, expected when read back)
ROUND_TRIPS = [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (1, 1),
    (-5, -5),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),
    (Color.RED, 1),
    (Color.BIG, 2**62),
    (MyInt(7), 7),
    (1.5, 1.5),
    (-0.0, -0.0),
    (float("inf"), float("inf")),
    (float("-inf"), float("-inf")),
    (5e-324, 5e-324),
    (MyFloat(2.25), 2.25),
    ("", ""),
    ("text", "text"),
    ("caf\u00e9 \u65e5\u672c \U0001f600", "caf\u00e9 \u65e5\u672c \U0001f600"),
    ("nul\0inside", "nul\0inside"),
    (MyStr("sub"), "sub"),
    (b"", b""),
    (b"\x00\xff\x80", b"\x00\xff\x80"),
    (MyBytes(b"exact\x00bytes"), b"exact\x00bytes"),
    ([], []),
    ([1, "a", None, True, 2.5, b"b"], [1, "a", None, True, 2.5, b"b"]),
    (MyList([1, MyList([2])]), [1, [2]]),
    ({}, {}),
    ({"b": 1, "a": 2, "c": {"z": 0, "y": [1]}}, {"b": 1, "a": 2, "c": {"z": 0, "y": [1]}}),
    (MyDict(x=MyDict(y=1)), {"x": {"y": 1}}),
    ({"": "empty key", "k/with/slash": 1}, {"": "empty key", "k/with/slash": 1}),
    (Link("u/1"), Link("u/1")),
    (Link("u/1", {"note": "hi", "n": [Link("t/red")]}), Link("u/1", {"note": "hi", "n": [Link("t/red")]})),
    ([TOMBSTONE, {"t": TOMBSTONE}], [TOMBSTONE, {"t": TOMBSTONE}]),
    ({"m": [{"l": Link("a/b", {"x": None})}]}, {"m": [{"l": Link("a/b", {"x": None})}]}),
]


@pytest.mark.parametrize("written, expected", ROUND_TRIPS)
def test_round_trip(db_path, written, expected):
    db = brindle.open(db_path)
    db.set("c", "k", written)
    assert shape(db.get("c", "k")) == shape(expected)
    # an empty path gives the record itself, except that a link is followed
    # (here to a record that does not exist)
    assert shape(db.resolve("c", "k", [])) == shape(None if isinstance(written, Link) else expected)
    del db
    # decoded from the data file
    db = brindle.open(db_path)
    assert shape(db.get("c", "k")) == shape(expected)


def test_bool_is_not_converted_as_int(db):
    db.set("c", "t", True)
    db.set("c", "one", 1)
    db.set("c", "zero", 0)
    assert db.get("c", "t") is True
    assert type(db.get("c", "one")) is int
    assert type(db.get("c", "zero")) is int
    assert db.get("c", "zero") == 0


def test_subclass_instances_come_back_as_plain_types(db):
    db.set("c", "k", [Color.RED, MyInt(3), MyFloat(0.5), MyStr("s"), MyBytes(b"b"), MyList(), MyDict()])
    got = db.get("c", "k")
    assert [type(v) for v in got] == [int, int, float, str, bytes, list, dict]


def test_nan_keeps_its_bits(db_path):
    payload_nan = struct.unpack("<d", bytes.fromhex("010000000000f87f"))[0]
    db = brindle.open(db_path)
    db.set("c", "k", [float("nan"), payload_nan])
    got = db.get("c", "k")
    assert all(math.isnan(v) for v in got)
    assert struct.pack("<d", got[1]) == bytes.fromhex("010000000000f87f")
    del db
    got = brindle.open(db_path).get("c", "k")
    assert struct.pack("<d", got[1]) == bytes.fromhex("010000000000f87f")


@pytest.mark.parametrize("value", [2**63, 2**64, -(2**63) - 1, [1, 2**70], {"a": -(2**100)}])
def test_integers_outside_64_bits_overflow(db, value):
    db.set("c", "k", "before")
    with pytest.raises(OverflowError):
        db.set("c", "k", value)
    assert db.get("c", "k") == "before"


@pytest.mark.parametrize(
    "value, type_name",
    [
        ((), "tuple"),
        ((1, 2), "tuple"),
        ({1}, "set"),
        (frozenset(), "frozenset"),
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (datetime.date(2020, 1, 2), "date"),
        (datetime.time(1, 2), "time"),
        (datetime.datetime(2020, 1, 2, 3, 4), "datetime"),
        (object(), "object"),
        (1j, "complex"),
        (range(3), "range"),
        (Outer.Inner(), "Inner"),
        (Color, "EnumType" if hasattr(enum, "EnumType") else "EnumMeta"),
        (iter([]), "list_iterator"),
    ],
)
def test_unsupported_types(db, value, type_name):
    db.set("c", "k", "before")
    message = "cannot convert %s to a Brindle value" % type_name
    for wrapped in (value, [1, value], {"a": 1, "b": value}, [[value]]):
        with pytest.raises(TypeError) as info:
            db.set("c", "k", wrapped)
        assert info.value.args == (message,)
    with pytest.raises(TypeError) as info:
        Link("u/1", {"x": value})
    assert info.value.args == (message,)
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


@pytest.mark.parametrize(
    "value, message",
    [
        ({1: "v"}, "'int' object cannot be converted to 'PyString'"),
        ({"a": 1, (1, 2): "v"}, "'tuple' object cannot be converted to 'PyString'"),
        ({b"k": "v"}, "'bytes' object cannot be converted to 'PyString'"),
        ({None: "v"}, "'NoneType' object cannot be converted to 'PyString'"),
        ({Outer.Inner: 1}, "'type' object cannot be converted to 'PyString'"),
        ([{"ok": {2: 0}}], "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_dict_keys_must_be_text(db, value, message):
    db.set("c", "k", "before")
    with pytest.raises(TypeError) as info:
        db.set("c", "k", value)
    assert info.value.args == (message,)
    assert db.get("c", "k") == "before"


@pytest.mark.parametrize("value", ["\ud800", ["ok", "\udfff"], {"\udc00": 1}, {"k": "a\ud800b"}])
def test_lone_surrogates_are_refused(db, value):
    db.set("c", "k", "before")
    with pytest.raises(UnicodeEncodeError):
        db.set("c", "k", value)
    assert db.get("c", "k") == "before"


def test_nested_failure_writes_nothing(db_path):
    db = brindle.open(db_path)
    db.set("people", "alice", {"name": "Alice"})
    db.set("c", "k", {"old": Link("people/alice")})
    with pytest.raises(TypeError) as info:
        db.set("c", "k", [Link("people/bob"), (1, 2)])
    assert info.value.args == ("cannot convert tuple to a Brindle value",)
    with pytest.raises(TypeError):
        db.set("c", "new", [1, (1,)])
    assert db.get("c", "k")["old"].path == "people/alice"
    assert db.backlinks("people", "alice") == [{"source_collection": "c", "source_key": "k", "source_path": "old"}]
    assert db.backlinks("people", "bob") == []
    with pytest.raises(KeyError):
        db.get("c", "new")
    del db
    db = brindle.open(db_path)
    assert db.get("c", "k")["old"].path == "people/alice"
    with pytest.raises(KeyError):
        db.get("c", "new")


def test_dict_key_order_is_kept(db_path):
    keys = ["zebra", "apple", "mango", "b", "a", "", "10", "9"]
    value = {k: i for i, k in enumerate(keys)}
    value["nested"] = {k: i for i, k in enumerate(reversed(keys))}
    db = brindle.open(db_path)
    db.set("c", "k", value)
    assert list(db.get("c", "k")) == keys + ["nested"]
    assert list(db.get("c", "k")["nested"]) == list(reversed(keys))
    assert list(db.resolve("c", "k", ["nested"])) == list(reversed(keys))
    db.set("c", "l", Link("u/1", value))
    assert list(db.get("c", "l").local) == keys + ["nested"]
    del db
    db = brindle.open(db_path)
    assert list(db.get("c", "k")) == keys + ["nested"]
    assert list(db.get("c", "k")["nested"]) == list(reversed(keys))
    assert list(db.get("c", "l").local) == keys + ["nested"]


def test_reads_return_new_objects(db):
    db.set("c", "k", {"a": [1, {"b": 2}], "l": Link("u/1", {"x": [1]})})
    first = db.get("c", "k")
    second = db.get("c", "k")
    assert first is not second
    assert first["a"] is not second["a"]
    assert first["l"] is not second["l"]
    first["a"].append(3)
    assert db.get("c", "k")["a"] == [1, {"b": 2}]


# --- nesting bound --------------------------------------------------------


def link_nest(n):
    """n containers: a link whose local map holds n - 1 nested lists."""
    if n == 1:
        return Link("u/1")
    return Link("u/1", {"a": nest_list(n - 1)})


@pytest.mark.parametrize(
    "make",
    [
        nest_list,
        nest_dict,
        link_nest,
        lambda n: nest_list(n - 1, Link("u/1")),
        lambda n: nest_dict(n - 2, [Link("u/1", {})]),
        lambda n: {"a": nest_list(n - 1)},
    ],
    ids=["lists", "dicts", "link-local", "link-in-lists", "mixed", "dict-of-lists"],
)
def test_nesting_limit(db_path, make):
    db = brindle.open(db_path)
    deepest = make(MAX_NESTING)
    db.set("c", "deep", deepest)
    assert shape(db.get("c", "deep")) == shape(deepest)
    db.set("c", "k", "before")
    with pytest.raises(ValueError) as info:
        db.set("c", "k", make(MAX_NESTING + 1))
    assert info.value.args == (TOO_DEEP,)
    with pytest.raises(ValueError):
        db.set_many([("c", "k", make(MAX_NESTING + 1))])
    assert db.get("c", "k") == "before"
    del db
    db = brindle.open(db_path)
    assert shape(db.get("c", "deep")) == shape(deepest)
    assert db.get("c", "k") == "before"


def test_self_containing_values_are_refused(db):
    looped_list = []
    looped_list.append(looped_list)
    looped_dict = {}
    looped_dict["self"] = looped_dict
    for value in (looped_list, looped_dict, [1, looped_dict]):
        with pytest.raises(ValueError) as info:
            db.set("c", "k", value)
        assert info.value.args == (TOO_DEEP,)
    with pytest.raises(ValueError) as info:
        Link("u/1", looped_dict)
    assert info.value.args == (TOO_DEEP,)
    with pytest.raises(KeyError):
        db.get("c", "k")


def test_link_local_nesting_is_checked_by_the_constructor(db):
    with pytest.raises(ValueError) as info:
        Link("u/1", {"a": nest_list(MAX_NESTING)})
    assert info.value.args == (TOO_DEEP,)
    ok = Link("u/1", {"a": nest_list(MAX_NESTING - 1)})
    # the link is fine alone but not one level further down
    db.set("c", "k", ok)
    with pytest.raises(ValueError) as info:
        db.set("c", "k", [ok])
    assert info.value.args == (TOO_DEEP,)
    with pytest.raises(ValueError):
        Link("u/2", {"inner": ok})


@pytest.mark.parametrize("make", [nest_list, nest_dict], ids=["lists", "dicts"])
def test_absurd_nesting_is_refused_cleanly(db, make):
    deep = make(100000)
    with pytest.raises((RecursionError, ValueError)):
        db.set("c", "k", deep)
    with pytest.raises((RecursionError, ValueError)):
        db.set_many([("c", "k", deep)])
    with pytest.raises((RecursionError, ValueError)):
        Link("u/1", {"a": deep})
    with pytest.raises(KeyError):
        db.get("c", "k")
    db.set("c", "k", 1)
    assert db.get("c", "k") == 1


# --- values that only come from stored data -------------------------------


@pytest.mark.parametrize(
    "encoded, expected",
    [
        (b"\x09" + struct.pack("<I", 0), 0),
        (b"\x09" + struct.pack("<I", 19000), 19000),
        (b"\x09" + struct.pack("<I", 2**32 - 1), 2**32 - 1),
        (b"\x0a" + struct.pack("<I", 86399), 86399),
        (b"\x0a" + struct.pack("<I", 2**31), 2**31),
        (b"\x0b" + struct.pack("<Q", 86400), 86400),
        (b"\x0b" + struct.pack("<Q", 2**63), 2**63),
        (b"\x0b" + struct.pack("<Q", 2**64 - 1), 2**64 - 1),
        (b"\x07" + u32(3) + b"\x09" + u32(1) + b"\x0a" + u32(2) + b"\x0b" + struct.pack("<Q", 3), [1, 2, 3]),
        (b"\x08" + u32(2) + enc_text("z") + b"\x09" + u32(5) + enc_text("a") + b"\x00", {"z": 5, "a": None}),
        (b"\x01\x02", True),
    ],
)
def test_stored_numbers_read_back_as_int(db_path, append_raw, encoded, expected):
    append_raw("c", "k", encoded)
    db = brindle.open(db_path)
    got = db.get("c", "k")
    assert shape(got) == shape(expected)
    assert shape(db.resolve("c", "k", [])) == shape(expected)


def test_stored_date_inside_a_map_resolves(db_path, append_raw):
    append_raw("c", "k", b"\x08" + u32(1) + enc_text("when") + b"\x0b" + struct.pack("<Q", 2**64 - 1))
    db = brindle.open(db_path)
    assert db.resolve("c", "k", ["when"]) == 2**64 - 1


def test_stored_tombstone_reads_back_as_new_instance(db_path, append_raw):
    append_raw("c", "k", b"\x07" + u32(2) + b"\x0c" + b"\x08" + u32(1) + enc_text("t") + b"\x0c")
    db = brindle.open(db_path)
    first = db.get("c", "k")
    second = db.get("c", "k")
    assert isinstance(first[0], Tombstone)
    assert isinstance(first[1]["t"], Tombstone)
    assert first[0] is not TOMBSTONE
    assert first[0] is not second[0]
    assert not first[0]
    assert repr(first[0]) == "TOMBSTONE"
    # the same from a tombstone written through the module
    db.set("c", "w", [TOMBSTONE])
    got = db.get("c", "w")[0]
    assert isinstance(got, Tombstone) and got is not TOMBSTONE


def test_any_tombstone_instance_deletes(db):
    db.set("c", "k", 1)
    db.set("c", "t", [TOMBSTONE])
    other = db.get("c", "t")[0]
    db.set("c", "k", other)
    with pytest.raises(KeyError) as info:
        db.get("c", "k")
    assert info.value.args == ("key not found",)
    db.set("c", "k", 2)
    db.set("c", "k", TOMBSTONE)
    with pytest.raises(KeyError):
        db.get("c", "k")


def test_stored_link_reads_back_with_local_in_order(db_path, append_raw):
    local = u32(2) + enc_text("b") + b"\x02" + struct.pack("<q", -1) + enc_text("a") + b"\x04" + enc_text("x")
    append_raw("c", "k", b"\x05" + enc_text("people/alice") + local)
    db = brindle.open(db_path)
    link = db.get("c", "k")
    assert isinstance(link, Link)
    assert link.path == "people/alice"
    assert list(link.local.items()) == [("b", -1), ("a", "x")]
    assert repr(link) == 'Link("people/alice", local={...})'


def test_stored_value_nested_too_deeply(db_path, append_raw):
    def arrays(n):
        return (b"\x07" + u32(1)) * n + b"\x00"

    append_raw("c", "ok", arrays(MAX_NESTING))
    append_raw("c", "deep", arrays(MAX_NESTING + 1))
    append_raw("c", "absurd", arrays(50_000))
    db = brindle.open(db_path)
    assert shape(db.get("c", "ok")) == shape(nest_list(MAX_NESTING, None))
    for key in ("deep", "absurd"):
        with pytest.raises(KeyError) as info:
            db.get("c", key)
        assert info.value.args == ("codec: value is nested too deeply",)
        with pytest.raises(RuntimeError) as info:
            db.resolve("c", key, [])
        assert info.value.args == ("storage: codec: value is nested too deeply",)


def test_large_values_and_unusual_keys(db_path):
    blob = bytes(range(256)) * 400
    text = "\u00e9" * 70_000
    db = brindle.open(db_path)
    db.set("c", "a\0b", blob)
    db.set("c", "\U0001f600", {"\0": text, "": [blob]})
    db.begin()
    db.set_many([("c", "k%d" % i, "v" * 40) for i in range(3000)])
    db.commit()
    for reopened in (False, True):
        if reopened:
            del db
            db = brindle.open(db_path)
        assert db.get("c", "a\0b") == blob
        assert db.get("c", "\U0001f600") == {"\0": text, "": [blob]}
        assert db.get("c", "k2999") == "v" * 40
    db.set("d", "x", Link("c/a\0b"))
    assert db.backlinks("c", "a\0b") == [{"source_collection": "d", "source_key": "x", "source_path": ""}]
    assert db.resolve("d", "x", []) == blob
