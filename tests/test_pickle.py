"""pickle (every protocol), copy.copy and copy.deepcopy of kDict and kEnvelope and of subclasses."""
import copy
import pickle
from datetime import datetime, timezone

import pytest

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState

pytestmark = pytest.mark.no_refleak  # the pickle machinery keeps caches of its own


class Doc(kDict):
    def __init__(self, data=None, owner="nobody"):
        super().__init__(data)
        self.owner = owner


class Letter(kEnvelope):
    def __init__(self, existing=None, *, sender):
        super().__init__(existing)
        self.sender = sender


ROUND_TRIPS = [pytest.param(lambda obj, p=p: pickle.loads(pickle.dumps(obj, p)), id=f"pickle{p}")
               for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [pytest.param(copy.deepcopy, id="deepcopy")]


def state(d):
    """Everything a kDict holds, in order, nested kDicts included (envelopes by type only)."""
    def value(v):
        return state(v) if isinstance(v, kDict) else type(v) if isinstance(v, kEnvelope) else v
    return [(k, value(v)) for k, v in d.Raw().items()], list(d._key_map.items())


def filled(cls=kDict, **extra):
    when = datetime(2026, 3, 15, 8, 30, tzinfo=timezone.utc)
    d = cls({"Name": "Ann", "AGE": 7, "ß-Key": "x", "when": when, "State": kState.hold}, **extra)
    return d.set("nested", kDict({"Inner": [1, (2, 3)]})).set("name", "Bea")  # "name" moves to the end


@pytest.mark.parametrize("trip", ROUND_TRIPS)
@pytest.mark.parametrize("cls, extra", [(kDict, {}), (Doc, {"owner": "ops"})])
def test_kdict_round_trip(trip, cls, extra):
    d = filled(cls, **extra)
    other = trip(d)
    assert type(other) is cls and other is not d and vars(other).keys() == vars(d).keys()
    assert state(other) == state(d) and other.Raw() is not d.Raw()
    assert list(other.Keys) == ["AGE", "ß-Key", "when", "State", "nested", "name"]
    assert other["STATE"] is kState.hold and other.getString("SS-KEY") == "x" and other.get("nested").get("inner")[1] == (2, 3)
    assert all(getattr(other, k) == v for k, v in extra.items())
    # The copy is a working, independent container.
    other.set("AGE", 8).remove("name")
    assert other.getInt("age") == 8 and not other.has("NAME") and d.getInt("age") == 7 and d.has("NAME")
    assert state(filled(cls, **extra)) == state(d)


@pytest.mark.parametrize("trip", ROUND_TRIPS)
@pytest.mark.parametrize("cls, extra", [(kEnvelope, {}), (Letter, {"sender": "alice"})])
def test_envelope_round_trip_keeps_nesting_and_sharing(trip, cls, extra):
    store = kDict({"Amount": 5})
    e = cls(store, **extra)
    child = e.nest("Customer")
    child.nest("Address").put("City", "Oslo")
    shared = ["same", "list"]
    e.put("a", shared).put("b", shared).put("me", e)
    restored, restored_child, restored_store = trip([e, child, store])
    assert type(restored) is cls and all(getattr(restored, k) == v for k, v in extra.items())
    assert restored._data is restored_store and state(restored_store) == state(store)
    assert restored_child._data is restored_store.get("customer")  # the child still writes into the parent
    assert restored_store.get("A") is restored_store.get("B") and restored_store.get("me") is restored
    restored_child.put("Name", "Ann")
    assert restored.get()["Customer"] == {"Address": {"City": "Oslo"}, "Name": "Ann"}
    assert "Name" not in e.get()["Customer"]


@pytest.mark.parametrize("trip", ROUND_TRIPS)
def test_self_reference(trip):
    d = kDict({"A": 1})
    d.set("Self", d).set("List", [d, {"d": d}])
    other = trip(d)
    assert other.get("self") is other and other.get("list")[0] is other and other.get("list")[1]["d"] is other
    with pytest.raises(RecursionError):
        str(other)


@pytest.mark.parametrize("cls", [kDict, Doc, kEnvelope])
def test_copy_copy_shares_the_store(cls):
    # As for any Python class whose state is a dict attribute: the shallow
    # copy holds the same store, so writes through either are seen by both.
    obj = cls()
    if isinstance(obj, kDict):
        obj.set("K", 1)
    else:
        obj.put("K", 1)
    other = copy.copy(obj)
    assert type(other) is cls and other is not obj and vars(other) == vars(obj)
    assert all(getattr(other, k) is v for k, v in vars(obj).items())
