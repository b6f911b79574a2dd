"""Each module's table of shortcuts, read back through the test-support
module: every shortcut is armed after import, every interpreter probe made
at import succeeded, and each shortcut steps aside when any assumption it
declares is broken (and arms again once it holds again).  The cases are
derived from the tables and the classes, so a member added to a class is
covered without naming it here."""
import contextlib
import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

from _kst_testsupport import Report

pytestmark = pytest.mark.thread_unsafe(reason="patches classes and the standard library for the whole process")

NAMES = ("kDict", "kEnvelope", "kTag", "kState")
MODULES = {n: importlib.import_module(f"kestrune.utils.{n}") for n in NAMES}
PROBES = {
    "kDict": {"instance_dict_slot", "module_state_field", "dict_watch_bits"},
    "kEnvelope": {"instance_dict_slot", "module_state_field", "dataclasses.asdict", "json.dumps"},
    "kTag": {"instance_dict_slot", "module_state_field", "wrapped_callable", "dict_watch_bits"},
    "kState": {"instance_dict_slot", "module_state_field", "enum.name", "dict_watch_bits"},
}
FUNCTION = type(vars(MODULES["kDict"].kDict)["set"])


# Shortcuts left out of the free-threaded build (they read containers that
# another thread could change, borrowed).
FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
OFF = {("kEnvelope", "dataclass")} if FREE_THREADED else set()


def armed(module):
    return {row["name"]: row["armed"] for row in Report.shortcuts(module)
            if (module.__name__.rpartition(".")[2], row["name"]) not in OFF}


@pytest.mark.no_refleak  # re-arms guards that other tests' patches stepped aside (flat over 3,000 reports)
@pytest.mark.parametrize("name", NAMES)
def test_every_shortcut_armed_and_every_probe_succeeded(name):
    module = MODULES[name]
    assert armed(module) and all(armed(module).values()), armed(module)
    assert Report.probes(module) == dict.fromkeys(PROBES[name], True)


def members(cls):
    """The names of a class's members: its functions and their wrappers."""
    return [k for k, v in vars(cls).items()
            if isinstance(v, (FUNCTION, classmethod, staticmethod, property))]


def resolve(path):
    """(owner, attribute) for a dotted path of a standard-library object."""
    parts = path.split(".")
    for i in range(len(parts) - 1, 0, -1):
        try:
            owner = importlib.import_module(".".join(parts[:i]))
        except ImportError:
            continue
        for part in parts[i:-1]:
            owner = inspect.getattr_static(owner, part)
        return owner, parts[-1]
    raise LookupError(path)


class Patch:
    """Sets attributes of classes and modules, and puts back exactly what
    their own namespaces held (also where a class's getattr would fail)."""

    def __init__(self):
        self.undo = []

    def set(self, owner, attr, value):
        self.undo.append((owner, attr, vars(owner).get(attr, Patch)))
        setattr(owner, attr, value)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for owner, attr, old in reversed(self.undo):
            if old is Patch:
                delattr(owner, attr)
            else:
                setattr(owner, attr, old)


# Classes whose instances the shortcuts read: a __getattribute__ of their own
# changes every attribute read.
INSTANCE_CLASSES = {"kDict", "kEnvelope"}


def getattribute(self, name):
    return object.__getattribute__(self, name)


def breakers(module, assumption):
    """(label, change) pairs, each breaking `assumption` through a Patch."""
    kind, _, target = assumption.partition(":")
    if kind == "class":
        cls = getattr(module, target)
        cases = [(f"{target}.{m}", lambda p, m=m, cls=cls: p.set(cls, m, object())) for m in members(cls)]
        if target in INSTANCE_CLASSES:
            cases.append((f"{target}.__getattribute__ added",
                          lambda p, cls=cls: p.set(cls, "__getattribute__", getattribute)))
        return cases
    if kind == "member":
        owner, attr = target.split(".")
        return [(target, lambda p: p.set(getattr(module, owner), attr, object()))]
    if kind == "getattribute":
        return [(assumption, lambda p: p.set(getattr(module, target), "__getattribute__", getattribute))]
    if kind == "global":
        return [(target, lambda p: p.set(module, target, object()))]
    if kind == "pin":
        owner, attr = resolve(target)
        if isinstance(inspect.getattr_static(owner, attr), type):  # a class: its namespace changed
            return [(target, lambda p: p.set(getattr(owner, attr), "_kst_extra", 1))]
        return [(target, lambda p: p.set(owner, attr, object()))]
    if kind == "state":
        owner, attr = target.split(".")
        wrong = {"_lock": contextlib.nullcontext(), "_process_code": 5, "_counter": 1.5,
                 "_last_timestamp": "not a timestamp"}[attr]
        return [(target, lambda p: p.set(getattr(module, owner), attr, wrong))]
    return []  # instance: and hub: are exercised by the instance and watcher tests


CASES = [(name, row["name"], label, change)
         for name, module in MODULES.items()
         for row in Report.shortcuts(module) if (name, row["name"]) not in OFF
         for assumption in row["assumes"].split()
         for label, change in breakers(module, assumption)]


@pytest.mark.no_refleak  # patches the classes and the standard library
@pytest.mark.parametrize("name, shortcut, label, change", CASES,
                         ids=[f"{c[0]}-{c[1]}-{c[2]}" for c in CASES])
def test_a_broken_assumption_disarms_its_shortcut(name, shortcut, label, change):
    module = MODULES[name]
    with Patch() as p:
        change(p)
        assert armed(module)[shortcut] is False
    assert armed(module)[shortcut] is True


def test_the_classes_whose_members_a_shortcut_skips_are_watched_whole():
    # kState's one shortcut lies inside its one member, and names what it
    # reads instead.
    covered = {a.partition(":")[2] for m in MODULES.values() for row in Report.shortcuts(m)
               for a in row["assumes"].split() if a.startswith("class:")}
    assert covered == {"kDict", "kEnvelope", "kTag"}


def run(script):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


@pytest.mark.no_refleak  # the work is done in another process
def test_the_package_takes_at_most_three_watcher_ids_and_works_without_any():
    taken = run("""
        import ctypes
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.argtypes = [ctypes.c_void_p]
        CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
        keep = CB(lambda *a: 0)
        def free():
            ids = []
            try:
                while True:
                    ids.append(add(ctypes.cast(keep, ctypes.c_void_p)))
            except Exception:
                pass
            for i in ids:
                ctypes.pythonapi.PyDict_ClearWatcher(ctypes.c_int(i))
            return len(ids)
        before = free()
        import kestrune.utils.kDict, kestrune.utils.kEnvelope, kestrune.utils.kTag, kestrune.utils.kState
        print(before - free())
    """)
    assert int(taken[0]) <= 3
    # With every id taken before the import, each shortcut checks at every
    # use and the behaviour is the same.
    out = run("""
        import ctypes
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.argtypes = [ctypes.c_void_p]
        CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
        keep = CB(lambda *a: 0)
        try:
            while True:
                add(ctypes.cast(keep, ctypes.c_void_p))
        except Exception:
            pass
        from kestrune.utils.kEnvelope import kEnvelope, kDict
        from kestrune.utils.kTag import kTag
        from kestrune.utils.kState import kState
        e = kEnvelope().put("A", 1).post("b", kState.hold)
        e.nest("c").put("x", [1, (2,)])
        kDict.get = lambda self, key, expected_type=None: "patched"
        print(e.toJson().replace("\\n", "").replace(" ", ""), kDict({"a": 1}).get("a"),
              kState.hold.display_name, kTag.GetCreatedAt(kTag.New("u", "t")).year)
    """)
    assert out[:3] == ['{"A":1,"b":2,"c":{"x":[1,[2]]}}', "patched", "hold"]


@pytest.mark.no_refleak  # the work is done in another process
def test_a_class_out_of_version_tags_still_rearms():
    # About a thousand changes use up a class's version tags; the guard then
    # watches the class instead, and still steps aside and comes back.
    out = run("""
        from _kst_testsupport import Report
        import kestrune.utils.kDict as m
        kDict = m.kDict
        for i in range(1200):
            kDict.x = i
            kDict().get("a")
        before = {r["name"]: r["armed"] for r in Report.shortcuts(m)}["store"]
        original = vars(kDict)["get"]
        kDict.get = lambda self, key, expected_type=None: "patched"
        during = ({r["name"]: r["armed"] for r in Report.shortcuts(m)}["store"], kDict({"a": 1}).get("a"))
        kDict.get = original
        after = {r["name"]: r["armed"] for r in Report.shortcuts(m)}["store"]
        print(before, during[0], during[1], after, kDict({"a": 1}).get("a"))
    """)
    assert out == ["True", "False", "patched", "True", "1"]


def test_one_dict_as_both_stores_takes_the_general_order():
    from kestrune.utils.kDict import kDict
    d = kDict()
    d._key_map = d._data
    d.set("Name", 1)
    assert list(d._data.items()) == [("Name", 1), ("name", "Name")]
