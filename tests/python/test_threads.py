"""Threads sharing one Database: every call succeeds, none hangs, and the
final records and backlinks, before and after a reopen, are exactly what the
threads were told succeeded. Each thread writes its own keys; the link
targets are shared, so the backlink lists interleave entries from every
thread, and one thread's begin or commit applies to all of them."""

import collections
import gc
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from brindle import _brindle  # the store itself, without the recovery of brindle.open
from brindle import Link
from values import absent

THREADS = 16
OPERATIONS = 250
TARGETS = ["people/p%d" % i for i in range(4)]


def value_for(rng, n):
    return {"who": Link(rng.choice(TARGETS)), "n": n, "more": [Link(rng.choice(TARGETS))] * rng.randint(0, 2)}


def links_of(collection, key, value):
    """(target, source) of every link of a value written by value_for."""
    paths = [("who", value["who"])] + [("more/%d" % i, link) for i, link in enumerate(value["more"])]
    return [(link.path, (collection, key, path)) for path, link in paths]


def worker(db, t, records, failures):
    rng = random.Random(t)
    collection = "c%d" % (t % 3)
    try:
        for n in range(OPERATIONS):
            key = "t%d-%d" % (t, rng.randrange(6))
            action = rng.random()
            if action < 0.35:
                value = value_for(rng, n)
                db.set(collection, key, value)
                records[(collection, key)] = value
            elif action < 0.45:
                db.delete(collection, key)
                records.pop((collection, key), None)
            elif action < 0.5:
                ops = [(collection, "t%d-%d" % (t, rng.randrange(6)), value_for(rng, n)) for _ in range(3)]
                db.set_many(ops)
                records.update({(c, k): v for c, k, v in ops})
            elif action < 0.55:
                db.begin() if rng.random() < 0.5 else db.commit()
            elif action < 0.65:
                db.backlinks("people", rng.choice(TARGETS).split("/")[1])
            elif (collection, key) in records:
                # This thread alone writes these keys, so reads are exact.
                assert db.get(collection, key)["n"] == records[(collection, key)]["n"]
                assert db.resolve(collection, key, ["n"]) == records[(collection, key)]["n"]
                assert db.resolve(collection, key, ["who", "missing"]) is None
            else:
                assert absent(db, collection, key)
    except BaseException as e:  # reported by the main thread
        failures.append((t, repr(e)))


def exits_quietly_with_a_full_pipe(cwd, script):
    """Runs the script with its output pipe read only after a second: it must
    exit with 0 and write nothing to stderr."""
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    time.sleep(1)
    _, err = child.communicate(timeout=60)
    assert (child.returncode, err) == (0, b"")


def check(db, records):
    expected = collections.defaultdict(list)
    for (collection, key), value in records.items():
        got = db.get(collection, key)
        assert (got["n"], got["who"].path) == (value["n"], value["who"].path)
        for target, source in links_of(collection, key, value):
            expected[target].append(source)
    for target in TARGETS:
        entries = db.backlinks(*target.split("/"))
        got = sorted((e["source_collection"], e["source_key"], e["source_path"]) for e in entries)
        assert got == sorted(expected[target]), target


def test_threads_sharing_one_database(db_path):
    db = _brindle.open(db_path)
    records = [dict() for _ in range(THREADS)]
    failures = []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often
    try:
        threads = [threading.Thread(target=worker, args=(db, t, records[t], failures)) for t in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck"
    assert failures == []
    every = {k: v for mine in records for k, v in mine.items()}
    # A begin from one thread may be left open by the schedule.
    db.commit()
    check(db, every)
    del db
    gc.collect()
    check(_brindle.open(db_path), every)


# Regression: a daemon thread waiting for the database when the interpreter
# exits is ended from inside the wait; the call's exception guard caught that
# unwind, and the process aborted ("FATAL: exception not rethrown").
def test_a_daemon_thread_waiting_for_the_database_at_exit_ends_quietly(tmp_path, run_python):
    run = run_python(f"""
        import threading, time
        from brindle import _brindle
        db = _brindle.open({str(tmp_path / "db")!r})
        db.set("c", "k", 1)
        class Meta(type):
            @property
            def __name__(cls):  # runs while set_many holds the database
                threading.Thread(target=lambda: db.get("c", "k"), daemon=True).start()
                time.sleep(0.3)
                return "X"
        class X(metaclass=Meta):
            pass
        try:
            db.set_many([("c", "k", X())])
        except TypeError:
            pass
        """, ok=True)
    assert run.stderr == ""


# Regression: a daemon thread that the interpreter ends at exit from inside
# Python code a call runs (the items of a path given as a sequence class of
# its own, here) is unwound without its thread state; the call's cleanups
# used the interpreter regardless (freeing the path's iterator), and the
# process died of a segmentation fault.
def test_a_daemon_thread_inside_python_code_a_call_runs_at_exit_ends_quietly(tmp_path):
    script = f"""
        import atexit, os, sys, threading, time
        from brindle import _brindle
        db = _brindle.open({str(tmp_path / "db")!r})
        db.set("c", "k", {{"a": 1}})
        inside = threading.Event()

        class SlowPath:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i > 0:
                    raise IndexError(i)
                inside.set()
                for _ in range(200):
                    time.sleep(0.01)
                return "a"

        threading.Thread(target=lambda: db.resolve("c", "k", SlowPath()), daemon=True).start()
        inside.wait(5)
        os.write(1, b"x" * (65536 - 50))  # all but 50 bytes of the pipe, which is read only later
        atexit.register(lambda: sys.stdout.write("y" * 100))  # flushed while the interpreter finalises
        """
    for _ in range(3):
        exits_quietly_with_a_full_pipe(tmp_path, script)


# Regression: the same for a daemon thread inside a tool's callback into
# Python (load's read here): the tools' own guard was noexcept, and the
# process aborted. The main thread lets go of the interpreter at exit when
# its last flush meets a full pipe, and the daemon thread is ended then.
def test_a_daemon_thread_inside_a_tool_at_exit_ends_quietly(tmp_path):
    exits_quietly_with_a_full_pipe(tmp_path, """
        import io, os, sys, threading, time, brindle.tools
        inside = threading.Event()
        class Lines(io.RawIOBase):
            def read(self, n=-1):
                inside.set()
                time.sleep(0.01)
                return b'{"collection": "c", "key": "k", "value": 1}\\n'
        threading.Thread(target=lambda: brindle.tools.load("db", Lines()), daemon=True).start()
        inside.wait(5)
        os.write(1, b"x" * 65536)  # fills the pipe, which is read only later
        sys.stdout.write("y")  # flushed while the interpreter finalises
        """)


# Regression: once brindle's exit function had run, a daemon thread still
# running normally (while exit functions registered before brindle's import
# run) no longer left the recursion guards of its conversions, so each nested
# value it wrote used up some of its recursion limit for good, and after a few
# hundred writes every Python call in it raised RecursionError.
def test_a_daemon_thread_running_during_later_exit_functions_keeps_its_recursion_limit(tmp_path, run_python):
    run = run_python(f"""
        import atexit, threading, time
        writes, failures = [0], []
        def later():  # registered first: runs after brindle's exit function
            start = writes[0]
            deadline = time.monotonic() + 10
            while writes[0] < start + 3000 and not failures and time.monotonic() < deadline:
                time.sleep(0.01)
            print(writes[0] - start >= 3000, failures)
        atexit.register(later)
        from brindle import _brindle
        db = _brindle.open({str(tmp_path / "db")!r})
        def write():
            try:
                while True:
                    db.set("c", "k", {{"a": {{"b": [1]}}}})
                    writes[0] += 1
            except BaseException as e:
                failures.append(repr(e))
        threading.Thread(target=write, daemon=True).start()
        time.sleep(0.1)
        """, ok=True)
    assert (run.stdout, run.stderr) == ("True []\n", "")


# Regression: resolve built its result, and set_many made the exception of a
# failing element, while holding the database. A collection run then (as
# 3.10 and 3.11 collect: as they allocate) ran finalisers under the hold, and
# one that waited for a lock held by a thread waiting for the database hung
# both threads.
@pytest.mark.parametrize(
    "call", ['db.resolve("b", "b1", ["author", "items"])', 'db.set_many([("c", "x", 1), ("c", "y", object())])']
)
def test_a_finaliser_run_during_a_call_can_wait_for_a_thread_using_the_database(tmp_path, run_python, call):
    run = run_python(f"""
        import faulthandler, gc, threading
        from brindle import _brindle, Link
        faulthandler.dump_traceback_later(10, exit=True)
        db = _brindle.open({str(tmp_path / "db")!r})
        db.set("p", "a", {{"items": [[i] for i in range(2000)]}})
        db.set("b", "b1", {{"author": Link("p/a")}})
        cache_lock, go, holding = threading.Lock(), threading.Event(), threading.Event()

        def worker():
            go.wait()
            with cache_lock:
                holding.set()
                db.get("b", "b1")

        class Garbage:
            def __init__(self):
                self.me = self

            def __del__(self):
                try:
                    db.get("b", "b1")
                    return  # the database is free
                except RuntimeError:
                    pass
                go.set()
                holding.wait()
                with cache_lock:
                    pass

        threading.Thread(target=worker, daemon=True).start()
        for threshold in range(1, 60):  # a collection at each point of the call in turn
            gc.collect()
            try:
                raise ValueError  # exceptions made in an except block allocate more
            except ValueError:
                gc.set_threshold(threshold)
                Garbage()
                try:
                    {call}
                except TypeError:
                    pass
                gc.set_threshold(700)
        print("done")
        """, ok=True)
    assert (run.stdout, run.stderr) == ("done\n", "")
