"""kEnvelope shortcuts: data-class instances converted in one pass and JSON
text written directly.  They must give exactly what asdict and json.dumps
give, and step aside whenever anything those functions use is changed."""
import collections
import contextlib
import copy
import copyreg
import dataclasses
import datetime as dt
import enum
import json
import subprocess
import sys
import threading
import tracemalloc
import types

import pytest
from hypothesis import given, strategies as st

import kestrune.utils.kEnvelope as kenv
from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope

pytestmark = pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")

General = type("General", (kEnvelope,), {})  # every member reached by lookup
NOW = dt.datetime(2026, 3, 15, 8, 30, 45, 123000)
PLUS = dt.datetime(2026, 3, 15, 8, 30, tzinfo=dt.timezone(dt.timedelta(hours=-5, seconds=-30), "X"))
Pair = collections.namedtuple("Pair", "a b")


class Color(enum.IntEnum):
    red = 1


class FloatSub(float):
    def __repr__(self):
        return "FloatSub!"


class IntSub(int):
    def __repr__(self):
        return "IntSub!"

    __str__ = __repr__


class StrSub(str):
    def __str__(self):
        return "StrSub!"


class ListSub(list):
    pass


class DictSub(dict):
    pass


class DateTimeSub(dt.datetime):
    pass


class Leaf:
    """Neither JSON nor atomic for asdict (deep-copied); compares by repr."""

    def __repr__(self):
        return "Leaf()"


@dataclasses.dataclass
class Plain:
    a: object
    b: object = None


@dataclasses.dataclass(slots=True)
class Slotted:
    a: object


@contextlib.contextmanager
def _general_json():
    """A context in which toJson reaches json.dumps through a replaced name."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kenv, "json", types.SimpleNamespace(dumps=json.dumps))
        yield


def _outcome(call):
    try:
        result = call()
    except Exception as error:
        return type(error), str(error), getattr(error, "__notes__", None)
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        return repr(result)
    finally:
        sys.set_int_max_str_digits(limit)


# ------------------------------------------------ fast against general

TEXT = st.text(st.characters(exclude_categories=()), max_size=6)
LEAVES = st.one_of(
    st.none(), st.booleans(), st.integers(), st.sampled_from([2**70, -(2**64)]), st.builds(pow, st.just(10), st.just(5000)),
    st.floats(), TEXT,
    st.sampled_from([NOW, PLUS, dt.datetime(2026, 1, 1, tzinfo=dt.timezone.utc), DateTimeSub(2026, 1, 1),
                     dt.date(2026, 1, 1), Color.red, FloatSub(2.5), StrSub("s\u00e9"), b"x", 1 + 2j,
                     frozenset({1}), Leaf()]),
)
DICT_KEYS = st.one_of(TEXT, st.integers(), st.floats(), st.booleans(), st.none(),
                      st.sampled_from([Color.red, FloatSub(0.5), StrSub("k"), (1, 2), b"b"]))
KDICT_KEYS = st.text(min_size=1, max_size=3).filter(lambda k: not k.isspace())


def _kdict(d):
    made = kDict()
    for key, value in d.items():
        made.set(key, value)
    return made


TREES = st.recursive(
    LEAVES,
    lambda children: st.one_of(
        st.lists(children, max_size=3), st.lists(children, max_size=3).map(tuple),
        st.lists(children, max_size=2).map(ListSub), st.builds(Pair, children, children),
        st.dictionaries(DICT_KEYS, children, max_size=3),
        st.dictionaries(DICT_KEYS, children, max_size=2).map(DictSub),
        st.dictionaries(KDICT_KEYS, children, max_size=3).map(_kdict),
        st.builds(Plain, children, children), st.builds(Slotted, children),
    ),
    max_leaves=10,
)


@pytest.mark.no_refleak  # the example generator's own caches
@given(fields=st.dictionaries(KDICT_KEYS, TREES, max_size=4))
def test_fast_and_general_paths_agree(fields):
    store = _kdict(fields)
    fast_get, fast_json = _outcome(kEnvelope(store).get), _outcome(kEnvelope(store).toJson)
    assert fast_get == _outcome(General(store).get)
    with _general_json():
        assert fast_json == _outcome(kEnvelope(store).toJson)


_LATE_CALLS = []  # what the values below ran


class _CountingTz(dt.tzinfo):
    def utcoffset(self, when):
        _LATE_CALLS.append(when)
        return dt.timedelta(hours=1)


class _CountingMeta(type):
    def __getattr__(cls, name):
        _LATE_CALLS.append(name)
        raise AttributeError(name)


class _Counted(int, metaclass=_CountingMeta):
    pass


class _Masked(int):
    @property
    def __class__(self):
        _LATE_CALLS.append("__class__")
        return int


@pytest.mark.parametrize("value", [dt.datetime(2026, 1, 1, tzinfo=_CountingTz()), Color.red, b"x", _Counted(5),
                                   _Masked(3)], ids=["tz", "enum", "bytes", "metaclass getattr", "class property"])
def test_a_value_met_late_is_converted_once_and_alike(value):
    # The text is written while walking; a value that needs code of its own,
    # met after much has been written, gives the same result, and its code
    # runs as often, as when the tree is built first.
    calls = _LATE_CALLS
    calls.clear()
    inner = kDict().set("Items", [Plain(i, str(i)) for i in range(300)]).set("Late", value)
    store = kDict().set("First", list(range(300))).set("Inner", inner)
    one_pass = _outcome(kEnvelope(store).toJson)
    made = len(calls)
    with _general_json():
        assert _outcome(kEnvelope(store).toJson) == one_pass
    assert len(calls) == 2 * made


def test_the_plain_tree_of_plain_values_is_a_copy():
    env = kEnvelope().put("a", 1).put("B", "x").put("c", 2.5)
    env.nest("child").put("x", True)
    tree = env.get()
    child = env._data.Raw()["child"].Raw()
    assert tree == {"a": 1, "B": "x", "c": 2.5, "child": {"x": True}}
    assert tree is not env._data.Raw() and tree["child"] is not child
    tree["a"] = tree["child"]["x"] = 0
    assert env._data.Raw()["a"] == 1 and child["x"] is True


# ------------------------------------------------------ the JSON text

def _nested(depth):
    tree = []
    for _ in range(depth):
        tree = [tree]
    return tree


@pytest.mark.parametrize("value", [
    "\ud800 \udfff \U0001f600 \x00\x1f\x7f\x80 \"\\/\b\f\n\r\t \u2028 \uffff",
    [float("nan"), float("inf"), -float("inf"), 0.0, -0.0, 1e16, 1e-7, 2.5e300, FloatSub(1.25)],
    [0, -1, 2**62, -(2**63), 2**64, -(10**40), True, False, None, Color.red, IntSub(7), IntSub(2**80)],
    {1.5: 1, float("nan"): 2, True: 3, None: 4, 7: 5, Color.red: 6, FloatSub(2.0): 7, StrSub("s"): 8, IntSub(9): 9},
    {"empty": [{}, [], (), {"x": []}], "deep": [[[[[[1]]]]]]},
    _nested(60),
], ids=["strings", "floats", "ints", "keys", "empties", "nesting"])
def test_json_text_is_that_of_json_dumps(value):
    e = kEnvelope().put("v", value)
    assert e.toJson() == json.dumps(e.get(), indent=4)


def _shared():
    inner = {"a": [1, 2]}
    return [inner, inner, (inner,)]


@pytest.mark.parametrize("tree", [_nested(400), _shared(), 10**5000, "top", 1.5, [Leaf()], {(1,): 2}],
                         ids=["deep", "shared", "long-int", "str", "float", "leaf", "tuple-key"])
def test_json_of_whatever_get_returns(tree):
    # A subclass's get may return anything; the text stays json.dumps's.
    e = type("Any", (kEnvelope,), {"get": lambda self: tree})()
    assert _outcome(e.toJson) == _outcome(lambda: json.dumps(tree, indent=4))


@pytest.mark.thread_unsafe(reason="tracemalloc is process-wide")
def test_circular_tree_from_an_override_is_reported_by_json():
    loop = {}
    loop["self"] = [loop]
    e = type("Loop", (kEnvelope,), {"_flatten": classmethod(lambda cls, source: loop)})()
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="Circular reference detected"):
            e.toJson()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    # (no text of the loop unrolled to the stack's end is written first)
    assert peak < 20_000_000


# ----------------------------------------------- the shortcuts step aside

def Spy(fn):
    """A function that counts its calls and passes them on to fn."""

    def spy(*args, **kwargs):
        spy.calls += 1
        return fn(*args, **kwargs)

    spy.calls = 0
    return spy


def _spy(mp, owner, name):
    spy = Spy(getattr(owner, name))
    mp.setattr(owner, name, spy)
    return spy


POINT = Plain(NOW, [1, (2, {"k": NOW})])
POINT_PLAIN = {"a": NOW.isoformat(), "b": [1, [2, {"k": NOW.isoformat()}]]}


@pytest.mark.parametrize("owner, name", [
    (kenv, "asdict"), (kenv, "is_dataclass"), (dataclasses, "_asdict_inner"), (dataclasses, "fields"),
    (copy, "deepcopy"), (dataclasses, "getattr"),
], ids=lambda x: getattr(x, "__name__", x))
def test_dataclass_shortcut_steps_aside(monkeypatch, owner, name):
    if name == "getattr":
        monkeypatch.setattr(dataclasses, "getattr", getattr, raising=False)  # a module-level name now
    spy = _spy(monkeypatch, owner, name)
    assert kEnvelope().put("p", POINT).get() == {"p": POINT_PLAIN}
    assert spy.calls


def test_changed_function_defaults_and_code_are_used(monkeypatch):
    factory = Spy(dict)
    monkeypatch.setitem(dataclasses.asdict.__kwdefaults__, "dict_factory", factory)
    assert kEnvelope().put("p", POINT).get() == {"p": POINT_PLAIN}
    assert factory.calls
    monkeypatch.undo()
    monkeypatch.setattr(dataclasses._asdict_inner, "__code__", (lambda obj, f: {"patched": True}).__code__)
    assert kEnvelope().put("p", POINT).get() == {"p": {"patched": True}}


def test_changed_field_class_is_used(monkeypatch):
    kind, name = (dataclasses.Field.__dict__[n] for n in ("_field_type", "name"))
    hide_b = property(lambda f: None if name.__get__(f) == "b" else kind.__get__(f))
    monkeypatch.setattr(dataclasses.Field, "_field_type", hide_b)
    assert kEnvelope().put("p", POINT).get() == {"p": {"a": NOW.isoformat()}}


def test_registered_datetime_copier_is_used(monkeypatch):
    monkeypatch.setitem(copyreg.dispatch_table, dt.datetime, lambda d: (str, ("copied",)))
    assert kEnvelope().put("p", Plain(NOW)).get() == {"p": {"a": "copied", "b": None}}
    monkeypatch.undo()
    monkeypatch.setitem(copy._deepcopy_dispatch, dt.datetime, lambda d, memo: "copied too")
    assert kEnvelope().put("p", Plain(NOW)).get() == {"p": {"a": "copied too", "b": None}}


class Counted:
    reads = 0


@dataclasses.dataclass
class WithProperty:
    a: int = 0

    @property
    def b(self):
        Counted.reads += 1
        return "computed"


WithProperty.__dataclass_fields__["b"] = dataclasses.field()
WithProperty.__dataclass_fields__["b"].name = "b"
WithProperty.__dataclass_fields__["b"]._field_type = dataclasses._FIELD


@dataclasses.dataclass
class Watched:
    a: int = 1

    def __getattribute__(self, name):
        Counted.reads += 1
        return object.__getattribute__(self, name)


@dataclasses.dataclass
class Defaulted:
    a: int

    def __getattr__(self, name):
        Counted.reads += 1
        return "fallback"


class Copied:
    def __deepcopy__(self, memo):
        Counted.reads += 1
        return "a copy"


def _instance_fields():
    p = Plain(1, 2)
    p.__dataclass_fields__ = {"a": Plain.__dataclass_fields__["a"]}
    return p


def _missing_field():
    p = Defaulted(1)
    del p.a
    return p


@pytest.mark.parametrize("value, expected, reads", [
    (WithProperty(), {"a": 0, "b": "computed"}, 1),
    (Watched(), {"a": 1}, 1),
    (_missing_field(), {"a": "fallback"}, 1),
    (Plain(Copied()), {"a": "a copy", "b": None}, 1),
    (Plain(Pair(1, NOW)), {"a": [1, NOW.isoformat()], "b": None}, 0),
    (Plain(ListSub([NOW])), {"a": [NOW.isoformat()], "b": None}, 0),
    (Plain(DateTimeSub(2026, 1, 1)), {"a": "2026-01-01T00:00:00", "b": None}, 0),
    (_instance_fields(), {"a": 1}, 0),
], ids=["property", "getattribute", "getattr", "deepcopy", "namedtuple", "list-subclass", "datetime-subclass",
        "instance-fields"])
def test_instances_that_run_code_get_the_genuine_asdict(value, expected, reads):
    Counted.reads = 0
    assert kEnvelope().put("v", value).get() == {"v": expected}
    assert Counted.reads >= reads
    assert General().put("v", value).get() == {"v": expected}


def test_dataclass_errors_are_asdict_errors():
    p = Plain(1)
    del p.b  # the class default is read instead
    assert kEnvelope().put("p", p).get() == {"p": {"a": 1, "b": None}}
    s = Slotted(1)
    del s.a
    with pytest.raises(AttributeError) as fast:
        kEnvelope().put("s", s).get()
    with pytest.raises(AttributeError) as general:
        General().put("s", s).get()
    assert str(fast.value) == str(general.value)
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        kEnvelope().put("p", Plain(loop)).get()


def _replace_module_json(mp):
    spy = Spy(json.dumps)
    mp.setattr(kenv, "json", types.SimpleNamespace(dumps=spy))
    return spy


@pytest.mark.parametrize("patch", [
    _replace_module_json,
    lambda mp: _spy(mp, json, "dumps"),
    lambda mp: _spy(mp, json.JSONEncoder, "encode"),
    lambda mp: _spy(mp, json.JSONEncoder, "iterencode"),
    lambda mp: mp.setattr(json.encoder, "c_make_encoder", None) or _spy(mp, json.encoder, "_make_iterencode"),
    lambda mp: _spy(mp, json.encoder, "encode_basestring_ascii"),
    lambda mp: mp.setattr(json.encoder, "isinstance", Spy(isinstance), raising=False) or json.encoder.isinstance,
    lambda mp: mp.setitem(json.dumps.__kwdefaults__, "sort_keys", True),
], ids=["module-name", "dumps", "encode", "iterencode", "c-encoder", "escaper", "shadowed-builtin", "defaults"])
def test_json_shortcut_steps_aside(monkeypatch, patch):
    e = kEnvelope().put("b", "\u00e9").put("a", [1.5, {"k": None}])
    spy = patch(monkeypatch)
    text = e.toJson()
    assert spy is None or spy.calls
    with _general_json():
        assert text == json.dumps(e.get(), indent=4)


@pytest.mark.thread_unsafe(reason="threading.stack_size is process-wide")
def test_self_containing_data_class_in_a_small_thread_stack():
    from threadrun import run_in_small_stack

    loop = []
    loop.append(Plain(loop))
    calls = (kEnvelope().put("v", loop).get, kEnvelope().put("v", loop).toJson)
    assert [run_in_small_stack(call) for call in calls] == [RecursionError] * 2


# ------------------------------------ the store's members called directly

STORE_CALLS = [  # envelope call, the store member it reaches
    (lambda e: e.put("Key", 1), "set"),
    (lambda e: e.post("New", 1), "has"),
    (lambda e: e.post("New", 1), "add"),
    (lambda e: e.delete("key"), "remove"),
    (lambda e: e.has("KEY"), "has"),
    (lambda e: e.nest("Child"), "get"),
    (lambda e: e.nest("Child"), "set"),
]


def _recording(calls, name, original):
    def member(*args):
        calls.append(name)
        return original(*args)
    return member


@pytest.mark.parametrize("where", ["class", "instance"])
@pytest.mark.parametrize("call, name", STORE_CALLS, ids=[f"{i}-{n}" for i, (_, n) in enumerate(STORE_CALLS)])
def test_store_members_replaced_after_use_are_called(monkeypatch, where, call, name):
    store = kDict({"Key": 0})
    e = kEnvelope(store)
    call(e)  # the shortcut is in use
    store.set("Key", 0).remove("new")
    store.remove("child")
    calls = []
    if where == "class":
        monkeypatch.setattr(kDict, name, _recording(calls, name, getattr(kDict, name)))
    else:
        store.__dict__[name] = _recording(calls, name, getattr(store, name))
    call(e)
    assert name in calls


def test_envelope_class_and_instance_changes_after_use_are_seen(monkeypatch):
    first, second = kDict(), kDict()
    e = kEnvelope(first)
    e.put("a", 1)
    e._data = second  # a write to the envelope's __dict__
    e.put("b", 2)
    assert first.Raw() == {"a": 1} and second.Raw() == {"b": 2}
    monkeypatch.setattr(kEnvelope, "_data", property(lambda self: first), raising=False)
    e.put("c", 3)
    assert first.Raw() == {"a": 1, "c": 3} and "c" not in second.Raw()
    monkeypatch.undo()
    e.__dict__[1] = "a key of another type"  # lookups in this __dict__ may run code: no shortcut
    e.put("d", 4)
    assert second.Raw() == {"b": 2, "d": 4}


def test_member_shadowed_while_has_runs_is_called():
    calls = []

    class Sneaky:
        def __eq__(self, other):
            if "add" not in store.__dict__:  # once: while post's has() runs
                store.add = _recording(calls, "add", store.add)
            return False

        def __hash__(self):
            return hash("new")

    store = kDict()
    envelope = kEnvelope(store)
    envelope.post("x", 0)
    store._key_map[Sneaky()] = "y"  # an odd key of the key map, met by the lookup of has()
    envelope.post("new", 1)
    assert calls == ["add"] and store.Raw() == {"x": 0, "new": 1}


OPS = st.lists(st.tuples(st.sampled_from(["post", "put", "delete", "has", "nest"]),
                         st.sampled_from(["a", "A", "b", "Child", "child", " "]),
                         st.sampled_from([None, 0, 1, "x", {"k": 1}])), max_size=12)


@given(OPS)
def test_direct_store_calls_agree_with_the_lookups(ops):
    fast, general = kEnvelope(), General()
    for name, key, value in ops:
        outcome = []
        for e in (fast, general):
            args = (key,) if name in ("delete", "has", "nest") else (key, value)
            try:
                r = getattr(e, name)(*args)
            except ValueError as exc:
                outcome.append(("error", str(exc)))
            else:
                outcome.append("self" if r is e else "child" if isinstance(r, kEnvelope) else r)
        assert outcome[0] == outcome[1]
        assert _shape(fast._data) == _shape(general._data)


def _shape(value):
    """A store's entries and key map, nested stores included, in order."""
    if isinstance(value, kDict):
        return [(k, _shape(v)) for k, v in value.Raw().items()], list(value._key_map.items())
    return value


@pytest.mark.no_refleak  # the work is done in another process
def test_a_store_member_replaced_before_import_is_called():
    # kEnvelope is imported after kDict.has was replaced: no shortcut, and
    # every member reaches the store by lookup.
    script = (
        "from kestrune.utils.kDict import kDict\n"
        "kDict.has = lambda self, key: 'replaced'\n"
        "from kestrune.utils.kEnvelope import kEnvelope\n"
        "e = kEnvelope().put('a', 1).post('b', 2).delete('a')\n"
        "print(e.has('b'), e.nest('c').put('x', 1).has('x'), e.get())\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "replaced replaced {'c': {'x': 1}}\n"
