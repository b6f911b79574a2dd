"""kDict's shortcuts: each steps aside as soon as it could be observed, and
the short and the general road give the same results and errors.

A trivial subclass of kDict always takes the general road (attribute
lookups, method calls), so comparing an instance of it with a kDict fed the
same operations compares the two roads."""
import math
import sys
from datetime import datetime

import pytest
from hypothesis import given, strategies as st

import kestrune.utils.kDict as kdict_module
from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope

pytestmark = pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")

General = type("General", (kDict,), {})
StrSub = type("StrSub", (str,), {})


def warm(d, times=3):
    """Runs some reads on the short road, so that the instance is remembered."""
    for _ in range(times):
        d.get("k")
        d.has("k")
    return d


def put_attribute(obj, value):
    obj._normalize_key = value  # specialises to the interpreter's attribute-store shortcut


def specialised_store(d, value):
    for _ in range(64):
        put_attribute(warm(kDict({"k": 1})), value)
    put_attribute(d, value)


# Ways to give an instance an attribute `_normalize_key`.
WRITES = {
    "setattr": lambda d, f: setattr(d, "_normalize_key", f),
    "specialised STORE_ATTR": specialised_store,
    "object.__setattr__": lambda d, f: object.__setattr__(d, "_normalize_key", f),
    "vars item": lambda d, f: vars(d).__setitem__("_normalize_key", f),
    "vars update": lambda d, f: vars(d).update(_normalize_key=f),
    "vars setdefault": lambda d, f: vars(d).setdefault("_normalize_key", f),
    "new __dict__": lambda d, f: setattr(d, "__dict__", {**vars(d), "_normalize_key": f}),
}


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_an_instance_attribute_written_after_use_is_seen(write):
    d = warm(kDict({"Target": "found", "k": 1}))
    write(d, lambda key: "target")
    assert d.get("anything") == "found" and d.has("x") and d["y"] == "found"
    del d._normalize_key
    assert d.get("anything") is None and d.get("K") == 1


@pytest.mark.parametrize("write", [
    lambda d, v: setattr(d, "_data", v),
    lambda d, v: vars(d).__setitem__("_data", v),
    lambda d, v: vars(d).update(_data=v),
    lambda d, v: setattr(d, "__dict__", {"_data": v, "_key_map": d._key_map}),
], ids=["setattr", "vars item", "vars update", "new __dict__"])
def test_a_replaced_store_is_read_after_use(write):
    d = warm(kDict({"k": "old"}))
    write(d, {"k": "new"})
    assert d.get("K") == "new" and d.getString("k") == "new" and str(d) == "k=new"
    d.set("k", "newer")
    assert d.Raw() == {"k": "newer"}


def test_removed_and_cleared_attributes_are_seen():
    d = warm(kDict({"k": 1}))
    del d._key_map
    with pytest.raises(AttributeError, match="_key_map"):
        d.get("k")
    d.__init__({"k": 2})
    assert d.get("k") == 2
    vars(d).clear()
    with pytest.raises(AttributeError, match="_data"):
        d.Raw()
    d.__init__()
    vars(d)["extra"] = 1  # any further attribute: the general road, same results
    assert d.set("K", 3).get("k") == 3 and d.Count == 1


def test_class_changes_after_use_are_seen():
    d = warm(kDict({"k": 1}))
    d.__class__ = type("Other", (kDict,), {"get": lambda self, key, t=None: 7})
    assert d["k"] == 7 and d.getInt("k") == 7 and d.getOr("k", 0) == 7  # readers go through the override
    d.__class__ = kDict
    assert d["k"] == 1
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kDict, "_normalize_key", staticmethod(lambda key: "k"))
        assert d.get("anything") == 1
    assert d.get("anything") is None and warm(d).get("k") == 1  # the shortcuts are back


def test_a_store_shared_by_instances_and_their_dicts():
    a, b = warm(kDict({"k": 1})), kDict()
    b.__dict__ = a.__dict__  # one attribute dict for both
    b.set("k", 2)
    assert a.get("k") == 2
    a._data = a.__dict__  # the attribute dict as the store: written by set itself
    a._key_map = {"x": "x"}
    a.set("x", 3)
    assert a.get("x") == 3 and vars(b)["x"] == 3 and b.get("x") == 3


def test_a_replaced_attribute_dict_is_the_one_read():
    d = warm(kDict({"k": 1}))
    d.__dict__ = {"_data": {"k": 2}, "_key_map": {"k": "k"}}
    assert d.get("K") == 2 and d.set("k", 3).Raw() == {"k": 3}
    e = kEnvelope().put("a", 1)
    e.__dict__ = {"_data": d}
    assert e.put("B", 4).has("k") and d.Raw() == {"k": 3, "B": 4}


@pytest.mark.parametrize("read", [lambda d: d.getInt("k"), lambda d: d.get("k", int), lambda d: d.getOr("k", 0)],
                         ids=["getInt", "get", "getOr"])
def test_a_conversion_shadowed_while_the_read_runs_is_called(read):
    d = warm(kDict())
    calls = []

    class Collider:  # met first by the lookup of "k" in _key_map
        armed = False

        def __hash__(self):
            return hash("k")

        def __eq__(self, other):
            if Collider.armed:
                Collider.armed = False
                d._convert_value = lambda value, expected: calls.append((value, expected)) or 7
            return False

    d._key_map[Collider()] = "c"
    d.set("k", "1")
    assert read(d) == 1  # (no comparison yet: the shortcut stays)
    Collider.armed = True
    assert read(d) == 7 and calls == [("1", int)]


def test_many_instances_alternating():
    stores = [kDict({f"K{i}": i}) for i in range(300)]
    for step in range(2):
        for i, d in enumerate(stores):
            assert d.get(f"k{i}") == i + step and d.getInt(f"K{i}") == i + step
            d.set(f"k{i}", i + step + 1)
    assert [d.Raw() for d in stores[:2]] == [{"k0": 2}, {"k1": 3}]



@pytest.mark.parametrize("make_key", [sys.intern, lambda text: text], ids=["interned", "made on the fly"])
def test_folded_keys_go_with_their_stores(make_key):
    """Folding remembers a few recent keys only, and the folded text of an
    interned key is interned for as long as something holds it."""
    before = sys.getunicodeinternedsize()
    for i in range(3000):
        d = kDict().set(make_key(f"Key_{i}_X"), i)
        assert d.get(make_key(f"KEY_{i}_x")) == i and d.has(f"key_{i}_x")
    del d
    # On the free-threaded build interned strings are immortal: the keys this
    # test interns itself stay, and the folded texts must not add to them.
    own = 2 * 3000 if make_key is sys.intern and not getattr(sys, "_is_gil_enabled", lambda: True)() else 0
    assert sys.getunicodeinternedsize() - before < 300 + own


# ----------------------------------------------------- the datetime global


def stamp_class():
    return type("Stamp", (datetime,), {"fromisoformat": classmethod(lambda cls, text: cls(2000, 1, 1))})


@pytest.mark.parametrize("rebind", [
    lambda s: setattr(kdict_module, "datetime", s),
    lambda s: vars(kdict_module).__setitem__("datetime", s),
    lambda s: vars(kdict_module).__setitem__(StrSub("datetime"), s),  # an equal key replaces the value
    lambda s: vars(kdict_module).update(datetime=s),
], ids=["setattr", "dict item", "equal key", "update"])
def test_a_rebound_datetime_global_is_seen_after_use(rebind):
    d = kDict({"d": "2026-12-07T10:00:00", "n": "5"})
    original = kdict_module.datetime
    for _ in range(3):
        assert d.getDate("d") == datetime(2026, 12, 7, 10) and d.getInt("n") == 5
    stamp = stamp_class()
    try:
        rebind(stamp)
        assert type(d.getDate("d")) is stamp and d.get("d", datetime) is None
        assert d.get("n", stamp) == datetime(2000, 1, 1)
    finally:
        vars(kdict_module)["datetime"] = original
    assert d.getDate("d") == datetime(2026, 12, 7, 10)


def test_a_datetime_global_equal_to_a_conversion_target_is_honoured():
    d = kDict({"n": "42", "f": "2.5", "s": 5})
    try:
        for target in (int, float):  # the global is the requested type: fromisoformat is asked for
            kdict_module.datetime = target
            with pytest.raises(AttributeError, match="fromisoformat"):
                d.get("n" if target is int else "f", target)
        kdict_module.datetime = str
        assert d.get("s", str) == "5"  # the rule only applies to text
    finally:
        kdict_module.datetime = datetime
    assert (d.getInt("n"), d.getDouble("f"), d.getString("s")) == (42, 2.5, "5")


# ------------------------------------------------------------ conversions


def model_convert(value, expected):
    """The conversion rule, as a Python developer would write it."""
    if isinstance(value, expected):
        return value
    try:
        return expected(value)
    except (TypeError, ValueError):
        return None


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return type(a) is type(b) and (math.isnan(a) and math.isnan(b) or (a == b and math.copysign(1, a) ==
                                                                              math.copysign(1, b)))
    return type(a) is type(b) and a == b


DIGITS = st.text("0123456789", min_size=1, max_size=22)
NUMBER_TEXT = st.one_of(
    st.builds("".join, st.lists(st.sampled_from(["", "+", "-", " ", "_", "0", "7", "9", ".", "e", "E", "-", "+"]),
                                max_size=12)),
    st.builds(lambda s, d: s + d, st.sampled_from(["", "+", "-"]), DIGITS),
    st.builds(lambda s, a, b, e: f"{s}{a}.{b}{e}", st.sampled_from(["", "-", "+"]), DIGITS, DIGITS,
              st.sampled_from(["", "e5", "E-7", "e+300", "e400", "e-400", "e-320"])),
    st.floats(allow_nan=True).map(repr),
    st.integers().map(str),
    st.sampled_from(["inf", "-Infinity", "nan", "1_000", "٣", "１２", " 42 ", "\t7\n", "0x10", "1e", ".5", "5.", "--1"]),
)


@pytest.mark.no_refleak  # hypothesis keeps state of its own; fixed samples below
@given(NUMBER_TEXT)
def test_number_text_converts_as_the_builtin_types_do(text):
    for expected in (int, float):
        assert same(kDict._convert_value(text, expected), model_convert(text, expected)), expected


@pytest.mark.no_refleak  # hypothesis keeps state of its own; fixed samples below
@given(st.one_of(st.integers(), st.floats(), st.booleans(), st.none(), NUMBER_TEXT, st.lists(st.integers(), max_size=2),
                 st.builds(StrSub, NUMBER_TEXT), st.tuples(st.integers())))
def test_conversion_to_builtin_types_matches_the_rule(value):
    for expected in (int, float, str, list, tuple):
        try:
            want = model_convert(value, expected)
        except Exception as error:  # noqa: BLE001 - the same error is expected
            with pytest.raises(type(error)):
                kDict._convert_value(value, expected)
        else:
            got = kDict._convert_value(value, expected)
            assert same(got, want) and (got is value) == (want is value), expected


# ------------------------------------------- the two roads side by side


KEYS = st.sampled_from(["a", "A", "Name", "NAME", "name", "ß", "SS", "", " ", "\t", "k1", "K1", "ﬁ", "Σ", "\ud800"])
VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), NUMBER_TEXT,
    st.sampled_from(["yes", " No ", "on", "2026-12-07T10:00:00", "07/12/2026", "x"]),
    st.lists(st.integers(), max_size=2), st.tuples(st.integers()), st.builds(StrSub, st.sampled_from(["s", "5"])),
    st.dictionaries(st.sampled_from(["a", "B", ""]), st.integers(), max_size=2),
)
TYPES = st.sampled_from([None, int, float, str, bool, datetime, list, kDict, type(None)])
OPS = st.one_of(
    st.tuples(st.just("set"), KEYS, VALUES), st.tuples(st.just("add"), KEYS, VALUES),
    st.tuples(st.just("setitem"), KEYS, VALUES), st.tuples(st.just("get"), KEYS, TYPES),
    st.tuples(st.just("getitem"), KEYS), st.tuples(st.just("has"), KEYS), st.tuples(st.just("remove"), KEYS),
    st.tuples(st.sampled_from(["getInt", "getBool", "getDouble"]), KEYS, st.one_of(st.none(), VALUES)),
    st.tuples(st.sampled_from(["getString", "getDate", "getList"]), KEYS), st.tuples(st.just("getOr"), KEYS, VALUES),
    st.tuples(st.just("Require"), KEYS, TYPES), st.tuples(st.just("addToList"), KEYS, VALUES),
    st.tuples(st.just("str")), st.tuples(st.just("Merge"), st.dictionaries(KEYS, VALUES, max_size=3)),
    st.tuples(st.just("init"), st.dictionaries(st.one_of(KEYS, st.integers(0, 2)), VALUES, max_size=4)),
)


def apply(d, op):
    name, *args = op
    if name == "setitem":
        d[args[0]] = args[1]
        return None
    if name == "getitem":
        return d[args[0]]
    if name == "str":
        return str(d)
    if name == "Merge":
        return d.Merge(kDict(args[0])) is d
    if name == "init":
        return d.__init__(args[0])
    if name in ("getInt", "getBool", "getDouble") and args[1] is None:
        args = args[:1]
    result = getattr(d, name)(*args)
    return result is d if isinstance(result, kDict) and name in ("set", "add", "addToList") else result


def outcome(d, op):
    try:
        result = apply(d, op)
    except Exception as error:  # noqa: BLE001 - compared between the roads
        return ("error", type(error), str(error))
    if isinstance(result, kDict):
        return ("kDict", list(result.Raw().items()))
    return ("value", type(result), repr(result))


@pytest.mark.no_refleak  # hypothesis keeps state of its own; fixed samples below
@given(st.dictionaries(KEYS, VALUES, max_size=4), st.lists(OPS, max_size=12))
def test_short_and_general_roads_agree(initial, ops):
    try:
        fast = kDict(initial)
    except Exception as error:  # noqa: BLE001
        with pytest.raises(type(error), match=None):
            General(initial)
        return
    slow = General(initial)
    for op in ops:
        assert outcome(fast, op) == outcome(slow, op), op
        assert list(fast.Raw().items()) == list(slow.Raw().items())
        assert list(fast._key_map.items()) == list(slow._key_map.items())
        assert [id(k) for k in fast.Raw()] == [id(k) for k in slow.Raw()]  # the very key objects


@pytest.mark.no_refleak  # hypothesis keeps state of its own; fixed samples below
@given(st.dictionaries(st.one_of(KEYS, st.integers(0, 2), st.builds(StrSub, KEYS)), VALUES, max_size=6))
def test_construction_keeps_the_item_by_item_result(data):
    """Also the state of an instance whose re-initialisation stops at a
    refused item."""
    fast, slow = kDict({"old": 1}), General({"old": 1})
    results = [outcome(d, ("init", data)) for d in (fast, slow)]
    assert results[0] == results[1]
    assert list(fast.Raw().items()) == list(slow.Raw().items())
    assert list(fast._key_map.items()) == list(slow._key_map.items())
    assert all(a is b for a, b in zip(fast.Raw(), slow.Raw()))


TEXT_VALUES = st.one_of(
    st.integers(), st.booleans(), st.none(), st.floats(), st.text(max_size=4), st.builds(StrSub, st.text(max_size=2)),
    st.lists(st.integers(), max_size=2), st.sampled_from(["é", "€", "😀", "\ud800", "x" * 40]),
)


@pytest.mark.no_refleak  # hypothesis keeps state of its own; fixed samples below
@given(st.dictionaries(st.text(min_size=1, max_size=4).filter(lambda k: not k.isspace()), TEXT_VALUES, max_size=6))
def test_text_form_matches_formatting_each_side(data):
    d = kDict()
    d.Raw().update(data)  # written directly: the text form walks _data as it is
    assert str(d) == ", ".join(f"{k}={v}" for k, v in data.items())
    d.Raw()[StrSub("sub")] = 1
    assert str(d).endswith("sub=1")


SAMPLE_TEXTS = ["42", "-7", "+0", "007", "123456789012345678", "1234567890123456789", " 42", "4_2", "٣", "", "-",
                "2.5", "-0.0", "1e400", "1e-400", "5e-324", ".5", "5.", "1e", "nan", "inf", "x"]
SAMPLE_STORE = {"Name": "Ann", "COUNT": "42", "flag": "yes", "Ratio": "2.5", "When": "2026-12-07T10:00:00",
                "Items": [1], "Big": 10**30, "Text": "é€😀", "Sub": StrSub("s")}
SAMPLE_OPS = [("get", "name", None), ("get", "count", int), ("get", "ratio", float), ("get", "big", str),
              ("getInt", "Count", None), ("getDouble", "RATIO", None), ("getBool", "Flag", None),
              ("getString", "big", None), ("getDate", "when", None), ("getList", "items", None),
              ("getOr", "count", 0), ("Require", "absent", None), ("getString", "sub", None), ("str",),
              ("set", "name", "Bob"), ("set", "NAME", None), ("addToList", "items", 2), ("remove", "Flag"),
              ("init", {"A": 1, "a": 2, "b": None}), ("init", {"x": 1, "": 2}), ("init", dict(SAMPLE_STORE))]


def test_fixed_samples_of_the_shortcuts():
    """The same comparisons on fixed samples (also run by the leak check)."""
    for text in SAMPLE_TEXTS:
        for expected in (int, float, str):
            assert same(kDict._convert_value(text, expected), model_convert(text, expected)), (text, expected)
    fast, slow = kDict(SAMPLE_STORE), General(SAMPLE_STORE)
    for op in SAMPLE_OPS:
        assert outcome(fast, op) == outcome(slow, op), op
        assert list(fast.Raw().items()) == list(slow.Raw().items())
    assert str(kDict(SAMPLE_STORE)) == ", ".join(f"{k}={v}" for k, v in SAMPLE_STORE.items())
