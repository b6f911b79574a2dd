"""Large and deep documents: the roads that keep their cost per element flat
give the same results as the rule they stand in for, and step aside
wherever a difference could be seen."""
import json

import pytest

from kestrune.utils.kDict import kDict

General = type("General", (kDict,), {})


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
