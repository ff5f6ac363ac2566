"""Shared fixtures for the Python tests of brindle.

The repository root holds the pure-Python part of the package without the
compiled extension, so it is taken off sys.path here: the tests always import
the installed package.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

pytest.register_assert_rewrite("values")  # its helpers' asserts explain their failures too
_REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != _REPO_ROOT]

import brindle  # noqa: E402
from brindle import _brindle  # the store itself, without the recovery of brindle.open


@pytest.fixture
def db_path(tmp_path):
    """A directory path (as text) for a fresh database."""
    return str(tmp_path / "db")


@pytest.fixture
def root(db_path):
    """The same path, under the name the tools' and recovery tests use."""
    return db_path


@pytest.fixture
def db(db_path):
    return _brindle.open(db_path)


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter and returns the CompletedProcess.

    The child runs in a scratch directory so that it imports the installed
    package; the timeout only guards against hangs. With ok=True the child
    must also exit with 0 (its stderr is the failure's message).
    """

    def run(code, timeout=60, ok=False):
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=str(tmp_path),
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        assert not ok or result.returncode == 0, result.stderr
        return result

    return run


@pytest.fixture
def shared_dir():
    """A directory outside the test's private tree, so that a child that
    drops root privileges can still reach it."""
    path = tempfile.mkdtemp()
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)
