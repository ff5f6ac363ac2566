"""Advisory locks and the unclean-exit marker of a database directory.

Four files sit in the directory beside the data:

- ``.brindle-lock``: held exclusively (flock) for the few moments in which
  ``brindle.open`` decides whether to recover, and for the whole run of a
  rewriting tool, so that opens wait for a tool and two tools never overlap;
- ``.brindle-users``: every process that opened the directory through
  ``brindle.open`` holds a shared lock on it until it exits; the kernel drops
  the lock of a process that dies, so "nobody holds it" means "nobody has the
  database open";
- ``.brindle-open``: the marker. It lists one token per session (a process
  that called ``brindle.open`` on the directory); a session removes its own
  token at a normal exit, and the last user to leave removes the marker when
  no token is left. Found while nobody holds ``.brindle-users``, it means
  that some program ended without a normal exit (the last one, or any other
  whose token stayed), and recovery runs. A forked child shares its
  parent's session: it takes a users lock of its own, so that the parent's
  exit sees it, but adds no token (children that end with ``os._exit``, as
  pool workers do, would otherwise make every next open recover). A rewriting
  tool also leaves the marker while it runs, and an open whose recovery
  could not finish leaves an "unfinished" line.
- ``.brindle-whole``: written by the last user at a normal exit, it names the
  data and backlink files known to end on a whole record, each with its
  inode, size, and modification and change times. The first opener skips
  the framing check of every file it names that no one has touched since
  (any write, cut or replacement changes those times), and refuses to cut a
  file still on its inode at or below the size named: a killed writer tears
  only what it appended, so that is damage. It removes the list once that
  check is done; the tools remove it before they change anything. A list
  written before the last reboot is not believed: nothing forces the data
  to disk, so a power loss may have taken what the list counts on.

Which files are known whole: the first opener's check leaves every file
either whole or damaged before its end (damage the check leaves alone, and
that it would find again the same way). At the exit, each file still on the
same inode and no shorter is framed from the length it had then, so what
anyone appended during the session is checked, and only files that frame
whole to their end and did not change during that scan are named. A last
user that did not open first has no such lengths and frames every file
from its start.

The store itself locks nothing; these locks only coordinate ``brindle.open``
and the tools.
"""

from __future__ import annotations

import atexit
import contextlib
import errno
import fcntl
import json
import os
import secrets
import stat
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Optional

from . import _tools

LOCK_NAME = ".brindle-lock"
USERS_NAME = ".brindle-users"
MARKER_NAME = ".brindle-open"
WHOLE_NAME = ".brindle-whole"

# Directories this process holds a users lock on: real path -> (descriptor,
# the process that took it). A child made by fork inherits the entries and
# the exit handler; it replaces them with locks of its own, taken for it
# just before the fork (see _lock_for_child), and skips any it could not take.
_users: dict[str, tuple[int, int]] = {}
# The session token this process wrote into each directory's marker: real
# path -> (token, the process that wrote it). Only that process removes it.
_sessions: dict[str, tuple[str, int]] = {}
# Directories this process opened first, checked: real path -> the inode and
# size of each data and backlink file right after the check. A directory
# missing here is framed whole at the exit, should this process leave last.
_checked: dict[str, dict[str, tuple[int, int]]] = {}

# Descriptors holding a lock for a moment or for a tool's run (the guard, a
# users lock being taken or probed). A child made by fork drops its copies
# at once: a copy keeps the lock for as long as the child lives, and every
# open or tool, the child's own included, would wait for it.
_held_briefly: set[int] = set()
# Directories whose guard a thread of this process holds: real path -> that
# thread.
_guarded: dict[str, int] = {}
# Users locks taken for the child of the fork under way: real path ->
# descriptor.
_for_child: dict[str, int] = {}
# Held while a lock's descriptor is opened and listed (in _held_briefly or
# _users), or unlisted and closed, and from just before a fork until just
# after it, so that no fork falls between the two steps and forks from
# several threads take turns. Never held while waiting for a lock.
# Reentrant: a signal handler that forks or opens while its thread is in
# one of these steps must not wait for itself.
_fork_lock = threading.RLock()
_forking = False  # whether the fork under way holds _fork_lock
# Whether the exit handler has begun: a handler registered after that point
# never runs.
_exit_begun = False

# A file's identity and state: inode, size, modification and change times.
FileState = tuple[int, int, int, int]


def _open_rw(path: str) -> int:
    """Opens (creating when missing) a lock file. One this process may not
    write (another user's, made under a umask that keeps others out) is
    opened for reading: a lock needs no more, and an open that went on
    without it would write unseen by the tools, which then replace the
    files under it."""
    try:
        return os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as refused:
        # Not on a read-only file system: nobody writes there unseen, and
        # the store reports that it cannot write.
        if refused.errno not in (errno.EACCES, errno.EPERM):
            raise
        try:
            return os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            raise refused from None


@contextlib.contextmanager
def guard(root: str) -> Iterator[None]:
    """Holds the directory's exclusive lock (waiting for it) for the block."""
    _refuse_guard_held_by_this_thread(root)
    fd = _open_brief(os.path.join(root, LOCK_NAME))
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        with _guard_held(root):
            yield
    finally:
        _close_brief(fd)


def _refuse_guard_held_by_this_thread(root: str) -> None:
    """A tool's callback (its progress, load's read) that opens the database
    or runs a rewriting tool on it would wait for its own tool forever."""
    if _guarded.get(os.path.realpath(root)) == threading.get_ident():
        raise _tools.ToolError(f"{root}: a tool is rewriting the database in this thread; wait until it returns")


@contextlib.contextmanager
def _guard_held(root: str) -> Iterator[None]:
    real = os.path.realpath(root)
    try:
        _guarded[real] = threading.get_ident()
        yield
    finally:
        # Before the lock is let go: the next holder, in another thread,
        # lists itself only once it has the lock.
        _guarded.pop(real, None)


def _open_brief(path: str) -> int:
    """Opens a lock file whose lock is held for a while only: a child forked
    before _close_brief lets go of its copy."""
    with _fork_lock:
        fd = _open_rw(path)
        _held_briefly.add(fd)
    return fd


def _close_brief(fd: int) -> None:
    with _fork_lock:
        _held_briefly.discard(fd)
        os.close(fd)


@contextlib.contextmanager
def guard_if_possible(root: str) -> Iterator[bool]:
    """Like guard, but yields False instead of failing when the lock file
    cannot be opened (a read-only directory, say)."""
    _refuse_guard_held_by_this_thread(root)
    try:
        fd = _open_brief(os.path.join(root, LOCK_NAME))
    except OSError:
        yield False
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        with _guard_held(root):
            yield True
    finally:
        _close_brief(fd)


def open_in_this_process(root: str) -> bool:
    """True when this process holds a data or backlink file of root open,
    that is, a Database on it is still alive here (however it was opened)."""
    real = os.path.realpath(root)
    fds = "/proc/self/fd"
    for fd in os.listdir(fds):
        try:
            target = os.readlink(os.path.join(fds, fd))
        except OSError:
            continue  # closed meanwhile
        if os.path.dirname(target) == real and target.endswith((".brd", ".brl")):
            return True
    return False


def held_here(root: str) -> bool:
    """True when this process opened root through brindle.open."""
    return os.path.realpath(root) in _users


def _only_holder(fd: int) -> bool:
    """With the guard held: whether the users lock on fd is the only one.

    Upgrading fails while any other open of the file holds a lock. A failed
    upgrade may have dropped the shared lock (the kernel converts by
    unlocking first), so it is taken again; with the guard held nobody can
    slip in meanwhile.
    """
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        fcntl.flock(fd, fcntl.LOCK_SH)
        return False
    fcntl.flock(fd, fcntl.LOCK_SH)
    return True


def others_have_it_open(root: str) -> bool:
    """True when another process (a forked child included) holds root open
    through brindle.open. Call with the guard held."""
    entry = _users.get(os.path.realpath(root))
    if entry is not None:
        return not _only_holder(entry[0])
    fd = _open_brief(os.path.join(root, USERS_NAME))
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        # Let go before waiting for _fork_lock to close: a fork under way
        # holds that while it takes a shared lock on this file.
        fcntl.flock(fd, fcntl.LOCK_UN)
    except BlockingIOError:
        return True
    finally:
        _close_brief(fd)
    return False


def marker_exists(root: str) -> bool:
    return os.path.exists(os.path.join(root, MARKER_NAME))


def _write_marker(root: str, text: str, *, replace: bool) -> None:
    # Non-blocking: a FIFO in the marker's place fails the open instead of
    # waiting for a reader forever.
    flags = os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC
    fd = os.open(os.path.join(root, MARKER_NAME), flags | (os.O_TRUNC if replace else os.O_APPEND), 0o666)
    try:
        data = text.encode()
        while data:
            data = data[os.write(fd, data):]
    finally:
        os.close(fd)


def set_marker(root: str) -> None:
    """Makes sure the marker exists, keeping what it lists."""
    _write_marker(root, "", replace=False)


def start_session(root: str, *, first: bool) -> None:
    """With the guard held, after join_users: writes this process's token
    into the marker. The first opener's replaces whatever a crashed session
    left (its recovery is about to run; if it dies, its own token stays)."""
    token = f"{os.getpid()}.{secrets.token_hex(8)}"
    _write_marker(root, token + "\n", replace=first)
    _sessions[os.path.realpath(root)] = (token, os.getpid())


def mark_unfinished(root: str) -> None:
    """Keeps the marker past this session: recovery could not finish."""
    _write_marker(root, "unfinished\n", replace=False)


def abandon(root: str) -> None:
    """Drops this process's hold on root without ending its session: its
    token stays in the marker, so the next open recovers (a retry in this
    process included)."""
    key = os.path.realpath(root)
    _sessions.pop(key, None)
    _checked.pop(key, None)
    with _fork_lock:
        entry = _users.pop(key, None)
        if entry is not None:
            os.close(entry[0])


def _end_session(key: str, last: bool, users_fd: Optional[int] = None) -> bool:
    """With the guard held, at a normal exit: removes this process's token
    from the marker, and the marker itself when this is the last user and no
    other session is left in it.

    Given users_fd (this process's users lock), while a Database on the
    directory is still alive here, it changes nothing now: the Database
    writes what it holds (an open transaction's records and their backlink
    changes) when the interpreter frees it, after the exit handlers, and
    until then the session must stay on record, so that a kill among those
    writes is recovered by the next open. The session, with a copy of
    users_fd, is handed to the module, which ends it the same way once the
    interpreter's cleanup is over. Returns whether the marker is gone (or
    goes then).
    """
    path = os.path.join(key, MARKER_NAME)
    token, writer = _sessions.pop(key, ("", 0))
    mine = token if writer == os.getpid() else ""
    raw = _read_bounded(path)
    if raw is None:
        return last and not os.path.lexists(path)
    try:
        lines = raw.decode().splitlines()
    except UnicodeDecodeError:
        return False  # not ours to read: the next open recovers
    listed = [line for line in lines if line]
    left = [line for line in listed if line != mine]
    if users_fd is not None and _end_after_cleanup(key, mine, users_fd):
        return last and not left
    if last and not left:
        os.unlink(path)
        return True
    if len(left) != len(listed):
        _write_marker(key, "".join(line + "\n" for line in left), replace=True)
    return False


def unclean_elsewhere(root: str) -> bool:
    """Whether the marker shows an end that was not normal: it is there and
    lists something besides this process's own live session (a forked
    child has none of its own; its parent's token is the parent's). A line
    that cannot be read counts, as it does for the next open."""
    key = os.path.realpath(root)
    path = os.path.join(key, MARKER_NAME)
    if key not in _users:
        return os.path.lexists(path)
    raw = _read_bounded(path)
    if raw is None:
        return os.path.lexists(path)
    token, writer = _sessions.get(key, ("", 0))
    own = token if writer == os.getpid() else None
    try:
        lines = raw.decode().splitlines()
    except UnicodeDecodeError:
        return True
    return any(line and line != own for line in lines)


def left_alone_after_an_unclean_end(root: str) -> bool:
    """With the guard held: whether this process opened root before, is now
    its only user, holds no Database on it, and the marker shows that
    another program ended without a normal exit. Such a process may recover
    as a first opener would: nobody else has the files open."""
    entry = _users.get(os.path.realpath(root))
    if entry is None or entry[1] != os.getpid() or not _only_holder(entry[0]):
        return False
    return unclean_elsewhere(root) and not open_in_this_process(root)


def clear_marker(root: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(os.path.join(root, MARKER_NAME))


def settle_marker(root: str) -> None:
    """With the guard held, once a recovery has run and nobody else has root
    open: nothing is owed any more. The marker goes, or, while this process
    has root open, lists only its own live session (none for a forked child,
    whose parent's token would otherwise make the next open recover again),
    so that its normal exit takes the marker with it and a death still
    leaves it."""
    key = os.path.realpath(root)
    if key not in _users:
        clear_marker(root)
        return
    token, writer = _sessions.get(key, ("", 0))
    _write_marker(key, token + "\n" if writer == os.getpid() else "", replace=True)


def _is_text(name: str) -> bool:
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # undecodable bytes, carried as surrogates
        return False
    return True


def _store_entries(root: str) -> Iterator[os.DirEntry[str]]:
    """The data and backlink file names directly in root that are text (the
    tools take names as text; the others are always checked)."""
    with os.scandir(root) as entries:
        for entry in entries:
            if entry.name.endswith((".brd", ".brl")) and _is_text(entry.name):
                yield entry


def file_states(root: str) -> dict[str, FileState]:
    """The state of every regular data and backlink file directly in root
    whose name is text."""
    states = {}
    for entry in _store_entries(root):
        try:
            if not entry.is_file():
                continue
            st = entry.stat()
        except OSError:
            continue  # a symlink loop, say: never listed, so always checked
        states[entry.name] = (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
    return states


def unusable_files(root: str) -> set[str]:
    """The data and backlink file names held by something that is not a
    regular file (a directory, a FIFO, a dangling symbolic link), which the
    store cannot open."""
    found = set()
    for entry in _store_entries(root):
        try:
            regular = entry.is_file()
        except OSError:
            regular = False
        if not regular:
            found.add(entry.name)
    return found


# The list names one small entry per file; anything longer is not ours.
_LIST_LIMIT = 4 << 20


def _read_bounded(path: str) -> Optional[bytes]:
    """The file's bytes, or None when it is missing, not a regular file or
    longer than the limit. Never blocks on a FIFO."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        chunks, size = [], 0
        while size <= _LIST_LIMIT:
            chunk = os.read(fd, _LIST_LIMIT + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    except OSError:
        return None
    finally:
        os.close(fd)
    if size > _LIST_LIMIT:
        return None
    return b"".join(chunks)


def _read_list(path: str) -> object:
    """The parsed list, or None when it cannot be read or is not JSON."""
    raw = _read_bounded(path)
    if raw is None:
        return None
    try:
        return json.loads(raw)
    except (ValueError, RecursionError):
        return None


# The list holds under this key the boot it was written in. Nothing forces
# the data files to stable storage, so after a power loss or a kernel crash
# a file may come back shorter than the list says, or with zeros in it: a
# list from an earlier boot is not believed.
_BOOT_KEY = ".boot"


def _boot_id() -> Optional[str]:
    # Read as bytes: at exit, after the interpreter's cleanup began, a text
    # file can no longer look up its encoding.
    try:
        fd = os.open("/proc/sys/kernel/random/boot_id", os.O_RDONLY | os.O_CLOEXEC)
        try:
            raw = os.read(fd, 64)
        finally:
            os.close(fd)
    except OSError:
        return None
    return raw.decode("ascii", "replace").strip() or None


def read_known_whole(root: str) -> tuple[dict[str, int], dict[str, int]]:
    """With the guard held, as the first opener: what the list of files known
    whole says now, as ({name: size} of the files unchanged since, which need
    no framing, {name: size then} of the files still on the same inode, which
    a killed writer can only have torn past that size). The list stays until
    drop_known_whole, so that an open refused for damage leaves it to the
    next."""
    return _known_whole_in(_read_list(os.path.join(root, WHOLE_NAME)), file_states(root))


def _known_whole_in(listed: object, states: dict[str, FileState]) -> tuple[dict[str, int], dict[str, int]]:
    boot = _boot_id()
    if not isinstance(listed, dict) or boot is None or listed.get(_BOOT_KEY) != boot:
        return {}, {}
    unchanged, floors = {}, {}
    for name, state in states.items():
        then = listed.get(name)
        if not (isinstance(then, list) and len(then) == 4):
            continue
        if all(type(field) is int and field >= 0 for field in then) and then[0] == state[0]:
            floors[name] = then[1]
            if tuple(then) == state:
                unchanged[name] = then[1]
    return unchanged, floors


def shorter_than_at_last_exit(root: str) -> dict[str, tuple[int, int]]:
    """{name: (size now, size then)} of the files still on the inode they had
    at the last normal exit and shorter now: records they held are gone."""
    states = file_states(root)
    _, floors = _known_whole_in(_read_list(os.path.join(root, WHOLE_NAME)), states)
    return {name: (states[name][1], then) for name, then in floors.items() if states[name][1] < then}


def drop_known_whole(root: str) -> Optional[bytes]:
    """Once the first opener's check is done, or before a tool changes files:
    the list no longer holds. Returns its bytes, for put_back_known_whole."""
    path = os.path.join(root, WHOLE_NAME)
    raw = _read_bounded(path)
    with contextlib.suppress(OSError):
        os.unlink(path)
    return raw


def put_back_known_whole(root: str, raw: Optional[bytes]) -> None:
    """After a tool that changed no file after all: the list holds again."""
    if raw is not None:
        with contextlib.suppress(OSError):
            _install_list(root, raw)


def _install_list(root: str, raw: bytes) -> None:
    temporary = os.path.join(root, WHOLE_NAME + ".new")
    with contextlib.suppress(FileNotFoundError):
        os.unlink(temporary)
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    with os.fdopen(fd, "wb") as f:
        f.write(raw)
    os.replace(temporary, os.path.join(root, WHOLE_NAME))


def note_checked(root: str) -> None:
    """With the guard held, right after the first opener's check."""
    _checked[os.path.realpath(root)] = {name: (s[0], s[1]) for name, s in file_states(root).items()}


def _write_known_whole(root: str) -> None:
    """At the last user's normal exit: lists the files that are whole. A
    process that did not check the files at its open (another opened
    first) frames each of them whole, so that the sizes the next open holds
    the files to are there however the programs came and went."""
    checked = _checked.get(root, {})
    before = file_states(root)
    known = {}
    for name, (inode, size, _, _) in before.items():
        was = checked.get(name)
        if was is None:
            known[name] = 0  # made during the session
        elif was[0] == inode and was[1] <= size:
            known[name] = was[1]
    whole = set(_tools.whole_files(root, known)) & known.keys()
    after = file_states(root)
    listed: dict[str, object] = {name: before[name] for name in whole if after.get(name) == before[name]}
    listed[_BOOT_KEY] = _boot_id()
    _install_list(root, json.dumps(listed).encode())


def join_users(root: str) -> Optional[bool]:
    """With the guard held: takes this process's shared users lock.

    Returns True when no other process had the directory open (so recovery
    may run), False when another one has it open, and None when this
    process had joined already.
    """
    key = os.path.realpath(root)
    if key in _users:
        return None
    fd = _open_brief(os.path.join(root, USERS_NAME))
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            alone = True
        except BlockingIOError:
            alone = False
        # Converting to shared is not atomic, but every opener holds the
        # guard while it looks, so nobody can slip in between.
        fcntl.flock(fd, fcntl.LOCK_SH)
    except BaseException:
        _close_brief(fd)
        raise
    with _fork_lock:
        _held_briefly.discard(fd)
        if not _users:
            atexit.register(_leave_all_at_exit)
        _users[key] = (fd, os.getpid())
    _leave_at_multiprocessing_exit()
    return alone


# The process that asked multiprocessing to run _leave_all at its exit.
_finalizer_pid = 0


def _leave_at_multiprocessing_exit() -> None:
    """In a child process started by multiprocessing: its end is os._exit
    (fork, forkserver), which skips the atexit handlers, so the session it
    opened would stay in the marker and make every next open recover. The
    exit finalizers that multiprocessing runs before that end the sessions
    instead. A child forked after its parent opened the directory shares the
    parent's session and joins nothing: nothing is asked for it."""
    global _finalizer_pid
    mp = sys.modules.get("multiprocessing")
    util = sys.modules.get("multiprocessing.util")
    if _finalizer_pid == os.getpid() or mp is None or util is None or mp.parent_process() is None:
        return
    util.Finalize(None, _leave_unless_busy, exitpriority=0)
    _finalizer_pid = os.getpid()


def _leave_unless_busy() -> None:
    """multiprocessing runs its finalizers before it waits for the child's
    other threads: while one of them may still be writing, the session stays
    as it did (and the next open recovers). So does the session of a
    directory a Database is still open on here: os._exit never frees it, so
    records an open transaction has already written would keep no backlink
    changes."""
    current = threading.current_thread()
    if not any(t is not current and not t.daemon and t.is_alive() for t in threading.enumerate()):
        _leave_all(keep=open_in_this_process)


def _lock_for_child() -> None:
    """Before a fork: a users lock of the child's own on each directory,
    taken now so that the child holds it from its first instant. Taken after
    the fork, a parent exiting at once could still find itself the last
    user and end the directory's session under the running child."""
    global _forking
    _fork_lock.acquire()
    _forking = True
    for key in list(_users):
        try:
            fd = _open_rw(os.path.join(key, USERS_NAME))
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_SH)
        except BaseException:
            os.close(fd)
            continue
        _for_child[key] = fd


def _end_fork() -> None:
    global _forking
    if _forking:
        _forking = False
        _fork_lock.release()


def _after_fork_in_parent() -> None:
    """The child's locks live on in its copies of the descriptors."""
    try:
        for fd in _for_child.values():
            os.close(fd)
        _for_child.clear()
    finally:
        _end_fork()


def _rejoin_after_fork() -> None:
    """In a child made by fork: its inherited users locks are the parent's
    (one shared open file, which the parent's exit upgrades and closes), so
    it keeps the ones taken for it before the fork, and the parent's exit
    sees the child. It also lets go of every lock held only for a moment."""
    try:
        pid = os.getpid()
        for key, (fd, _) in list(_users.items()):
            os.close(fd)  # the parent's lock lives on in the parent
            del _users[key]
            if key in _for_child:
                _users[key] = (_for_child.pop(key), pid)
        for fd in _for_child.values():
            os.close(fd)
        _for_child.clear()
        if _held_briefly:
            # The code that opened them may close them later: each number
            # stays taken, by /dev/null, so that close cannot hit another
            # file. Numbers of threads that did not come along stay so.
            null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
            for fd in _held_briefly:
                os.dup2(null, fd, inheritable=False)
            os.close(null)
            _held_briefly.clear()
        _guarded.clear()  # the guards were among those locks
    finally:
        _end_fork()


os.register_at_fork(before=_lock_for_child, after_in_parent=_after_fork_in_parent, after_in_child=_rejoin_after_fork)


def end_after_cleanup_when_exiting(root: str) -> None:
    """With the guard held, once an open has started this process's session
    on root: when the exit handler has run already (the open comes from an
    exit handler that runs after it), _leave_all will not run again, so the
    session's end is handed to the module now. It comes after the
    interpreter's cleanup, once the Database is freed, as for one alive at
    the exit handler. Should the module decline, the token stays and the
    next open recovers."""
    key = os.path.realpath(root)
    entry = _users.get(key)
    if not _exit_begun or entry is None or entry[1] != os.getpid():
        return
    token, writer = _sessions.get(key, ("", 0))
    if _end_after_cleanup(key, token if writer == os.getpid() else "", entry[0]):
        with _fork_lock:
            del _users[key]
            os.close(entry[0])  # the module holds a copy
        _sessions.pop(key, None)
        _checked.pop(key, None)


def _end_after_cleanup(key: str, token: str, users_fd: int) -> bool:
    """Hands the session (this process's token, or none, and a copy of its
    users lock) to the module, to end after the interpreter's cleanup. False
    when the module declines: the caller ends it or leaves it."""
    lock, marker = os.path.join(key, LOCK_NAME), os.path.join(key, MARKER_NAME)
    return _tools.end_session_after_cleanup(key, lock, marker, token, users_fd)


def _leave_all_at_exit() -> None:
    global _exit_begun
    _exit_begun = True
    _leave_all()


def _leave_all(keep: Callable[[str], bool] = lambda key: False) -> None:
    """At a normal exit: ends this process's sessions, but for the
    directories keep names; the last user of each directory removes its
    marker when no session was left unfinished, and lists the whole files."""
    listing = True
    for key, (fd, taker) in list(_users.items()):
        if keep(key):
            continue
        del _users[key]
        try:
            if taker != os.getpid():
                continue
            # The users lock is let go inside the guard: an opener that came
            # between would find a user still there and take no part in
            # recovery, yet be left alone with the directory.
            with guard(key):
                try:
                    # What a Database still alive here writes later changes
                    # its files' states, so the list drops them by itself.
                    later = fd if open_in_this_process(key) else None
                    if _end_session(key, _only_holder(fd), later) and listing:
                        try:
                            _write_known_whole(key)
                        except KeyboardInterrupt:
                            # Ctrl-C during a long scan: the user wants out. The
                            # other directories still end their sessions (cheap,
                            # and it spares them a full recovery); only the
                            # lists, which merely speed up the next open, go.
                            listing = False
                finally:
                    os.close(fd)
                    fd = -1
        except (OSError, _tools.ToolError):
            pass  # the next opener checks every file
        finally:
            if fd >= 0:
                os.close(fd)
