"""Large and deep documents: the roads that keep their cost per element flat
give the same results as the rule they stand in for, and step aside
wherever a difference could be seen."""
import json
import math
from datetime import datetime, timedelta, timezone, tzinfo

import pytest
from hypothesis import given, strategies as st

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope

General = type("General", (kDict,), {})
ORIGINAL_STR = vars(kDict)["__str__"]


class FixedZone(tzinfo):
    """A tzinfo that is no datetime.timezone: its own methods answer."""

    def utcoffset(self, dt):
        return timedelta(hours=2, minutes=30)

    def dst(self, dt):
        return None


class DateTimeSub(datetime):
    def __str__(self):
        return "sub"


def with_set_override(d):
    d.set = lambda key, value: kDict.set(d, key, value)  # an instance attribute: the general road
    return d


# ------------------------------------------------ addToList on one key

ROADS = {
    "kDict": kDict,
    "subclass": General,
    "set override": lambda: with_set_override(kDict()),
}


@pytest.mark.parametrize("road", ROADS.values(), ids=ROADS.keys())
def test_repeated_add_to_list_gives_the_rule_result(road):
    d = road()
    d.set("other", 1)
    for i in range(300):
        d.addToList("Items" if i % 100 else "ITEMS", i)  # a new stored key now and then moves the entry
    assert list(d.Raw()) == ["other", "Items"]
    assert d.getList("items") == list(range(300))
    # a value that is not a list starts a new one
    d.set("items", "text").addToList("items", "x")
    assert d.getList("items") == ["x"]


@pytest.mark.parametrize("road", ROADS.values(), ids=ROADS.keys())
@pytest.mark.parametrize("hold", ["getList result", "Raw value", "in another store", "inside itself"])
def test_a_list_someone_holds_is_never_changed(road, hold):
    d = road()
    d.addToList("k", 1).addToList("k", 2)
    held = d.getList("k")
    if hold == "Raw value":
        held = d.Raw()["k"]
    elif hold == "in another store":
        other = kDict({"k": held})
        del held
        held = other.getList("k")
    elif hold == "inside itself":
        held.append(held)
    snapshot = list(held)
    d.addToList("K", 3)
    assert held == snapshot and d.getList("k") is not held
    assert d.getList("k")[-1] == 3 and list(d.Raw()) == ["K"]


def test_a_refused_key_changes_nothing():
    d = kDict()
    d.addToList("k", 1)
    with pytest.raises(ValueError, match="Key cannot be empty"):
        d.addToList(" ", 2)
    assert d.getList("k") == [1] and d.Count == 1


# ------------------------------------------------------------ text form

TZ = st.one_of(st.none(), st.just(timezone.utc),
               st.builds(lambda s, us: timezone(timedelta(seconds=s, microseconds=us)),
                         st.integers(-86399, 86399), st.integers(0, 999_999)),
               st.just(FixedZone()))
LEAVES = st.one_of(
    st.floats(), st.booleans(), st.none(), st.integers(), st.integers(min_value=2**62), st.text(max_size=3),
    st.datetimes(timezones=TZ), st.builds(DateTimeSub, st.integers(1, 9999), st.integers(1, 12), st.integers(1, 28)),
)
TEXT_VALUES = st.recursive(
    LEAVES,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.tuples(inner), st.dictionaries(st.text(max_size=2), inner, max_size=2),
        st.builds(lambda items: kDict(dict(items)), st.dictionaries(st.sampled_from("abC"), inner, max_size=2)),
        st.builds(lambda items: General(dict(items)), st.dictionaries(st.sampled_from("ab"), inner, max_size=2)),
    ),
    max_leaves=6,
)


def rule_text(d):
    return ", ".join(f"{k}={v}" for k, v in d.Raw().items())


@pytest.mark.no_refleak  # hypothesis keeps state of its own; fixed samples below
@given(st.dictionaries(st.text(min_size=1, max_size=3).filter(lambda k: not k.isspace()), TEXT_VALUES, max_size=6))
def test_text_form_is_the_rule_text(data):
    d = kDict()
    d.Raw().update(data)
    assert str(d) == rule_text(d)


@pytest.mark.parametrize("value", [
    0.1 + 0.2, 1e16, 1e15 + 0.5, 1e-4, 1e-5, 5e-324, 1.7976931348623157e308, -0.0, float("nan"), -math.inf,
    [1, 2.5, None, True, -7, 1e300], [2**70, "s"], list(range(100)), datetime(1, 1, 1, tzinfo=FixedZone()),
    datetime(2026, 3, 15, 8, 30, 45, 123, tzinfo=timezone(-timedelta(hours=5, seconds=1, microseconds=1))),
])
def test_text_form_of_fixed_samples(value):
    d = kDict({"v": value, "nested": kDict({"v": value})})
    assert str(d) == rule_text(d)


@pytest.mark.no_refleak  # patches the class
@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
@pytest.mark.parametrize("name", ["__format__", "__str__"])
def test_a_nested_store_honours_a_text_method_given_to_the_class(name):
    d = kDict({"inner": kDict({"a": 1})})
    assert str(d) == "inner=a=1"
    setattr(kDict, name, lambda self, *args: "replaced")
    try:
        assert str(d) == "replaced" if name == "__str__" else str(d) == "inner=replaced"
    finally:
        delattr(kDict, name) if name == "__format__" else setattr(kDict, name, ORIGINAL_STR)
    assert str(d) == "inner=a=1"


def test_a_store_holding_itself_ends_in_recursion_error():
    d = kDict()
    d.set("self", d)
    with pytest.raises(RecursionError):
        str(d)


# ------------------------------------------------------------ JSON text


def chain(levels):
    top = env = kEnvelope()
    for level in range(levels):
        env.put("level", level).put("ratio", level / 7)
        env = env.nest("next")
    return top


@pytest.mark.thread_unsafe(reason="2,000 levels need the main thread's C stack; worker threads have smaller ones")
@pytest.mark.parametrize("levels", [0, 1, 199, 200, 201, 450, 2000])
def test_deep_chains_give_the_text_of_json_dumps(levels):
    env = chain(levels)
    assert env.toJson() == json.dumps(env.get(), indent=4)


@pytest.mark.thread_unsafe(reason="measures the main thread's C stack")
@pytest.mark.no_refleak  # one deep chain is enough
def test_a_chain_deeper_than_the_stack_ends_in_recursion_error():
    env = chain(200_000)
    with pytest.raises(RecursionError):
        env.toJson()
    with pytest.raises(RecursionError):
        env.get()


@pytest.mark.no_refleak  # one large text is enough
def test_a_text_larger_than_eight_mebibytes():
    env = kEnvelope()
    nested = env.nest("nested")
    for i in range(200_000):
        env.put(f"Key{i}", (i, i / 3, "é" if i % 2 else None))
    nested.put("last", [True, False])
    text = env.toJson()
    assert len(text) > 8 << 20 and text == json.dumps(env.get(), indent=4)
    assert env.toJson() == text  # and again, from a fresh buffer
