"""Shared fixtures for the Python tests of brindle.

The repository root holds the pure-Python part of the package without the
compiled extension, so it is taken off sys.path here: the tests always import
the installed package.
"""

import os
import struct
import subprocess
import sys
import textwrap

import pytest

_REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _is_repo_root(entry):
    return os.path.abspath(entry or os.curdir) == _REPO_ROOT


sys.path[:] = [entry for entry in sys.path if not _is_repo_root(entry)]

import brindle  # noqa: E402


@pytest.fixture
def db_path(tmp_path):
    """A directory path (as text) for a fresh database."""
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    return brindle.open(db_path)


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter and returns the CompletedProcess.

    The child runs in a scratch directory so that it imports the installed
    package; the timeout only guards against hangs.
    """

    def run(code, timeout=60):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=str(tmp_path),
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


def u32(n):
    return struct.pack("<I", n)


def text_bytes(text):
    data = text.encode("utf-8")
    return u32(len(data)) + data


def raw_record(key, encoded_value):
    """One record of a collection data file: key and encoded value."""
    return text_bytes(key) + u32(len(encoded_value)) + encoded_value


@pytest.fixture
def append_raw(db_path):
    """Appends raw records to <collection>.brd of the database directory.

    Used to store values that no Python object converts to (Date, Time,
    DateTime, tombstones nested in containers); open the database afterwards
    so the records are replayed.
    """

    def append(collection, key, encoded_value):
        os.makedirs(db_path, exist_ok=True)
        with open(os.path.join(db_path, collection + ".brd"), "ab") as f:
            f.write(raw_record(key, encoded_value))

    return append
