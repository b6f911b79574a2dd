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

import pytest

WARMUP = 3
BATCHES = 3
RUNS = 4


def pytest_addoption(parser):
    parser.addoption("--refleak", action="store_true", help="fail tests whose reference totals keep growing")


def pytest_configure(config):
    if config.getoption("--refleak") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs the debug interpreter (sys.gettotalrefcount)")


def _settle():
    # Caches that fill up as tests run would read as leaks.
    linecache.clearcache()
    re.purge()
    for cleanup in getattr(sys.modules.get("typing"), "_cleanups", ()):
        cleanup()
    gc.collect()


def growth(func, runs):
    """(references, blocks) gained over `runs` calls of func."""
    _settle()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(runs):
        func()
    _settle()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def leaks(func, runs=RUNS, batches=BATCHES, warmup=WARMUP):
    """The per-batch growth when func leaks on every run, else None."""
    for _ in range(warmup):
        func()
    base = [growth(lambda: None, runs) for _ in range(2)]
    base_refs, base_blocks = max(b[0] for b in base), max(b[1] for b in base)
    samples = [growth(func, runs) for _ in range(batches)]
    refs = [r - base_refs for r, _ in samples]
    blocks = [b - base_blocks for _, b in samples]
    if all(d >= runs for d in refs) or all(d >= 2 * runs for d in blocks):
        return refs, blocks
    return None


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    if item.config.getoption("--refleak") and not item.get_closest_marker("no_refleak"):
        # The test function itself, with its fixtures: pytest's own hooks keep
        # a little per call.
        args = {name: item.funcargs[name] for name in item._fixtureinfo.argnames}
        found = leaks(lambda: item.obj(**args))
        if found:
            pytest.fail(f"leak: references {found[0]}, blocks {found[1]} per {RUNS} runs", pytrace=False)
    yield
