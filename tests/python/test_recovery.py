"""Crash recovery at brindle.open, on directories damaged by real kills."""

import io
import json
import os
import pathlib
import random
import subprocess
import sys
import textwrap
import time
import warnings

import pytest

import brindle
from brindle import _brindle, tools


def reopen_in_child(run_python, root):
    """Opens through brindle.open in a fresh process; returns its warnings."""
    return run_python(f"""
        import warnings, brindle
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            brindle.open({root!r})
        for w in seen:
            assert issubclass(w.category, brindle.RecoveryWarning), w
            print(w.message)
        """, ok=True).stdout


def store_alice_and_her_book(run_python, root):
    """A program that opens root, stores a person and a book linking to
    her, and exits normally."""
    run_python(f"""
        import brindle
        db = brindle.open({root!r})
        db.set("people", "alice", {{"name": "Alice"}})
        db.set("books", "b1", {{"author": brindle.Link("people/alice")}})
        """, ok=True)


@pytest.mark.parametrize("cut", [1, 5, 12])
def test_torn_tails_of_both_files_are_moved_aside(root, run_python, cut):
    store_alice_and_her_book(run_python, root)
    books = os.path.join(root, "books.brd")
    tail = b"\x10\x00\x00\x00partial-record-bytes"[:cut + 4]
    with open(books, "ab") as f:
        f.write(tail)
    # The book's own backlink record cut short, with no list of whole files
    # to hold it to (as after a reboot, when the list is not believed): only
    # a rebuild gives the entry back.
    os.remove(os.path.join(root, ".brindle-whole"))
    people = os.path.join(root, "people.brl")
    entry = pathlib.Path(people).read_bytes()
    os.truncate(people, len(entry) - cut)
    damage = {"books.brd": (os.path.getsize(books) - len(tail), tail), "people.brl": (0, entry[:-cut])}

    messages = reopen_in_child(run_python, root)
    for name, (offset, tail) in damage.items():
        assert f"{name}: incomplete last record ({len(tail)} bytes at offset {offset})" in messages
        assert pathlib.Path(os.path.join(root, name + ".torn")).read_bytes().endswith(b"\n" + tail)
    assert os.path.getsize(books) == damage["books.brd"][0]
    assert pathlib.Path(people).read_bytes() == entry
    db = brindle.open(root)
    assert db.get("people", "alice") == {"name": "Alice"}
    assert db.backlinks("people", "alice") == [
        {"source_collection": "books", "source_key": "b1", "source_path": "author"}
    ]
    report = tools.check(root)
    assert report.ok and len(report.side_files) == 2


def test_a_normal_exit_names_the_whole_files_and_the_next_open_does_not_frame_them(root, run_python):
    os.mkdir(root)
    # A name that is not text is left out of the list (and checked each time).
    open(os.path.join(os.fsencode(root), b"caf\xe9.brd"), "wb").close()
    store_alice_and_her_book(run_python, root)
    listed = json.loads(pathlib.Path(root, ".brindle-whole").read_text(encoding="utf-8"))
    assert listed.pop(".boot") == pathlib.Path("/proc/sys/kernel/random/boot_id").read_text().strip()
    assert sorted(listed) == ["books.brd", "people.brd", "people.brl"]
    opened = run_python(f"""
        import brindle, brindle._open as o
        check = o._tools.move_torn_tails
        def spy(root, known, floors):
            print(sorted(known.items()))
            return check(root, known, floors)
        o._tools.move_torn_tails = spy
        assert brindle.open({root!r}).get("people", "alice") == {{"name": "Alice"}}
        """, ok=True)
    assert opened.stdout.strip() == str(sorted((name, os.path.getsize(os.path.join(root, name))) for name in listed))
    # Regression: only a last user that had been the first to open listed
    # them. The last here opened second, and holds a Database at its exit or not.
    for drop in (False, True):
        first, later = hold_open(root), hold_open(root, drop=drop)
        for program in (first, later):
            program.stdin.close()
            program.wait(timeout=60)
        assert sorted(json.loads(pathlib.Path(root, ".brindle-whole").read_text())) == [".boot", *sorted(listed)]


def test_a_tail_torn_while_the_database_was_open_is_moved_after_a_normal_exit(root, run_python):
    # Another writer, killed mid-record while this program had the database
    # open, left a torn tail; this program then exits normally.
    run_python(f"""
        import brindle
        db = brindle.open({root!r})
        db.set("books", "b1", {{"author": brindle.Link("people/alice")}})
        with open({os.path.join(root, "books.brd")!r}, "ab") as f:
            f.write(b"\\x10\\x00\\x00\\x00torn")
        """, ok=True)
    assert "books.brd: incomplete last record (8 bytes" in reopen_in_child(run_python, root)


@pytest.mark.parametrize("damage", ["key length past the end", "emptied", "emptied by a power loss",
                                    "replaced by an empty file"])
def test_damage_inside_what_a_normal_exit_left_whole_is_refused_not_cut_as_a_torn_tail(root, run_python, damage):
    store_alice_and_her_book(run_python, root)
    path = pathlib.Path(root, "people.brd")
    before = path.read_bytes()
    if damage == "replaced by an empty file":
        # A new file, on an inode of its own, is not held to the old one's size.
        pathlib.Path(root, "new").write_bytes(b"")
        os.replace(pathlib.Path(root, "new"), path)
        run_python(f"import brindle; brindle.open({root!r})", ok=True)
        return
    # Written in place, on the same inode, as a stray write or a bad disk would.
    with open(path, "r+b") as f:
        if damage.startswith("emptied"):
            f.truncate(0)
        else:
            f.seek(3)
            f.write(b"\x7f")  # the first record's key length now runs past the end
    if damage == "emptied by a power loss":
        # Nothing forces data to disk: after a reboot a file may come back
        # shorter than the list says, and the list is not believed.
        listed = pathlib.Path(root, ".brindle-whole")
        listed.write_text(json.dumps({**json.loads(listed.read_text()), ".boot": "an earlier boot"}))
        run_python(f"import brindle; brindle.open({root!r})", ok=True)
        return
    damaged = path.read_bytes()
    refused = run_python(f"import brindle; brindle.open({root!r})")
    said = {"emptied": f"people.brd: 0 bytes long, shorter than the {len(before)} it had at the last normal exit",
            "key length past the end": f"people.brd: incomplete record at offset 0, inside the first {len(before)} bytes"}
    assert refused.returncode == 1 and said[damage] in refused.stderr, refused.stderr
    assert "not the work of a killed writer" in refused.stderr
    assert path.read_bytes() == damaged and not os.path.exists(f"{path}.torn")
    # Only repair goes on past it; a tool that refuses leaves it to be refused again.
    with pytest.raises(tools.ToolError, match="shorter than the" if damage == "emptied" else "torn tail"):
        tools.load(root, io.StringIO('{"collection":"a","key":"k","value":1}\n'))
    if damage == "emptied":
        with pytest.raises(tools.ToolError, match="run repair first"):
            tools.compact(root)
    assert run_python(f"import brindle; brindle.open({root!r})").returncode == 1
    # Check shows what the open refused, and the repair it points to says
    # what it did about it; then the directory opens.
    found = tools.check(root).problems
    assert [(p.file, p.kind) for p in found] == [(str(path), "shorter than at the last normal exit"
                                                   if damage == "emptied" else "torn tail")]
    repaired = tools.repair(root)
    assert (repaired.accepted_shorter, len(repaired.torn_tails)) == ((["people.brd"], 0) if damage == "emptied"
                                                                    else ([], 1))
    reopen_in_child(run_python, root)


@pytest.mark.parametrize("planted", ["not json", "deeply nested", "wrong shapes", "a directory", "a fifo"])
def test_a_list_of_whole_files_that_is_not_ours_makes_every_file_checked(root, run_python, planted):
    run_python(f"import brindle; brindle.open({root!r}).set('books', 'b1', 1)", ok=True)
    with open(os.path.join(root, "books.brd"), "ab") as f:
        f.write(b"\x10\x00\x00\x00torn")
    listed = os.path.join(root, ".brindle-whole")
    os.remove(listed)
    if planted == "a directory":
        os.mkdir(listed)
    elif planted == "a fifo":
        os.mkfifo(listed)
    else:
        with open(listed, "wb") as f:
            f.write({"not json": b"\xff{", "deeply nested": b"[" * 100000,
                     "wrong shapes": b'{"books.brd": "whole", "people.brl": [1]}'}[planted])
    assert "books.brd: incomplete last record (8 bytes" in reopen_in_child(run_python, root)


def test_a_forked_child_that_exits_normally_leaves_the_parents_marker(root, run_python):
    run = run_python(f"""
        import os, sys, brindle
        brindle.open({root!r}).set("c", "k", 1)
        child = os.fork()
        if child == 0:
            sys.exit(0)  # runs the exit handlers it inherited
        os.waitpid(child, 0)
        print(os.path.exists(os.path.join({root!r}, ".brindle-open")), flush=True)
        os._exit(0)  # the parent ends without a normal exit
        """)
    assert run.stdout.strip() == "True", run.stderr
    assert "did not exit normally" in reopen_in_child(run_python, root)


# Regression: a child process started by multiprocessing ends with os._exit,
# which skips the exit handlers: one that opened the directory itself left its
# token in the marker, and every next open recovered from a clean run.
@pytest.mark.parametrize("method", ["fork", "forkserver"])
def test_a_multiprocessing_child_that_opened_the_directory_ends_its_session(root, run_python, method):
    run_python(f"""
        import multiprocessing, brindle
        child = multiprocessing.get_context({method!r}).Process(target=brindle.open, args=({root!r},))
        child.start()
        child.join()
        assert child.exitcode == 0
        """, ok=True)
    assert reopen_in_child(run_python, root) == ""


# Regression for the above: a child whose Database outlives its work ends
# with it never freed, so records its open transaction had already written
# lost their queued backlink changes; its session must stay for a recovery.
def test_a_multiprocessing_child_ending_inside_a_transaction_leaves_a_recovery(root, run_python):
    run_python(f"""
        import multiprocessing, brindle
        kept = []
        def work():
            kept.append(brindle.open({root!r}))
            kept[0].begin()
            for i in range(2000):  # more than a write buffer: most reach the file
                kept[0].set("books", str(i), {{"author": brindle.Link("people/alice")}})
        child = multiprocessing.get_context("fork").Process(target=work)
        child.start()
        child.join()
        assert child.exitcode == 0
        """, ok=True)
    assert "did not exit normally" in reopen_in_child(run_python, root)
    assert tools.check(root).ok


# Regression: the exit handler ended the session while a Database was still
# alive; it writes an open transaction's records and backlink changes only
# when the interpreter frees it, after the handlers, so a kill in between
# left records without their backlinks and nothing for the next open to
# recover. A Database the cleanup never frees (the module's globals stay
# alive while a daemon thread runs one of its functions) must not make every
# next open recover.
@pytest.mark.parametrize("ending", ["freed", "killed before it was freed", "never freed"])
def test_a_database_alive_at_exit_keeps_the_session_until_it_is_freed(root, run_python, ending):
    run = run_python(f"""
        import atexit, os, signal, threading, time, brindle
        if {ending!r} == "killed before it was freed":
            atexit.register(os.kill, os.getpid(), signal.SIGKILL)  # runs after brindle's own
        db = brindle.open({root!r})
        db.begin()
        for i in range(2000):  # more than a write buffer: most reach the file at once
            db.set("books", str(i), {{"author": brindle.Link("people/alice")}})
        if {ending!r} == "never freed":
            db.commit()
            def heartbeat():
                while True:
                    time.sleep(0.01)
            threading.Thread(target=heartbeat, daemon=True).start()
        """)
    assert run.returncode == (-9 if ending.startswith("killed") else 0), run.stderr
    told = reopen_in_child(run_python, root)
    assert ("did not exit normally" in told) == ending.startswith("killed"), told
    assert tools.check(root).ok


# Regression: the session's end after the interpreter's cleanup waited for
# the guard without end, while a daemon thread stopped by that cleanup inside
# a guarded step holds it for good: the program never exited.
def test_a_daemon_thread_stopped_inside_the_guard_does_not_hang_the_exit(root, run_python):
    run_python(f"""
        import atexit, threading, brindle
        from brindle import _locks
        go, inside = threading.Event(), threading.Event()
        def after_brindles_own_handler():  # registered before the first open
            go.set()
            inside.wait()
        atexit.register(after_brindles_own_handler)
        db = brindle.open({root!r})
        db.set("people", "alice", {{}})
        holder = {{"_locks": _locks, "threading": threading}}  # not these globals: db is freed
        exec("def hold(root, go, inside):\\n go.wait()\\n with _locks.guard(root):\\n"
             "  inside.set()\\n  threading.Event().wait()", holder)
        threading.Thread(target=holder["hold"], args=({root!r}, go, inside), daemon=True).start()
        """, timeout=30, ok=True)
    assert "did not exit normally" in reopen_in_child(run_python, root)


# Regression: a child forked by an exit handler after brindle's own kept the
# copy of the users lock that the session's end takes exclusively at the
# parent's exit, and every other open waited until that child ended.
def test_a_child_forked_after_the_exit_handler_does_not_keep_others_waiting(root, run_python):
    run = run_python(f"""
        import atexit, os, time, brindle
        def fork_a_lingering_child():  # registered before the first open: runs after brindle's
            pid = os.fork()
            if pid == 0:
                null = os.open(os.devnull, os.O_WRONLY)
                os.dup2(null, 1)
                os.dup2(null, 2)
                time.sleep(60)
                os._exit(0)
            print(pid)
        atexit.register(fork_a_lingering_child)
        db = brindle.open({root!r})  # alive at the exit handlers
        db.set("people", "alice", {{}})
        """)
    child = int(run.stdout)
    try:
        assert run.returncode == 0, run.stderr
        assert run_python(f"import brindle; brindle.open({root!r})", timeout=10).returncode == 0
    finally:
        os.kill(child, 9)


# Regression: an exit handler that runs after brindle's own (registered
# before the first open) and opens the database started a session whose end
# was registered with atexit too late to run: every normal exit left its
# token, and the next open reported an unclean end and rebuilt.
@pytest.mark.parametrize("transaction", [False, True])
def test_a_database_opened_by_a_later_exit_handler_ends_its_session(root, run_python, transaction):
    run_python(f"""
        import atexit, brindle
        def record_the_run():
            db = brindle.open({root!r})
            if {transaction!r}:
                db.begin()  # written out when the interpreter frees db
            db.set("runs", "last", {{"author": brindle.Link("people/alice")}})
        atexit.register(record_the_run)
        brindle.open({root!r}).set("people", "alice", {{}})
        """, ok=True)
    assert reopen_in_child(run_python, root) == ""
    assert tools.check(root).ok


# Regression: the warning of a recovery that had succeeded was raised, under
# warnings made errors, before the recovery was on record: every next open
# ran it again and raised again, so such a program could never open the
# database.
def test_a_recovery_warning_made_an_error_is_raised_once(root, run_python):
    opens = f"""
        import warnings, brindle
        warnings.simplefilter("error")
        try:
            brindle.open({root!r})
        except brindle.RecoveryWarning:
            print("raised")
        """
    store_alice_and_her_book(run_python, root)
    os.remove(os.path.join(root, "people.brl"))
    pathlib.Path(root, ".brindle-open").write_text("1.killed\n")
    assert [run_python(opens).stdout for _ in range(2)] == ["raised\n", ""]
    assert tools.check(root).ok


def test_ctrl_c_during_the_exit_scan_still_clears_every_marker(tmp_path, run_python):
    roots = [str(tmp_path / name) for name in ("one", "two")]
    run = run_python(f"""
        import brindle, brindle._locks as locks
        for root in {roots!r}:
            brindle.open(root).set("c", "k", 1)
        def interrupted(root):
            raise KeyboardInterrupt
        locks._write_known_whole = interrupted
        """)
    assert run.returncode == 0 and not run.stderr, run.stderr
    for root in roots:
        assert not os.path.exists(os.path.join(root, ".brindle-open"))
        assert not os.path.exists(os.path.join(root, ".brindle-whole"))


def hold_open(root, *, fork=False, drop=False):
    """A process (with fork, a forked child whose parent then exits
    normally) that has root open through brindle.open until its stdin
    closes, then exits normally. With drop, its Database is freed at once.
    Returns once it holds the directory."""
    script = textwrap.dedent(
        f"""
        import os, sys, brindle
        db = brindle.open({root!r})
        if {drop!r}:
            del db
        if {fork!r} and os.fork() != 0:
            sys.exit(0)
        print("ready", flush=True)
        sys.stdin.read()
        """
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             cwd=os.path.dirname(root))
    assert child.stdout.readline() == "ready\n"
    return child


def wait_for(condition):
    deadline = time.monotonic() + 30
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.02)


# Regression: a forked child kept the parent's users lock, which the parent's
# exit had made exclusive, so every later open hung while the child lived.
def test_a_forked_child_outliving_its_parent_keeps_the_directory_open(root, run_python):
    store_alice_and_her_book(run_python, root)
    child = hold_open(root, fork=True)
    child.wait(timeout=30)  # the parent has exited normally
    marker = os.path.join(root, ".brindle-open")
    assert run_python(f"import brindle; brindle.open({root!r})", timeout=30).returncode == 0
    assert os.path.exists(marker)
    child.stdin.close()  # the grandchild exits normally, last
    wait_for(lambda: not os.path.exists(marker))
    assert reopen_in_child(run_python, root) == ""


# Regression: the child took its users lock in its own after-fork hook. A
# parent that exited before that hook ran found itself the last user and
# ended the session under the child, whose later kill went unnoticed.
def test_a_forked_child_is_a_user_from_its_first_instant(root, run_python):
    store_alice_and_her_book(run_python, root)
    run_python(f"""
        import os, sys, time
        os.register_at_fork(after_in_child=lambda: time.sleep(0.5))  # runs before the package's
        import brindle
        brindle.open({root!r}).set("c", "k", 1)
        parent = os.getpid()
        if os.fork() != 0:
            sys.exit(0)  # at once, normally
        while os.getppid() == parent:
            time.sleep(0.01)
        os.kill(os.getpid(), 9)
        """, ok=True)
    assert "did not exit normally" in reopen_in_child(run_python, root)


# Regression: a child forked while a tool held the directory's lock kept it,
# so later opens waited for the child, and the child's own open forever.
def test_a_child_forked_while_a_tool_runs_lets_go_of_its_lock(root, run_python):
    run = run_python(f"""
        import io, os, signal, time, brindle, brindle.tools
        class Lines(io.RawIOBase):
            child = None
            def read(self, n=-1):
                if Lines.child is not None:
                    return b""
                Lines.child = os.fork()
                if Lines.child == 0:
                    signal.alarm(20)  # ends the child should its open hang
                    brindle.open({root!r})
                    os._exit(0)
                return b'{{"collection": "c", "key": "k", "value": 1}}'
        brindle.tools.load({root!r}, Lines())
        start = time.monotonic()
        brindle.open({root!r})
        print(round(time.monotonic() - start), os.waitpid(Lines.child, 0)[1])
        """)
    assert run.stdout.split() == ["0", "0"], run.stderr


# Regression: the hook that takes a child's locks before a fork walked the
# list of open directories while another thread added to it, and gave up
# (leaving the locks it had taken open in the parent); and two threads
# forking at once each handed their child the other's lock as well.
@pytest.mark.skipif(
    bool(os.environ.get("BRINDLE_UNDER_SANITIZER")),
    reason="the sanitizer runtime's allocator lock is not taken around fork: a child forked while "
    "another thread allocates can wait for it forever",
)
def test_forks_from_several_threads_while_another_opens_keep_one_lock_each(tmp_path, run_python):
    run = run_python(f"""
        import os, threading, brindle
        from brindle import _locks
        base = {str(tmp_path)!r}
        brindle.open(os.path.join(base, "first"))
        def users_locks():
            fds = os.listdir("/proc/self/fd")
            return sum(os.path.realpath(f"/proc/self/fd/{{fd}}").endswith(".brindle-users") for fd in fds)
        stop = threading.Event()
        def opener():
            for i in range(100):
                if stop.is_set():
                    return
                brindle.open(os.path.join(base, f"d{{i}}"))
        statuses = []
        def forker():
            for _ in range(30):
                child = os.fork()
                if child == 0:
                    os._exit(0 if users_locks() == len(_locks._users) > 0 else 1)
                statuses.append(os.waitpid(child, 0)[1])
        threads = [threading.Thread(target=opener)] + [threading.Thread(target=forker) for _ in range(2)]
        for t in threads[1:] + threads[:1]:
            t.start()
        for t in threads[1:]:
            t.join()
        stop.set()
        threads[0].join()
        print(sum(status != 0 for status in statuses), users_locks() - len(_locks._users))
        """)
    assert run.stdout.split() == ["0", "0"], run.stderr


def test_a_killed_writer_is_noticed_though_a_reader_outlives_it(root, run_python):
    store_alice_and_her_book(run_python, root)
    reader = hold_open(root)
    killed = run_python(f"import os, brindle; brindle.open({root!r}).set('c', 'k', 1); os.kill(os.getpid(), 9)")
    assert killed.returncode == -9
    reader.stdin.close()
    assert reader.wait(timeout=30) == 0
    assert "did not exit normally" in reopen_in_child(run_python, root)


# Regression: a process that had opened the directory once stayed one of its
# users until it exited, so its next open never recovered from a writer
# killed meanwhile: a torn tail made the open fail, and backlinks the writer
# left out of step stayed so, with no warning.
def test_a_writer_killed_after_this_process_dropped_its_database_is_recovered_here(root, run_python):
    brindle.open(root).set("people", "alice", {"name": "Alice"})  # dropped at once
    killed = run_python(f"""
        import os, brindle
        db = brindle.open({root!r})
        db.set("books", "b1", {{"author": brindle.Link("people/alice")}})
        # What a kill leaves between a record and its backlink entry, and in
        # the middle of the next record.
        os.truncate(os.path.join({root!r}, "people.brl"), 0)
        with open(os.path.join({root!r}, "books.brd"), "ab") as f:
            f.write(b"\\x02\\x00\\x00\\x00b2")
        os.kill(os.getpid(), 9)
        """)
    assert killed.returncode == -9, killed.stderr
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        db = brindle.open(root)
    said = " ".join(str(w.message) for w in seen)
    assert "incomplete last record" in said and "did not exit normally" in said
    assert db.backlinks("people", "alice") == [{"source_collection": "books", "source_key": "b1", "source_path": "author"}]


def test_a_recovery_cut_short_is_run_again_even_in_the_same_process(root, run_python):
    store_alice_and_her_book(run_python, root)
    open(os.path.join(root, ".brindle-open"), "w").close()  # as a killed program leaves it
    run = run_python(f"""
        import warnings, brindle, brindle._open as o
        move = o._tools.move_torn_tails
        def interrupted(*args):
            raise KeyboardInterrupt
        o._tools.move_torn_tails = interrupted
        try:
            brindle.open({root!r})
        except KeyboardInterrupt:
            pass
        o._tools.move_torn_tails = move
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            brindle.open({root!r})
        print([str(w.message) for w in seen])
        """)
    assert "did not exit normally" in run.stdout, run.stderr
    assert reopen_in_child(run_python, root) == ""


# Regression: the rebuild wrote entries in collection-name and file order,
# so every key's backlinks came back reordered after any unclean exit.
def test_a_rebuild_after_a_kill_keeps_the_order_in_which_links_were_made(root, run_python):
    killed = run_python(f"""
        import os, brindle
        db = brindle.open({root!r})
        for collection, key in [("zeta", "1"), ("alpha", "1"), ("b", "1"), ("b", "2")]:
            db.set(collection, key, {{"l": brindle.Link("p/x")}})
        db.set("zeta", "1", {{}})  # its entry removed, then made again: last now
        db.set("zeta", "1", {{"l": brindle.Link("p/x")}})
        index = os.path.join({root!r}, "p.brl")
        size = os.path.getsize(index)
        db.set("a", "new", {{"l": brindle.Link("p/x")}})
        os.truncate(index, size)  # as if killed between the record and its backlink
        os.kill(os.getpid(), 9)
        """)
    assert killed.returncode == -9, killed.stderr
    assert "rebuilt the backlink indexes" in reopen_in_child(run_python, root)
    shown = run_python(f"""
        import brindle
        print([e["source_collection"] + "/" + e["source_key"] for e in brindle.open({root!r}).backlinks("p", "x")])
        """, ok=True)
    assert shown.stdout.strip() == "['alpha/1', 'b/1', 'b/2', 'zeta/1', 'a/new']"


def test_a_rebuild_that_fails_is_reported_and_tried_again(root, run_python):
    store_alice_and_her_book(run_python, root)
    open(os.path.join(root, ".brindle-open"), "w").close()
    obstacle = os.path.join(root, "people.brl.rewrite")
    os.mkdir(obstacle)  # the rebuild cannot write its replacement
    assert "could not rebuild the backlink indexes" in reopen_in_child(run_python, root)
    os.rmdir(obstacle)
    assert "did not exit normally" in reopen_in_child(run_python, root)


@pytest.mark.parametrize("reopen_here", [False, True])
def test_a_tool_that_fails_part_way_is_recovered_after_an_open_in_its_process(root, run_python, reopen_here):
    # Regression: a process that had opened the directory ended its session
    # at its normal exit and took the marker with it, so the backlinks a
    # failed load left missing were never rebuilt (nor by an open in that
    # process, which had joined already).
    run = run_python(f"""
        import io, os, warnings, brindle, brindle.tools as t
        db = brindle.open({root!r})
        db.set("people", "alice", {{"name": "Alice"}})
        del db
        obstacle = os.path.join({root!r}, "people.brl.rewrite")
        os.mkdir(obstacle)  # the backlink rebuild cannot write its replacement
        book = b'{{"collection":"books","key":"b1","value":{{"by":{{"$link":"people/alice"}}}}}}'
        try:
            t.load({root!r}, io.BytesIO(book))
        except t.ToolError as error:
            print("load failed:", error)
        os.rmdir(obstacle)
        if {reopen_here!r}:
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                brindle.open({root!r})
            print([str(w.message) for w in seen])
        """)
    assert "load failed:" in run.stdout, run.stderr
    recovered = run.stdout if reopen_here else reopen_in_child(run_python, root)
    assert "did not exit normally" in recovered
    assert _brindle.open(root).backlinks("people", "alice") == [
        {"source_collection": "books", "source_key": "b1", "source_path": "by"}
    ]


def test_an_open_beside_a_writer_in_mid_append_waits_for_the_record_and_names_one_torn_for_good(tmp_path, monkeypatch):
    # Regression: an open while another process was appending a record
    # failed, reading the record's first bytes as an incomplete last record.
    root, scratch = str(tmp_path / "db"), str(tmp_path / "scratch")
    _brindle.open(root).set("c", "a", 1)
    _brindle.open(scratch).set("c", "b", "text")
    record = pathlib.Path(scratch, "c.brd").read_bytes()
    holder = hold_open(root)
    try:
        with open(os.path.join(root, "c.brd"), "ab") as f:
            f.write(record[:-1])
        tries = []

        class AppendEndsAfterTheFirstTry:
            @staticmethod
            def open(path):
                tries.append(path)
                if len(tries) == 1:
                    try:
                        return _brindle.open(path)
                    finally:
                        with open(os.path.join(root, "c.brd"), "ab") as f:
                            f.write(record[-1:])
                return _brindle.open(path)

        monkeypatch.setattr(brindle._open, "_brindle", AppendEndsAfterTheFirstTry)
        db = brindle.open(root)
        assert len(tries) == 2
        assert (db.get("c", "a"), db.get("c", "b")) == (1, "text")
        # Regression: a tail torn for good got the store's bare words, which
        # name no file and give no reason.
        with open(os.path.join(root, "c.brd"), "ab") as f:
            f.write(record[:-1])
        with pytest.raises(RuntimeError) as refused:
            brindle.open(root)
        assert str(refused.value).startswith(f"io: failed to fill whole buffer: {root}/c.brd ends inside a record.")
        # Any other refusal is the store's own, at the first try.
        c_file = os.path.join(root, "c.brd")
        os.truncate(c_file, os.path.getsize(c_file) - (len(record) - 1))
        pathlib.Path(root, "d.brd").write_bytes(b"\x01\x00\x00\x00\xff\x01\x00\x00\x00\x00")
        tries.clear()
        with pytest.raises(RuntimeError, match="^io: invalid utf8 key$"):
            brindle.open(root)
        assert len(tries) == 1
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)


def test_damage_other_than_a_torn_tail_is_left_for_repair(root):
    os.makedirs(root)
    # A whole record whose key is not UTF-8, followed by a good one.
    before = b"\x01\x00\x00\x00\xff\x01\x00\x00\x00\x00" + b"\x01\x00\x00\x00k\x01\x00\x00\x00\x00"
    pathlib.Path(root, "c.brd").write_bytes(before)
    with pytest.raises(RuntimeError, match="invalid utf8 key"):
        brindle.open(root)
    assert pathlib.Path(root, "c.brd").read_bytes() == before


def test_open_accepts_path_objects_and_a_second_open_does_not_recover(tmp_path):
    root = tmp_path / "db"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        db = brindle.open(root)
        db.set("c", "k", 1)
        assert brindle.open(root).get("c", "k") == 1


# Regression: the directory and the lock files were made before the store
# refused the name.
def test_a_directory_name_the_store_refuses_is_refused_before_anything_is_made(tmp_path):
    name = os.fsdecode(os.fsencode(str(tmp_path)) + b"/db-\xff")
    for path in (name, pathlib.Path(name)):
        with pytest.raises(UnicodeEncodeError):
            brindle.open(path)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("tool", ["compact", "repair"])
def test_a_kill_during_a_rewrite_leaves_a_database_that_opens_whole(tmp_path, root, run_python, tool):
    run_python(f"""
        import brindle
        db = brindle.open({root!r})
        for round in range(3):
            for i in range(2000):
                db.set("c", "k%d" % i, {{"round": round, "pad": "x" * 500, "to": brindle.Link("d/k%d" % i)}})
        """, ok=True)
    call = "compact(r)" if tool == "compact" else "repair(r, rebuild_backlinks=True)"
    script = f"import sys, brindle.tools as t; r = {root!r}; print('go', flush=True); t.{call}"
    rng = random.Random(3)
    for _ in range(4):
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, cwd=str(tmp_path))
        child.stdout.readline()
        time.sleep(rng.random() * 0.05)
        child.kill()
        child.communicate()
        reopen_in_child(run_python, root)
        db = _brindle.open(root)
        for i in range(0, 2000, 97):
            assert db.get("c", "k%d" % i)["round"] == 2
        assert len(db.backlinks("d", "k5")) == 1
        del db
        assert tools.count(root, "c") == 2000 and tools.check(root).ok
