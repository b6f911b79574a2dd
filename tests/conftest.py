import sys

import pytest


@pytest.fixture
def fresh_import():
    """Imports a module again after taking it out of sys.modules; puts the
    original back afterwards."""
    saved = {}

    def run(name):
        saved.setdefault(name, sys.modules.pop(name))
        __import__(name)

    yield run
    for name, module in saved.items():
        sys.modules[name] = module
