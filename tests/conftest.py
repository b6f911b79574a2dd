import os
import sys

import pytest

pytest_plugins = ["refleak"]

try:
    from hypothesis import settings
except ImportError:  # pragma: no cover
    settings = None

if settings is not None:
    # Debug and sanitizer builds run the property tests with fewer examples;
    # KESTRUNE_FUZZ_EXAMPLES raises the budget for a long local run.
    slow = hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", "")
    settings.register_profile(
        "kestrune",
        max_examples=int(os.environ.get("KESTRUNE_FUZZ_EXAMPLES", "30" if slow else "150")),
        deadline=None,
    )
    settings.load_profile("kestrune")


def keyed_members(cls):
    """The members of `cls` whose first parameter (after self) is `key: str`,
    in the class's order: read from the class, so that a member added later
    is covered by the tests that take this list."""
    import inspect

    names = []
    for name, raw in vars(cls).items():
        member = getattr(cls, name)
        if isinstance(raw, property) or not callable(member):
            continue
        params = list(inspect.signature(member).parameters.values())
        if params and params[0].name == "self" and not isinstance(raw, (staticmethod, classmethod)):
            params = params[1:]
        if params and params[0].name == "key" and params[0].annotation == "str":
            names.append(name)
    return names


def pytest_configure(config):
    config.addinivalue_line("markers", "no_refleak: not repeated by the reference-leak mode")
    # (pytest-run-parallel's own mark, named here for runs without it)
    config.addinivalue_line("markers", "thread_unsafe: not run on several threads at once by pytest-run-parallel")


@pytest.fixture
def fresh_import():
    """Imports a module again after taking it out of sys.modules; puts the
    original back afterwards."""
    saved = {}

    def run(name):
        module = sys.modules.pop(name, None)
        if module is not None:
            saved.setdefault(name, module)
        __import__(name)

    yield run
    for name, module in saved.items():
        sys.modules[name] = module
