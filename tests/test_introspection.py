"""What inspect, typing, pydoc and pickle see of every member of the four classes."""
import contextlib
import inspect
import pickle
import pydoc
import re
import sys
import typing
from pathlib import Path

import pytest

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState
from kestrune.utils.kTag import kTag

CLASSES = (kDict, kTag, kEnvelope, kState)


def native(func):
    """Whether func is a native member function (each module has its own function type)."""
    return repr(type(func)) == "<class 'kestrune.utils.function'>"


def members():
    """(class, name, wrapper, function) for every native member, in class order."""
    for cls in CLASSES:
        for name, value in vars(cls).items():
            func = value.fget if isinstance(value, property) else getattr(value, "__func__", value)
            if native(func):
                yield pytest.param(cls, name, type(value), func, id=f"{cls.__name__}.{name}")


MEMBERS = list(members())


def test_every_member_is_native():
    # kDict 26 (with __init__, __str__, the properties), kTag 14, kEnvelope 10, kState 1
    assert [sum(p.values[0] is c for p in MEMBERS) for c in CLASSES] == [26, 14, 10, 1]


@pytest.mark.parametrize("cls, name, wrapper, func", MEMBERS)
def test_signature_names_annotations_defaults(cls, name, wrapper, func):
    assert func.__name__ == name and func.__qualname__ == f"{cls.__name__}.{name}"
    assert func.__module__ == cls.__module__
    assert re.fullmatch(rf"<function {cls.__name__}\.{name} at 0x[0-9a-f]+>", repr(func))
    sig = inspect.signature(func)
    params = list(sig.parameters.values())
    lead = {staticmethod: [], classmethod: ["cls"]}.get(wrapper, ["self"])
    assert [p.name for p in params[: len(lead)]] == lead
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
    shown = {p.name: p.annotation for p in params if p.annotation is not p.empty}
    if sig.return_annotation is not sig.empty:
        shown["return"] = sig.return_annotation
    assert shown == func.__annotations__
    defaults = tuple(p.default for p in params if p.default is not p.empty)
    assert defaults == (func.__defaults__ or ())
    assert all(p.default is not p.empty for p in params[len(params) - len(defaults):])
    # The binder knows each parameter by the name the signature shows: a
    # keyword repeating a positional argument is refused before the body runs.
    for j, p in enumerate(params):
        with pytest.raises(TypeError, match=rf"got multiple values for keyword argument '{p.name}'"):
            func(*[None] * (j + 1), **{p.name: None})


# (typing's caches of the unions it builds settle differently from run to
# run; the same calls repeated thousands of times leave the totals stable)
@pytest.mark.no_refleak
@pytest.mark.parametrize("cls, name, wrapper, func", MEMBERS)
def test_type_hints_resolve_in_the_module_namespace(cls, name, wrapper, func):
    namespace = vars(sys.modules[cls.__module__])
    assert func.__globals__ is namespace
    expected = {}
    for key, text in func.__annotations__.items():
        value = eval(text, namespace)
        expected[key] = eval(value, namespace) if isinstance(value, str) else value  # 'kDict' forward references
        expected[key] = type(None) if expected[key] is None else expected[key]
    assert typing.get_type_hints(func) == expected
    assert inspect.get_annotations(func, eval_str=True).keys() == func.__annotations__.keys()


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_type_hints_follow_the_module_globals(monkeypatch):
    from kestrune.utils import kEnvelope as module

    assert typing.get_type_hints(kEnvelope.__init__)["existing"] == kDict | None
    monkeypatch.setattr(module, "kDict", int)  # rebinding keeps the module's name order
    assert typing.get_type_hints(kEnvelope.__init__)["existing"] == int | None


@pytest.mark.no_refleak  # the pickle machinery's own caches
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_members_pickle_by_reference(protocol):
    for cls, name, wrapper, func in (p.values for p in MEMBERS):
        if wrapper is property:
            continue
        reached = getattr(cls, name)  # a bound method for class methods, as in Python
        assert pickle.loads(pickle.dumps(reached, protocol)) == reached


@pytest.mark.no_refleak  # pydoc imports and caches
@pytest.mark.parametrize("cls", CLASSES)
def test_help_reads_as_for_the_python_classes(cls):
    # The pure-Python equivalent, rendered by pydoc, less the docstrings that
    # pydoc borrows from object for Python functions only (__init__, __str__).
    sys.path.insert(0, str(Path(__file__).parents[1] / "benchmarks"))
    try:
        import reference
    finally:
        del sys.path[0]
    for c in (cls, getattr(reference, cls.__name__)):
        if "__slotnames__" in vars(c):  # the pickle machinery's cache, left by a test that pickled one
            with contextlib.suppress(AttributeError):  # (another thread's run of this test, meanwhile)
                delattr(c, "__slotnames__")
    model = pydoc.render_doc(getattr(reference, cls.__name__), renderer=pydoc.plaintext)
    model = model.replace("module reference", f"module {cls.__module__}").replace("reference.", f"{cls.__module__}.")
    for inherited in ("Initialize self.  See help(type(self)) for accurate signature.", "Return str(self)."):
        model = model.replace(f" |      {inherited}\n", "")
    assert pydoc.render_doc(cls, renderer=pydoc.plaintext) == model


def test_help_of_a_class_method():
    text = pydoc.render_doc(kTag.New, renderer=pydoc.plaintext)
    assert "New(user_name: str, transaction_type: str) -> str class method of kestrune.utils.kTag.kTag" in text


@pytest.mark.thread_unsafe(reason="changes a member every thread shares")
@pytest.mark.parametrize("module", [5, "not.imported", None])
def test_globals_without_a_module_is_an_attribute_error(monkeypatch, module):
    func = vars(kDict)["set"]
    if module is None:
        monkeypatch.delattr(func, "__module__")
    else:
        monkeypatch.setattr(func, "__module__", module)
    with pytest.raises(AttributeError):
        func.__globals__
    with pytest.raises(NameError):  # get_type_hints then evaluates in an empty namespace
        typing.get_type_hints(func)
