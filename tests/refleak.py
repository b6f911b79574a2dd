"""Reference-leak mode for the debug interpreter.

With ``--refleak``, every test function runs repeatedly before its real run:
first to warm up caches, then in measured batches.  The test fails when the
interpreter's total reference count grows in every measured batch by at
least one per run (or its count of allocated memory blocks, which is noisier,
by two per run), after
subtracting what the measurement itself costs.
"""
import gc
import linecache
import re
import sys
import sysconfig

import pytest

# On the free-threaded build memory is given back late (after every thread
# has passed a quiescent point), so the count of allocated blocks drifts with
# no leak: only the reference total counts there.
BLOCKS_COUNT = not sysconfig.get_config_var("Py_GIL_DISABLED")
WARMUP = 3
BATCHES = 3
RUNS = 4


def pytest_addoption(parser):
    parser.addoption("--refleak", action="store_true", help="fail tests whose reference totals keep growing")


def pytest_configure(config):
    if config.getoption("--refleak") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs the debug interpreter (sys.gettotalrefcount)")


def _settle(full):
    # Caches that fill up as tests run would read as leaks.
    linecache.clearcache()
    re.purge()
    for cleanup in getattr(sys.modules.get("typing"), "_cleanups", ()):
        cleanup()
    # What a run leaves for the collector is young; a full collection of the
    # whole heap is kept for a second look at a suspected leak.
    gc.collect() if full else gc.collect(0)


def growth(func, runs, full=True):
    """(references, blocks) gained over `runs` calls of func."""
    _settle(full)
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(runs):
        func()
    _settle(full)
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def _measure(func, runs, batches, full):
    base = [growth(lambda: None, runs, full) for _ in range(2)]
    base_refs, base_blocks = max(b[0] for b in base), max(b[1] for b in base)
    samples = [growth(func, runs, full) for _ in range(batches)]
    refs = [r - base_refs for r, _ in samples]
    blocks = [b - base_blocks for _, b in samples]
    if all(d >= runs for d in refs) or (BLOCKS_COUNT and all(d >= 2 * runs for d in blocks)):
        return refs, blocks
    return None


def leaks(func, runs=RUNS, batches=BATCHES, warmup=WARMUP):
    """The per-batch growth when func leaks on every run, else None."""
    for _ in range(warmup):
        func()
    if _measure(func, runs, batches, full=False) is None:
        return None
    # On the free-threaded build the reference total drifts by a few per
    # batch with no leak (references released late): a suspected leak is
    # measured again over eight times as many runs, where a real one (at
    # least one per run) still shows and the drift does not.
    return _measure(func, runs if BLOCKS_COUNT else 8 * runs, batches, full=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    # Property tests draw new examples on every run, and keep state of their own.
    repeatable = not item.get_closest_marker("no_refleak") and not getattr(item.obj, "is_hypothesis_test", False)
    if item.config.getoption("--refleak") and repeatable:
        # The test function itself, with its fixtures: pytest's own hooks keep
        # a little per call.
        args = {name: item.funcargs[name] for name in item._fixtureinfo.argnames}

        def run():
            # A monkeypatch fixture keeps an undo entry per change: each run
            # gets a fresh one, undone at its end.
            if "monkeypatch" not in args:
                return item.obj(**args)
            with pytest.MonkeyPatch.context() as mp:
                return item.obj(**{**args, "monkeypatch": mp})

        found = leaks(run)
        if found:
            pytest.fail(f"leak: references {found[0]}, blocks {found[1]} per {RUNS} runs", pytrace=False)
    yield
