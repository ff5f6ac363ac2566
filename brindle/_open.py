"""brindle.open: the store's open with crash recovery in front of it."""

from __future__ import annotations

import contextlib
import os
import time
import warnings
from typing import Union

from . import _brindle, _locks, _tools


class RecoveryWarning(UserWarning):
    """Emitted for each step ``brindle.open`` takes to recover a database."""


PathArg = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]


def _as_text(path: PathArg) -> str:
    raw = os.fspath(path)
    return os.fsdecode(raw) if isinstance(raw, bytes) else raw


def recover(root: str, unclean: bool, known_whole: dict[str, int], floors: dict[str, int], told: list[str]) -> bool:
    """Moves torn tails aside and, after an unclean end, rebuilds backlinks.

    Files in known_whole (name: size) are known to end on a whole record and
    are not framed again. A file torn below its size in floors (name: size),
    or shorter than it, is damaged: the ToolError naming it stops the open
    before anything is cut. Appends to told one message per step, for a
    RecoveryWarning each once the recovery is on record: a warning that the
    program turns into an error must not cut short a recovery that
    succeeded, which the next open would then run again, and raise again.
    Returns False when the backlinks needed rebuilding and could not be:
    damage that is not a torn tail (left for check and repair; the open then
    fails as the store reports it, or reads what it can), or a failure such
    as a full disk, told in a message. The next open then tries again.
    """
    for name in _tools.remove_leftovers(root):
        told.append(f"{os.path.join(root, name)}: removed the leftover of an interrupted rewrite")
    tails = _tools.move_torn_tails(root, known_whole, floors)
    _locks.drop_known_whole(root)
    for tail in tails:
        told.append(
            f"{tail['file']}: incomplete last record ({tail['bytes']} bytes at offset {tail['offset']}) "
            f"moved to {tail['side_file']}; the file now ends at its last whole record"
        )
    if unclean or tails:
        try:
            rebuilt = _tools.rebuild_backlinks(root)
        except _tools.ToolError as error:
            told.append(
                f"{root}: could not rebuild the backlink indexes ({error}); "
                "they may be out of step with the records until an open succeeds in rebuilding them"
            )
            return False
        why = "the last program to open it did not exit normally" if unclean else "records were cut back"
        told.append(
            f"{root}: {why}; rebuilt the backlink indexes from the records "
            f"({rebuilt['entries']} entries in {rebuilt['files']} files)"
        )
    return True


def open(path: PathArg) -> _brindle.Database:  # noqa: A001 - the package's public name
    """Opens (creating when missing) the database directory at path.

    Before handing the directory to the store, when no other process has it
    open through ``brindle.open``: an incomplete last record of any data or
    backlink file (left by a killed writer) is moved to ``<file>.torn`` and
    the file cut back to its last whole record (an incomplete record inside
    what the file held at the last normal exit is damage instead: the open
    raises a RuntimeError naming it and cuts nothing); and when the last
    program to open it ended without a normal exit, the backlink indexes are
    rebuilt from the records. Each step emits a RecoveryWarning. A process that
    opened the directory before stays one of its users until it exits; it
    recovers all the same when it is the only one left, holds no Database
    on the directory, and another program ended without a normal exit.
    """
    if not isinstance(path, (str, os.PathLike)):
        return _brindle.open(path)  # the store's own TypeError
    root = _as_text(path)
    try:
        root.encode()
    except UnicodeEncodeError:
        # A name that is not UTF-8 (bytes decoded with surrogateescape) is
        # refused by the store: refused here too, before anything is made.
        return _brindle.open(root)
    try:
        os.makedirs(root, exist_ok=True)
    except OSError:
        return _brindle.open(root)  # the store reports why, in its own words
    told: list[str] = []
    with _locks.guard_if_possible(root) as locked:
        # Without the locks (a read-only place, say) nothing can be recovered
        # safely: the store decides. A failure of recovery itself is raised.
        if locked and _locks.left_alone_after_an_unclean_end(root):
            # This process stays a user until it exits: it joins again, as
            # the first opener, so that it recovers what the other left.
            _locks.abandon(root)
        alone = _locks.join_users(root) if locked else None
        if alone is not None:
            try:
                if alone:
                    unclean = _locks.marker_exists(root)
                    known_whole, floors = _locks.read_known_whole(root)
                    # The session is in the marker before recovery starts, so
                    # a recovery cut short (a kill, Ctrl-C, an error) is run
                    # again by the next open.
                    _locks.start_session(root, first=True)
                    if recover(root, unclean, {} if unclean else known_whole, floors, told):
                        _locks.note_checked(root)
                    else:
                        _locks.mark_unfinished(root)
                else:
                    _locks.start_session(root, first=False)
                _locks.end_after_cleanup_when_exiting(root)
            except BaseException:
                _locks.abandon(root)
                # What was done before the failure is still told; a warning
                # made an error must not hide the failure itself.
                with contextlib.suppress(Warning):
                    for message in told:
                        warnings.warn(RecoveryWarning(message), stacklevel=2)
                raise
    for message in told:
        warnings.warn(RecoveryWarning(message), stacklevel=2)
    if alone:
        return _brindle.open(root)  # recovery has just framed every file
    return _open_beside_others(root)


# What the store says of a file that ends inside a record.
_INCOMPLETE_LAST_RECORD = "io: failed to fill whole buffer"
# Pauses between tries, about 0.4 s in all.
_RETRY_PAUSES = (0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2)


def _open_beside_others(root: str) -> _brindle.Database:
    """The store's open while other processes may have the directory open. A
    record one of them is appending at this moment reads as an incomplete
    last record, which the store refuses; the append ends within moments, so
    the open is tried again for a while before that error stands (a tail
    torn for good, left by a writer killed while another program kept the
    directory open, waits for the last user's exit and the next open)."""
    for pause in (*_RETRY_PAUSES, None):
        try:
            return _brindle.open(root)
        except RuntimeError as error:
            if str(error) != _INCOMPLETE_LAST_RECORD:
                raise
            if pause is None:
                raise _torn_beside_others(root, error) from None
        time.sleep(pause)
    raise AssertionError("unreachable: the last try returns or raises")


def _torn_beside_others(root: str, error: RuntimeError) -> RuntimeError:
    """The store's words, which name no file and give no reason, with both."""
    try:
        torn = sorted(set(_locks.file_states(root)) - set(_tools.whole_files(root, {})))
    except (_tools.ToolError, OSError):
        return error
    return RuntimeError(
        f"{error}: {', '.join(os.path.join(root, name) for name in torn) or 'a file'} ends inside a record."
        " Another program using the directory may be appending to it; a tail left by a writer killed while"
        " others kept the directory open is moved aside by the first open after all of them have exited"
        " (`brindle check` shows it)"
    )
