"""brindle.tools against a model, on real directories."""

import io
import os
import pathlib
import random
import stat
import struct
import subprocess
import sys
import threading
import warnings

import pytest

import brindle
from brindle import _brindle, tools


def build(root, seed=1, rounds=400):
    """Random sets and deletes with links; returns the model of live records."""
    rng = random.Random(seed)
    db = _brindle.open(root)
    model = {}
    for i in range(rounds):
        coll, key = rng.choice(["a", "b", "c"]), "k%d" % rng.randrange(40)
        if rng.random() < 0.2:
            db.delete(coll, key)
            model.pop((coll, key), None)
            continue
        value = {
            "i": i,
            "to": brindle.Link("b/k%d" % rng.randrange(40), {"via": brindle.Link("c/x")}),
            "more": [brindle.Link("a/k%d" % rng.randrange(40))] * rng.randrange(3),
        }
        db.set(coll, key, value)
        model[(coll, key)] = value
    return model


def files_of(root):
    """The bytes of every data and backlink file."""
    names = [n for n in os.listdir(root) if n.endswith((".brd", ".brl"))]
    return {n: pathlib.Path(root, n).read_bytes() for n in names}


def append(root, name, data):
    """Adds raw bytes at the end of one of root's files (made if missing)."""
    with open(os.path.join(root, name), "ab") as f:
        f.write(data)


def alice_and_her_book(root):
    db = _brindle.open(root)
    db.set("people", "alice", {"name": "Alice"})
    db.set("books", "b1", {"by": brindle.Link("people/alice")})


def compact_is_refused_while_another_holds_it(root, code, cwd):
    """Runs code, which opens root, prints a line and waits for its stdin to
    close; compact must refuse while it holds the database."""
    other = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             cwd=cwd)
    assert other.stdout.readline() == "\n"
    with pytest.raises(tools.ToolError, match="open in another process"):
        tools.compact(root)
    other.stdin.close()
    assert other.wait(timeout=30) == 0


def backlinks_of(db, model):
    targets = {("b", "k%d" % n) for n in range(40)} | {("a", "k%d" % n) for n in range(40)} | {("c", "x")}
    return {t: sorted(map(repr, db.backlinks(*t))) for t in targets}


def test_compact_keeps_every_live_record_and_backlink_and_frees_the_dead_bytes(root):
    model = build(root)
    before = backlinks_of(_brindle.open(root), model)
    dead = sum(s.dead_bytes for s in tools.stats(root).collections + tools.stats(root).backlinks)
    keys_before = {c: tools.keys(root, c) for c in tools.collections(root)}

    assert tools.compact(root) == dead > 0
    stats = tools.stats(root)
    assert all(s.dead_bytes == 0 for s in stats.collections + stats.backlinks)
    db = _brindle.open(root)
    for (coll, key), value in model.items():
        assert repr(db.get(coll, key)) == repr(value)  # links compare by identity
    assert {c: tools.keys(root, c) for c in tools.collections(root)} == keys_before
    assert backlinks_of(db, model) == before
    assert tools.check(root).ok


def test_compact_of_one_collection_leaves_the_others(root):
    build(root)
    size_b = os.path.getsize(os.path.join(root, "b.brd"))
    tools.compact(root, ["a"])
    assert os.path.getsize(os.path.join(root, "b.brd")) == size_b
    assert tools.stats(root).collections[0].dead_bytes == 0
    with pytest.raises(tools.ToolError, match="no collection"):
        tools.compact(root, ["nope"])


# Regression: a rewrite ran under a Database alive in the same process, whose
# later writes then went to the replaced (unlinked) file and were lost.
def test_rewriting_refuses_while_this_process_has_the_database_open(tmp_path, root):
    db = brindle.open(root)
    db.set("c", "k", 1)
    for rewrite in (tools.compact, lambda r: tools.repair(r, rebuild_backlinks=True)):
        with pytest.raises(tools.ToolError, match="open in this process"):
            rewrite(root)
    del db
    # Regression: having had it open, this process no longer asked whether
    # another one still did, and that one's later writes were lost.
    code = f"import brindle, sys; db = brindle.open({root!r}); print(flush=True); sys.stdin.read()"
    compact_is_refused_while_another_holds_it(root, code, str(tmp_path))
    tools.compact(root)
    assert brindle.open(root).get("c", "k") == 1


# Regression: a program that could not write the lock files (another user's,
# made under the usual umask) opened the database without them; the tools
# then replaced the files under it and its acknowledged writes were lost.
def test_a_program_that_may_not_write_the_lock_files_still_holds_them(shared_dir, run_python):
    root = os.path.join(shared_dir, "db")
    assert run_python(f"import brindle; brindle.open({root!r}).set('c', 'k', 1)").returncode == 0
    os.chmod(root, 0o777)
    os.chmod(os.path.join(root, "c.brd"), 0o666)
    as_other = os.geteuid() == 0
    for name in (".brindle-lock", ".brindle-users"):
        os.chmod(os.path.join(root, name), 0o644 if as_other else 0o444)
    # As root the files' modes stop nothing: the program runs as nobody.
    drop = "os.setgid(65534); os.setuid(65534)" if as_other else "pass"
    code = f"import brindle, os, sys; {drop}; db = brindle.open({root!r}); print(flush=True); sys.stdin.read()"
    compact_is_refused_while_another_holds_it(root, code + "; db.set('c', 'late', 2)", shared_dir)
    assert tools.check(root).ok
    with warnings.catch_warnings():
        warnings.simplefilter("error", brindle.RecoveryWarning)  # its exit ended its session
        assert brindle.open(root).get("c", "late") == 2


# Regression: a tool's callback that opened the database, or ran a rewriting
# tool on it, waited for the tool's own lock forever.
def test_a_tools_callback_that_opens_the_database_is_refused_not_left_waiting(root, run_python):
    result = run_python(f"""
        import io, brindle, brindle.tools as tools
        db = brindle.open({root!r})
        db.set("c", "k", brindle.Link("c/k"))
        del db
        dump = io.BytesIO()
        tools.dump({root!r}, dump)
        def reenter(what):
            def call(*args):
                what()
                return dump.read(*args) if args else None
            return call
        for name, run in [
            ("open", lambda cb: tools.compact({root!r}, progress=cb)),
            ("compact", lambda cb: tools.compact({root!r}, progress=cb)),
            ("open", lambda cb: tools.load({root!r}, type("R", (), {{"read": staticmethod(cb)}})())),
        ]:
            dump.seek(0)
            try:
                run(reenter(lambda: getattr(brindle, name, getattr(tools, name, None))({root!r})))
            except tools.ToolError as error:
                print(name, "refused:", error)
        print(brindle.open({root!r}).get("c", "k"))
        """, ok=True)
    lines = result.stdout.splitlines()
    assert [line.split(":")[0] for line in lines[:3]] == ["open refused", "compact refused", "open refused"], lines
    assert all("rewriting the database in this thread" in line for line in lines[:3])
    assert lines[3] == 'Link("c/k")', lines


# Regression: the file of the collection "" (".brd") was taken for no
# collection, so dumps left its records out and rebuilds dropped its links.
def test_the_collection_named_by_the_empty_string_is_seen_by_the_tools(tmp_path, root):
    brindle.open(root).set("", "k", {"to": brindle.Link("people/alice")})
    assert tools.collections(root) == [""]
    out = io.StringIO()
    tools.dump(root, out)
    assert out.getvalue() == '{"collection":"","key":"k","value":{"to":{"$link":"people/alice"}}}\n'
    tools.repair(root, rebuild_backlinks=True)
    entry = {"source_collection": "", "source_key": "k", "source_path": "to"}
    assert brindle.open(root).backlinks("people", "alice") == [entry]
    copy = str(tmp_path / "copy")
    assert tools.load(copy, io.StringIO(out.getvalue())) == 1
    assert brindle.open(copy).backlinks("people", "alice") == [entry]
    # Regression: resolve, which reads through the store, did not see it.
    resolved = subprocess.run([sys.executable, "-m", "brindle", "resolve", root, "", "k"], capture_output=True,
                              text=True, timeout=60, cwd=tmp_path)
    assert (resolved.returncode, resolved.stdout) == (0, '{"to":{"$link":"people/alice"}}\n'), resolved.stderr


# Regression: names sorted by file name put "a.brd" after "a b.brd" and "a-b.brd".
def test_collections_come_in_name_order(root):
    db = _brindle.open(root)
    for name in ["ab", "a-b", "a", "a b"]:
        db.set(name, "k", 1)
    del db
    assert tools.collections(root) == ["a", "a b", "a-b", "ab"]


# Regression: a rewritten file got the default mode and the owner of whoever
# ran the tool, and a symbolic link was replaced by a file of its own.
def test_rewrites_keep_mode_and_owner_and_refuse_symbolic_links(root):
    db = brindle.open(root)
    db.set("c", "k", 1)
    db.set("c", "k", 2)
    del db
    path = os.path.join(root, "c.brd")
    os.chmod(path, 0o600)
    if os.geteuid() == 0:
        os.chown(path, 65534, 65534)
    tools.compact(root)
    st = os.stat(path)
    assert stat.S_IMODE(st.st_mode) == 0o600
    assert os.geteuid() != 0 or (st.st_uid, st.st_gid) == (65534, 65534)
    os.rename(path, os.path.join(root, "elsewhere"))
    os.symlink("elsewhere", path)
    brindle.open(root).set("c", "k", 3)
    with pytest.raises(tools.ToolError, match="a symbolic link"):
        tools.compact(root)
    assert os.path.islink(path) and brindle.open(root).get("c", "k") == 3


# Regression: any file ending in ".rewrite" was taken for a leftover of ours.
def test_only_the_tools_own_leftovers_are_removed(root):
    brindle.open(root).set("c", "k", 1)
    for name in ("c.brd.rewrite", "notes.rewrite"):
        pathlib.Path(root, name).write_text("x")
    assert tools.repair(root).leftovers_removed == ["c.brd.rewrite"]
    assert os.listdir(root).count("notes.rewrite") == 1


def brl_record(op, *strings):
    return bytes([op]) + b"".join(struct.pack("<I", len(s)) + s for s in strings)


def test_the_longest_collection_names_can_be_rewritten_and_recovered(root):
    # Regression: "<file>.rewrite" and "<file>.torn" of a name near the
    # longest the store accepts were too long for the file system, so every
    # rewriting tool failed on it and a torn tail could not be moved aside.
    name = "\u00e9" * 125 + "c"  # 251 bytes; a plain cut would split a character
    db = _brindle.open(root)
    db.set(name, "k", 1)
    db.set(name, "k", 2)
    db.set("src", "s", {"l": _brindle.Link(f"{name}/k")})
    del db
    assert tools.compact(root) > 0
    assert tools.repair(root, rebuild_backlinks=True).backlinks_rebuilt["entries"] == 1
    append(root, name + ".brd", b"\x05\x00")
    report = tools.repair(root)
    [side] = [os.path.basename(t["side_file"]) for t in report.torn_tails]
    assert side.endswith(".brd.torn") and len(side.encode()) <= 255
    assert tools.check(root).side_files == [side]
    db = _brindle.open(root)
    assert db.get(name, "k") == 2
    assert db.backlinks(name, "k") == [{"source_collection": "src", "source_key": "s", "source_path": "l"}]


class Stop(Exception):
    pass


def test_streams_errors_and_interruptions_reach_the_caller_whole(tmp_path, root):
    build(root)
    whole = io.BytesIO()
    tools.dump(root, whole)

    # Regression: a raw stream that took part of a chunk lost the rest.
    class Narrow(io.RawIOBase):
        def __init__(self):
            self.got = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.got += bytes(b[:1000])
            return min(len(b), 1000)

    narrow, text = Narrow(), io.StringIO()
    tools.dump(root, narrow)
    tools.dump(root, text)  # counts characters, which are not the chunk's bytes
    assert bytes(narrow.got) == whole.getvalue() == text.getvalue().encode()
    # Regression: True, an int, was taken for a count of one byte.
    chunks = []
    brindle._tools.dump(root, None, lambda chunk: chunks.append(chunk) or True)
    assert b"".join(chunks) == whole.getvalue()

    def stop(_):
        raise Stop

    # Regression: the last few MiB were never reported, so a small database
    # gave no report at all, and dump's last report could not stop it.
    for tool in (tools.stats, tools.check, lambda root, progress: tools.dump(root, io.BytesIO(), progress=progress)):
        with pytest.raises(Stop):
            tool(root, progress=stop)

    # Regression: a progress report that stopped the work at its very end
    # came after the files were in place, so a load that raised had loaded.
    with pytest.raises(Stop):
        tools.load(root, io.BytesIO(b'{"collection":"new","key":"k","value":1}'), progress=stop)
    assert "new" not in tools.collections(root)

    # Regression: an index file that could not be read answered "no links".
    os.symlink("b.brl", os.path.join(root, "b.brl.loop"))
    os.replace(os.path.join(root, "b.brl.loop"), os.path.join(root, "b.brl"))
    with pytest.raises(tools.ToolError, match="b.brl"):
        brindle._tools.backlinks(root, "b", "k1")

    # Regression: a message naming a path that is not UTF-8 became a
    # UnicodeDecodeError instead of the tool's error.
    odd = os.path.join(os.fsencode(str(tmp_path)), b"\xffdb")
    os.makedirs(odd)
    append(odd, b"c.brd", b"\x05\x00")
    with pytest.raises(tools.ToolError, match="run repair first"):
        tools.compact(odd)


def test_check_flags_drift_and_damage_and_repair_mends_the_drift(root):
    model = build(root, rounds=100)
    assert tools.check(root).ok
    # A stale entry (its record never held the link) and a lost one.
    append(root, "b.brl", brl_record(1, b"k1", b"zz", b"ghost", b"p"))
    (source, linked), value = next(((c, k), v) for (c, k), v in model.items() if v["to"].path.startswith("b/"))
    target = value["to"].path.split("/")[1]
    append(root, "b.brl", brl_record(2, target.encode(), source.encode(), linked.encode(), b"to"))
    # An undecodable record (unknown type byte) in the middle of a data file.
    append(root, "a.brd", struct.pack("<I", 3) + b"bad" + struct.pack("<I", 1) + b"\x0d")

    report = tools.check(root)
    assert not report.ok
    assert report.stale_backlinks == 1 and "b/k1 <- zz/ghost" in report.stale_examples[0]
    assert report.missing_backlinks >= 1
    assert report.undecodable == 1 and "unknown type byte: 0x0D" in report.problems[0].detail

    repaired = tools.repair(root, rebuild_backlinks=True)
    assert repaired.backlinks_rebuilt["skipped_records"] == 1
    after = tools.check(root)
    assert after.missing_backlinks == after.stale_backlinks == 0
    assert [p.kind for p in after.problems] == ["undecodable record"]


# Regression: repair cut a torn tail without rebuilding the backlinks as open
# does, and with no marker left, nothing rebuilt them later.
def test_a_repair_that_cuts_a_tail_rebuilds_the_backlinks(tmp_path, root):
    brindle.open(root).set("books", "b1", {"by": brindle.Link("people/alice")})
    os.remove(os.path.join(root, "people.brl"))  # an entry lost with the cut
    append(root, "books.brd", b"\x10\x00\x00\x00torn")
    report = tools.repair(root)
    assert report.torn_tails and report.backlinks_rebuilt is not None
    assert tools.check(root).ok
    # A file damaged beyond a tail stops the rebuild: the marker stays, so the
    # open that gets past the damage rebuilds instead.
    root = str(tmp_path / "unopened")  # not held by this process's open
    _brindle.open(root).set("books", "b1", {"by": brindle.Link("people/alice")})
    append(root, "books.brd", b"\x10\x00\x00\x00torn")
    append(root, "bad.brd", b"\x01\x00\x00\x00\xff\x00\x00\x00\x00")
    report = tools.repair(root)
    assert report.torn_tails and report.backlinks_rebuilt is None and report.damaged_files
    assert os.path.exists(os.path.join(root, ".brindle-open"))


# Regression: the tools passed over a data file's name held by something
# that is not a regular file, which the store's open fails on: check said ok,
# repair "nothing to repair", dump and compact reported success without its
# records, and a backlink rebuild dropped the entries of such a file's links.
@pytest.mark.parametrize("kind", ["fifo", "directory", "dangling symlink"])
def test_a_data_file_that_is_not_a_regular_file_is_damage_not_absence(tmp_path, root, kind):
    alice_and_her_book(root)
    path = os.path.join(root, "people.brd")
    os.replace(path, str(tmp_path / "moved"))
    {"fifo": os.mkfifo, "directory": os.mkdir, "dangling symlink": lambda p: os.symlink("missing", p)}[kind](path)
    index = pathlib.Path(root, "people.brl").read_bytes()

    report = tools.check(root)
    assert not report.ok and [(p.file, p.kind) for p in report.problems] == [(path, "not a regular file")]
    assert report.lines()[0].startswith(f"{path}: not a regular file: ")  # no offset in a name
    assert tools.repair(root).damaged_files == ["people.brd"]
    for refused in (
        lambda: tools.dump(root, io.BytesIO()),
        lambda: tools.compact(root),
        lambda: tools.repair(root, rebuild_backlinks=True),
        lambda: tools.load(root, io.BytesIO(b'{"collection":"c","key":"k","value":1}\n')),
    ):
        with pytest.raises(tools.ToolError, match="people.brd: not a regular file"):
            refused()
    assert pathlib.Path(root, "people.brl").read_bytes() == index and not os.path.exists(os.path.join(root, "c.brd"))


# Regression: the reading tools took a FIFO (or a device) at a data or
# backlink file's name for an empty file: keys listed nothing, get found no
# record and backlinks no entry, each reported as a success.
def test_the_reading_tools_refuse_a_fifo_at_a_files_name(tmp_path, root):
    alice_and_her_book(root)
    for name in ("people.brd", "people.brl"):
        os.replace(os.path.join(root, name), str(tmp_path / name))
        os.mkfifo(os.path.join(root, name))
    for read in (
        lambda: tools.keys(root, "people"),
        lambda: tools.count(root, "people"),
        lambda: brindle._tools.get(root, "people", "alice"),
        lambda: brindle._tools.backlinks(root, "people", "alice"),
        lambda: tools.stats(root),
    ):
        with pytest.raises(tools.ToolError, match="people.br[dl]: .*not a regular file"):
            read()


# Regression: repair named a backlink file it had just rebuilt among the
# files damaged beyond mending (and `brindle repair` exited with 1), though
# check found the database clean afterwards.
def test_a_backlink_file_the_rebuild_replaced_is_not_reported_damaged(root):
    _brindle.open(root).set("books", "b1", {"by": brindle.Link("people/alice")})
    append(root, "people.brl", brl_record(1, b"\xffalice", b"books", b"b1", b"by"))
    assert [p.kind for p in tools.check(root).problems] == ["invalid string"]
    assert tools.repair(root).damaged_files == ["people.brl"]
    report = tools.repair(root, rebuild_backlinks=True)
    assert report.backlinks_rebuilt is not None and report.damaged_files == []
    assert tools.check(root).ok


# Regression: resolve opened every data file for writing as well, so it failed
# on a database its caller may only read.
def test_reading_tools_work_on_a_read_only_copy(shared_dir, run_python):
    root = os.path.join(shared_dir, "db")
    model = build(root, rounds=60)
    for name in os.listdir(root):
        os.chmod(os.path.join(root, name), 0o444)
    os.chmod(root, 0o555)
    coll, key = next(iter(model))
    # As root a file's mode stops nothing: the child runs as nobody.
    try:
        result = run_python(f"""
            import io, os
            from brindle import _tools, tools
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            root = {root!r}
            assert not os.access(os.path.join(root, "a.brd"), os.W_OK)
            print(tools.count(root, "a"), tools.check(root).ok, tools.dump(root, io.StringIO()))
            print(_tools.resolve(root, {coll!r}, {key!r}, ["i"]))
            """, ok=True)
    finally:
        os.chmod(root, 0o755)
    in_a = sum(c == "a" for c, _ in model)
    assert result.stdout.split("\n")[:2] == [f"{in_a} True {len(model)}", str(model[coll, key]["i"])]


def test_load_adds_to_an_existing_database_and_rebuilds_its_backlinks(root):
    build(root, rounds=50)
    count = tools.count(root, "a")
    line = '{"collection":"a","key":"new","value":{"$link":"b/zz"}}\n'
    assert tools.load(root, io.StringIO(line)) == 1
    assert tools.count(root, "a") == count + 1
    assert _brindle.open(root).backlinks("b", "zz") == [
        {"source_collection": "a", "source_key": "new", "source_path": ""}
    ]
    assert tools.check(root).ok


# Regression: a non-blocking stream with nothing to read yet (read() gives
# None) failed the load with a TypeError, and `brindle load` fed by such a
# pipe ended in a traceback with exit 1, the code of damage found. A text
# stream over such a pipe gives "" instead, which ended the load at the first
# pause as if the stream had ended, reporting success on the records so far.
@pytest.mark.parametrize("mode", ["rb", "r"])
def test_load_waits_for_a_non_blocking_stream(tmp_path, mode):
    read, write = os.pipe()
    os.set_blocking(read, False)
    os.write(write, b'{"collection":"c","key":"j","value":1}\n')
    line = b'{"collection":"c","key":"k","value":1}\n'
    writer = threading.Timer(0.2, lambda: (os.write(write, line), os.close(write)))
    writer.start()
    try:
        with open(read, mode) as source:
            assert tools.load(str(tmp_path / "db"), source) == 2
    finally:
        writer.join()
    assert tools.keys(str(tmp_path / "db"), "c") == ["j", "k"]


# Regression: load wrote its records, then failed on damage in a collection
# the dump never touched, for the backlink rebuild reads every file.
def test_load_refuses_a_damaged_database_before_writing(root):
    build(root, rounds=20)
    append(root, "c.brd", b"\x05\x00\x00")
    before = files_of(root)
    with pytest.raises(tools.ToolError, match="c.brd: torn tail"):
        tools.load(root, io.StringIO('{"collection":"a","key":"new","value":{"$link":"b/k1"}}\n'))
    assert files_of(root) == before


@pytest.mark.parametrize(
    "line, message",
    [
        ('{"collection":"a","key":"k"}', "needs"),
        # The name escaped, so that a newline or a terminal's escape in it does not act.
        ('{"collection":"a\\n/b\\u001b","key":"k","value":1}', r'invalid collection name "a\\n/b\\u001b"$'),
        ('{"collection":"a","key":"k","value":{"$link":"b\\u0000/x"}}', "a link into an invalid collection"),
        ('{"collection":"a","key":"k","value":1,"value":2}', "duplicate member"),
        ('{"collection":"a","key":"k","value":{"x":1,"x":2}}', "duplicate key"),
        ('{"collection":"a","key":"k","value":{"$date":007}}', "bad number"),
        ('{"collection":"a","key":"k","value":{"$float":"nan:0x7FF0000000000001"}}', "bad \\$float"),
        ('{"collection":"a","key":"k","value":{"$nope":1}}', "unknown tag"),
        ('{"collection":"a","key":"k","value":{"$bytes":"A"}}', "base64"),
        ('{"collection":"a","key":"k","value":{"$date":4294967296}}', "bad number"),
        ('{"collection":"a","key":"k","value":9223372036854775808}', "64-bit"),
        ('{"collection":"a","key":"k","value":"\\ud800"}', "surrogate"),
        ('{"collection":"a","key":"k","value":' + "[" * 300 + "]" * 300 + "}", "deeply"),
    ],
)
def test_load_refuses_bad_lines_and_changes_nothing(root, line, message):
    good = '{"collection":"a","key":"ok","value":1}\n'
    os.makedirs(root)
    with pytest.raises(tools.ToolError, match=message):
        tools.load(root, io.StringIO(good + line + "\n"))
    assert tools.collections(root) == []
    # Regression: the marker stayed, and the next open rebuilt every index.
    assert not os.path.exists(os.path.join(root, ".brindle-open"))
    # Regression: a load that failed into a path it made left a database there.
    made = os.path.join(root, "new", "db")
    with pytest.raises(tools.ToolError, match=message):
        tools.load(made, io.StringIO(good + line + "\n"))
    assert not os.path.exists(os.path.join(root, "new"))


def test_load_refuses_a_collection_name_too_long_for_its_file_before_writing(root):
    # Regression: the line was taken, and the rename of "<name>.brd" failed
    # only after the files of the collections before it had gone in: the load
    # raised with part of the dump added, and running it again failed again.
    too_long = "y" * 252  # "<name>.brd" is 256 bytes, one more than a file name holds
    lines = '{"collection":"a","key":"k","value":1}\n' + '{"collection":"%s","key":"k","value":2}\n' % too_long
    with pytest.raises(tools.ToolError, match="line 2: collection name too long"):
        tools.load(root, io.StringIO(lines))
    assert not os.path.exists(root)  # made by the load, and taken away again
    assert not os.path.exists(os.path.join(root, ".brindle-open"))
    # The longest name that fits still loads.
    longest = "y" * 251
    assert tools.load(root, io.StringIO('{"collection":"%s","key":"k","value":2}\n' % longest)) == 1
    assert tools.keys(root, longest) == ["k"]


def test_an_interrupt_stops_a_tool_that_has_no_progress_callable(root):
    # Regression: a signal caught while a tool worked without a progress
    # callable (as the command runs one whose stderr is no terminal) was
    # handled only once the tool returned: Ctrl-C during a load raised
    # KeyboardInterrupt after every record had gone in.
    import signal

    value = "x" * 200
    lines = "".join('{"collection":"c","key":"k%d","value":"%s"}\n' % (i, value) for i in range(300_000)).encode()

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    def interrupted(tool, *args):
        # The alarm must come while the tool works through the records: not
        # before it reaches them (a few ms of locking), nor once they are on
        # their way into place, which is not stopped part-way. 72 MB take
        # about three times the 50 ms.
        previous = signal.signal(signal.SIGALRM, interrupt)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            with pytest.raises(KeyboardInterrupt):
                tool(root, *args)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    os.makedirs(root)
    interrupted(tools.load, io.BytesIO(lines))
    assert tools.collections(root) == []
    assert not os.path.exists(os.path.join(root, ".brindle-open"))
    # The load reads through a Python callable, where the interpreter itself
    # handles a signal; compact calls none, so only the tool's own check stops it.
    for _ in range(2):
        tools.load(root, io.BytesIO(lines))
    dead = tools.stats(root).collections[0].dead_bytes
    interrupted(tools.compact)
    assert tools.stats(root).collections[0].dead_bytes == dead > 0


def with_torn_tail(root):
    """A database whose data file c.brd ends in a record cut short; its path."""
    _brindle.open(root).set("c", "k", "secret")
    append(root, "c.brd", b"\x03\x00\x00\x00key\x07\x00\x00\x00sec")  # a record cut short
    return os.path.join(root, "c.brd")


def test_a_torn_tail_moved_aside_keeps_its_data_files_mode_and_owner(tmp_path):
    # Regression: the ".torn" file was made with the default mode, so the
    # bytes of a record cut from a private data file became readable by all.
    for recover in (lambda root: tools.repair(root), lambda root: brindle.open(root)):
        root = str(tmp_path / ("db%d" % len(os.listdir(tmp_path))))
        path = with_torn_tail(root)
        os.chmod(path, 0o640)  # neither the default nor what the side file is made with
        if os.geteuid() == 0:
            os.chown(path, 65534, 65534)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", brindle.RecoveryWarning)
            recover(root)
        st = os.stat(path + ".torn")
        assert stat.S_IMODE(st.st_mode) == 0o640
        assert os.geteuid() != 0 or (st.st_uid, st.st_gid) == (65534, 65534)


@pytest.mark.parametrize("beside", [False, True])
def test_a_repair_after_an_unclean_exit_rebuilds_the_backlinks_as_open_would(root, run_python, beside):
    # Regression: with no torn tail to cut, repair said "nothing to repair"
    # after a program died without its normal exit, though check found the
    # backlinks out of step and the next open rebuilt them; and, beside, this
    # process's own session hid the token of the opener that died, which then
    # outlived the repair and made the next open rebuild once more.
    if beside:
        brindle.open(root)  # dropped at once; the session lasts until this process exits
    run_python(f"""
        import os, brindle
        db = brindle.open({root!r})
        db.set("people", "alice", 1)
        db.set("books", "b1", {{"by": brindle.Link("people/alice")}})
        os._exit(0)  # no normal exit: the marker stays
        """, ok=True)
    os.remove(os.path.join(root, "people.brl"))  # an entry the death kept from its file
    assert tools.check(root).missing_backlinks == 1
    assert tools.repair(root).backlinks_rebuilt == {"files": 1, "entries": 1, "skipped_records": 0}
    assert tools.check(root).ok
    # Nothing is owed any more: the marker is gone, or lists only this
    # process's own session, which owes nothing.
    assert os.path.exists(os.path.join(root, ".brindle-open")) == beside
    assert tools.repair(root).backlinks_rebuilt is None


def test_a_repair_in_a_forked_child_rebuilds_after_its_parent_died(root, run_python):
    # Regression: the child shares its parent's users lock entry, so repair
    # took the dead parent's token in the marker for the child's own session
    # and skipped the rebuild the next open then did.
    done = run_python(f"""
        import os, time, brindle
        from brindle import tools
        db = brindle.open({root!r})
        db.set("people", "alice", 1)
        db.set("books", "b1", {{"by": brindle.Link("people/alice")}})
        del db
        parent = os.getpid()
        if os.fork() != 0:
            os._exit(0)  # the parent dies without its normal exit
        while os.getppid() == parent:
            time.sleep(0.01)
        os.remove(os.path.join({root!r}, "people.brl"))  # an entry the death kept from its file
        print(tools.check({root!r}).missing_backlinks, tools.repair({root!r}).backlinks_rebuilt,
              tools.check({root!r}).missing_backlinks, tools.repair({root!r}).backlinks_rebuilt, flush=True)
        os._exit(0)
        """)
    # The second repair finds nothing owed: the first dropped the dead parent's token.
    rebuilt = ["{'files':", "1,", "'entries':", "1,", "'skipped_records':", "0}"]
    assert done.stdout.split() == ["1", *rebuilt, "0", "None"], done.stdout + done.stderr


def succeeds_as(uid, gid, groups, work):
    """Whether work() returns true in a forked child that runs as uid and
    gid (and, unless groups is None, in those supplementary groups)."""
    child = os.fork()
    if child == 0:
        done = False
        try:
            if groups is not None:
                os.setgroups(groups)
            os.setgid(gid)
            os.setuid(uid)
            done = work()
        finally:
            os._exit(0 if done else 1)
    return os.waitpid(child, 0)[1] == 0


@pytest.mark.skipif(os.geteuid() != 0, reason="needs users and groups to switch to")
@pytest.mark.parametrize(
    "owner, groups, expected",
    [
        (1000, [3000, 2000], (2000, 0o660)),  # another user's file, in a group the mover is in
        (1001, [3000], (3000, 0o600)),  # the mover's own file, in a group the mover left
    ],
)
def test_a_torn_tail_moved_by_another_user_opens_no_other_group(shared_dir, owner, groups, expected):
    # Regression: a user who could not give the side file away kept it in
    # their own primary group yet gave it the data file's group bits, so that
    # group could read bytes the data file kept from it.
    root = os.path.join(shared_dir, "db")
    path = with_torn_tail(root)
    os.chmod(root, 0o777)
    os.chown(path, owner, 2000)
    os.chmod(path, 0o660)
    assert succeeds_as(1001, 3000, groups, lambda: tools.repair(root).torn_tails)
    st = os.stat(path + ".torn")
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (1001, *expected)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs users to switch to")
def test_a_side_file_left_by_another_user_is_named_in_the_refusal(shared_dir):
    # Its mode cannot be set by the mover: the refusal says what to do, not
    # only "Operation not permitted".
    root = os.path.join(shared_dir, "db")
    path = with_torn_tail(root)
    os.chmod(root, 0o777)
    os.chown(path, 1001, 1001)
    os.chmod(path, 0o600)
    open(path + ".torn", "wb").close()
    os.chmod(path + ".torn", 0o666)  # root's, open to all

    def refused():
        with pytest.raises(tools.ToolError, match="owned by another user"):
            tools.repair(root)
        return True

    assert succeeds_as(1001, 1001, None, refused)
    assert os.path.getsize(path + ".torn") == 0


def test_a_torn_tail_is_not_written_through_a_hard_link_at_the_side_files_name(tmp_path, root):
    # Regression: the side file was opened whatever it was, so a hard link
    # to another file at its name had that file given the data file's mode
    # and owner and the tail's bytes appended.
    path = with_torn_tail(root)
    os.chmod(path, 0o600)
    other = tmp_path / "other"
    other.write_text("someone else's\n")
    os.chmod(other, 0o644)
    os.link(other, path + ".torn")
    with pytest.raises(tools.ToolError, match="single name"):
        tools.repair(root)
    assert stat.S_IMODE(os.stat(other).st_mode) == 0o644
    assert other.read_text() == "someone else's\n"
    assert os.path.getsize(path) == 20 + 14  # not cut: the tail is still only there
