"""Threads running truly at once (on the free-threaded build; elsewhere the
same tests run interleaved): the package keeps the GIL off, each member of a
shared kDict is one step on its instance, identifiers stay unique, and a
shared envelope tree serialises to valid JSON of some state of it."""
import json
import os
import random
import subprocess
import sys
import sysconfig
import threading

import pytest

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kTag import kTag

pytestmark = pytest.mark.thread_unsafe(reason="releases its own threads together")

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SLOW = hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", "")
KEYS = ["a", "A", "Name", "NAME", "ß", "SS", "Σ", "ς", "k1", "K2", "long" * 10]


@pytest.mark.skipif(not FREE_THREADED, reason="the free-threaded build only")
@pytest.mark.no_refleak  # the work is done in another process
def test_importing_the_package_leaves_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    script = ("import sys\nimport kestrune.utils.kDict, kestrune.utils.kTag, kestrune.utils.kEnvelope, "
              "kestrune.utils.kState\nprint(sys._is_gil_enabled())")
    out = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", script], env=env,
                         capture_output=True, text=True)
    assert (out.returncode, out.stdout.strip()) == (0, "False"), out.stderr


def run_together(n, target):
    """Runs target(i) on n threads released together; re-raises the first
    exception a thread raised."""
    start, errors = threading.Barrier(n), []

    def run(i):
        start.wait()
        try:
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported to the test
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def agree(d):
    """_data and _key_map describe the same entries."""
    data, key_map = dict(d._data), dict(d._key_map)
    assert sorted(key_map.values()) == sorted(data), (data, key_map)
    assert all(key_map[k.casefold()] == k for k in data)


def changed_meanwhile(read):
    """read(), or None where the dict it walks was changed meanwhile: the
    RuntimeError a dict's own iteration raises then."""
    try:
        return read()
    except RuntimeError as e:
        assert "changed" in str(e) and "during iteration" in str(e)


def member_step(rng, d):
    key = rng.choice(KEYS)
    op = rng.randrange(12)
    if op < 3:
        d.set(key, rng.choice([None, 1, "x", [1]]))
    elif op == 3:
        d.add(key, 2)
    elif op == 4:
        d.remove(key)
    elif op == 5:
        d.get(key), d.has(key), d.getInt(key)
    elif op == 6:
        d.addToList(key, 1)
    elif op == 7:
        d.Merge(kDict({rng.choice(KEYS): 3}))
    elif op == 8:
        changed_meanwhile(lambda: str(d))
    elif op == 9:
        changed_meanwhile(lambda: list(d.Keys))
    elif rng.random() >= 0.1:
        pass
    elif op == 10:
        d.clear()
    else:
        d.__init__({key: 4, "Other": 5})  # a plain dict: both stores replaced at once


@pytest.mark.no_refleak  # a timed run
@pytest.mark.parametrize("threads", [2, 8])
def test_members_of_a_shared_kdict_keep_its_two_dicts_agreeing(threads):
    d = kDict({"a": 1})
    rounds, steps = (3, 200) if SLOW else (10, 1000)
    for r in range(rounds):
        run_together(threads, lambda i: [member_step(rng, d) for rng in [random.Random(r * 100 + i)]
                                         for _ in range(steps)])
        agree(d)


@pytest.mark.no_refleak  # a timed run
def test_identifiers_stay_unique_across_threads():
    per_thread = 5_000 if SLOW else 50_000
    made = [[] for _ in range(8)]
    run_together(8, lambda i: made[i].extend(kTag.New("user", "type") for _ in range(per_thread)))
    ids = [x for part in made for x in part]
    assert len(set(ids)) == len(ids) == 8 * per_thread


@pytest.mark.no_refleak  # a timed run
def test_a_shared_envelope_tree_serialises_to_json_of_some_state():
    e = kEnvelope()
    steps = 100 if SLOW else 1000

    def work(i):
        rng = random.Random(i)
        for _ in range(steps):
            key = rng.choice(KEYS)
            op = rng.randrange(6)
            if op == 0:
                e.put(key, rng.choice([1, "x", [1, (2, 3)], {"k": 1.5}]))
            elif op == 1:
                e.post(key, 2)
            elif op == 2:
                e.nest(rng.choice(KEYS[:3])).put(key, i)
            elif op == 3:
                e.delete(key)
            elif op == 4:
                changed_meanwhile(e.get)
            else:
                text = changed_meanwhile(e.toJson)
                assert text is None or isinstance(json.loads(text), dict)

    run_together(4, work)
    assert json.loads(e.toJson()) == json.loads(json.dumps(e.get()))
