"""kestrune.utils.kEnvelope: field operations, nesting, plain data and JSON."""
import collections
import dataclasses
import datetime as dt
import enum
import importlib.util
import inspect
import json
import math
import os
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest
from hypothesis import given, strategies as st

import kestrune.utils.kEnvelope as kenv
from conftest import keyed_members
from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope

_spec = importlib.util.spec_from_file_location(
    "kestrune_reference", pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "reference.py"
)
ref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ref)

NOTE = "Subclasses of built-in types are not accepted; pass an exact instance of the built-in type."
NOW = dt.datetime(2026, 3, 15, 8, 30, 45, 123000)
AWARE = dt.datetime(2026, 3, 15, 8, 30, tzinfo=dt.timezone.utc)
Pair = collections.namedtuple("Pair", "a b")


class StrSub(str):
    pass


class DictSub(dict):
    pass


class Color(enum.IntEnum):
    red = 1


@dataclasses.dataclass
class Point:
    x: object
    when: dt.datetime


class Recorder:
    """A store that records the calls made on it and answers from a table."""

    def __init__(self, answers=None):
        self.calls, self.answers = [], answers or {}

    def __getattr__(self, name):
        return lambda *args, **kwargs: self.calls.append((name, args, kwargs)) or self.answers.get(name)


def test_module_body_and_class_layout():
    assert kenv.__doc__ == "Payload wrapper built on top of kDict."
    assert [k for k in vars(kenv) if not k.startswith("__")] == [
        "json", "asdict", "is_dataclass", "datetime", "Any", "kDict", "kEnvelope"]
    assert kenv.json is json and kenv.asdict is dataclasses.asdict and kenv.datetime is dt.datetime
    assert kenv.kDict is kDict
    assert kEnvelope.__doc__ == "Mutable payload envelope for passing request and response data."
    assert kEnvelope.__module__ == "kestrune.utils.kEnvelope" and kEnvelope.__bases__ == (object,)
    assert [k for k in vars(kEnvelope) if not k.startswith("__") or k == "__init__"] == [
        "__init__", "post", "put", "delete", "has", "nest", "get", "toJson", "_flatten", "_serialize_value"]
    assert all(isinstance(vars(kEnvelope)[k], classmethod) for k in ("_flatten", "_serialize_value"))


@pytest.mark.parametrize("name, signature", [
    ("__init__", "(self, existing: 'kDict | None' = None) -> 'None'"),
    ("post", "(self, key: 'str', value: 'Any') -> \"'kEnvelope'\""),
    ("put", "(self, key: 'str', value: 'Any') -> \"'kEnvelope'\""),
    ("delete", "(self, key: 'str') -> \"'kEnvelope'\""),
    ("has", "(self, key: 'str') -> 'bool'"),
    ("nest", "(self, key: 'str') -> \"'kEnvelope'\""),
    ("get", "(self) -> 'dict[str, Any]'"),
    ("toJson", "(self) -> 'str'"),
    ("_flatten", "(source: 'dict[str, Any]') -> 'dict[str, Any]'"),
    ("_serialize_value", "(value: 'Any') -> 'Any'"),
])
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(kEnvelope, name))) == signature


@pytest.mark.parametrize("kdict_source, error", [
    ("raise ZeroDivisionError('no store today')\n", "ZeroDivisionError: no store today"),
    ("other = 1\n", "ImportError: cannot import name kDict"),
])
@pytest.mark.no_refleak  # runs a process
def test_import_fails_with_the_kdict_import(tmp_path, kdict_source, error):
    utils = tmp_path / "kestrune" / "utils"
    utils.mkdir(parents=True, exist_ok=True)
    for init in (tmp_path / "kestrune" / "__init__.py", utils / "__init__.py"):
        init.write_text("")
    shutil.copy(kenv.__file__, utils)
    (utils / "kDict.py").write_text(kdict_source)
    run = subprocess.run([sys.executable, "-c", "import kestrune.utils.kEnvelope"], capture_output=True,
                         text=True, env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert run.returncode == 1 and run.stderr.strip().splitlines()[-1] == error


# ------------------------------------------------------- field operations

def test_store_is_shared_and_read_afresh():
    d = kDict()
    e = kEnvelope(d)
    assert vars(e) == {"_data": d}
    e.put("A", 1)
    assert d.has("a") and d.get("A") == 1
    empty = kDict()
    assert kEnvelope(empty)._data is empty
    a, b = kEnvelope(), kEnvelope(None)
    assert type(a._data) is kDict and a._data is not b._data and a._data.Count == 0
    e._data = other = kDict()
    e.put("x", 2)
    assert other.get("x") == 2 and not d.has("x")


def test_post_put_delete_has():
    e = kEnvelope()
    assert e.post("Name", 1).post("NAME", 2) is e
    assert list(e._data.Raw().items()) == [("Name", 1)]
    assert e.put("NAME", 3) is e and list(e._data.Raw().items()) == [("NAME", 3)]
    assert e.has("name") is True and e.has("other") is False
    assert e.put("name", None) is e and not e.has("NAME")
    assert e.post("gone", None).has("gone") is False
    assert e.delete("absent") is e
    assert e.post("a", 1).put("b", 2).delete("A") is e and list(e._data.Raw()) == ["b"]


@pytest.mark.parametrize("call, calls", [
    (lambda e: e.post("k", 1), [("has", ("k",), {}), ("add", ("k", 1), {})]),
    (lambda e: e.put("k", 1), [("set", ("k", 1), {})]),
    (lambda e: e.delete("k"), [("remove", ("k",), {})]),
    (lambda e: e.get(), [("Raw", (), {})]),
])
def test_store_is_called_by_name_positionally(call, calls):
    store = Recorder({"Raw": {}})
    call(kEnvelope(store))
    assert store.calls == calls


def test_has_and_post_take_the_store_answer():
    answer = object()
    assert kEnvelope(Recorder({"has": answer})).has("k") is answer
    store = Recorder({"has": [0]})
    kEnvelope(store).post("k", 1)
    assert [c[0] for c in store.calls] == ["has"]
    with pytest.raises(AttributeError, match="_data"):
        kEnvelope.__new__(kEnvelope).put("a", 1)


@pytest.mark.parametrize("method", keyed_members(kEnvelope))
@pytest.mark.parametrize("key", [None, 5, StrSub("k")])
def test_key_must_be_exact_str(method, key):
    store = Recorder()
    with pytest.raises(TypeError) as info:
        getattr(kEnvelope(store), method)(*((key, 1) if method in ("post", "put") else (key,)))
    assert str(info.value) == f"Argument 'key' has incorrect type (expected str, got {type(key).__name__})"
    assert getattr(info.value, "__notes__", []) == ([NOTE] if type(key) is StrSub else [])
    assert store.calls == []


@pytest.mark.parametrize("call", [lambda e: e.put("", 1), lambda e: e.post("  ", 1), lambda e: e.nest("\t")])
def test_blank_keys_fail_in_the_store(call):
    with pytest.raises(ValueError, match=r"^Key cannot be empty\.$"):
        call(kEnvelope())


# ------------------------------------------------------------------ nest

def test_nest_on_nothing_and_on_kdicts():
    e = kEnvelope()
    child = e.nest("child").put("x", 1)
    stored = e._data.get("child")
    assert type(child) is kEnvelope and type(stored) is kDict and child._data is stored
    assert e.get() == {"child": {"x": 1}}
    again = e.nest("CHILD")
    assert again is not child and again._data is stored and list(e._data.Raw()) == ["child"]
    child.nest("deeper").put("y", 2)
    assert e.get() == {"child": {"x": 1, "deeper": {"y": 2}}}
    inner = type("Sub", (kDict,), {})()
    e.put("k", inner)
    assert e.nest("k")._data is inner and e._data.get("k") is inner


def test_nest_on_a_plain_dict_stores_the_new_kdict():
    e = kEnvelope().put("Child", {"a": 1})
    child = e.nest("child").put("b", 2)
    stored = e._data.get("child")
    assert type(stored) is kDict and child._data is stored and list(e._data.Raw()) == ["child"]
    assert e.get() == {"child": {"a": 1, "b": 2}}


@pytest.mark.parametrize("value", [5, "text", [1], DictSub(a=1), {"": 1}, {1: 2}, kEnvelope()])
def test_nest_replaces_other_values_with_an_empty_kdict(value):
    e = kEnvelope().put("k", value)
    e.nest("k").put("x", 1)
    assert e.get() == {"k": {"x": 1}}


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_nest_makes_the_module_level_kenvelope(monkeypatch):
    class Sub(kEnvelope):
        pass

    assert type(Sub().nest("k")) is kEnvelope
    with monkeypatch.context() as patch:
        patch.setattr(kenv, "kEnvelope", Sub)
        assert type(kEnvelope().nest("k")) is Sub


# ------------------------------------------------------------ plain data

@pytest.mark.parametrize("value, expected", [
    ((1, (2, 3)), [1, [2, 3]]),
    (Pair(1, NOW), [1, "2026-03-15T08:30:45.123000"]),
    (AWARE, "2026-03-15T08:30:00+00:00"),
    ([kDict({"A": (1,)})], [{"A": [1]}]),
    ({"k": NOW, 3: [dt.datetime(2026, 1, 1)]}, {"k": NOW.isoformat(), 3: ["2026-01-01T00:00:00"]}),
    (DictSub(x=(1,)), {"x": [1]}),
    ([Point(2, AWARE)], [{"x": 2, "when": AWARE.isoformat()}]),
])
def test_get_converts(value, expected):
    result = kEnvelope().put("v", value).get()["v"]
    assert result == expected and type(result) is type(expected)


OFFSETS = st.timedeltas(min_value=dt.timedelta(hours=-23, minutes=-59), max_value=dt.timedelta(hours=23, minutes=59))


@pytest.mark.no_refleak  # the example generator's own caches
@given(st.datetimes(timezones=st.one_of(st.none(), st.just(dt.timezone.utc), st.builds(dt.timezone, OFFSETS))))
def test_datetimes_come_out_as_their_isoformat(value):
    assert kEnvelope._serialize_value([value]) == [value.isoformat()]


@pytest.mark.parametrize("value", [dt.date(2026, 1, 1), Color.red, {1, 2}, b"x", 1.5, True, kEnvelope(), object()])
def test_get_leaves_other_values_as_they_are(value):
    assert kEnvelope().put("v", value).get()["v"] is value


def test_get_builds_new_containers_over_the_same_leaves():
    leaf, inner = object(), []
    inner.append(leaf)
    result = kEnvelope().put("list", inner).put("dict", {"k": leaf}).get()
    assert result["list"] is not inner and result["list"][0] is leaf and result["dict"]["k"] is leaf
    with pytest.raises(TypeError, match="asdict"):  # a data class itself
        kEnvelope().put("v", Point).get()


@pytest.mark.parametrize("source", [None, kDict(), DictSub(), []])
def test_flatten_takes_an_exact_dict(source):
    with pytest.raises(TypeError) as info:
        kEnvelope._flatten(source)
    assert str(info.value) == f"Argument 'source' has incorrect type (expected dict, got {type(source).__name__})"
    assert getattr(info.value, "__notes__", []) == ([NOTE] if type(source) is DictSub else [])
    no_raw = type("NoRaw", (kDict,), {"Raw": lambda self: None})
    with pytest.raises(TypeError, match=r"expected dict, got NoneType"):
        kEnvelope().put("k", [no_raw()]).get()


def test_containers_changed_during_the_walk():
    source, items = {}, []

    class Grow(dt.datetime):
        def isoformat(self, *args):
            source["more"] = 1
            if len(items) < 3:
                items.append(Grow(2026, 1, 1))
            return "t"

    source.update(a=Grow(2026, 1, 1), b=1)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        kEnvelope._flatten(source)
    items.append(Grow(2026, 1, 1))
    assert kEnvelope._serialize_value(items) == ["t", "t", "t"]  # a list is followed as it grows


def _unpack_error(item):
    try:
        k, v = item
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("item", [1, None, (1,), (1, 2, 3), [1, 2, 3], "abc", "a", {1: 1, 2: 2, 3: 3}])
def test_dict_subclass_items_are_unpacked_like_python(item):
    odd = type("Odd", (dict,), {"items": lambda self: [("ok", 1), item]})
    with pytest.raises(Exception) as info:
        kEnvelope._serialize_value(odd())
    assert (info.type, str(info.value)) == _unpack_error(item)


def test_subclasses_of_containers_are_walked_by_their_own_methods():
    renamed = type("Renamed", (dict,), {"items": lambda self: iter([("a", (1,)), ["b", 2]])})
    assert kEnvelope._serialize_value(renamed(z=0)) == {"a": [1], "b": 2}
    backwards = type("Backwards", (list,), {"__iter__": lambda self: iter(self[::-1])})
    assert kEnvelope._serialize_value(backwards([1, (2,)])) == [[2], 1]


# ------------------------------------------------------------------- JSON

def test_json_text():
    e = kEnvelope().put("Name", "Zoë").put("AGE", Color.red).put("tags", ("a", math.nan)).put("empty", [])
    e.nest("child").put("x", True).put("sub", {None: [None], 1: 2})
    assert e.toJson() == (
        '{\n    "Name": "Zo\\u00eb",\n    "AGE": 1,\n    "tags": [\n        "a",\n        NaN\n    ],\n'
        '    "empty": [],\n    "child": {\n        "x": true,\n        "sub": {\n'
        '            "null": [\n                null\n            ],\n            "1": 2\n        }\n    }\n}'
    )
    assert kEnvelope().toJson() == "{}"


@pytest.mark.parametrize("value, message", [
    (dt.date(2026, 1, 1), "Object of type date is not JSON serializable"),
    (kEnvelope(), "Object of type kEnvelope is not JSON serializable"),
    ({(1, 2): 3}, "keys must be str, int, float, bool or None, not tuple"),
])
def test_json_refuses_what_it_cannot_hold(value, message):
    with pytest.raises(TypeError) as info:
        kEnvelope().put("v", value).toJson()
    assert str(info.value) == message


# ----------------------------------------------- overrides and rebinding

def test_subclass_overrides_are_used_for_every_nested_value():
    class Upper(kEnvelope):
        @classmethod
        def _serialize_value(cls, value):
            return value.upper() if isinstance(value, str) else super()._serialize_value(value)

    e = Upper().put("a", "x").put("l", ["y", ("z",)]).put("d", DictSub(k="w")).put("p", Point("v", NOW))
    e.nest("c").put("s", "v")
    assert e.get() == {"a": "X", "l": ["Y", ["Z"]], "d": {"k": "W"}, "p": {"x": "V", "when": NOW.isoformat().upper()},
                       "c": {"s": "V"}}

    class Tagged(kEnvelope):
        @classmethod
        def _flatten(cls, source):
            return {"tagged": super()._flatten(source)}

    assert Tagged().put("l", [kDict({"a": 1})]).get() == {"tagged": {"l": [{"tagged": {"a": 1}}]}}


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_result_checks_of_get_and_tojson(monkeypatch):
    e = kEnvelope()
    e._flatten = lambda source: [1]
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        e.get()
    e._flatten = lambda source: None
    assert e.get() is None
    fake = type("FakeJson", (), {"dumps": staticmethod(lambda value, **kw: repr((value, kw)).encode())})
    with monkeypatch.context() as patch:
        patch.setattr(kenv, "json", fake)
        with pytest.raises(TypeError, match="^Expected str, got bytes$"):
            kEnvelope().toJson()
        fake.dumps = staticmethod(lambda value, **kw: repr((value, kw)))
        assert kEnvelope().put("a", 1).toJson() == "({'a': 1}, {'indent': 4})"


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_rebound_module_names_change_the_walk(monkeypatch):
    e = kEnvelope().put("day", dt.date(2026, 1, 2)).put("p", Point(1, NOW)).put("s", "text")
    monkeypatch.setattr(kenv, "datetime", dt.date)
    monkeypatch.setattr(kenv, "asdict", lambda value: ("as", "tuple"))
    assert e.get() == {"day": "2026-01-02", "p": ["as", "tuple"], "s": "text"}
    monkeypatch.setattr(kenv, "is_dataclass", lambda value: value == "text")
    assert e.get()["s"] == ["as", "tuple"]
    monkeypatch.setattr(kenv, "kDict", str)
    with pytest.raises(AttributeError, match="Raw"):
        e.get()
    monkeypatch.delattr(kenv, "kDict")
    with pytest.raises(NameError, match="^name 'kDict' is not defined$"):
        kEnvelope()
    monkeypatch.undo()
    assert e.get()["s"] == "text"


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_changes_made_during_the_walk_are_seen_by_the_rest_of_it(monkeypatch):
    def switch(change):
        return type("Switch", (dt.datetime,), {"isoformat": lambda self: change() or "first"})(2026, 1, 1)

    day = dt.date(2026, 1, 2)
    rebind = switch(lambda: monkeypatch.setattr(kenv, "datetime", dt.date))
    assert kEnvelope._serialize_value([rebind, day]) == ["first", "2026-01-02"]
    monkeypatch.undo()
    patched = classmethod(lambda cls, value: "patched")
    override = switch(lambda: monkeypatch.setattr(kEnvelope, "_serialize_value", patched))
    assert kEnvelope().put("a", [override, 1, [2]]).get() == {"a": ["first", "patched", "patched"]}
    monkeypatch.undo()
    assert kEnvelope().put("a", [1, [2], day]).get() == {"a": [1, [2], day]}


# ---------------------------------------------------- self-containing values

def _self_containing():
    lst, d, k = [], {}, kDict()
    lst.append(lst)
    d["d"] = [d]
    k.set("k", (k,))
    return [lst, d, k]


@pytest.mark.parametrize("value", _self_containing(), ids=["list", "dict", "kdict"])
@pytest.mark.parametrize("cls", [kEnvelope, type("Sub", (kEnvelope,), {})], ids=["native", "subclass"])
def test_self_containing_values_raise_recursion_error(value, cls):
    e = cls().put("v", value)
    for call in (e.get, e.toJson):
        with pytest.raises(RecursionError):
            call()


@pytest.mark.thread_unsafe(reason="threading.stack_size is process-wide")
def test_self_containing_value_in_a_small_thread_stack():
    from threadrun import run_in_small_stack

    assert run_in_small_stack(kEnvelope().put("v", _self_containing()[0]).get) is RecursionError


# ------------------------------------------------- against the reference

KEYS = st.text(min_size=1, max_size=4).filter(lambda k: not k.isspace())
TREES = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=5),
              st.sampled_from([NOW, AWARE, dt.date(2026, 1, 1), Color.red])),
    lambda children: st.one_of(
        st.lists(children, max_size=3), st.lists(children, max_size=3).map(tuple),
        st.dictionaries(KEYS, children, max_size=3),
        st.dictionaries(KEYS, children, max_size=3).map(lambda d: ("kdict", d)),
        st.builds(lambda x: ("point", x), children),
    ),
    max_leaves=12,
)


def _build(shape, kdict_cls):
    if isinstance(shape, tuple) and len(shape) == 2 and shape[0] in ("kdict", "point"):
        if shape[0] == "point":
            return Point(_build(shape[1], kdict_cls), NOW)
        made = kdict_cls()
        for key, value in shape[1].items():
            made.set(key, _build(value, kdict_cls))
        return made
    if isinstance(shape, (list, tuple)):
        return type(shape)(_build(item, kdict_cls) for item in shape)
    if isinstance(shape, dict):
        return {key: _build(value, kdict_cls) for key, value in shape.items()}
    return shape


def _outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error), str(error)


@pytest.mark.no_refleak  # the example generator's own caches; the other tests cover the walk
@pytest.mark.parametrize("cls", [kEnvelope, type("Plain", (kEnvelope,), {})], ids=["native", "subclass"])
@given(fields=st.dictionaries(KEYS, TREES, max_size=5))
def test_matches_the_reference(cls, fields):
    native, model = cls(), ref.kEnvelope()
    for key, shape in fields.items():
        native.put(key, _build(shape, kDict))
        model.put(key, _build(shape, ref.kDict))
    assert native.get() == model.get()
    assert _outcome(native.toJson) == _outcome(model.toJson)


def test_typical_road():
    kTag = pytest.importorskip("kestrune.utils.kTag").kTag
    from kestrune.utils.kState import kState

    ident = kTag.New("alice", "payment")
    e = kEnvelope().post("id", ident).put("state", kState.hold).post("ID", "ignored")
    e.nest("customer").put("name", "Alice").put("since", dt.datetime(2026, 1, 2, 3, 4, 5))
    data = json.loads(e.toJson())
    assert data == {"id": ident, "state": 2, "customer": {"name": "Alice", "since": "2026-01-02T03:04:05"}}
    assert kTag.GetCreatedAt(data["id"]).tzinfo is dt.timezone.utc
