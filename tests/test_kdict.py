import copy
import enum
import functools
import importlib
import inspect
import pickle
import typing
import weakref
from datetime import date, datetime

import pytest

import kestrune.utils.kDict as kdict_module
from conftest import keyed_members
from kestrune.utils.kDict import kDict

NOTE = "Subclasses of built-in types are not accepted; pass an exact instance of the built-in type."
StrSub = type("StrSub", (str,), {})
DictSub = type("DictSub", (dict,), {})
ListSub = type("ListSub", (list,), {})


class Level(enum.IntEnum):
    low = 1


class Raises:
    def __init__(self, error):
        self.error = error

    def __bool__(self, *args):
        raise self.error

    __format__ = __bool__


K = "\"'kDict'\""
MEMBERS = {  # in class order: signature with annotation texts and defaults
    "__init__": "(self, data: 'dict[str, Any] | None' = None) -> 'None'",
    "__getitem__": "(self, key: 'str') -> 'Any | None'",
    "__setitem__": "(self, key: 'str', value: 'Any | None') -> 'None'",
    "has": "(self, key: 'str') -> 'bool'",
    "Count": "(self) -> 'int'",
    "Keys": "(self) -> 'Iterable[str]'",
    "Raw": "(self) -> 'dict[str, Any]'",
    "set": f"(self, key: 'str', value: 'Any | None') -> {K}",
    "add": f"(self, key: 'str', value: 'Any') -> {K}",
    "remove": "(self, key: 'str') -> 'bool'",
    "clear": "(self) -> 'None'",
    "get": "(self, key: 'str', expected_type: 'type[T] | None' = None) -> 'T | Any | None'",
    "getOr": "(self, key: 'str', fallback: 'T') -> 'T'",
    "Require": "(self, key: 'str', expected_type: 'type[T] | None' = None) -> 'T | Any'",
    "getString": "(self, key: 'str') -> 'str | None'",
    "getInt": "(self, key: 'str', fallback: 'int' = 0) -> 'int'",
    "getBool": "(self, key: 'str', fallback: 'bool' = False) -> 'bool'",
    "getDouble": "(self, key: 'str', fallback: 'float' = 0.0) -> 'float'",
    "getDate": "(self, key: 'str') -> 'datetime | None'",
    "getList": "(self, key: 'str') -> 'list[Any]'",
    "addToList": f"(self, key: 'str', item: 'Any') -> {K}",
    "Merge": f"(self, other: {K}) -> {K}",
    "__str__": "(self) -> 'str'",
    "_normalize_key": "(key: 'str') -> 'str'",
    "_validate_key": "(key: 'str') -> 'str'",
    "_convert_value": "(value: 'Any', expected_type: 'type[T]') -> 'T | None'",
}
KINDS = {"Count": property, "Keys": property, "_normalize_key": staticmethod, "_validate_key": staticmethod,
         "_convert_value": staticmethod}


def test_module_body_and_class_shape():
    assert [k for k in vars(kdict_module) if not k.startswith("__")] == \
        ["datetime", "Any", "Iterable", "TypeVar", "T", "kDict"]
    assert (kdict_module.datetime, kdict_module.Any, kdict_module.TypeVar) == (datetime, typing.Any, typing.TypeVar)
    assert isinstance(kdict_module.T, typing.TypeVar) and kdict_module.T.__name__ == "T"
    assert kdict_module.__doc__ == "Lightweight wrapper around a case-insensitive dictionary."
    assert kDict.__doc__ == "Dynamic document and metadata container with fluent helpers."
    assert kDict.__bases__ == (object,) and type(kDict) is type and kDict.__qualname__ == "kDict"
    assert [k for k in vars(kDict) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")] == list(MEMBERS)
    weakref.ref(kDict())


@pytest.mark.parametrize("name", MEMBERS)
def test_member_signature(name):
    raw = vars(kDict)[name]
    assert type(raw) is KINDS.get(name, type(vars(kDict)["set"]))
    func = raw.fget if name in ("Count", "Keys") else getattr(raw, "__func__", raw)
    sig = inspect.signature(func)
    assert str(sig) == MEMBERS[name] and func.__qualname__ == f"kDict.{name}" and func.__doc__ is None
    params = {p.name: p.annotation for p in sig.parameters.values() if p.name != "self"}
    assert func.__annotations__ == params | {"return": sig.return_annotation}


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_second_initialisation_is_refused():
    with pytest.raises(RuntimeError) as info:
        importlib.reload(kdict_module)
    assert str(info.value) == "Module 'kDict' has already been imported. Re-initialisation is not supported."


# ------------------------------------------------------------ key store


def test_key_store_examples():
    d = kDict().set("Content-Type", "json").set("Straße", 1).set(" pad", 2).set("pad", 3)
    assert (d.get("content-type"), d["CONTENT-TYPE"], d.get("STRASSE"), d[" PAD"], d["PAD"]) == ("json", "json", 1, 2, 3)
    assert vars(d) == {
        "_data": {"Content-Type": "json", "Straße": 1, " pad": 2, "pad": 3},
        "_key_map": {"content-type": "Content-Type", "strasse": "Straße", " pad": " pad", "pad": "pad"},
    }
    raw, keys = d.Raw(), d.Keys
    d.set("content-TYPE", 0).set("pad", 4)  # a new letter case moves the entry to the end
    assert list(keys) == ["Straße", " pad", "pad", "content-TYPE"] and str(d) == "Straße=1,  pad=2, pad=4, content-TYPE=0"
    assert d.set("zzz", None) is d and d.add("PAD", None) is d and d.Count == 3 and d.remove("straSSE") is True
    assert d.remove("strasse") is False and d.Raw() is raw and d.clear() is None and raw == {} and d._key_map == {}
    d.__init__({"new": 1})
    assert d.Raw() is not raw and raw == {} and list(keys) == []


KEYED = keyed_members(kDict)
EXTRA = {"__setitem__": (1,), "set": (1,), "add": (1,), "getOr": (0,), "addToList": (1,)}


@pytest.mark.parametrize("member", KEYED)
def test_key_must_be_exact_str(member):
    d = kDict({"k": 1})
    for key in (1, None, b"k", StrSub("k")):
        with pytest.raises(TypeError) as info:
            getattr(d, member)(key, *EXTRA.get(member, ()))
        assert str(info.value) == f"Argument 'key' has incorrect type (expected str, got {type(key).__name__})"
        assert getattr(info.value, "__notes__", None) == ([NOTE] if isinstance(key, str) else None)
    assert d.Raw() == {"k": 1}


@pytest.mark.parametrize("data", [[], "x", DictSub(a=1), kDict()], ids=["list", "str", "DictSub", "kDict"])
def test_construction_refuses_non_dicts(data):
    with pytest.raises(TypeError) as info:
        kDict(data)
    assert str(info.value) == f"Argument 'data' has incorrect type (expected dict, got {type(data).__name__})"


def test_construction():
    source = {"A": 1, "b": [2], "a": 3}
    d = kDict(source)
    assert d.Raw() == {"b": [2], "a": 3} and source == {"A": 1, "b": [2], "a": 3} and d.get("b") is source["b"]
    assert kDict().Raw() == kDict(None).Raw() == {} and list(kDict(d.Raw()).Keys) == ["b", "a"]
    with pytest.raises(TypeError, match="got int"):
        kDict({"a": 1, 2: 3})


def test_text_form():
    d = kDict()
    d.set("l", [d])  # list items show as repr(), the default one for kDict: no recursion
    assert str(d).startswith("l=[<kestrune.utils.kDict.kDict object at 0x") and str(kDict()) == ""
    fancy = type("Fancy", (), {"__format__": lambda self, spec: StrSub(f"<{spec}>")})()
    assert str(kDict({"A": 1, "b": [1, 2], "n": kDict({"x": None, "y": 1.5}), "f": fancy})) == "A=1, b=[1, 2], n=y=1.5, f=<>"
    values = [0, -7, 2**30, -(2**62), 10**30, True, Level.low, 2.5, "ß\U0001f600", StrSub("s"), "é", None, (1,)]
    data = {f"k{i}": v for i, v in enumerate(values)} | {"\u20ac": "x"}
    assert str(kDict(data)) == ", ".join(f"{k}={v}" for k, v in data.items() if v is not None)


def test_text_form_errors():
    a, b = kDict(), kDict()
    a.set("b", b)
    b.set("a", a)
    with pytest.raises(RecursionError):
        str(a)
    with pytest.raises(ZeroDivisionError):
        str(kDict({"k": Raises(ZeroDivisionError)}))


@pytest.mark.parametrize("change, result", [
    (lambda d: d.set("z", 1), "dictionary changed size during iteration"),
    (lambda d: d.remove("c"), "dictionary changed size during iteration"),
    (lambda d: (d.remove("a"), d.set("a", 5)), "dictionary keys changed during iteration"),
    (lambda d: (d.remove("c"), d.set("z", 9)), "a=1, b=M, z=9"),
    (lambda d: d.set("c", 7), "a=1, b=M, c=7"),
])
def test_changes_while_printing_follow_dict_iteration(change, result):
    d = kDict({"a": 1, "b": 2, "c": 3})
    d.set("b", type("M", (), {"__format__": lambda self, spec: (change(d), "M")[1]})())
    try:
        assert str(d) == result
    except RuntimeError as e:
        assert str(e) == result


@pytest.mark.parametrize("op, error", [
    (len, TypeError), (list, TypeError), (lambda d: "a" in d, TypeError), (lambda d: d.__delitem__("a"), AttributeError),
    (lambda d: kDict.__new__(kDict).get("a"), AttributeError), (lambda d: kDict.__new__(kDict).Count, AttributeError),
])
def test_protocols_and_uninitialised_instances(op, error):
    d = kDict({"a": 1})
    with pytest.raises(error):
        op(d)
    assert d != kDict({"a": 1}) and hash(d) == object.__hash__(d) and repr(d).startswith("<kestrune.utils.kDict.kDict")


Sub = type("Sub", (kDict,), {"__module__": __name__})


@pytest.mark.no_refleak  # the pickle machinery's own caches
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("cls", [kDict, Sub])
def test_pickle_and_copy(cls, protocol):
    d = cls({"Name": "Ann", "AGE": 7, "n": kDict({"X": [1]})})
    for other in (pickle.loads(pickle.dumps(d, protocol)), copy.copy(d), copy.deepcopy(d)):
        assert type(other) is cls and list(other.Keys) == ["Name", "AGE", "n"] and list(vars(other)) == ["_data", "_key_map"]
        assert other["name"] == "Ann" and other.getInt("age") == 7 and other["N"]["x"] == [1]
    assert copy.copy(d).Raw() is d.Raw() and copy.deepcopy(d).Raw() is not d.Raw()


# ----------------------------------------------------- broken invariants


def test_broken_key_map():
    d = kDict({"A": 1})
    d._key_map["b"] = ("B", 1)  # names a stored key that _data lacks
    for op in (lambda: d.get("b"), lambda: d.set("B", 2), lambda: d.remove("b")):
        with pytest.raises(KeyError) as info:
            op()
        assert info.value.args == (("B", 1),)
    d.Raw()["z"] = 5  # an entry without a _key_map entry: invisible to lookups
    assert (d.get("z"), d.has("Z"), d.remove("z"), d.Count, list(d.Keys), str(d)) == \
        (None, False, False, 2, ["A", "z"], "A=1, z=5")
    assert d.set("Z", 6).Raw() == {"A": 1, "z": 5, "Z": 6}


@pytest.mark.parametrize("cls", [kDict, Sub])
def test_a_none_entry_of_the_key_map_counts_as_absent(cls):
    d = cls({"A": 1})
    d._key_map["b"] = None
    assert d.set("B", 2).Raw() == {"A": 1, "B": 2} and d._key_map == {"a": "A", "b": "B"}


def test_other_objects_in_the_attributes():
    log = []
    store = type("Store", (dict,), {"get": lambda self, k: log.append(k), "keys": lambda self: "keys!",
                                    "items": lambda self: [("a", 1), ["b", 2]], "clear": lambda self: log.append(0)})
    d = kDict()
    d._data, d._key_map = store(), store()
    assert d.set("A", 1).remove("A") is False and log == ["a", "a"] and d._key_map == {"a": "A"}
    assert (d.Keys, d.Count, str(d), d.clear(), log[-2:]) == ("keys!", 1, "a=1, b=2", None, [0, 0])
    with pytest.raises(TypeError, match="^Expected dict, got Store$"):
        d.Raw()
    d._data, d._key_map = [1, 2], None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
        d.get("a")
    with pytest.raises(TypeError, match="not a container"):
        d.has("a")


@pytest.mark.parametrize("op", [
    lambda d: d.get("other"), lambda d: d.get("other", int), lambda d: d.set("other", 1), lambda d: d.has("other"),
    lambda d: d.remove("other"), lambda d: d.set("Other", None), lambda d: d.getInt("other"),
])
def test_reentrant_key_comparisons_do_not_crash(op):
    d = kDict({"K": 1})

    class Collider:  # collides with "other" in _key_map and replaces the store when compared
        armed = False

        def __hash__(self):
            return hash("other")

        def __eq__(self, other):
            if Collider.armed:
                Collider.armed = False
                d.__init__({"fresh": 1})
            return False

    d._key_map[Collider()] = "c"
    Collider.armed = True
    op(d)
    drop = type("Drop", (), {"__del__": lambda self: d.__init__({"after": 1})})
    d.set("a", drop()).set("A", 2).set("b", drop()).set("b", None)
    assert isinstance(d.Raw(), dict)


# ------------------------------------------------------ typed accessors


CONVERSIONS = [
    ("  YES ", bool, True), ("On", bool, True), ("\u00a0y\u2003", bool, True), ("Off", bool, False),
    ("0", bool, False), ("N", bool, False), ("maybe", bool, True), ("2", bool, True), ("   ", bool, True),
    ("", bool, False), ("\u0130", bool, True), (StrSub(" no "), bool, False), (0, bool, False), (2, bool, True),
    (None, bool, False), ([], bool, False), (Raises(ValueError), bool, None),
    ("42", int, 42), (" 42 ", int, 42), (4.9, int, 4), (True, int, True), ("4.2", int, None), ("abc", int, None),
    (None, int, None), ("2.5", float, 2.5), (3, float, 3.0), ("x", float, None),
    (5, str, "5"), (None, str, "None"), (True, str, "True"),
    ("2026-12-07T10:00:00", datetime, datetime(2026, 12, 7, 10)), ("07/12/2026", datetime, None),
    (date(2026, 1, 1), datetime, None), (5, datetime, None), (None, type(None), None),
    ("text", kDict, None), ([1], kDict, None), (DictSub(a=1), kDict, None), ({"": 1}, kDict, None),
]


@pytest.mark.parametrize("value, expected_type, expected", CONVERSIONS)
def test_convert_value(value, expected_type, expected):
    result = kDict._convert_value(value, expected_type)
    assert result == expected and type(result) is type(expected)


def test_convert_value_passes_instances_and_builds_kdicts():
    stored, flag = kDict(), Level.low
    assert kDict._convert_value(stored, kDict) is stored and kDict._convert_value(flag, int) is flag
    built = kDict._convert_value({"A": 1}, kDict)
    assert type(built) is kDict and built.Raw() == {"A": 1}


@pytest.mark.parametrize("value, expected_type, error", [
    (1, 5, TypeError), (float("inf"), int, OverflowError), (Raises(KeyError), bool, KeyError),
])
def test_convert_value_propagates(value, expected_type, error):
    with pytest.raises(error):
        kDict._convert_value(value, expected_type)


def test_readers():
    stored_dt, stored_list = datetime(2026, 1, 2), [1]
    d = kDict({"s": "  YES ", "n": " 42 ", "f": 4.9, "t": True, "i": 5, "x": "x", "d": "2026-12-07T10:00:00",
               "dt": stored_dt, "l": stored_list, "tu": (1,), "e": Level.low, "z": 0, "empty": ""})
    assert (d.getBool("s"), d.getBool("absent", "no"), d.getBool("x", False), d.getBool("z", True)) == \
        (True, True, True, False)
    assert [d.getInt(k) for k in ("n", "f", "t", "x", "absent")] == [42, 4, 1, 0, 0] and d.getInt("absent", 2.7) == 2
    assert [type(d.getInt(k)) for k in ("t", "e")] == [int, int]
    assert [(v, type(v)) for v in (d.getDouble("i"), d.getDouble("absent", 1))] == [(5.0, float), (1.0, float)]
    assert (d.getString("i"), d.getString("t"), d.getString("absent")) == ("5", "True", None)
    assert (d.getDate("d"), d.getDate("x"), d.getDate("i")) == (datetime(2026, 12, 7, 10), None, None)
    assert d.getDate("dt") is stored_dt and d.getList("l") is stored_list and d.getList("tu") == []
    assert d.getList("no") is not d.getList("no")
    assert (d.getOr("n", 0), d.getOr("x", 0), d.getOr("i", ""), d.getOr("s", False), d.getOr("i", None),
            d.getOr("z", 7)) == (42, 0, "5", True, None, 0)
    assert (d.Require("z"), d.Require("EMPTY"), d.Require("n", int)) == (0, "", 42)


@pytest.mark.parametrize("make, key", [(lambda: kDict(), "Missing Key"), (lambda: kDict({"n": "abc"}), "N")])
def test_require_raises_the_base_exception(make, key):
    with pytest.raises(Exception) as info:
        make().Require(key, int)
    assert type(info.value) is Exception and str(info.value) == f"Missing required key: {key}"


@pytest.mark.parametrize("call, message", [
    (lambda d: d.getInt("k", "5"), "Argument 'fallback' has incorrect type (expected int, got str)"),
    (lambda d: d.getInt(5, "5"), "Argument 'fallback' has incorrect type (expected int, got str)"),
    (lambda d: d.getDouble(5, "1.5"), "must be real number, not str"),
    (lambda d: d.getBool(5, Raises(TypeError("fallback first"))), "fallback first"),
    (lambda d: d.getString("s"), "Expected str, got StrSub"),
    (lambda d: d.getList("l"), "Expected list, got ListSub"),
    (lambda d: d.addToList("l", 1), "Expected list, got ListSub"),
])
def test_reader_type_errors(call, message):
    d = kDict({"s": StrSub("a"), "l": ListSub([1])})
    with pytest.raises(TypeError) as info:
        call(d)
    assert str(info.value) == message and type(d.Raw()["l"]) is ListSub


def test_add_to_list_and_merge():
    d = kDict({"s": "abc"})
    before = d.addToList("A", 1).getList("a")
    assert d.addToList("a", 2).addToList("s", 9) is d and before == [1]
    assert list(d.Raw().items()) == [("s", [9]), ("a", [1, 2])]
    assert d.Merge(d) is d and list(d.Raw().items()) == [("s", [9]), ("a", [1, 2])]
    with pytest.raises(AttributeError, match="'dict' object has no attribute 'Raw'"):
        d.Merge({})
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'items'$"):
        d.Merge(type("NoneRaw", (), {"Raw": lambda self: None})())
    with pytest.raises(ValueError):  # entries before the refused key stay merged
        d.Merge(type("Partial", (), {"Raw": lambda self: {"first": 1, "": 2, "last": 3}})())
    assert d.get("first") == 1 and not d.has("last")


# ------------------------------------------------------------ overrides


def spies(name, log):
    """A recording replacement for a member: as a class attribute, and as a
    maker of the instance attribute."""
    original = vars(kDict)[name]
    if isinstance(original, staticmethod):
        def spy(*args):
            log.append(args)
            return original.__func__(*args)

        return staticmethod(spy), lambda d: spy

    def spy(self, *args):
        log.append(args)
        return original(self, *args)

    return spy, lambda d: functools.partial(spy, d)


MERGED = kDict({"m": 1})
OVERRIDES = [
    ("set", lambda d: d.__init__({"K": 1}), ("K", 1)), ("set", lambda d: d.__setitem__("K", 1), ("K", 1)),
    ("set", lambda d: d.add("K", None), ("K", None)), ("set", lambda d: d.addToList("K", 1), ("K", [1])),
    ("set", lambda d: d.Merge(MERGED), ("m", 1)), ("get", lambda d: d["k"], ("k",)),
    ("get", lambda d: d.getInt("k"), ("k", int)), ("get", lambda d: d.getOr("k", ""), ("k", str)),
    ("get", lambda d: d.Require("k"), ("k", None)), ("get", lambda d: d.getString("k"), ("k", str)),
    ("get", lambda d: d.getBool("k"), ("k", bool)), ("get", lambda d: d.getDouble("k"), ("k", float)),
    ("get", lambda d: d.getDate("k"), ("k", datetime)), ("get", lambda d: d.getList("k"), ("k",)),
    ("getList", lambda d: d.addToList("k", 2), ("k",)), ("_validate_key", lambda d: d.set("Q", 1), ("Q",)),
    ("_normalize_key", lambda d: d.has("Q"), ("Q",)), ("_normalize_key", lambda d: d.remove("Q"), ("Q",)),
    ("_normalize_key", lambda d: d.get("Q"), ("Q",)), ("_convert_value", lambda d: d.get("k", int), ("1", int)),
]


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
@pytest.mark.parametrize("name, action, args", OVERRIDES, ids=[f"{o[0]}-{i}" for i, o in enumerate(OVERRIDES)])
def test_members_reach_each_other_by_lookup(name, action, args):
    for mode in ("subclass", "instance", "patched class"):
        log = []
        class_attr, for_instance = spies(name, log)
        d = (type("Sub", (kDict,), {name: class_attr}) if mode == "subclass" else kDict)({"K": "1"})
        with pytest.MonkeyPatch.context() as mp:
            if mode == "instance":
                setattr(d, name, for_instance(d))
            elif mode == "patched class":
                mp.setattr(kDict, name, class_attr)
            log.clear()
            action(d)
        assert log == [args], mode


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_raw_of_the_other_side_and_class_changes():
    other = type("Other", (kDict,), {"Raw": lambda self: {"from": "override"}})({"x": 1})
    assert kDict().Merge(other).Raw() == {"from": "override"}
    d = kDict({"A": 1})
    kDict.__doc__ += ""  # an unrelated change to the class (as copyreg's __slotnames__ cache is)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kDict, "_normalize_key", staticmethod(lambda key: "a"))
        assert d.get("anything") == 1
    assert d.get("anything") is None and d.get("a") == 1
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kDict, "_data", property(lambda self: {"A": "shadow"}), raising=False)
        assert d.get("a") == "shadow" and d.Raw() == {"A": "shadow"}


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_module_level_datetime_is_read_at_each_call():
    stamp = type("Stamp", (datetime,), {"fromisoformat": classmethod(lambda cls, text: cls(2000, 1, 1))})
    d = kDict({"d": "2026-12-07T10:00:00"})
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kdict_module, "datetime", stamp)
        assert type(d.getDate("d")) is stamp and d.getDate("d") == datetime(2000, 1, 1)
        assert d.get("d", datetime) is None  # no longer the module's datetime: datetime(text) fails
        mp.delattr(kdict_module, "datetime")
        for read in (d.getDate, d.getInt):  # every conversion past the bool step reads it
            with pytest.raises(NameError, match="name 'datetime' is not defined"):
                read("d")
        assert d.getBool("d") is True
    assert d.getDate("d") == datetime(2026, 12, 7, 10)
