"""The brindle command, run as a user runs it."""

import json
import os
import pty
import subprocess
import sys

import pytest

# Every variant of the JSON mapping, including map keys that look like its tags.
EVERY_VARIANT = "\n".join(
    [
        '{"collection":"c","key":"all","value":{"n":null,"t":true,"f":false,'
        '"i":-9223372036854775808,"x":1.5e-07,"big":1e+16,"one":1.0,"z":-0.0,'
        '"nan":{"$float":"nan"},"nanp":{"$float":"nan:0x7ff0000000000001"},"inf":{"$float":"inf"},'
        '"ninf":{"$float":"-inf"},"s":"h\u00e9\\"\\\\\\n\\u0001","b":{"$bytes":"AAEC/w=="},'
        '"d":{"$date":19000},"tm":{"$time":4294967295},"dt":{"$datetime":18446744073709551615},'
        '"a":[[],{},[1,[2]]],"m":{"$map":{"$link":"x","k":1}},'
        '"l":{"$link":"people/alice","local":{"$self":1,"w":{"$link":"tags/red"}}},'
        '"l2":{"$link":"people/$self"},"ts":{"$tombstone":null}}}',
        '{"collection":"c","key":"","value":{}}',
        '{"collection":"people","key":"alice","value":{"name":"Alice"}}',
    ]
)


def brindle_cli(*args, stdin=None, cwd):
    return subprocess.run(
        [sys.executable, "-m", "brindle", *args], input=stdin, capture_output=True, text=True, cwd=cwd, timeout=60
    )


def run_with_closed(fd, argv, cwd):
    """Runs argv with its descriptor fd (1 or 2) closed, as `>&-` or `2>&-`
    does; the other of the two is captured."""
    other = {"stdout": subprocess.PIPE} if fd == 2 else {"stderr": subprocess.PIPE}
    return subprocess.run(argv, text=True, cwd=cwd, timeout=60, preexec_fn=lambda: os.close(fd), **other)


def test_dump_load_dump_is_identical_for_every_variant(tmp_path):
    first = brindle_cli("load", "db1", stdin=EVERY_VARIANT, cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    dumped = brindle_cli("dump", "db1", cwd=tmp_path).stdout
    assert brindle_cli("load", "db2", stdin=dumped, cwd=tmp_path).returncode == 0
    (tmp_path / "out.jsonl").write_text("an earlier dump\n")
    assert brindle_cli("dump", "db2", "-o", "out.jsonl", cwd=tmp_path).returncode == 0
    assert (tmp_path / "out.jsonl").read_text() == dumped
    # Not a regular file: written in place (the replacing dump looked for a
    # directory beside /dev/stdout's pipe).
    assert brindle_cli("dump", "db2", "-o", "/dev/stdout", cwd=tmp_path).stdout == dumped
    # Collections in name order, and within one in file order.
    assert [json.loads(line)["key"] for line in dumped.splitlines()] == ["all", "", "alice"]
    assert dumped.splitlines()[0] == EVERY_VARIANT.splitlines()[0]


def test_get_backlinks_and_resolve_print_the_dump_mapping(tmp_path):
    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    assert json.loads(brindle_cli("get", "db", "c", "all", cwd=tmp_path).stdout)["d"] == {"$date": 19000}
    links = brindle_cli("backlinks", "db", "people", "alice", cwd=tmp_path)
    assert links.stdout == '[{"source_collection":"c","source_key":"all","source_path":"l"}]\n'  # compact, as get
    assert json.loads(brindle_cli("resolve", "db", "c", "all", "l", "name", cwd=tmp_path).stdout) == "Alice"


def test_resolve_leaves_the_directory_as_it_found_it(tmp_path):
    # Regression: resolving opened the store for writing, which created an
    # empty data file for every collection it met without one.
    brindle_cli("load", "db", stdin='{"collection":"c","key":"k","value":{"l":{"$link":"tags/red"}}}', cwd=tmp_path)
    before = sorted(os.listdir(tmp_path / "db"))
    through_missing = brindle_cli("resolve", "db", "c", "k", "l", "name", cwd=tmp_path)
    assert (through_missing.returncode, through_missing.stdout.strip()) == (0, "null")
    missing = brindle_cli("resolve", "db", "nope", "k", cwd=tmp_path)
    assert (missing.returncode, missing.stderr.strip()) == (2, "brindle resolve: storage: key not found")
    assert sorted(os.listdir(tmp_path / "db")) == before


@pytest.mark.parametrize(
    "args, code, stream, text",
    [
        (["check", "db"], 0, "stdout", "ok: 5 records"),
        (["get", "db", "c", "missing"], 2, "stderr", "brindle get: c/missing: no such record"),
        (["keys", "nowhere", "c"], 2, "stderr", "no such database directory"),
        # Regression: these answered with a system error (or, for dump, a
        # temporary file in the parent directory) instead of saying what was wrong.
        (["get", "db", "nope", "k"], 2, "stderr", "brindle get: nope/k: no such record"),
        (["keys", "db", "nope"], 2, "stderr", 'no collection named "nope"'),
        (["keys", "db/c.brd", "c"], 2, "stderr", "db/c.brd: not a directory"),
        (["load", "db/c.brd"], 2, "stderr", "db/c.brd: not a directory"),
        (["load", "caf\udce9"], 2, "stderr", "the name is not UTF-8"),
        (["dump", "db", "-o", ""], 2, "stderr", "the output file name is empty"),
        (["compact", "db", "-c", "nope"], 2, "stderr", "no collection"),
        # Regression: a name with "/" read a file outside the directory.
        (["keys", "db", "../db/c"], 2, "stderr", "invalid collection name"),
        (["backlinks", "db", "../db/people", "alice"], 2, "stderr", "invalid collection name"),
        (["frobnicate"], 2, "stderr", "invalid choice"),
        (["keys", "db", "c", "--count"], 0, "stdout", "2"),
        (["collections", "db"], 0, "stdout", "c\nn\npeople\n"),
        # A key holding a newline stays one line, and any key plain ASCII.
        (["keys", "db", "n", "--json"], 0, "stdout", '"two\\nlines"\n"caf\\u00e9"\n'),
        (["collections", "db", "--json"], 0, "stdout", '"c"\n"n"\n"people"\n'),
    ],
)
def test_exit_codes_and_streams(tmp_path, args, code, stream, text):
    names = '{"collection":"n","key":"two\\nlines","value":1}\n{"collection":"n","key":"caf\u00e9","value":2}'
    brindle_cli("load", "db", stdin=EVERY_VARIANT + "\n" + names, cwd=tmp_path)
    result = brindle_cli(*args, cwd=tmp_path)
    assert result.returncode == code, result.stderr
    assert text in getattr(result, stream)


@pytest.mark.parametrize("args", [["dump", "db"], ["keys", "db", "nope"]])
def test_a_closed_stdout_is_an_error_not_a_traceback_or_silence(tmp_path, args):
    # Regression: dump raised AttributeError (exit 1, "problems found") and
    # keys printed nothing and exited 0.
    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    run = run_with_closed(1, [sys.executable, "-m", "brindle", *args], tmp_path)  # as `brindle dump db >&-`
    assert (run.returncode, run.stderr) == (2, f"brindle {args[0]}: standard output is closed\n")


# Regression: --help exited 0 having printed nothing, and compact's message
# made work that was done look failed.
@pytest.mark.parametrize("args, said", [
    (["--help"], "brindle: cannot write to standard output: "),
    (["collections", "db"], "brindle collections: cannot write to standard output: "),
    (["compact", "db"], "brindle compact: cannot write to standard output (its work is done): "),
])
def test_a_full_stdout_is_an_error_that_names_it(tmp_path, args, said):
    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    with open("/dev/full", "w") as full:
        run = subprocess.run([sys.executable, "-m", "brindle", *args], stdout=full, stderr=subprocess.PIPE,
                             text=True, cwd=tmp_path, timeout=60)
    assert (run.returncode, run.stderr) == (2, said + "[Errno 28] No space left on device\n")


# Regression: a reader of stdout that went away (`brindle check db | head`)
# turned the verdict carried by the exit code into 0, "ok".
@pytest.mark.parametrize("args", [["check", "db"], ["repair", "db"]])
def test_a_reader_gone_away_keeps_the_verdict_in_the_exit_code(tmp_path, args):
    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    with open(tmp_path / "db" / "c.brd", "ab") as f:
        f.write(b"\x01\x00\x00\x00\xff\x00\x00\x00\x00")  # a key that is not UTF-8
    read, write = os.pipe()
    os.close(read)  # every write to stdout fails with EPIPE
    try:
        run = subprocess.run([sys.executable, "-m", "brindle", *args], stdout=write, cwd=tmp_path, timeout=60)
    finally:
        os.close(write)
    assert run.returncode == 1


def test_check_exits_1_on_damage_and_repair_mends_it(tmp_path):
    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    with open(tmp_path / "db" / "people.brl", "ab") as f:
        f.write(b"\x01\x05\x00")  # a torn backlink record
    os.remove(tmp_path / "db" / "tags.brl")  # a lost backlink entry
    check = brindle_cli("check", "db", cwd=tmp_path)
    assert check.returncode == 1
    assert "torn tail" in check.stdout and "1 missing backlink entries" in check.stdout
    repair = brindle_cli("repair", "db", "--rebuild-backlinks", cwd=tmp_path)
    assert repair.returncode == 0 and "people.brl.torn" in repair.stdout
    again = brindle_cli("check", "db", cwd=tmp_path)
    assert again.returncode == 0 and "people.brl.torn holds bytes" in again.stdout
    # Regression: damage repair cannot mend was met with "nothing to repair".
    with open(tmp_path / "db" / "c.brd", "ab") as f:
        f.write(b"\x01\x00\x00\x00\xff\x00\x00\x00\x00")  # a key that is not UTF-8
    unmendable = brindle_cli("repair", "db", cwd=tmp_path)
    assert unmendable.returncode == 1 and "c.brd: damaged beyond a torn tail" in unmendable.stdout
    rebuild = brindle_cli("repair", "db", "--rebuild-backlinks", cwd=tmp_path)
    assert rebuild.returncode == 2 and "invalid key at offset" in rebuild.stderr
    assert "run repair first" not in rebuild.stderr
    # Regression: the reading tools answered from the records before the bad
    # key, and a failed dump emptied the file it was to replace.
    for args in (["keys", "db", "c"], ["keys", "db", "c", "--count"], ["get", "db", "c", "all"], ["stats", "db"]):
        result = brindle_cli(*args, cwd=tmp_path)
        assert result.returncode == 2 and "c.brd: invalid key at offset" in result.stderr, args
    unopenable = brindle_cli("resolve", "db", "people", "alice", cwd=tmp_path)
    assert unopenable.returncode == 2 and "check names the damage" in unopenable.stderr
    (tmp_path / "out.jsonl").write_text("an earlier dump\n")
    assert brindle_cli("dump", "db", "-o", "out.jsonl", cwd=tmp_path).returncode == 2
    assert (tmp_path / "out.jsonl").read_text() == "an earlier dump\n"
    assert sorted(os.listdir(tmp_path)) == ["db", "out.jsonl"]


def test_every_subcommand_has_help(tmp_path):
    for command in "stats collections keys get backlinks resolve dump load check repair compact sync".split():
        result = brindle_cli(command, "--help", cwd=tmp_path)
        assert result.returncode == 0 and "usage: brindle " + command in result.stdout


def test_a_failed_dump_keeps_an_earlier_dump_whose_name_is_long(tmp_path):
    # Regression: the temporary file's name, made from the output's, was too
    # long for the file system; the dump then wrote in place, and a dump that
    # failed left the earlier one emptied.
    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    name = "d" * 240 + ".jsonl"  # 246 bytes: with a prefix and suffix its temporary name was not
    (tmp_path / name).write_text("an earlier dump\n")
    failed = brindle_cli("dump", "db", "-o", name, "-c", "nope", cwd=tmp_path)
    assert failed.returncode == 2 and "no collection" in failed.stderr
    assert (tmp_path / name).read_text() == "an earlier dump\n"
    assert sorted(os.listdir(tmp_path)) == ["db", name]
    assert brindle_cli("dump", "db", "-o", name, cwd=tmp_path).returncode == 0
    assert (tmp_path / name).read_text() == brindle_cli("dump", "db", cwd=tmp_path).stdout


@pytest.mark.parametrize(
    "args", [["check", "db"], ["get", "db", "c", "missing"], ["dump", "db"], ["keys", "db", "nope"], ["frobnicate"]]
)
def test_a_closed_stderr_changes_neither_the_exit_code_nor_stdout(tmp_path, args):
    # Regression: the commands with a progress bar asked the closed stream
    # whether it was a terminal and died with exit 1, which check uses for
    # damage; the others printed their messages to stdout, into the output.
    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    with_stderr = brindle_cli(*args, cwd=tmp_path)
    run = run_with_closed(2, [sys.executable, "-m", "brindle", *args], tmp_path)  # as `brindle check db 2>&-`
    assert (run.returncode, run.stdout) == (with_stderr.returncode, with_stderr.stdout)
    # Regression: the closed number went to the next file opened, a database
    # file, which anything writing to standard error below Python then wrote into.
    code = "import os, brindle.cli as c; c._fill_closed_standard_descriptors(); print(os.open('db', 0))"
    first_file = run_with_closed(2, [sys.executable, "-c", code], tmp_path)
    assert int(first_file.stdout) > 2


@pytest.mark.skipif(bool(os.environ.get("BRINDLE_UNDER_SANITIZER")), reason="the sanitizers reserve address space")
def test_running_out_of_memory_is_an_error_not_damage_found(tmp_path):
    # Regression: the MemoryError went uncaught, a traceback with exit 1,
    # the code check uses for damage found.
    code = """if True:
        import resource, sys
        from brindle import cli
        with open("/proc/self/status") as f:
            size = next(int(line.split()[1]) for line in f if line.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20),) * 2)
        sys.exit(cli.main(["load", "db", "-"]))
    """
    with open("/dev/zero", "rb") as endless_line:
        run = subprocess.run([sys.executable, "-c", code], stdin=endless_line, capture_output=True, text=True,
                             cwd=tmp_path, timeout=60)
    assert (run.returncode, run.stderr) == (2, "brindle load: out of memory\n")


def test_dump_over_a_file_syncs_the_rename_and_keeps_the_owner(tmp_path, monkeypatch):
    # Regression: the renamed dump was not synced into its directory, so a
    # crash after exit 0 could bring back the old file; and it took the
    # owner of whoever ran the dump.
    from brindle import cli

    brindle_cli("load", "db", stdin=EVERY_VARIANT, cwd=tmp_path)
    out = tmp_path / "out.jsonl"
    out.write_text("an earlier dump\n")
    if os.geteuid() == 0:
        os.chown(out, 12345, 23456)
    synced = []
    real_fsync = os.fsync

    def fsync(fd):
        synced.append(os.path.realpath(f"/proc/self/fd/{fd}"))
        real_fsync(fd)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.chdir(tmp_path)
    assert cli.main(["dump", "db", "-o", "out.jsonl"]) == 0
    assert out.read_text() == brindle_cli("dump", "db", cwd=tmp_path).stdout
    assert synced[-1] == str(tmp_path.resolve())  # the directory, after the rename
    if os.geteuid() == 0:
        assert (out.stat().st_uid, out.stat().st_gid) == (12345, 23456)


# Regression: a load reading from the terminal said nothing while every open
# of the database waited for it, and one Ctrl-D did not end it.
def test_a_load_from_the_terminal_says_so_and_ends_at_one_ctrl_d(tmp_path):
    controller, terminal = pty.openpty()
    load = subprocess.Popen([sys.executable, "-m", "brindle", "load", "db"], stdin=terminal,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=tmp_path, text=True)
    os.close(terminal)
    os.write(controller, b'{"collection":"c","key":"k","value":1}\n\x04')
    try:
        _, err = load.communicate(timeout=30)
    finally:
        load.kill()
        os.close(controller)
    assert load.returncode == 0 and "end it with Ctrl-D" in err and "loaded 1 records" in err
