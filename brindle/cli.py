"""The ``brindle`` command: operating a database from the shell.

Output meant for scripts goes to stdout, messages to stderr. Exit codes: 0
ok, 1 problems found (check), 2 usage or I/O error. Long work shows a
progress bar on stderr when stderr is a terminal.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import json
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, NoReturn, Optional

from . import _tools, tools
from ._version import __version__

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

EXIT_OK, EXIT_PROBLEMS, EXIT_ERROR = 0, 1, 2


class _Parser(argparse.ArgumentParser):
    def _print_message(self, message: str, file: Optional[SupportsWrite[str]] = None) -> None:
        # argparse drops a failed write of --help or --version and exits 0.
        if message and file is not None and file is sys.stdout:
            _write_output(message)
            _flush_output()
        else:
            super()._print_message(message, file)

    def error(self, message: str) -> NoReturn:
        if sys.stderr is not None:  # closed, print_usage would fall back to stdout
            self.print_usage(sys.stderr)
            self.exit(EXIT_ERROR, f"{self.prog}: error: {message}\n")
        self.exit(EXIT_ERROR)


def _say(message: str) -> None:
    """A message for the person at stderr. Closed when the program started
    (Python then holds None for it), it takes nothing: print would send the
    message to stdout, into the command's output."""
    if sys.stderr is not None:
        print(message, file=sys.stderr)


@contextlib.contextmanager
def _progress(label: str, total: int) -> Iterator[Optional[Callable[[int], object]]]:
    if sys.stderr is None or not sys.stderr.isatty():
        yield None
        return
    # Imported here, and untyped on purpose: only a terminal needs it.
    tqdm: Any = importlib.import_module("tqdm").tqdm

    with tqdm(total=total, desc=label, unit="B", unit_scale=True, file=sys.stderr, leave=False) as bar:
        yield bar.update


class _OutputFailed(Exception):
    """Writing to standard output failed (a full disk, say). The command's
    work may well have been done (compact, repair): the message must not
    make it look failed."""


def _write_output(text: str) -> None:
    """Output of the command. A reader that went away is not a failure of
    ours and passes as it is."""
    try:
        sys.stdout.write(text)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _OutputFailed(error) from error


def _out(line: str) -> None:
    _write_output(line + "\n")


def _flush_output() -> None:
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as error:
        raise _OutputFailed(error) from error


def _drop_output() -> None:
    """Points stdout at /dev/null, so that the interpreter's flush at exit
    neither fails again nor turns the exit code into its own."""
    with contextlib.suppress(OSError, ValueError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _cmd_stats(args: argparse.Namespace) -> int:
    with _progress("stats", tools.work_size(args.path)) as progress:
        result = tools.stats(args.path, progress=progress)
    report = {
        "collections": [vars(c) for c in result.collections],
        "backlinks": [vars(b) for b in result.backlinks],
    }
    _out(json.dumps(report, indent=2))
    return EXIT_OK


def _print_names(names: Iterable[str], as_json: bool) -> None:
    """One name per line; as JSON strings when asked, since a name may hold a
    newline (or text the terminal's encoding cannot show)."""
    for name in names:
        _out(json.dumps(name) if as_json else name)


def _cmd_collections(args: argparse.Namespace) -> int:
    _print_names(tools.collections(args.path), args.json)
    return EXIT_OK


def _cmd_keys(args: argparse.Namespace) -> int:
    if args.count:
        _out(str(tools.count(args.path, args.collection)))
    else:
        _print_names(tools.keys(args.path, args.collection), args.json)
    return EXIT_OK


def _cmd_get(args: argparse.Namespace) -> int:
    found = _tools.get(tools._existing(args.path), args.collection, args.key)
    if found is None:
        _say(f"brindle get: {args.collection}/{args.key}: no such record")
        return EXIT_ERROR
    _out(found)
    return EXIT_OK


def _cmd_backlinks(args: argparse.Namespace) -> int:
    entries = _tools.backlinks(tools._existing(args.path), args.collection, args.key)
    _out(json.dumps(entries, ensure_ascii=False, separators=(",", ":")))  # as get prints
    return EXIT_OK


def _cmd_resolve(args: argparse.Namespace) -> int:
    _out(_tools.resolve(tools._existing(args.path), args.collection, args.key, args.field))
    return EXIT_OK


def _cmd_dump(args: argparse.Namespace) -> int:
    if not args.output:
        raise tools.ToolError("the output file name is empty")
    with _progress("dump", tools.work_size(args.path)) as progress:
        if args.output == "-":
            n = tools.dump(args.path, sys.stdout.buffer, args.collection or None, progress=progress)
            sys.stdout.buffer.flush()
        else:
            with _replacing(args.output) as out:
                n = tools.dump(args.path, out, args.collection or None, progress=progress)
    _say(f"dumped {n} records")
    return EXIT_OK


@contextlib.contextmanager
def _replacing(name: str) -> Iterator[Any]:
    """A file that takes the place of `name` only once the block succeeds,
    so a failed dump leaves an earlier dump there whole. Anything but a
    writable regular file or a new name (a pipe, /dev/stdout, a file we may
    not write to) is written in place, as open() would."""
    try:
        old = os.stat(name)  # through symbolic links
        mode: Optional[int] = old.st_mode
    except FileNotFoundError:
        old, mode = None, None
    part = ""
    if mode is None or (stat.S_ISREG(mode) and os.access(name, os.W_OK)):
        # Beside the file a symbolic link names, so the rename replaces it.
        directory, base = os.path.split(os.path.realpath(name))
        # The temporary name adds a dot, eight characters and ".part" to the
        # one it is made from: a long name is cut, so that it still fits in a
        # file name (no character takes more than four bytes).
        stem = base if len(os.fsencode(base)) <= 200 else base[:50]
        with contextlib.suppress(OSError):
            fd, part = tempfile.mkstemp(prefix=f".{stem}.", suffix=".part", dir=directory)
    if not part:
        with open(name, "wb") as out:
            yield out
        return
    try:
        with open(fd, "wb") as out:
            if mode is None:
                umask = os.umask(0)
                os.umask(umask)
                mode = 0o666 & ~umask
            if old is not None and (old.st_uid, old.st_gid) != (os.getuid(), os.getgid()):
                # The file keeps its owner where this user may give it (root
                # may, or a group it is in); otherwise it becomes ours, as
                # any replacement does.
                with contextlib.suppress(OSError):
                    os.fchown(out.fileno(), old.st_uid, old.st_gid)
            os.chmod(out.fileno(), stat.S_IMODE(mode))  # after fchown, which may clear set-id bits
            yield out
            out.flush()
            os.fsync(out.fileno())  # the rename must not land before the bytes
        os.replace(part, os.path.join(directory, base))
        # Without this, a crash soon after exit 0 could bring back the old file.
        _sync_directory(directory)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(part)
        raise


def _sync_directory(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _cmd_load(args: argparse.Namespace) -> int:
    if args.input == "-":
        if sys.stdin.isatty():
            # The load holds the directory's lock while it reads: say so,
            # or a forgotten file name leaves every open waiting in silence.
            _say(f"brindle load: reading a dump from the terminal, one JSON object per line; end it with Ctrl-D"
                 f" (opens of {args.path} wait until then)")
            # Unbuffered, so that one Ctrl-D ends it: a buffered read that
            # asked for more than a line takes the first as the end of its
            # own read only.
            with open(sys.stdin.fileno(), "rb", buffering=0, closefd=False) as terminal:
                n = tools.load(args.path, terminal)
        else:
            n = tools.load(args.path, sys.stdin.buffer)
    else:
        with open(args.input, "rb") as source, _progress("load", os.path.getsize(args.input)) as progress:
            n = tools.load(args.path, source, progress=progress)
    _say(f"loaded {n} records")
    return EXIT_OK


def _cmd_check(args: argparse.Namespace) -> int:
    with _progress("check", tools.work_size(args.path)) as progress:
        report = tools.check(args.path, progress=progress)
    args.verdict = verdict = EXIT_OK if report.ok else EXIT_PROBLEMS
    for line in report.lines():
        _out(line)
    return verdict


def _cmd_repair(args: argparse.Namespace) -> int:
    with _progress("repair", tools.work_size(args.path)) as progress:
        report = tools.repair(args.path, rebuild_backlinks=args.rebuild_backlinks, progress=progress)
    args.verdict = EXIT_PROBLEMS if report.damaged_files else EXIT_OK
    for name in report.leftovers_removed:
        _out(f"removed the leftover of an interrupted rewrite: {name}")
    for tail in report.torn_tails:
        _out(f"{tail['file']}: moved {tail['bytes']} bytes at offset {tail['offset']} to {tail['side_file']}")
    if report.backlinks_rebuilt is not None:
        rebuilt = report.backlinks_rebuilt
        _out(f"rebuilt {rebuilt['files']} backlink files with {rebuilt['entries']} entries")
        if rebuilt["skipped_records"]:
            _out(f"{rebuilt['skipped_records']} live records do not decode; their links are not indexed")
    for name in report.accepted_shorter:
        _out(f"{name}: shorter than at the last normal exit; taken as it is now")
    for name in report.damaged_files:
        _out(f"{name}: damaged beyond a torn tail, which repair cannot mend; check shows where")
    if report.damaged_files:
        return EXIT_PROBLEMS
    if not (report.leftovers_removed or report.torn_tails or report.backlinks_rebuilt or report.accepted_shorter):
        # Drift between records and backlinks is not looked for here (check
        # reads every record to find it); the rebuild mends it.
        _out("nothing to repair: no torn tail, no leftover of a rewrite, no unclean exit"
             " (backlink drift that check reports: repair --rebuild-backlinks)")
    return EXIT_OK


def _cmd_compact(args: argparse.Namespace) -> int:
    with _progress("compact", tools.work_size(args.path)) as progress:
        freed = tools.compact(args.path, args.collection or None, progress=progress)
    _out(f"freed {freed} bytes")
    return EXIT_OK


def _cmd_sync(args: argparse.Namespace) -> int:
    tools.sync(args.path)
    return EXIT_OK


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="brindle", description="Operate a brindle database directory.")
    parser.add_argument("--version", action="version", version=f"brindle {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def command(name: str, run: Callable[[argparse.Namespace], int], summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.add_argument("path", help="the database directory")
        sub.set_defaults(run=run)
        return sub

    command("stats", _cmd_stats, "per collection: live keys, records, dead bytes, file sizes (JSON)")
    json_help = "print each as a JSON string, for names that may hold newlines"
    collections = command("collections", _cmd_collections, "list the collections, one per line")
    collections.add_argument("--json", action="store_true", help=json_help)
    keys = command("keys", _cmd_keys, "list the live keys of a collection in file order, one per line")
    keys.add_argument("collection")
    keys.add_argument("--count", action="store_true", help="print only how many there are")
    keys.add_argument("--json", action="store_true", help=json_help)
    for name, run, summary in (
        ("get", _cmd_get, "print a record's value as JSON (the dump's value mapping)"),
        ("backlinks", _cmd_backlinks, "print the records linking to a record as JSON"),
    ):
        sub = command(name, run, summary)
        sub.add_argument("collection")
        sub.add_argument("key")
    resolve = command("resolve", _cmd_resolve, "resolve a field path across links and print the value as JSON")
    resolve.add_argument("collection")
    resolve.add_argument("key")
    resolve.add_argument("field", nargs="*", help="the field path, one segment per argument")
    dump = command("dump", _cmd_dump, "write every live record as one JSON object per line")
    dump.add_argument("-o", "--output", default="-", help="output file (default: stdout)")
    dump.add_argument("-c", "--collection", action="append", help="only this collection (repeatable)")
    load = command("load", _cmd_load, "add the records of a dump to a database (created when missing)")
    load.add_argument("input", nargs="?", default="-", help="dump file (default: stdin)")
    command("check", _cmd_check, "read every record; report damage and backlink drift (exit 1 if any)")
    repair = command("repair", _cmd_repair, "move torn tails aside; optionally rebuild the backlink files")
    repair.add_argument("--rebuild-backlinks", action="store_true", help="rewrite every backlink file from the records")
    compact = command("compact", _cmd_compact, "rewrite the files with only live records and entries")
    compact.add_argument("-c", "--collection", action="append", help="only this collection (repeatable)")
    command("sync", _cmd_sync, "force every file of the database to stable storage")
    return parser


def _closed_stream(args: argparse.Namespace) -> Optional[str]:
    """The standard stream the command needs that was closed when the program
    started (Python then holds None for it, and writing to it does nothing)."""
    if args.command == "load" and args.input == "-" and sys.stdin is None:
        return "standard input"
    quiet = args.command in ("load", "sync") or (args.command == "dump" and args.output != "-")
    if not quiet and sys.stdout is None:
        return "standard output"
    return None


def _fill_closed_standard_descriptors() -> None:
    """Points each of descriptors 0-2 that is closed at /dev/null. Left
    closed, the next file opened takes its number, and whatever writes to
    standard error below Python (the C library, the interpreter's fatal
    errors) would write into that file: a database file among them."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)  # takes the lowest free number: this one


def main(argv: Optional[Sequence[str]] = None) -> int:
    _fill_closed_standard_descriptors()
    try:
        args = _parser().parse_args(argv)
    except BrokenPipeError:
        _drop_output()
        return EXIT_OK
    except _OutputFailed as failed:
        _drop_output()
        _say(f"brindle: cannot write to standard output: {failed}")
        return EXIT_ERROR
    closed = _closed_stream(args)
    if closed is not None:
        _say(f"brindle {args.command}: {closed} is closed")
        return EXIT_ERROR
    try:
        code: int = args.run(args)
        if sys.stdout is not None:
            _flush_output()
        return code
    except BrokenPipeError:
        # The reader went away (`brindle dump DB | head`): not an error of ours.
        _drop_output()
        # A verdict reached before the printing (check, repair) still stands.
        verdict: int = getattr(args, "verdict", EXIT_OK)
        return verdict
    except _OutputFailed as failed:
        _drop_output()
        done = " (its work is done)" if args.command in ("repair", "compact") else ""
        _say(f"brindle {args.command}: cannot write to standard output{done}: {failed}")
        return EXIT_ERROR
    except (tools.ToolError, OSError, RuntimeError, UnicodeError) as error:
        _say(f"brindle {args.command}: {error}")
        return EXIT_ERROR
    except KeyboardInterrupt:
        _say(f"brindle {args.command}: interrupted")
        return EXIT_ERROR
    except MemoryError:
        # Uncaught, it would end in exit 1, which check uses for damage found.
        _say(f"brindle {args.command}: out of memory")
        return EXIT_ERROR
