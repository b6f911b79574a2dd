import enum
import inspect
import pickle

import pytest

import kestrune.utils.kState as kstate_module
from kestrune.utils.kState import kState


def test_members_values_and_order():
    assert [(m.name, m.value) for m in kState] == [("open", 1), ("hold", 2), ("closed", 3)]
    assert len(kState.__members__) == 3 and "display_name" not in kState.__members__
    assert kState.hold == 2 and kState(3) is kState.closed and kState["open"] is kState.open
    assert isinstance(kState.open, int) and isinstance(kState.open, kState)
    assert issubclass(kState, enum.IntEnum) and type(kState) is type(enum.IntEnum)
    result = kState.open + 1
    assert result == 2 and type(result) is int


@pytest.mark.parametrize("value", [0, 4, -1, "open"])
def test_unknown_values_are_refused(value):
    with pytest.raises(ValueError):
        kState(value)


@pytest.mark.parametrize("member, label", [(kState.open, "open"), (kState(2), "hold"), (kState.closed, "closed")])
def test_display_name(member, label):
    assert member.display_name == label and type(member.display_name) is str


def test_display_name_property_and_getter():
    prop = kState.__dict__["display_name"]
    assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
    assert kState.display_name is prop
    getter = prop.fget
    assert getter.__name__ == "display_name"
    assert getter.__qualname__ == "kState.display_name"
    assert getter.__module__ == "kestrune.utils.kState"
    assert getter.__doc__ == "Return the display label used by external callers."
    assert getter.__annotations__ == {"return": "str"}
    assert str(inspect.signature(getter)) == "(self) -> 'str'"
    with pytest.raises(AttributeError):
        kState.open.display_name = "x"
    with pytest.raises(TypeError, match=r"display_name\(\) takes exactly 1 positional argument \(2 given\)"):
        getter(kState.open, 1)


def test_display_name_result_must_be_str():
    getter = kState.__dict__["display_name"].fget

    class Fake:
        name = 7

    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        getter(Fake())

    class Nothing:
        name = None

    assert getter(Nothing()) is None


def test_class_and_module_attributes():
    assert kState.__doc__ == "Python equivalent of the shared kState enum."
    assert kState.__module__ == "kestrune.utils.kState" and kState.__qualname__ == "kState"
    assert kstate_module.__doc__ == "Status enumeration helpers."
    assert kstate_module.IntEnum is enum.IntEnum
    public = {k for k in vars(kstate_module) if not k.startswith("__")}
    assert public == {"IntEnum", "kState"}


@pytest.mark.no_refleak  # the pickle machinery's own caches
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_members_pickle_as_enum_members(protocol):
    for member in kState:
        assert pickle.loads(pickle.dumps(member, protocol)) is member
