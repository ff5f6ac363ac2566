"""Crash test: a writer killed with SIGKILL at random moments, again and again.

The writer performs a seeded stream of set / delete / set_many and
transactions (small values and values of 64-300 KiB, with links) and reports
each group of operations on a pipe before it starts ("try") and after it was
acknowledged ("ok"). After each kill the database is reopened through
brindle.open in a fresh process (with its crash recovery) and checked: every
acknowledged operation reads back, the backlink index agrees with the
records, the database opens, and the recovery's rebuild kept the order of
the entries the killed writer's backlink files held (those they lacked
follow them). Operations that were in flight at the kill may
or may not have landed; whatever landed becomes the expected state.

    python scripts/crash_test.py KILLS [--dir DIR] [--seed N]
"""

from __future__ import annotations

import argparse
import os
import random
import signal
import subprocess
import sys
import shutil
import tempfile
import time

WRITER = r"""
import random, sys, brindle
root, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed)
db = brindle.open(root)
n = 0
def value(coll, vid):
    other = "b" if coll == "a" else "a"
    v = {"vid": vid, "to": brindle.Link("%s/k%d" % (other, rng.randrange(30)), {"w": brindle.Link("tags/t%d" % rng.randrange(5))})}
    if rng.random() < 0.2:
        v["blob"] = bytes(rng.randrange(64 << 10, 300 << 10))
    return v
def op():
    global n
    n += 1
    coll, key = rng.choice("ab"), "k%d" % rng.randrange(30)
    return (coll, key, -1 if rng.random() < 0.15 else seed * 10**9 + n)
group = 0
while True:
    group += 1
    kind = rng.random()
    ops = [op() for _ in range(1 if kind < 0.6 else rng.randrange(2, 6))]
    print("try", group, *("%s:%s:%d" % o for o in ops), flush=True)
    if kind < 0.6:
        coll, key, vid = ops[0]
        db.delete(coll, key) if vid < 0 else db.set(coll, key, value(coll, vid))
    elif kind < 0.8:
        db.set_many([(c, k, brindle.TOMBSTONE if v < 0 else value(c, v)) for c, k, v in ops])
    else:
        db.begin()
        for c, k, v in ops:
            db.delete(c, k) if v < 0 else db.set(c, k, value(c, v))
        db.commit()
    print("ok", group, flush=True)
"""


def read_backlink_files(root: str) -> dict[tuple[str, str], list[tuple[str, ...]]]:
    """Each target's entries as the backlink files hold them, up to a torn
    tail: (collection, key) -> [(source collection, key, path)], first
    occurrences in order."""
    lists: dict[tuple[str, str], list[tuple[str, ...]]] = {}
    for name in sorted(os.listdir(root)):
        if not name.endswith(".brl"):
            continue
        with open(os.path.join(root, name), "rb") as f:
            data = f.read()
        pos = 0
        while pos < len(data):
            strings, at = [], pos + 1
            while len(strings) < 4 and at + 4 <= len(data) and at + 4 + int.from_bytes(data[at:at + 4], "little") <= len(data):
                n = int.from_bytes(data[at:at + 4], "little")
                strings.append(data[at + 4:at + 4 + n].decode())
                at += 4 + n
            if len(strings) < 4:
                break
            entries = lists.setdefault((name[:-4], strings[0]), [])
            entry = tuple(strings[1:])
            if data[pos] == 1 and entry not in entries:
                entries.append(entry)
            elif data[pos] == 2 and entry in entries:
                entries.remove(entry)
            pos = at
    return lists


def parse(lines: list[str], model: dict[tuple[str, str], int]) -> list[tuple[str, str, int]]:
    """Applies acknowledged groups to model; returns the in-flight operations."""
    pending: list[tuple[str, str, int]] = []
    for line in lines:
        words = line.split()
        if not words:
            continue
        if words[0] == "try":
            pending = [(c, k, int(v)) for c, k, v in (w.split(":") for w in words[2:])]
        elif words[0] == "ok" and pending:
            for coll, key, vid in pending:
                model[(coll, key)] = vid
            pending = []
    return pending


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kills", type=int)
    parser.add_argument("--dir", default=None, help="database directory (default: a fresh temporary one)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    import brindle._brindle as store
    from brindle import tools

    scratch = None if args.dir else tempfile.mkdtemp(prefix="brindle-crash-")
    root = args.dir or os.path.join(scratch, "db")
    passed = False
    try:
        passed = run(args, root, store, tools)
    finally:
        # A run leaves gigabytes of data behind; keep them only to look into a failure.
        if scratch is not None and passed:
            shutil.rmtree(scratch, ignore_errors=True)
        elif scratch is not None:
            print(f"database kept for inspection: {root}", file=sys.stderr)
    return 0 if passed else 1


def run(args, root, store, tools) -> bool:
    """Kills and checks; True when nothing acknowledged was lost."""
    rng = random.Random(args.seed)
    model: dict[tuple[str, str], int] = {}
    checked = lost = unopenable = drift = reordered = torn = 0
    for kill in range(args.kills):
        writer = subprocess.Popen(
            [sys.executable, "-c", WRITER, root, str(args.seed * 100000 + kill)],
            stdout=subprocess.PIPE,
            text=True,
        )
        time.sleep(0.15 + rng.random() * 0.5)
        writer.send_signal(signal.SIGKILL)
        out, _ = writer.communicate()
        # The kill can land mid-line; only whole lines were said.
        in_flight = parse(out.split("\n")[:-1], model)

        held = read_backlink_files(root)
        reopen = subprocess.run(
            [sys.executable, "-c", f"import brindle; brindle.open({root!r})"],
            capture_output=True,
            text=True,
        )
        if reopen.returncode != 0:
            unopenable += 1
            print(f"kill {kill}: does not open: {reopen.stderr.strip().splitlines()[-1]}", file=sys.stderr)
            break
        torn += reopen.stderr.count("incomplete last record")
        db = store.open(root)
        landed: dict[tuple[str, str], set[int]] = {}
        for coll, key, vid in in_flight:
            landed.setdefault((coll, key), set()).add(vid)
        for (coll, key), vid in sorted(model.items()):
            try:
                found = db.get(coll, key)["vid"]
            except KeyError:
                found = -1
            checked += 1
            if found != vid and found not in landed.get((coll, key), set()):
                lost += 1
                print(f"kill {kill}: {coll}/{key} holds {found}, acknowledged {vid}", file=sys.stderr)
            model[(coll, key)] = found
        for (coll, key), vids in landed.items():
            if (coll, key) not in model:
                try:
                    model[(coll, key)] = db.get(coll, key)["vid"]
                except KeyError:
                    model[(coll, key)] = -1
        for target, entries in held.items():
            now = [(e["source_collection"], e["source_key"], e["source_path"]) for e in db.backlinks(*target)]
            kept = [e for e in entries if e in now]
            if now[:len(kept)] != kept:
                reordered += 1
                print(f"kill {kill}: the rebuild reordered the backlinks of {target}", file=sys.stderr)
        del db
        report = tools.check(root)
        drift += report.missing_backlinks + report.stale_backlinks
        if not report.ok:
            print(f"kill {kill}: check: " + "; ".join(report.lines()), file=sys.stderr)
    print(
        f"kills {args.kills}, operations checked {checked}, lost {lost}, unopenable {unopenable}, "
        f"drift {drift}, reordered {reordered}, torn tails recovered {torn}"
    )
    return lost == unopenable == drift == reordered == 0


if __name__ == "__main__":
    sys.exit(main())
