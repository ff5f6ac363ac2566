"""Helpers shared by the tests (and by the child programs some of them run):
comparing values read back from the store and building raw stored values."""

import struct

from brindle import Link, Tombstone


def shape(value):
    """A comparable form of a value that keeps types, key order and the exact
    bits of floats (so NaN and -0.0 compare as stored)."""
    if isinstance(value, Link):
        return ("link", value.path, shape(value.local))
    if isinstance(value, Tombstone):
        return ("tombstone",)
    if isinstance(value, dict):
        assert type(value) is dict
        return ("dict", tuple((k, shape(v)) for k, v in value.items()))
    if isinstance(value, list):
        assert type(value) is list
        return ("list", tuple(shape(v) for v in value))
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    return (type(value).__name__, value)


def u32(n):
    return struct.pack("<I", n)


def text_bytes(text):
    data = text.encode("utf-8")
    return u32(len(data)) + data


def absent(db, collection, key):
    """Whether the record is missing: get raises KeyError for it."""
    try:
        db.get(collection, key)
    except KeyError:
        return True
    return False


def raises(exc_type, message, call, *args):
    """Calls, checks that exactly exc_type is raised with message as its only
    argument (None leaves the interpreter's own message unchecked), and
    returns the exception."""
    import pytest  # here, not above: the child programs import this module too

    with pytest.raises(exc_type) as info:
        call(*args)
    assert type(info.value) is exc_type
    assert message is None or info.value.args == (message,)
    return info.value
