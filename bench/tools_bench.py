"""Times the operating tools on a generated database and prints the figures.

    .venv/bin/python bench/tools_bench.py [RECORDS]   (default 1,000,000)

Three quarters of the records are books linking to one of the people (the
other quarter), so the backlink index holds one entry per record. The
database is written with `load` into a temporary directory and removed at
the end.
"""

from __future__ import annotations

import io
import os
import shutil
import sys
import tempfile
import time
import warnings

import brindle
from brindle import tools


def lines(n: int) -> bytes:
    out = io.StringIO()
    for i in range(n):
        coll = "people" if i % 4 == 0 else "books"
        out.write(
            '{"collection":"%s","key":"k%d","value":{"title":"Title %d","year":%d,"price":%r,'
            '"author":{"$link":"people/k%d"},"tags":["a","b"]}}\n' % (coll, i, i, 1900 + i % 100, i / 7, (i * 7919 % n) // 4 * 4)
        )
    return out.getvalue().encode()


def timed(label: str, run: object) -> None:
    start = time.perf_counter()
    result = run()  # type: ignore[operator]
    print(f"{label:<32} {time.perf_counter() - start:7.2f} s   {result if result is not None else ''}")


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    work = tempfile.mkdtemp(prefix="brindle-tools-bench-")
    root = os.path.join(work, "db")
    try:
        dump = lines(n)
        timed(f"load {n} records", lambda: tools.load(root, io.BytesIO(dump)))
        size = sum(os.path.getsize(os.path.join(root, f)) for f in os.listdir(root))
        print(f"{'files':<32} {size / 1e6:7.1f} MB")
        timed("check", lambda: tools.check(root).ok)
        timed("dump", lambda: tools.dump(root, io.BytesIO()))
        timed("compact", lambda: tools.compact(root))
        timed("repair --rebuild-backlinks", lambda: tools.repair(root, rebuild_backlinks=True).backlinks_rebuilt)
        open(os.path.join(root, ".brindle-open"), "w").close()  # as a killed program leaves it
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", brindle.RecoveryWarning)
            timed("open after an unclean exit", lambda: type(brindle.open(root)).__name__)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
