"""A model-based test: random sequences of writes, transactions and reopens,
checked after every step against a plain Python model of the records and of
the backlink index. Path resolution has its own tests in the core."""

import gc
import os
import random

import pytest

import brindle
from brindle import TOMBSTONE, Link, Tombstone
from values import shape

COLLECTIONS = ["a", "b", "c.d"]
KEYS = ["k0", "k1", "k2", "k3", "", "$k"]
FIELDS = ["f", "g", "x/y", "note", ""]
SEEDS = [1, 2, 3, 4, 5, 6]
STEPS = 300 if os.environ.get("BRINDLE_UNDER_SANITIZER") else 800
ACTIONS = {"set": 34, "delete": 8, "set_many": 10, "begin": 5, "commit": 7, "reopen": 2}


def collect_links(value, segments, out):
    """(target collection, target key, source path) of every indexed link."""
    if isinstance(value, list):
        items = [(str(i), item) for i, item in enumerate(value)]
    elif isinstance(value, dict):
        items = value.items()
    elif isinstance(value, Link):
        collection, slash, rest = value.path.partition("/")
        key = rest.split("/", 1)[0]
        if slash and collection and not key.startswith("$"):
            out.append((collection, key, "/".join(segments)))
        items = value.local.items()
    else:
        items = []
    for segment, item in items:
        collect_links(item, segments + [segment], out)
    return out


class Model:
    def __init__(self):
        self.records = {}
        self.index = {}
        self.pending = None  # queued backlink changes inside a transaction

    def set(self, collection, key, value):
        old_links = collect_links(self.records.get((collection, key)), [], [])
        if isinstance(value, Tombstone):
            self.records.pop((collection, key), None)
        else:
            self.records[(collection, key)] = value
        new_links = collect_links(value, [], [])
        changes = [("remove", link) for link in old_links if link not in new_links]
        changes += [("add", link) for link in new_links if link not in old_links]
        for kind, (tc, tk, path) in changes:
            change = (kind, (tc, tk), (collection, key, path))
            self.pending.append(change) if self.pending is not None else self._apply(change)

    def _apply(self, change):
        kind, target, source = change
        entries = self.index.setdefault(target, [])
        entries[:] = entries + [source] if kind == "add" else [e for e in entries if e != source]

    def begin(self):
        if self.pending is None:
            self.pending = []

    def commit(self):
        for change in self.pending or []:
            self._apply(change)
        self.pending = None

    def backlinks(self, collection, key):
        return [
            {"source_collection": c, "source_key": k, "source_path": p}
            for c, k, p in self.index.get((collection, key), [])
        ]

class Generator:
    def __init__(self, rng):
        self.rng = rng

    def link_path(self):
        r = self.rng
        collection, key, form = r.choice(COLLECTIONS), r.choice(KEYS), r.random()
        if form < 0.55:
            return "%s/%s" % (collection, key)
        if form < 0.7:
            return "%s/%s/%s" % (collection, key, r.choice(["f", "g", "note"]))
        if form < 0.85:
            return collection + "/$self"
        return r.choice([collection, "/" + key, collection + "/", "%s/$other" % collection])

    def value(self, depth=0):
        r = self.rng
        kind = r.random()
        if depth >= 3 or kind < 0.3:
            floats, texts = [0.5, -0.0, float("inf"), float("nan")], KEYS + ["caf\u00e9"]
            scalars = [None, True, r.randint(-(2**63), 2**63 - 1), r.randint(-3, 3), b"\x00bytes", TOMBSTONE]
            return r.choice(scalars + [r.choice(floats), r.choice(texts)])
        if kind < 0.55:
            if r.random() < 0.6:
                return Link(self.link_path())
            return Link(self.link_path(), {r.choice(FIELDS): self.value(depth + 1) for _ in range(r.randint(1, 2))})
        if kind < 0.75:
            return [self.value(depth + 1) for _ in range(r.randint(0, 3))]
        return {r.choice(FIELDS): self.value(depth + 1) for _ in range(r.randint(0, 3))}

    def record(self):
        if self.rng.random() < 0.8:
            return {self.rng.choice(FIELDS): self.value(1) for _ in range(self.rng.randint(0, 4))}
        return self.value(0)

def check_state(db, model):
    for collection in COLLECTIONS:
        for key in KEYS:
            if (collection, key) in model.records:
                assert shape(db.get(collection, key)) == shape(model.records[(collection, key)]), (collection, key)
            else:
                # no pytest.raises here: its traceback would keep db alive
                try:
                    db.get(collection, key)
                except KeyError as e:
                    assert e.args == ("key not found",)
                else:
                    raise AssertionError("%r/%r should be absent" % (collection, key))
            assert db.backlinks(collection, key) == model.backlinks(collection, key), (collection, key)


@pytest.mark.parametrize("seed", SEEDS)
def test_random_operations_agree_with_the_model(tmp_path, seed):
    rng = random.Random(seed)
    gen = Generator(rng)
    path = str(tmp_path / "db")
    db = brindle.open(path)
    model = Model()
    counts = dict.fromkeys(ACTIONS, 0)
    for _ in range(STEPS):
        action = rng.choices(list(ACTIONS), weights=list(ACTIONS.values()))[0]
        counts[action] += 1
        collection, key = rng.choice(COLLECTIONS), rng.choice(KEYS)
        if action == "set":
            value = gen.record()
            db.set(collection, key, value)
            model.set(collection, key, value)
        elif action == "delete":
            db.delete(collection, key)
            model.set(collection, key, TOMBSTONE)
        elif action == "set_many":
            ops = [(rng.choice(COLLECTIONS), rng.choice(KEYS), gen.record()) for _ in range(rng.randint(0, 5))]
            fail_at = rng.randrange(len(ops)) if ops and rng.random() < 0.3 else None
            if fail_at is not None:
                ops[fail_at] = ops[fail_at][:2] + ([1, (2,)],)
                with pytest.raises(TypeError):
                    db.set_many(ops)
                ops = ops[:fail_at]
            else:
                db.set_many(ops)
            for op in ops:
                model.set(*op)
        elif action in ("begin", "commit"):
            getattr(db, action)()
            getattr(model, action)()
        else:
            del db
            gc.collect()  # the old Database must be gone before the directory is reopened
            model.commit()  # dropping a database applies what is queued
            db = brindle.open(path)
        check_state(db, model)
    del db
    gc.collect()
    model.commit()
    db = brindle.open(path)
    check_state(db, model)
    # every kind of step ran, and the model saw links being indexed
    assert min(counts.values()) > 0
    assert any(model.index.values())
