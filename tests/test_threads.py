"""One kDict and one kEnvelope shared by four threads doing random writes,
reads, deletes, iteration and text forms, with a tiny switch interval and
values whose callbacks write to the shared object and yield.  The classes
take no lock, so results interleave; what must hold is memory soundness (no
crash, no SystemError) and, afterwards, the store's invariants."""
import collections
import json
import os
import random
import sys
import threading
import time

import pytest

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from threadrun import run_switching

pytestmark = pytest.mark.thread_unsafe(reason="runs its own threads for a set time")

SLOW = hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", "")
SECONDS = 0.5 if SLOW else 2.0
KEYS = ["a", "A", "Name", "NAME", "name", "ß", "SS", "ss", "Σ", "ς", "child", "CHILD", "x" * 40, " ", ""]


class Meddler:
    """A value whose text form and conversions write to the shared store and yield."""

    target = None

    def __init__(self, value=None):
        if value is not None:  # used as the type a getter converts to
            meddle()

    def __repr__(self):
        meddle()
        return "Meddler"

    __str__ = __repr__


def meddle():
    store, key = Meddler.target, random.choice(KEYS)
    if store is not None:
        try:
            store.set(key, random.choice([1, None, [1]])) if random.random() < 0.5 else store.remove(key)
        except ValueError:
            pass
    time.sleep(0)


class SlowKeys(kDict):
    """Key normalisation in Python: a thread switch inside every operation."""

    @staticmethod
    def _normalize_key(key):
        time.sleep(0)
        return key.casefold()


def value(rng, store):
    return rng.choice([None, 1, "2", "yes", 2.5, [1, 2], (3,), {"k": 1}, Meddler(), store])


def kdict_step(rng, d):
    key = rng.choice(KEYS)
    op = rng.randrange(12)
    if op < 3:
        d.set(key, value(rng, d))
    elif op == 3:
        d[key] = value(rng, d)
    elif op == 4:
        d.remove(key)
    elif op == 5:
        d.get(key, rng.choice([None, int, str, bool, float, kDict, Meddler]))
    elif op == 6:
        d.addToList(key, 1)
    elif op == 7:
        str(d)
    elif op == 8:
        list(d.Keys), d.Count, dict(d.Raw())
    elif op == 9:
        d.Merge(d if rng.random() < 0.5 else kDict({"a": 1, "Zed": Meddler()}))
    elif op == 10:
        d.getInt(key), d.getBool(key), d.getString(key), d.getList(key), d.getDate(key)
    elif rng.random() < 0.05:
        d.clear()


def envelope_step(rng, e):
    key = rng.choice(KEYS)
    op = rng.randrange(9)
    if op < 2:
        e.put(key, value(rng, e._data) if rng.random() < 0.8 else e)
    elif op == 2:
        e.post(key, value(rng, e._data))
    elif op == 3:
        e.delete(key)
    elif op == 4:
        e.has(key)
    elif op == 5:
        e.nest(key).put(rng.choice(KEYS[:6]), 1)
    elif op == 6:
        e.get()
    elif op == 7:
        e.toJson()
    else:
        kdict_step(rng, e._data)


def hammer(step, shared, threads=4):
    outcomes, failures = collections.Counter(), []
    deadline = time.monotonic() + SECONDS
    start = threading.Barrier(threads)

    def run(seed):
        rng = random.Random(seed)
        start.wait()
        while time.monotonic() < deadline:
            try:
                step(rng, shared)
                outcomes["result"] += 1
            except SystemError as e:
                failures.append(e)
            except Exception as e:  # noqa: BLE001 - interleaved operations may fail in ordinary ways
                outcomes[type(e).__name__] += 1

    run_switching(run, [(i,) for i in range(threads)])
    assert not failures, failures[:3]
    assert outcomes["result"] > 20, outcomes  # the threads got work done
    return outcomes


def assert_sound(d):
    raw, key_map = d.Raw(), d._key_map
    assert sorted(key_map.values()) == sorted(raw) and all(key_map[k.casefold()] == k for k in raw)
    for k, v in list(raw.items()):
        assert d.get(k) is v and d.get(k.upper()) is v and d.has(k.swapcase())
    assert d.Count == len(raw) and list(d.Keys) == list(raw)


def flat(v):
    if isinstance(v, kDict):
        return {k: flat(x) for k, x in v.Raw().items()}
    if isinstance(v, (list, tuple)):
        return [flat(x) for x in v]
    if isinstance(v, dict):
        return {k: flat(x) for k, x in v.items()}
    return v


def stores(d, seen):
    if id(d) not in seen:
        seen[id(d)] = d
        for v in d.Raw().values():
            if isinstance(v, kDict):
                stores(v, seen)
    return seen.values()


@pytest.mark.no_refleak  # a timed run
@pytest.mark.parametrize("cls", [kDict, SlowKeys])
def test_shared_kdict_stays_sound(cls):
    d = cls({"a": 1, "Name": [1]})
    Meddler.target = d
    hammer(kdict_step, d)
    # A Python override makes a member the same sequence of dict operations
    # as Python code: with threads truly in parallel (no GIL) other threads'
    # steps land between them, as they would in that code.
    if cls is kDict or getattr(sys, "_is_gil_enabled", lambda: True)():
        assert_sound(d)
    Meddler.target = None


@pytest.mark.no_refleak  # a timed run
def test_shared_envelope_stays_sound():
    e = kEnvelope()
    Meddler.target = e._data
    hammer(envelope_step, e)
    Meddler.target = None
    for store in stores(e._data, {}):
        for k in [k for k, v in store.Raw().items() if v is e or isinstance(v, (kDict, Meddler))]:
            store.remove(k)  # self-containing and unserialisable values out; one level of plain data stays
        assert_sound(store)
    expected = flat(e._data)
    assert e.get() == expected and list(e.get()) == list(e._data.Raw())
    assert e.toJson() == json.dumps(expected, indent=4)
