"""Real failures injected into the engine (resource limits, permissions, a
full filesystem; no mocks). Each must surface as a Python exception, leave
no trace of the failed write, keep the database usable, and leave every
acknowledged write readable after a reopen, with both file kinds on record
boundaries. Limits are set in child interpreters so the test run keeps its
own."""

import os
import subprocess

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))  # for the children: the shared helpers

under_sanitizer = pytest.mark.skipif(
    bool(os.environ.get("BRINDLE_UNDER_SANITIZER")),
    reason="address-space limits break the sanitizer runtime",
)

# Shared by the child programs. check() reopens the database: _brindle.open
# refuses a data file that ends inside a record, and backlinks() replays the
# index file, which refuses the same.
PRELUDE = """
import os, resource
from brindle import Link, _brindle  # the store itself, without the recovery of brindle.open

def check(path, acked, gone=(), links={}):
    db = _brindle.open(path)
    for (c, k), v in acked.items():
        assert db.get(c, k)["v"] == v, (c, k, db.get(c, k))
    for c, k in gone:
        assert absent(db, c, k), ("came back", c, k)
    for (c, k), sources in links.items():
        assert sorted(e["source_key"] for e in db.backlinks(c, k)) == sorted(sources), (c, k)
    print("checked", len(acked))
"""


def run_child(run_python, path, code, open_first=True):
    """Runs PRELUDE and code in a child with `path` set and, unless told
    otherwise, `db` open on it; code ends in check()."""
    setup = f"import sys\nsys.path.insert(0, {TESTS!r})\nfrom values import absent\npath = {path!r}\n"
    result = run_python(setup + PRELUDE + ("db = _brindle.open(path)\n" if open_first else "") + code, ok=True)
    assert result.stdout.startswith("checked"), result.stdout


def test_descriptor_limit_refuses_new_collections_and_keeps_the_rest(run_python, db_path):
    run_child(run_python, db_path, f"""
db.set("c", "a", {{"v": 1}})
acked = {{("c", "a"): 1}}
links = {{}}
in_use = len(os.listdir("/proc/self/fd"))
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (in_use + 8, hard))
errors = []
for i in range(20):
    try:
        db.set(f"n{{i}}", "k", {{"v": i, "to": Link(f"t{{i}}/k")}})
    except RuntimeError as e:
        errors.append(e.args[0])
        continue
    acked[(f"n{{i}}", "k")] = i
    links[(f"t{{i}}", "k")] = ["k"]
db.set("c", "b", {{"v": 2}})
acked[("c", "b")] = 2
resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
assert errors and set(errors) == {{"io: Too many open files (os error 24)"}}, errors
assert 0 < len(links) < 20
del db
check(path, acked, links=links)
""")


def test_read_only_directory_refuses_new_files_only(run_python, shared_dir):
    # As root a directory's mode stops nothing: the child runs as nobody.
    db_path = os.path.join(shared_dir, "db")
    os.mkdir(db_path)
    if os.geteuid() == 0:
        os.chown(db_path, 65534, 65534)
    run_child(run_python, db_path, open_first=False, code=f"""
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
db = _brindle.open(path)
db.set("c", "a", {{"v": 1, "to": Link("p/a")}})
os.chmod(path, 0o555)
errors = []
for write in (lambda: db.set("n", "k", {{"v": 1}}), lambda: db.set("c", "m", {{"v": 1, "to": Link("q/m")}})):
    try:
        write()
    except RuntimeError as e:
        errors.append(e.args[0])
assert errors == ["io: Permission denied (os error 13)"] * 2, errors
db.set("c", "b", {{"v": 2, "to": Link("p/a")}})
del db
check(path, {{("c", "a"): 1, ("c", "b"): 2}}, links={{("p", "a"): ["a", "b"]}})
os.chmod(path, 0o755)
""")


@pytest.fixture
def small_tmpfs(shared_dir):
    if os.geteuid() != 0:
        pytest.skip("mounting a filesystem needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", shared_dir], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    yield shared_dir
    subprocess.run(["umount", shared_dir], check=True)


def test_full_filesystem_fails_writes_whole(run_python, small_tmpfs):
    db_path = os.path.join(small_tmpfs, "db")
    run_child(run_python, db_path, f"""
acked, links, failed = {{}}, {{}}, []
for i in range(200):
    # Small records and ones too large for the write buffer, with links.
    value = {{"v": i, "pad": "p" * (70000 if i % 3 == 0 else 1500), "to": Link(f"t/{{i}}")}}
    try:
        db.set("c", f"k{{i}}", value)
    except RuntimeError as e:
        assert e.args[0] == "io: No space left on device (os error 28)", e.args
        assert absent(db, "c", f"k{{i}}")
        failed.append(("c", f"k{{i}}"))
        continue
    acked[("c", f"k{{i}}")] = i
    links[("t", str(i))] = [f"k{{i}}"]
assert failed and acked
del db
check(path, acked, gone=failed, links=links)
""")


# Shared by the memory tests' children: limited() runs write() with `room`
# bytes of address space beyond what the process uses, and says how it went.
LIMITED = """
import os, resource
from brindle import _brindle

def limited(room, write):
    page = os.sysconf("SC_PAGE_SIZE")
    with open("/proc/self/statm") as f:
        in_use = int(f.read().split()[0]) * page
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (in_use + room, hard))
    try:
        write()
        return "ok"
    except MemoryError:
        return "memory error"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""


@under_sanitizer
def test_out_of_memory_while_copying_a_value_raises_memory_error(run_python, db_path):
    result = run_python(LIMITED + f"""
db = _brindle.open({db_path!r})
db.set("c", "before", 1)
big = b"x" * (256 << 20)
# Room for small allocations, none for a second copy of `big`.
print(limited(64 << 20, lambda: db.set("c", "big", big)))
del big
db.set("c", "after", 2)
print(db.get("c", "before"), db.get("c", "after"))
try:
    db.get("c", "big")
except KeyError as e:
    print(e.args[0])
""", ok=True)
    assert result.stdout.split("\n")[:3] == ["memory error", "1 2", "key not found"]


# The key index ran out of memory taking a new key after its record was in
# the data file: the write raised MemoryError, yet the record came back at
# the next open. And a delete whose index tidying ran out of memory ended the
# process (an exception out of a function that may not throw).
@under_sanitizer
def test_out_of_memory_in_the_key_index_leaves_no_record_and_no_crash(run_python, db_path):
    result = run_python(LIMITED + f"""
db = _brindle.open({db_path!r})
db.set("c", "before", 1)
# A key larger than the room left: only the index copies it.
new_key = "n" * (64 << 20)
print(limited(32 << 20, lambda: db.set("c", new_key, 5)))
# Deleted keys outweigh the live one: the second delete tidies the
# index, which copies the live key.
live, gone = "l" * (48 << 20), ["a" * (32 << 20), "b" * (32 << 20)]
for key in [live] + gone:
    db.set("d", key, 1)
db.delete("d", gone[0])
print(limited(16 << 20, lambda: db.delete("d", gone[1])))
db.set("c", "after", 2)
del db
db = _brindle.open({db_path!r})
print(db.get("c", "before"), db.get("c", "after"), db.get("d", live))
for c, key in [("c", new_key)] + [("d", key) for key in gone]:
    try:
        db.get(c, key)
        print("came back", c, len(key))
    except KeyError:
        pass
""", ok=True)
    assert result.stdout.split("\n") == ["memory error", "ok", "1 2 1", ""], result.stdout
