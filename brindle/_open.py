"""brindle.open: the store's open with crash recovery in front of it."""

from __future__ import annotations

import os
import warnings
from typing import Union

from . import _brindle, _locks, _tools


class RecoveryWarning(UserWarning):
    """Emitted for each step ``brindle.open`` takes to recover a database."""


PathArg = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]


def _as_text(path: PathArg) -> str:
    raw = os.fspath(path)
    return os.fsdecode(raw) if isinstance(raw, bytes) else raw


def recover(root: str, unclean: bool, known_whole: dict[str, int]) -> None:
    """Moves torn tails aside and, after an unclean end, rebuilds backlinks.

    Files in known_whole (name: size) are known to end on a whole record and
    are not framed again. Emits one RecoveryWarning per step. Damage that is
    not a torn tail is left for check and repair; the open then fails as the
    store reports it.
    """
    for name in _tools.remove_leftovers(root):
        warnings.warn(
            RecoveryWarning(f"{os.path.join(root, name)}: removed the leftover of an interrupted rewrite"),
            stacklevel=3,
        )
    tails = _tools.move_torn_tails(root, known_whole)
    for tail in tails:
        warnings.warn(
            RecoveryWarning(
                f"{tail['file']}: incomplete last record ({tail['bytes']} bytes at offset {tail['offset']}) "
                f"moved to {tail['side_file']}; the file now ends at its last whole record"
            ),
            stacklevel=3,
        )
    if unclean or tails:
        try:
            rebuilt = _tools.rebuild_backlinks(root)
        except _tools.ToolError:
            return  # damaged beyond a torn tail: the open reports it
        why = "the last program to open it did not exit normally" if unclean else "records were cut back"
        warnings.warn(
            RecoveryWarning(
                f"{root}: {why}; rebuilt the backlink indexes from the records "
                f"({rebuilt['entries']} entries in {rebuilt['files']} files)"
            ),
            stacklevel=3,
        )


def open(path: PathArg) -> _brindle.Database:  # noqa: A001 - the package's public name
    """Opens (creating when missing) the database directory at path.

    Before handing the directory to the store, when no other process has it
    open through ``brindle.open``: an incomplete last record of any data or
    backlink file (left by a killed writer) is moved to ``<file>.torn`` and
    the file cut back to its last whole record; and when the last program to
    open it ended without a normal exit, the backlink indexes are rebuilt
    from the records. Each step emits a RecoveryWarning.
    """
    if not isinstance(path, (str, os.PathLike)):
        return _brindle.open(path)  # the store's own TypeError
    root = _as_text(path)
    try:
        os.makedirs(root, exist_ok=True)
    except OSError:
        return _brindle.open(root)  # the store reports why, in its own words
    with _locks.guard_if_possible(root) as locked:
        # Without the locks (a read-only place, say) nothing can be recovered
        # safely: the store decides. A failure of recovery itself is raised.
        if locked and _locks.join_users(root):
            unclean = _locks.marker_exists(root)
            known_whole = _locks.take_known_whole(root)
            recover(root, unclean, {} if unclean else known_whole)
            _locks.note_checked(root)
            _locks.set_marker(root)
    return _brindle.open(root)
