"""The benchmark's layout floor must do the envelope's stores, or its figure
would be no floor: the same writes leave the same `_data` and `_key_map`."""
import pytest

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope

floor = pytest.importorskip("_kst_floor")


def stores(store):
    """The store's two dicts, with child stores in plain form."""
    data = {k: stores(v) if hasattr(v, "_key_map") else v for k, v in vars(store)["_data"].items()}
    return data, dict(vars(store)["_key_map"])


@pytest.mark.parametrize("cls", [floor.Envelope, floor.BoundEnvelope])
def test_the_floor_makes_the_envelopes_stores(cls):
    def build(envelope_cls):
        e = envelope_cls()
        e.put("Name", "Ann").put("AGE", 7).put("name", "Bo").put("Gone", 1).put("GONE", None)
        for i in range(3):
            e.put(f"F{i}", i)
        child = e.nest("Child")
        child.put("x", 1)
        e.nest("CHILD").put("Y", 2)
        return e

    assert stores(build(cls)._data) == stores(build(kEnvelope)._data)


def test_the_floor_store_takes_a_dict_as_kdict_does():
    data = {"Name": "Ann", "AGE": 7, "x": [1], "Ünï": 1}
    assert stores(floor.BoundStore(data)) == stores(kDict(data))
