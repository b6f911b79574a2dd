"""The native shortcuts are in force on the running interpreter: while
nothing they stand in for has changed, the Python functions they replace
never start; once one of them is replaced, they do.  A new interpreter
version whose standard library no longer looks as the shortcuts expect
turns them off at import, which only this test notices."""
import contextlib
import dataclasses
import datetime as dt
import enum
import json
import sys

import pytest

import kestrune.utils.kEnvelope as kenv
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState

pytestmark = pytest.mark.thread_unsafe(reason="sys.monitoring and the patches are process-wide")

NOW = dt.datetime(2026, 3, 15, 8, 30, 45, 123000)


@dataclasses.dataclass
class Point:
    when: dt.datetime
    path: list


@contextlib.contextmanager
def python_starts(*funcs):
    """Counts, by qualified name, how often the code of each function starts."""
    mon = sys.monitoring
    tool = next(i for i in range(6) if mon.get_tool(i) is None)
    mon.use_tool_id(tool, "kestrune shortcut check")
    names = {f.__code__: f.__qualname__ for f in funcs}
    counts = dict.fromkeys(names.values(), 0)

    def on_start(code, offset):
        counts[names[code]] += 1

    mon.register_callback(tool, mon.events.PY_START, on_start)
    try:
        for code in names:
            mon.set_local_events(tool, code, mon.events.PY_START)
        yield counts
    finally:
        for code in names:
            mon.set_local_events(tool, code, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)


# The standard functions are used before the shortcuts are timed, as in any
# program: their first use may change their modules (3.15 resolves lazy
# imports then), which must not turn the shortcuts off.
POINT = Point(NOW, [1, (2, {"k": NOW})])
assert dataclasses.asdict(POINT) == {"when": NOW, "path": [1, (2, {"k": NOW})]}


def dataclass_tree():
    assert kEnvelope().put("p", POINT).get() == {
        "p": {"when": NOW.isoformat(), "path": [1, [2, {"k": NOW.isoformat()}]]}}


TREE = {"a": [1, 2.5, "x\u00e9", None, True, {"k": "v"}], "b": {}}
TEXT = json.dumps(TREE, indent=4)


def json_text():
    assert kEnvelope().put("a", TREE["a"]).put("b", {}).toJson() == TEXT


def display_name():
    assert [m.display_name for m in kState] == ["open", "hold", "closed"]


NAME = enum.Enum.__dict__["name"]

CASES = {
    "data classes": (dataclass_tree, (dataclasses.asdict, dataclasses._asdict_inner), (kenv, "asdict")),
    "JSON text": (json_text, (json.dumps, json.JSONEncoder.encode, json.JSONEncoder.iterencode), (json, "dumps")),
    "display_name": (display_name, (type(NAME).__get__, NAME.fget), (enum.property, "__get__")),
}


@pytest.mark.no_refleak  # instruments standard-library code
@pytest.mark.parametrize("run, replaced, patch", CASES.values(), ids=CASES.keys())
def test_shortcut_in_force_until_its_function_is_replaced(monkeypatch, run, replaced, patch):
    with python_starts(*replaced) as starts:
        run()
    assert not any(starts.values()), starts
    owner, name = patch
    original = getattr(owner, name)
    monkeypatch.setattr(owner, name, lambda *a, **k: original(*a, **k))
    with python_starts(*replaced) as starts:
        run()
    assert any(starts.values()), starts
