"""Side-by-side figures: Brindle against sqlite3 (WAL, synchronous=OFF, with
a links table kept in the same transaction) and, when installed, python-lmdb.

Prints operations per second for autocommit writes of linked records, a bulk
load in one transaction, warm reads, and a two-hop resolve. Nothing here
asserts on time.

    .venv/bin/python bench/compare.py [N]
"""

import os
import shutil
import sqlite3
import sys
import tempfile
import time

import brindle

N = int(sys.argv[1]) if len(sys.argv) > 1 else 20000


def rate(label, count, fn):
    start = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - start
    print(f"  {label:<28} {count / elapsed:>12,.0f} ops/s")


def bench_brindle(root):
    print("brindle")
    db = brindle.open(os.path.join(root, "brindle"))

    def autocommit():
        for i in range(N):
            db.set("books", f"b{i}", {"title": f"t{i}", "author": brindle.Link(f"people/p{i % 100}")})

    def bulk():
        db.begin()
        db.set_many([("people", f"p{i}", {"name": f"n{i}", "mentor": brindle.Link(f"people/p{(i + 1) % N}")})
                     for i in range(N)])
        db.commit()

    def reads():
        for i in range(N):
            db.get("books", f"b{i}")

    def resolve():
        for i in range(N):
            db.resolve("books", f"b{i}", ["author", "mentor", "name"])

    rate("autocommit set (1 link)", N, autocommit)
    rate("bulk load in one commit", N, bulk)
    rate("warm get", N, reads)
    rate("two-hop resolve", N, resolve)


def bench_sqlite(root):
    print("sqlite3 (WAL, synchronous=OFF, links table)")
    con = sqlite3.connect(os.path.join(root, "s.db"), isolation_level=None)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=OFF")
    con.execute("CREATE TABLE records (col TEXT, key TEXT, value BLOB, PRIMARY KEY (col, key))")
    con.execute("CREATE TABLE links (tcol TEXT, tkey TEXT, scol TEXT, skey TEXT, path TEXT)")
    con.execute("CREATE INDEX links_target ON links (tcol, tkey)")
    con.execute("CREATE INDEX links_source ON links (scol, skey)")
    import json

    def put(col, key, value, target):
        con.execute("INSERT OR REPLACE INTO records VALUES (?, ?, ?)", (col, key, json.dumps(value)))
        con.execute("DELETE FROM links WHERE scol = ? AND skey = ?", (col, key))
        con.execute("INSERT INTO links VALUES (?, ?, ?, ?, ?)", (*target.split("/"), col, key, "author"))

    def autocommit():
        for i in range(N):
            con.execute("BEGIN")
            put("books", f"b{i}", {"title": f"t{i}", "author": f"people/p{i % 100}"}, f"people/p{i % 100}")
            con.execute("COMMIT")

    def bulk():
        con.execute("BEGIN")
        for i in range(N):
            put("people", f"p{i}", {"name": f"n{i}", "mentor": f"people/p{(i + 1) % N}"}, f"people/p{(i + 1) % N}")
        con.execute("COMMIT")

    def get(col, key):
        return json.loads(con.execute("SELECT value FROM records WHERE col = ? AND key = ?", (col, key)).fetchone()[0])

    def reads():
        for i in range(N):
            get("books", f"b{i}")

    def resolve():
        for i in range(N):
            author = get("books", f"b{i}")["author"].split("/")
            mentor = get(*author)["mentor"].split("/")
            get(*mentor)["name"]

    rate("autocommit set (1 link)", N, autocommit)
    rate("bulk load in one commit", N, bulk)
    rate("warm get", N, reads)
    rate("two-hop resolve", N, resolve)


def bench_lmdb(root):
    try:
        import lmdb
    except ImportError:
        print("lmdb: not installed (pip install lmdb to compare)")
        return
    import json

    print("lmdb (sync=False)")
    env = lmdb.open(os.path.join(root, "l"), map_size=1 << 30, sync=False)

    def autocommit():
        for i in range(N):
            with env.begin(write=True) as txn:
                txn.put(f"books/b{i}".encode(), json.dumps({"title": f"t{i}", "author": f"people/p{i % 100}"}).encode())

    def bulk():
        with env.begin(write=True) as txn:
            for i in range(N):
                txn.put(f"people/p{i}".encode(),
                        json.dumps({"name": f"n{i}", "mentor": f"people/p{(i + 1) % N}"}).encode())

    def reads():
        with env.begin() as txn:
            for i in range(N):
                json.loads(txn.get(f"books/b{i}".encode()))

    def resolve():
        with env.begin() as txn:
            for i in range(N):
                author = json.loads(txn.get(f"books/b{i}".encode()))["author"]
                mentor = json.loads(txn.get(author.encode()))["mentor"]
                json.loads(txn.get(mentor.encode()))["name"]

    rate("autocommit put", N, autocommit)
    rate("bulk load in one txn", N, bulk)
    rate("warm get", N, reads)
    rate("two-hop resolve", N, resolve)


if __name__ == "__main__":
    root = tempfile.mkdtemp()
    try:
        print(f"{N} records each")
        bench_brindle(root)
        bench_sqlite(root)
        bench_lmdb(root)
    finally:
        shutil.rmtree(root)
