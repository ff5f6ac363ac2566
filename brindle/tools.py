"""Operating a database directory: inspection, check, repair, compaction,
dump and load, sync.

The reading tools (``collections``, ``keys``, ``count``, ``stats``,
``check``, ``dump``) open every file read-only and change nothing, so they
work on a read-only copy of a database.

The rewriting tools (``repair``, ``compact``, ``load``) write new files
beside the old ones, sync them, rename them into place and sync the
directory, so a crash at any point leaves either the old or the new state.
They hold the directory's tool lock, so two tools never run at once and
``brindle.open`` waits for them, and they refuse to run while another process
has the database open through ``brindle.open``. The store itself locks
nothing, so they cannot see a program that opened the directory any other
way: **the database must not be open in any program while they run.**

The heavy work is done in C++ (``brindle._tools``); progress callables
receive byte counts as the work goes.
"""

from __future__ import annotations

import contextlib
import io
import os
import select
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import IO, Any, Optional, Union

from . import _locks, _tools
from ._open import PathArg, _as_text

ToolError = _tools.ToolError
Progress = Optional[Callable[[int], object]]

__all__ = [
    "ToolError",
    "CollectionStats",
    "BacklinkStats",
    "Stats",
    "Problem",
    "CheckReport",
    "RepairReport",
    "collections",
    "keys",
    "count",
    "stats",
    "check",
    "repair",
    "compact",
    "dump",
    "load",
    "sync",
    "work_size",
]


@dataclass(frozen=True)
class CollectionStats:
    name: str
    live_keys: int
    records: int
    file_size: int
    dead_bytes: int  # what a compaction would free


@dataclass(frozen=True)
class BacklinkStats:
    name: str
    entries: int
    records: int
    file_size: int
    dead_bytes: int


@dataclass(frozen=True)
class Stats:
    collections: list[CollectionStats]
    backlinks: list[BacklinkStats]


@dataclass(frozen=True)
class Problem:
    file: str
    # "torn tail", "invalid key", "invalid string" (backlink file), "undecodable record",
    # "not a regular file" or "shorter than at the last normal exit"
    kind: str
    offset: int
    detail: str

    def __str__(self) -> str:
        if self.kind == "not a regular file":  # the whole name, not a place in a file
            return f"{self.file}: {self.kind}: {self.detail}"
        return f"{self.file}: {self.kind} at offset {self.offset}: {self.detail}"


@dataclass(frozen=True)
class CheckReport:
    problems: list[Problem]
    undecodable: int
    missing_backlinks: int
    stale_backlinks: int
    missing_examples: list[str]
    stale_examples: list[str]
    side_files: list[str]  # information only: tails moved aside by recovery
    records: int
    backlink_records: int

    @property
    def ok(self) -> bool:
        return not self.problems and not self.missing_backlinks and not self.stale_backlinks

    def lines(self) -> list[str]:
        """The report as lines of text for a person."""
        out = [str(problem) for problem in self.problems]
        if self.undecodable > sum(p.kind == "undecodable record" for p in self.problems):
            out.append(f"{self.undecodable} undecodable records in all")
        for label, n, examples in (
            ("missing", self.missing_backlinks, self.missing_examples),
            ("stale", self.stale_backlinks, self.stale_examples),
        ):
            if n:
                out.append(f"{n} {label} backlink entries, e.g.: " + "; ".join(examples))
        for name in self.side_files:
            out.append(f"note: {name} holds bytes moved aside by recovery")
        out.append(
            f"{'ok' if self.ok else 'problems found'}: {self.records} records, "
            f"{self.backlink_records} backlink records read"
        )
        return out


@dataclass(frozen=True)
class RepairReport:
    torn_tails: list[dict[str, Any]] = field(default_factory=list)
    leftovers_removed: list[str] = field(default_factory=list)
    backlinks_rebuilt: Optional[dict[str, int]] = None
    damaged_files: list[str] = field(default_factory=list)  # damage beyond a torn tail, left alone
    # Files shorter than at the last normal exit, taken as they are now.
    accepted_shorter: list[str] = field(default_factory=list)


def _refuse_non_directory(root: str) -> None:
    if os.path.lexists(root) and not os.path.isdir(root):
        raise ToolError(f"{root}: not a directory")


def _existing(path: PathArg) -> str:
    root = _as_text(path)
    _refuse_non_directory(root)
    if not os.path.isdir(root):
        raise ToolError(f"{root}: no such database directory")
    return root


def _names(names: Optional[Iterable[str]]) -> Optional[list[str]]:
    if names is None:
        return None
    if isinstance(names, str):
        return [names]
    return list(names)


class _Rewrite:
    """What a tool tells _rewriting: unfinished keeps the marker, so the next
    ``brindle.open`` recovers what the tool could not. And what _rewriting
    tells the tool: unclean, when the marker shows that a program which
    opened the directory did not exit normally, which the next open would
    recover from; and shorter, the files shorter than at the last normal
    exit, which the tool takes as they are."""

    def __init__(self, shorter: dict[str, tuple[int, int]]) -> None:
        self.unfinished = False
        self.unclean = False
        # Files shorter than at the last normal exit: {name: (now, then)}.
        self.shorter = shorter


@contextlib.contextmanager
def _rewriting(root: str, *, marked: bool = True, takes_shorter: bool = False) -> Iterator[_Rewrite]:
    """The tools' lock, and with marked the marker, around a rewrite.

    The marker makes the next ``brindle.open`` recover should this process
    die part-way; it is removed afterwards unless it was there before (an
    earlier crash still to be recovered), the rewrite left something to
    recover, or this process has the database open itself. A rewrite whose
    every partial outcome is consistent goes without it, so that a kill
    costs no rebuild. A file shorter than at the last normal exit is
    refused unless takes_shorter (repair, which reports it).
    """
    with _locks.guard(root):
        if _locks.open_in_this_process(root):
            raise ToolError(f"{root}: the database is open in this process; drop every Database on it first")
        if _locks.others_have_it_open(root):
            raise ToolError(f"{root}: the database is open in another process; close it first")
        rewrite = _Rewrite(_locks.shorter_than_at_last_exit(root))
        if rewrite.shorter and not takes_shorter:
            name, (now, then) = min(rewrite.shorter.items())
            raise ToolError(f"{os.path.join(root, name)}: {now} bytes long, shorter than the {then} it had at"
                            " the last normal exit; run repair first, which takes it as it is and says so")
        before = _locks.file_states(root)
        # What was whole at the last normal exit stops being known once a
        # tool changes files (repair's cuts keep their inodes); a tool that
        # fails having changed none puts it back.
        listed = _locks.drop_known_whole(root)
        # A marker this rewrite did not set (an earlier crash's) stays.
        marker_stays = not marked or _locks.marker_exists(root)
        if marked:
            # Not this process's own live session, which the marker lists while
            # it lives: a forked child's parent that died, or another opener's.
            rewrite.unclean = marker_stays and _locks.unclean_elsewhere(root)
            _locks.set_marker(root)
        try:
            yield rewrite
        except BaseException:
            # A tool that failed after it replaced files leaves them to a
            # recovery; one that failed before (a bad line for load, say)
            # leaves nothing to recover.
            if _locks.file_states(root) != before:
                if marked:
                    _keep_for_recovery(root)
            else:
                _locks.put_back_known_whole(root, listed)
                if not marker_stays and not _locks.held_here(root):
                    _locks.clear_marker(root)
            raise
        if rewrite.unfinished and marked:
            _keep_for_recovery(root)
        elif not marker_stays and not _locks.held_here(root):
            _locks.clear_marker(root)


def _keep_for_recovery(root: str) -> None:
    """After a rewrite left what only a recovery mends: the marker must
    outlive this process. When this process opened the directory through
    ``brindle.open`` the marker may list only its own session, which a
    normal exit would end, taking the marker with it; the session is
    abandoned instead, so its token stays and the next open recovers, in
    this process too."""
    if _locks.held_here(root):
        _locks.abandon(root)


def _non_blocking(stream: Any) -> bool:
    try:
        return not os.get_blocking(stream.fileno())
    except (AttributeError, OSError, ValueError):  # no descriptor (io.StringIO, say)
        return False


def collections(path: PathArg) -> list[str]:
    """The collection names, sorted."""
    return _tools.collections(_existing(path))


def keys(path: PathArg, collection: str) -> list[str]:
    """The live keys of a collection, in file order."""
    return _tools.keys(_existing(path), collection)


def count(path: PathArg, collection: str) -> int:
    """The number of live keys of a collection."""
    return _tools.count(_existing(path), collection)


def work_size(path: PathArg) -> int:
    """The bytes a full pass over the database reads (for a progress bar)."""
    root = _existing(path)
    total = 0
    for name in os.listdir(root):
        if name.endswith((".brd", ".brl")):
            with contextlib.suppress(OSError):
                total += os.stat(os.path.join(root, name)).st_size
    return total


def stats(path: PathArg, *, progress: Progress = None) -> Stats:
    raw = _tools.stats(_existing(path), progress)
    return Stats(
        [CollectionStats(**item) for item in raw["collections"]],
        [BacklinkStats(**item) for item in raw["backlinks"]],
    )


def check(path: PathArg, *, progress: Progress = None) -> CheckReport:
    """Reads every record of every file, read-only, and reports damage and
    backlink entries that disagree with the links the records hold."""
    root = _existing(path)
    raw = _tools.check(root, progress)
    raw["problems"] = [Problem(**item) for item in raw["problems"]] + [
        Problem(os.path.join(root, name), "shorter than at the last normal exit", now,
                f"{then} bytes then: the records past this offset are gone")
        for name, (now, then) in sorted(_locks.shorter_than_at_last_exit(root).items())
    ]
    return CheckReport(**raw)


def repair(path: PathArg, *, rebuild_backlinks: bool = False, progress: Progress = None) -> RepairReport:
    """Moves torn tails aside and then, as ``brindle.open`` does, rebuilds
    every backlink file from the records when it cut any or a program that
    had the database open did not exit normally; with
    rebuild_backlinks it rebuilds them in any case (which a file damaged
    otherwise makes fail). Files damaged beyond a torn tail are left alone
    and named in damaged_files."""
    root = _existing(path)
    with _rewriting(root, takes_shorter=True) as rewrite:
        leftovers = _tools.remove_leftovers(root)
        tails = _tools.move_torn_tails(root)
        whole = set(_tools.whole_files(root, {}))
        damaged = sorted((set(_locks.file_states(root)) - whole) | _locks.unusable_files(root))
        # Records cut back, or written by a program that died, may have had
        # their backlink changes made, or not: only a rebuild tells, as the
        # next open would. When damage stops it, the next open that gets past
        # the damage rebuilds instead.
        rebuild = rebuild_backlinks or ((bool(tails) or rewrite.unclean) and not damaged)
        rebuilt = _tools.rebuild_backlinks(root, progress) if rebuild else None
        rewrite.unfinished = bool(tails) and rebuilt is None
        if rebuilt is not None:
            _locks.settle_marker(root)  # whatever a crash left is mended now
            # The rebuild replaced the backlink files: only what it could not
            # replace is left damaged.
            damaged = sorted({name for name in damaged if name.endswith(".brd")} | _locks.unusable_files(root))
    return RepairReport(tails, leftovers, rebuilt, damaged, sorted(rewrite.shorter))


def compact(path: PathArg, collections: Optional[Iterable[str]] = None, *, progress: Progress = None) -> int:
    """Rewrites the data and backlink files of the collections (default: all)
    with only their live records and entries; returns the bytes freed."""
    root = _existing(path)
    # Each file is replaced by one that holds the same live records or
    # entries, so any mix of old and new files reads the same.
    with _rewriting(root, marked=False):
        _tools.remove_leftovers(root)
        return _tools.compact(root, _names(collections), progress)


def dump(
    path: PathArg,
    out: Union[IO[str], IO[bytes]],
    collections: Optional[Iterable[str]] = None,
    *,
    progress: Progress = None,
) -> int:
    """Writes every live record as one JSON line to out (text or binary);
    returns the number of records written."""
    root = _existing(path)
    buffered: Optional[io.BufferedWriter] = None
    if isinstance(out, io.TextIOBase):
        text_out = out

        def write(chunk: bytes) -> object:
            text_out.write(chunk.decode("utf-8"))
            return None  # it counts characters, not the chunk's bytes

    elif isinstance(out, io.RawIOBase):
        # A raw stream may take part of a chunk, or nothing at all (None)
        # when it would block; a buffer in front retries the one and raises
        # for the other.
        buffered = io.BufferedWriter(out)
        write = buffered.write  # type: ignore[assignment]
    else:
        write = out.write  # type: ignore[assignment]
    try:
        return _tools.dump(root, _names(collections), write, progress)
    finally:
        if buffered is not None:
            try:
                buffered.flush()
            finally:
                buffered.detach()


def load(path: PathArg, in_: Union[IO[str], IO[bytes]], *, progress: Progress = None) -> int:
    """Adds the records of a dump (text or binary) to the database at path,
    creating it when missing, then rebuilds its backlink files. Returns the
    number of records loaded."""
    root = _as_text(path)
    _refuse_non_directory(root)
    try:
        root.encode()
    except UnicodeEncodeError:
        # The tools read such a directory, but the store cannot open it.
        raise ToolError(f"{root}: the name is not UTF-8, so brindle.open could not open what is loaded") from None
    made = _directories_to_make(root)
    os.makedirs(root, exist_ok=True)
    read_some: Callable[[int], Optional[bytes]]
    if isinstance(in_, io.TextIOBase):
        text_in = in_

        def read_some(n: int) -> Optional[bytes]:
            text: Optional[str] = text_in.read(n)
            if text == "" and _non_blocking(text_in):
                # Such a stream gives "" for "nothing yet" as well as for the
                # end: once it is readable, "" is the end.
                select.select([text_in], [], [])
                text = text_in.read(n)
            return None if text is None else text.encode("utf-8")

    else:
        read_some = in_.read  # type: ignore[assignment]

    def read(n: int) -> bytes:
        # A non-blocking stream with nothing to read yet gives None: wait
        # until it has something, as a blocking one would.
        while (chunk := read_some(n)) is None:
            select.select([in_], [], [])
        return chunk

    try:
        with _rewriting(root):
            _tools.remove_leftovers(root)
            return _tools.load(root, read, progress)
    except BaseException:
        _remove_if_left_empty(root, made)
        raise


def _directories_to_make(root: str) -> list[str]:
    """The directories os.makedirs(root) would make, deepest first."""
    made = []
    path = os.path.abspath(root)
    while not os.path.lexists(path):
        made.append(path)
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    return made


def _remove_if_left_empty(root: str, made: list[str]) -> None:
    """After a load that failed into a directory it made: takes the
    directory (and the parents it made) away again when it holds nothing but
    the lock files, so that a mistyped load leaves no database behind."""
    if not made:
        return
    ours = {_locks.LOCK_NAME, _locks.USERS_NAME, _locks.MARKER_NAME, _locks.WHOLE_NAME}
    try:
        with _locks.guard(root):
            # Someone may have opened it meanwhile (its files come at first use).
            if not set(os.listdir(root)) <= ours or _locks.others_have_it_open(root):
                return
            for name in ours:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(root, name))
        for directory in made:
            os.rmdir(directory)  # fails, and stops, at one that is not empty
    except Exception:  # noqa: BLE001 - the load's own failure is what the caller must see
        return


def sync(path: PathArg) -> None:
    """Forces every file of the database and the directory to stable storage."""
    _tools.sync(_existing(path))
