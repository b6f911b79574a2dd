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


# display_name skips the enumeration's `name` machinery only while all of it
# is the original; each change below must show in the result.
NAME = enum.Enum.__dict__["name"]
MISSING = object()


def labels():
    return [m.display_name for m in kState], [m.name for m in kState]


def upper_name(self):
    return self._name_.upper()


def replace(target, name, value, where=None):
    """Sets target.name (or where[name]) and returns what puts it back.  The
    old value is read from the class dict: reading an enum property through
    its class raises."""
    space = where if where is not None else (vars(target) if isinstance(target, type) else None)
    old = space.get(name, MISSING) if space is not None else getattr(target, name)
    if where is not None:
        where[name] = value
    else:
        setattr(target, name, value)

    def undo():
        if where is not None:
            where[name] = old
        elif old is MISSING:
            delattr(target, name)
        else:
            setattr(target, name, old)

    return undo


CHANGES = {
    "fget code": lambda: replace(NAME.fget, "__code__", upper_name.__code__),
    "fget": lambda: replace(NAME, "fget", upper_name),
    "descriptor dict": lambda: replace(NAME, "fget", upper_name, where=vars(NAME)),
    "__get__": lambda: replace(enum.property, "__get__", lambda self, instance, owner=None: "G"),
    "__get__ code": lambda: replace(enum.property.__get__, "__code__",
                                    (lambda self, instance, owner=None: "C").__code__),
    "base class": lambda: replace(enum.Enum, "name", property(upper_name)),
    "class": lambda: replace(kState, "name", property(upper_name)),
    "getattribute": lambda: replace(kState, "__getattribute__", lambda self, name: "A"),
}


@pytest.mark.thread_unsafe(reason="changes the enum module's name property for the whole process")
@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_display_name_follows_changes_to_the_name_property(change):
    assert labels()[0] == ["open", "hold", "closed"]
    undo = change()
    try:
        shown, names = labels()
        assert shown == names and shown != ["open", "hold", "closed"]
    finally:
        undo()
    assert labels() == (["open", "hold", "closed"],) * 2


@pytest.mark.thread_unsafe(reason="renames a member every thread shares")
def test_display_name_reads_the_member_name_as_stored():
    member = kState.hold
    original = member._name_
    try:
        object.__setattr__(member, "_name_", "renamed")
        assert member.display_name == "renamed" == member.name
        object.__setattr__(member, "_name_", 5)
        with pytest.raises(TypeError, match=r"^Expected str, got int$"):
            member.display_name
    finally:
        object.__setattr__(member, "_name_", original)
    assert member.display_name == "hold"
