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
from hypothesis import given, settings, strategies as st

import kestrune.utils.kEnvelope as kenv
from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope

ROOT = pathlib.Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("kestrune_reference", ROOT / "benchmarks" / "reference.py")
ref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ref)

SUBCLASS_NOTE = "Subclasses of built-in types are not accepted; pass an exact instance of the built-in type."


class StrSub(str):
    pass


class DictSub(dict):
    pass


class Color(enum.IntEnum):
    red = 1


@dataclasses.dataclass
class Point:
    x: int
    when: dt.datetime


class Recorder:
    """A store that records the calls made on it."""

    def __init__(self, answers=None):
        self.calls = []
        self.answers = answers or {}

    def __getattr__(self, name):
        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return self.answers.get(name)

        return method


# ------------------------------------------------------------------ module


def test_module_body_and_class_layout():
    assert kenv.__doc__ == "Payload wrapper built on top of kDict."
    names = [k for k in vars(kenv) if not k.startswith("__")]
    assert names == ["json", "asdict", "is_dataclass", "datetime", "Any", "kDict", "kEnvelope"]
    assert kenv.json is json and kenv.asdict is dataclasses.asdict and kenv.datetime is dt.datetime
    assert kenv.kDict is kDict
    assert kEnvelope.__doc__ == "Mutable payload envelope for passing request and response data."
    assert kEnvelope.__module__ == "kestrune.utils.kEnvelope" and kEnvelope.__bases__ == (object,)
    members = [k for k in vars(kEnvelope) if not k.startswith("__") or k == "__init__"]
    assert members == ["__init__", "post", "put", "delete", "has", "nest", "get", "toJson", "_flatten",
                       "_serialize_value"]
    assert isinstance(vars(kEnvelope)["_flatten"], classmethod)
    assert isinstance(vars(kEnvelope)["_serialize_value"], classmethod)


@pytest.mark.parametrize(
    "name, signature",
    [
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
    ],
)
def test_signatures_and_annotations(name, signature):
    member = getattr(kEnvelope, name)
    assert str(inspect.signature(member)) == signature
    assert member.__qualname__ == f"kEnvelope.{name}"


def test_reinitialisation_is_refused(fresh_import):
    with pytest.raises(RuntimeError, match=r"^Module 'kEnvelope' has already been imported\."):
        fresh_import("kestrune.utils.kEnvelope")


@pytest.mark.parametrize(
    "kdict_source, error",
    [
        ("raise ZeroDivisionError('no store today')\n", "ZeroDivisionError: no store today"),
        ("other = 1\n", "ImportError: cannot import name kDict"),
    ],
)
def test_import_fails_with_the_kdict_import(tmp_path, kdict_source, error):
    utils = tmp_path / "kestrune" / "utils"
    utils.mkdir(parents=True)
    (tmp_path / "kestrune" / "__init__.py").write_text("")
    (utils / "__init__.py").write_text("")
    shutil.copy(kenv.__file__, utils)
    (utils / "kDict.py").write_text(kdict_source)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    code = "import kestrune.utils.kEnvelope"
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stderr.strip().splitlines()[-1] == error


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
    other = kDict()
    e._data = other
    e.put("x", 2)
    assert other.get("x") == 2 and not d.has("x")


def test_post_put_delete_has():
    e = kEnvelope()
    assert e.post("Name", 1).post("NAME", 2) is e
    assert list(e._data.Raw().items()) == [("Name", 1)]
    assert e.put("NAME", 3) is e
    assert list(e._data.Raw().items()) == [("NAME", 3)]
    assert e.has("name") is True and e.has("other") is False
    assert e.put("name", None) is e and not e.has("NAME")
    assert e.post("gone", None).has("gone") is False
    assert e.delete("absent") is e
    assert e.post("a", 1).put("b", 2).delete("A") is e
    assert list(e._data.Raw()) == ["b"]


@pytest.mark.parametrize(
    "call, calls",
    [
        (lambda e: e.post("k", 1), [("has", ("k",), {}), ("add", ("k", 1), {})]),
        (lambda e: e.put("k", 1), [("set", ("k", 1), {})]),
        (lambda e: e.delete("k"), [("remove", ("k",), {})]),
        (lambda e: e.has("k"), [("has", ("k",), {})]),
        (lambda e: e.get(), [("Raw", (), {})]),
    ],
)
def test_store_is_called_by_name_positionally(call, calls):
    store = Recorder({"Raw": {}})
    call(kEnvelope(store))
    assert store.calls == calls


def test_has_returns_the_store_answer_unchanged():
    answer = object()
    assert kEnvelope(Recorder({"has": answer})).has("k") is answer
    store = Recorder({"has": [0]})
    kEnvelope(store).post("k", 1)
    assert [c[0] for c in store.calls] == ["has"]


@pytest.mark.parametrize("method", ["post", "put", "delete", "has", "nest"])
@pytest.mark.parametrize("key", [None, 5, StrSub("k")])
def test_key_must_be_exact_str(method, key):
    store = Recorder()
    args = (key, 1) if method in ("post", "put") else (key,)
    with pytest.raises(TypeError) as info:
        getattr(kEnvelope(store), method)(*args)
    assert str(info.value) == f"Argument 'key' has incorrect type (expected str, got {type(key).__name__})"
    assert getattr(info.value, "__notes__", []) == ([SUBCLASS_NOTE] if type(key) is StrSub else [])
    assert store.calls == []


@pytest.mark.parametrize("call", [lambda e: e.put("", 1), lambda e: e.post("  ", 1), lambda e: e.nest("\t")])
def test_blank_keys_fail_in_the_store(call):
    with pytest.raises(ValueError, match=r"^Key cannot be empty\.$"):
        call(kEnvelope())


def test_missing_store_and_store_without_members():
    with pytest.raises(AttributeError, match="_data"):
        kEnvelope.__new__(kEnvelope).put("a", 1)
    with pytest.raises(AttributeError):
        kEnvelope(5).has("a")


# ------------------------------------------------------------------ nest


def test_nest_on_nothing_and_on_a_kdict():
    e = kEnvelope()
    child = e.nest("child")
    stored = e._data.get("child")
    assert type(child) is kEnvelope and type(stored) is kDict and stored.Count == 0
    child.put("x", 1)
    assert e.get() == {"child": {"x": 1}}
    again = e.nest("CHILD")
    assert again is not child and again._data is stored
    assert list(e._data.Raw()) == ["child"]
    grandchild = child.nest("deeper").put("y", 2)
    assert grandchild._data is stored.get("deeper")
    assert e.get() == {"child": {"x": 1, "deeper": {"y": 2}}}


def test_nest_on_a_kdict_subclass_keeps_it():
    class Sub(kDict):
        pass

    inner = Sub()
    e = kEnvelope().put("k", inner)
    assert e.nest("k")._data is inner and e._data.get("k") is inner


def test_nest_on_a_plain_dict_stores_the_new_kdict():
    e = kEnvelope().put("Child", {"a": 1})
    child = e.nest("child")
    child.put("b", 2)
    stored = e._data.get("child")
    assert type(stored) is kDict and child._data is stored
    assert list(e._data.Raw()) == ["child"]
    assert e.get() == {"child": {"a": 1, "b": 2}}


@pytest.mark.parametrize("value", [5, "text", [1], DictSub(a=1), {"": 1}, {1: 2}, kEnvelope()])
def test_nest_replaces_other_values_with_an_empty_kdict(value):
    e = kEnvelope().put("k", value)
    e.nest("k").put("x", 1)
    assert e.get() == {"k": {"x": 1}}


def test_nest_uses_module_level_kenvelope_not_the_subclass(monkeypatch):
    class Sub(kEnvelope):
        pass

    assert type(Sub().nest("k")) is kEnvelope
    monkeypatch.setattr(kenv, "kEnvelope", Sub)
    assert type(kEnvelope().nest("k")) is Sub


# ------------------------------------------------------------ plain data

NOW = dt.datetime(2026, 3, 15, 8, 30, 45, 123000)
AWARE = dt.datetime(2026, 3, 15, 8, 30, tzinfo=dt.timezone.utc)
Pair = collections.namedtuple("Pair", "a b")


@pytest.mark.parametrize(
    "value, expected",
    [
        ((1, (2, 3)), [1, [2, 3]]),
        (Pair(1, NOW), [1, "2026-03-15T08:30:45.123000"]),
        (AWARE, "2026-03-15T08:30:00+00:00"),
        ([kDict({"A": (1,)})], [{"A": [1]}]),
        ({"k": NOW, 3: [dt.datetime(2026, 1, 1)]}, {"k": NOW.isoformat(), 3: ["2026-01-01T00:00:00"]}),
        (DictSub(x=(1,)), {"x": [1]}),
        (Point(1, NOW), {"x": 1, "when": NOW.isoformat()}),
        ([Point(2, AWARE)], [{"x": 2, "when": AWARE.isoformat()}]),
    ],
)
def test_get_converts(value, expected):
    result = kEnvelope().put("v", value).get()
    assert result == {"v": expected}
    assert type(result["v"]) is type(expected)


@pytest.mark.parametrize("value", [dt.date(2026, 1, 1), Color.red, {1, 2}, b"x", 1.5, True, kEnvelope(), object()])
def test_get_leaves_other_values_as_they_are(value):
    assert kEnvelope().put("v", value).get()["v"] is value


def test_a_data_class_itself_is_refused_by_asdict():
    with pytest.raises(TypeError, match="asdict"):
        kEnvelope().put("v", Point).get()


def test_get_builds_new_containers_over_the_same_leaves():
    leaf = object()
    inner = [leaf]
    e = kEnvelope().put("list", inner).put("dict", {"k": leaf})
    result = e.get()
    assert result["list"] is not inner and result["list"][0] is leaf and result["dict"]["k"] is leaf
    result["list"].append(1)
    assert inner == [leaf]


@pytest.mark.parametrize("source", [None, kDict(), DictSub(), []])
def test_flatten_takes_an_exact_dict(source):
    with pytest.raises(TypeError) as info:
        kEnvelope._flatten(source)
    assert str(info.value) == (
        f"Argument 'source' has incorrect type (expected dict, got {type(source).__name__})"
    )
    assert getattr(info.value, "__notes__", []) == ([SUBCLASS_NOTE] if type(source) is DictSub else [])


def test_raw_that_is_not_a_dict_is_refused():
    e = kEnvelope(Recorder({"Raw": DictSub()}))
    with pytest.raises(TypeError, match=r"expected dict, got DictSub"):
        e.get()
    class NoRaw(kDict):
        def Raw(self):
            return None

    with pytest.raises(TypeError, match=r"expected dict, got NoneType"):
        kEnvelope().put("k", [NoRaw()]).get()


def test_changes_during_the_walk_raise_runtime_error():
    source = {}

    class Growing(dt.datetime):
        def isoformat(self, *args):
            source["more"] = 1
            return "x"

    source.update(a=Growing(2026, 1, 1), b=1)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        kEnvelope._flatten(source)
    source = {"a": Growing(2026, 1, 1)}
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        kEnvelope._serialize_value([source])


def _unpack_error(item):
    try:
        k, v = item
    except Exception as error:
        return type(error), str(error)
    raise AssertionError(f"{item!r} unpacks")


@pytest.mark.parametrize("item", [1, None, (1,), (1, 2, 3), [1, 2, 3], "abc", "a", {1: 1, 2: 2, 3: 3}])
def test_dict_subclass_items_are_unpacked_like_python(item):
    class Odd(dict):
        def items(self):
            return [("ok", 1), item]

    with pytest.raises(Exception) as info:
        kEnvelope._serialize_value(Odd())
    assert (info.type, str(info.value)) == _unpack_error(item)


def test_dict_subclass_is_walked_through_items():
    class Renamed(dict):
        def items(self):
            return iter([("a", (1,)), ["b", 2]])

    assert kEnvelope._serialize_value(Renamed(z=0)) == {"a": [1], "b": 2}


def test_list_subclass_is_walked_through_its_iterator():
    class Backwards(list):
        def __iter__(self):
            return iter(self[::-1])

    assert kEnvelope._serialize_value(Backwards([1, (2,)])) == [[2], 1]


def test_list_changed_during_the_walk_follows_the_list():
    items = []

    class Appender(dt.datetime):
        def isoformat(self, *args):
            if len(items) < 3:
                items.append(Appender(2026, 1, 1))
            return "t"

    items.append(Appender(2026, 1, 1))
    assert kEnvelope._serialize_value(items) == ["t", "t", "t"]


# ------------------------------------------------------------------- JSON


def test_json_text_shape():
    e = kEnvelope().put("Name", "Zoë").put("AGE", 7).put("tags", ("a", 1.5)).put("empty", []).put("none", [None])
    e.nest("child").put("x", True).put("sub", {})
    assert e.toJson() == (
        "{\n"
        '    "Name": "Zo\\u00eb",\n'
        '    "AGE": 7,\n'
        '    "tags": [\n'
        '        "a",\n'
        "        1.5\n"
        "    ],\n"
        '    "empty": [],\n'
        '    "none": [\n'
        "        null\n"
        "    ],\n"
        '    "child": {\n'
        '        "x": true,\n'
        '        "sub": {}\n'
        "    }\n"
        "}"
    )
    assert kEnvelope().toJson() == "{}"


def test_json_details():
    e = kEnvelope().put("state", Color.red).put("nan", math.nan).put("d", {1: 2, None: 3})
    assert e.toJson() == '{\n    "state": 1,\n    "nan": NaN,\n    "d": {\n        "1": 2,\n        "null": 3\n    }\n}'


@pytest.mark.parametrize(
    "value, message",
    [
        (dt.date(2026, 1, 1), "Object of type date is not JSON serializable"),
        ({1, 2}, "Object of type set is not JSON serializable"),
        (kEnvelope(), "Object of type kEnvelope is not JSON serializable"),
        ({(1, 2): 3}, "keys must be str, int, float, bool or None, not tuple"),
    ],
)
def test_json_refuses_what_it_cannot_hold(value, message):
    with pytest.raises(TypeError) as info:
        kEnvelope().put("v", value).toJson()
    assert str(info.value) == message


# ----------------------------------------------- overrides and rebinding


def test_subclass_serialize_value_is_used_for_every_nested_value():
    class Upper(kEnvelope):
        @classmethod
        def _serialize_value(cls, value):
            if isinstance(value, str):
                return value.upper()
            return super()._serialize_value(value)

    e = Upper().put("a", "x").put("l", ["y", ("z",)]).put("d", DictSub(k="w")).put("p", Point(1, NOW))
    e.nest("c").put("s", "v")
    assert e.get() == {"a": "X", "l": ["Y", ["Z"]], "d": {"k": "W"}, "p": {"x": 1, "when": NOW.isoformat().upper()},
                       "c": {"s": "V"}}


def test_subclass_flatten_is_used_for_nested_kdicts():
    class Tagged(kEnvelope):
        @classmethod
        def _flatten(cls, source):
            return {"tagged": super()._flatten(source)}

    e = Tagged().put("l", [kDict({"a": 1})])
    assert e.get() == {"tagged": {"l": [{"tagged": {"a": 1}}]}}


def test_result_checks_of_get_and_tojson(monkeypatch):
    e = kEnvelope()
    e._flatten = lambda source: [1]
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        e.get()
    e._flatten = lambda source: None
    assert e.get() is None

    class FakeJson:
        @staticmethod
        def dumps(value, **kwargs):
            return repr((value, kwargs)).encode()

    monkeypatch.setattr(kenv, "json", FakeJson)
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        kEnvelope().toJson()
    FakeJson.dumps = staticmethod(lambda value, **kwargs: repr((value, kwargs)))
    assert kEnvelope().put("a", 1).toJson() == "({'a': 1}, {'indent': 4})"


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


def test_changes_made_during_the_walk_are_seen_by_the_rest_of_it(monkeypatch):
    class Switch(dt.datetime):
        def isoformat(self, *args):
            monkeypatch.setattr(kenv, "datetime", dt.date)
            return "switched"

    e = kEnvelope().put("a", Switch(2026, 1, 1)).put("b", dt.date(2026, 1, 2))
    assert e.get() == {"a": "switched", "b": "2026-01-02"}
    monkeypatch.undo()

    class Patch(dt.datetime):
        def isoformat(self, *args):
            monkeypatch.setattr(kEnvelope, "_serialize_value", classmethod(lambda cls, value: "patched"))
            return "first"

    e = kEnvelope().put("a", [Patch(2026, 1, 1), 1, [2]])
    assert e.get() == {"a": ["first", "patched", "patched"]}
    monkeypatch.undo()
    assert kEnvelope().put("a", [1, [2]]).get() == {"a": [1, [2]]}


# ---------------------------------------------------- self-containing values


def _self_containing():
    lst = []
    lst.append(lst)
    d = {}
    d["d"] = [d]
    k = kDict()
    k.set("k", (k,))
    return [lst, d, k]


@pytest.mark.parametrize("value", _self_containing(), ids=["list", "dict", "kdict"])
@pytest.mark.parametrize("envelope_type", ["native", "subclass"])
def test_self_containing_values_raise_recursion_error(value, envelope_type):
    cls = kEnvelope if envelope_type == "native" else type("Sub", (kEnvelope,), {})
    e = cls().put("v", value)
    with pytest.raises(RecursionError):
        e.get()
    with pytest.raises(RecursionError):
        e.toJson()


def test_self_containing_value_in_a_small_thread_stack():
    lst = []
    lst.append(lst)
    outcome = []

    def run():
        try:
            kEnvelope().put("v", lst).get()
        except RecursionError:
            outcome.append("RecursionError")

    old = threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert outcome == ["RecursionError"]


# ------------------------------------------------- against the reference


def _trees():
    leaves = st.one_of(
        st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=5),
        st.sampled_from([NOW, AWARE, dt.date(2026, 1, 1), Color.red]),
    )
    keys = st.text(min_size=1, max_size=4).filter(lambda k: not k.isspace())

    def extend(children):
        return st.one_of(
            st.lists(children, max_size=3),
            st.lists(children, max_size=3).map(tuple),
            st.dictionaries(keys, children, max_size=3),
            st.dictionaries(keys, children, max_size=3).map(lambda d: ("kdict", d)),
            st.builds(lambda x: ("point", x), children),
        )

    return st.recursive(leaves, extend, max_leaves=12)


def _build(spec, kdict_cls):
    if isinstance(spec, tuple) and len(spec) == 2 and spec[0] == "kdict":
        made = kdict_cls()
        for key, value in spec[1].items():
            made.set(key, _build(value, kdict_cls))
        return made
    if isinstance(spec, tuple) and len(spec) == 2 and spec[0] == "point":
        return Point(_build(spec[1], kdict_cls), NOW)
    if isinstance(spec, list):
        return [_build(item, kdict_cls) for item in spec]
    if isinstance(spec, tuple):
        return tuple(_build(item, kdict_cls) for item in spec)
    if isinstance(spec, dict):
        return {key: _build(value, kdict_cls) for key, value in spec.items()}
    return spec


def _outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error), str(error)


class Plain(kEnvelope):
    """Takes the general path: every nested value through cls._serialize_value."""


@pytest.mark.parametrize("envelope_cls", [kEnvelope, Plain])
@settings(max_examples=150, deadline=None)
@given(fields=st.dictionaries(st.text(min_size=1, max_size=4).filter(lambda k: not k.isspace()), _trees(), max_size=5))
def test_matches_the_reference(envelope_cls, fields):
    native, model = envelope_cls(), ref.kEnvelope()
    for key, spec in fields.items():
        native.put(key, _build(spec, kDict))
        model.put(key, _build(spec, ref.kDict))
    assert native.get() == model.get()
    assert _outcome(native.toJson) == _outcome(model.toJson)


# --------------------------------------------------------- the typical road


def test_typical_road():
    kTag = pytest.importorskip("kestrune.utils.kTag").kTag
    kState = pytest.importorskip("kestrune.utils.kState").kState
    ident = kTag.New("alice", "payment")
    e = kEnvelope().post("id", ident).put("state", kState.hold).post("ID", "ignored")
    e.nest("customer").put("name", "Alice").put("since", dt.datetime(2026, 1, 2, 3, 4, 5))
    assert json.loads(e.toJson()) == {
        "id": ident, "state": 2, "customer": {"name": "Alice", "since": "2026-01-02T03:04:05"}
    }
    assert kTag.GetCreatedAt(json.loads(e.toJson())["id"]).tzinfo is dt.timezone.utc
