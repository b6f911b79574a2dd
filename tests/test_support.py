"""The shared native layer: function objects, argument binding, checks and
module initialisation, exercised through the test-only module."""
import copy
import gc
import importlib
import inspect
import pickle
import pydoc
import re
import sys
import weakref

import pytest

import _kst_testsupport
from _kst_testsupport import Probe

P = Probe()


class StrSub(str):
    pass


class DictSub(dict):
    pass


class IntSub(int):
    pass


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


SUBCLASS_NOTE = "Subclasses of built-in types are not accepted; pass an exact instance of the built-in type."


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: P.method(), "method() takes at least 2 positional arguments (1 given)"),
        (lambda: P.method(1, 2, 3), "method() takes at most 3 positional arguments (4 given)"),
        (lambda: Probe.method(), "method() takes at least 2 positional arguments (0 given)"),
        (lambda: P.klass(), "klass() takes exactly 2 positional arguments (1 given)"),
        (lambda: P.klass("a", "b"), "klass() takes exactly 2 positional arguments (3 given)"),
        (lambda: Probe.static(), "static() takes at least 1 positional argument (0 given)"),
        (lambda: Probe.static(1, 2, 3, 4), "static() takes at most 3 positional arguments (4 given)"),
        # a keyword leaves a required parameter unfilled: its position is the count given
        (lambda: P.method(b=1), "method() takes at least 2 positional arguments (1 given)"),
        (lambda: Probe.static(count=1), "static() takes at least 1 positional argument (0 given)"),
        (lambda: P.order(fallback=1), "order() takes at least 2 positional arguments (1 given)"),
        (lambda: P.method(1, a=2), "method() got multiple values for keyword argument 'a'"),
        (lambda: P.method(1, self=2), "method() got multiple values for keyword argument 'self'"),
        (lambda: P.method(1, z=2), "method() got an unexpected keyword argument 'z'"),
        (lambda: Probe.static(1, **{"é": 1}), "static() got an unexpected keyword argument 'é'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_binding_fills_positionals_keywords_and_defaults():
    assert P.method(1) == (P, 1, None)
    assert P.method(a=1, b=2) == (P, 1, 2)
    assert P.method(b=2, a=1) == (P, 1, 2)
    assert Probe.method(P, 1) == (P, 1, None)
    assert Probe.method(self=P, a=1) == (P, 1, None)
    assert P.klass("k") == (Probe, "k") and Probe.klass(key="k") == (Probe, "k")
    assert Probe.static("x") == ("x", 0, False)
    assert P.static("x", flag=[0]) == ("x", 0, True)
    assert P.prop == (P,)
    assert P.order("k") == (P, "k", 0) and P.order("k", 2.5) == (P, "k", 2) and P.order("k", True)[2] == 1
    assert type(P.order("k", True)[2]) is int and P.typed("k") == (P, "k", None)


# A member of the commonest shapes (positional parameters, exact-str tests,
# one trailing default) has an entry of its own; every call it does not take
# must bind, fail and word its error as the general road does.
@pytest.mark.parametrize("call, expected", [
    (lambda: P.pair("a", "b"), (P, "a", "b", 7)),
    (lambda: P.pair("a", "b", 3), (P, "a", "b", 3)),
    (lambda: Probe.pair(P, "a", "b"), (P, "a", "b", 7)),
    (lambda: P.pair("a", other="b"), (P, "a", "b", 7)),
    (lambda: P.pair("a", "b", extra=3), (P, "a", "b", 3)),
    (lambda: P.pair("a"), "pair() takes at least 3 positional arguments (2 given)"),
    (lambda: P.pair("a", "b", 3, 4), "pair() takes at most 4 positional arguments (5 given)"),
    (lambda: P.pair(1, "b"), "Argument 'key' has incorrect type (expected str, got int)"),
    (lambda: P.pair("a", StrSub("b")), "Argument 'other' has incorrect type (expected str, got StrSub)"),
    (lambda: P.pair(1, 2, 3), "Argument 'key' has incorrect type (expected str, got int)"),
    (lambda: P.pair("a", 2, extra=3), "Argument 'other' has incorrect type (expected str, got int)"),
])
def test_shaped_entries_bind_as_the_general_road(call, expected):
    if isinstance(expected, tuple):
        assert call() == expected
    else:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == expected


def test_keyword_names_match_by_value():
    name = "".join(["ke", "y"])  # not the interned object
    assert P.klass(**{name: "v"}) == (Probe, "v")


@pytest.mark.parametrize(
    "value, expected",
    [(5, 5), (True, 1), (IntSub(3), 3), (2.7, 2), (-2.7, -2), (Indexy(), 7), (10**30, 10**30)],
)
def test_int_parameter_converts_numbers(value, expected):
    result = Probe.static(None, value)[1]
    assert result == expected and type(result) is int


@pytest.mark.parametrize("value", ["5", None, [], b"1", object()])
def test_int_parameter_refuses_non_numbers(value):
    with pytest.raises(TypeError) as info:
        Probe.static(None, value)
    assert str(info.value) == f"Argument 'count' has incorrect type (expected int, got {type(value).__name__})"


@pytest.mark.parametrize("value, error", [(float("inf"), OverflowError), (float("nan"), ValueError)])
def test_int_parameter_passes_conversion_errors(value, error):
    with pytest.raises(error):
        Probe.static(None, value)


def test_bool_parameter_takes_truth_value_and_its_errors():
    assert Probe.static(None, 0, "no")[2] is True
    assert Probe.static(None, 0, 0.0)[2] is False

    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        Probe.static(None, 0, Bad())


@pytest.mark.parametrize("value, expected", [(1, 1.0), (True, 1.0), (2.5, 2.5), (Floaty(), 2.5), (Indexy(), 7.0)])
def test_float_parameter(value, expected):
    result = P.floating(value)[1]
    assert result == expected and type(result) is float


@pytest.mark.parametrize("value", ["1.5", None, []])
def test_float_parameter_refuses_text_and_others(value):
    with pytest.raises(TypeError):
        P.floating(value)


@pytest.mark.parametrize(
    "call, message, noted",
    [
        (lambda: P.klass(1), "Argument 'key' has incorrect type (expected str, got int)", False),
        (lambda: P.klass(None), "Argument 'key' has incorrect type (expected str, got NoneType)", False),
        (lambda: P.klass(b"k"), "Argument 'key' has incorrect type (expected str, got bytes)", False),
        (lambda: P.klass(StrSub("k")), "Argument 'key' has incorrect type (expected str, got StrSub)", True),
        (lambda: P.typed("k", []), "Argument 'data' has incorrect type (expected dict, got list)", False),
        (lambda: P.typed("k", DictSub()), "Argument 'data' has incorrect type (expected dict, got DictSub)", True),
        (lambda: Probe.exact_dict(None), "Argument 'source' has incorrect type (expected dict, got NoneType)", False),
        # conversions come before type tests, whatever the parameter order
        (lambda: P.order(1, "x"), "Argument 'fallback' has incorrect type (expected int, got str)", False),
        (lambda: P.order(1, 2), "Argument 'key' has incorrect type (expected str, got int)", False),
        # the same checks when trailing defaults are filled in, or keywords given
        (lambda: P.typed(1), "Argument 'key' has incorrect type (expected str, got int)", False),
        (lambda: P.order(StrSub("k")), "Argument 'key' has incorrect type (expected str, got StrSub)", True),
        (lambda: P.order(1, fallback="x"), "Argument 'fallback' has incorrect type (expected int, got str)", False),
        (lambda: P.typed(key="k", data=[]), "Argument 'data' has incorrect type (expected dict, got list)", False),
    ],
)
def test_exact_type_checks(call, message, noted):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([SUBCLASS_NOTE] if noted else [])


def test_exact_types_and_none_pass():
    assert P.typed("k", None) == (P, "k", None)
    d = {}
    assert P.typed("k", d)[2] is d
    assert Probe.exact_dict(d) == (d,)


@pytest.mark.parametrize(
    "method, value, message",
    [
        ("as_str", 5, "Expected str, got int"),
        ("as_str", StrSub("x"), "Expected str, got StrSub"),
        ("as_list", (1,), "Expected list, got tuple"),
        ("as_int", "x", "Expected int, got str"),
        ("as_int", None, "Expected int, got NoneType"),
    ],
)
def test_result_checks_refuse(method, value, message):
    with pytest.raises(TypeError) as info:
        getattr(P, method)(value)
    assert str(info.value) == message


def test_result_checks_pass():
    assert P.as_str("x") == "x" and P.as_str(None) is None
    lst = [1]
    assert P.as_list(lst) is lst
    result = P.as_int(True)
    assert result == 1 and type(result) is int
    assert type(P.as_int(IntSub(4))) is int


def test_function_attributes():
    f = Probe.__dict__["method"]
    assert f.__name__ == "method" and f.__qualname__ == "Probe.method"
    assert f.__module__ == "_kst_testsupport"
    assert f.__doc__ == "An instance method with one optional parameter."
    assert Probe.__dict__["order"].__doc__ is None
    assert f.__annotations__ == {"a": "int", "b": "Any", "return": "tuple"}
    assert list(f.__annotations__) == ["a", "b", "return"]
    assert f.__defaults__ == (None,) and f.__kwdefaults__ is None
    assert Probe.__dict__["klass"].__func__.__defaults__ is None
    assert Probe.__dict__["static"].__func__.__defaults__ == (0, False)
    assert re.fullmatch(r"<function Probe\.method at 0x[0-9a-f]+>", repr(f))
    f.__dict__["extra"] = 1
    assert f.extra == 1
    assert weakref.ref(f)() is f


def test_members_wrap_as_their_kind():
    ns = Probe.__dict__
    assert isinstance(ns["klass"], classmethod) and isinstance(ns["static"], staticmethod)
    assert isinstance(ns["prop"], property)
    assert ns["klass"].__name__ == "klass" and ns["klass"].__qualname__ == "Probe.klass"
    assert ns["klass"].__annotations__ == {"key": "str", "return": "tuple"}
    assert Probe.static is ns["static"].__func__


def test_signatures():
    assert str(inspect.signature(Probe.method)) == "(self, a: 'int', b: 'Any' = None) -> 'tuple'"
    assert str(inspect.signature(P.method)) == "(a: 'int', b: 'Any' = None) -> 'tuple'"
    assert str(inspect.signature(Probe.klass)) == "(key: 'str') -> 'tuple'"
    assert str(inspect.signature(Probe.static)) == "(x, count: 'int' = 0, flag: 'bool' = False)"
    sig = inspect.signature(Probe.__dict__["order"])
    assert sig is inspect.signature(Probe.__dict__["order"])
    assert sig.parameters["fallback"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_help_renders():
    text = pydoc.render_doc(Probe, renderer=pydoc.plaintext)
    assert "method(self, a: int, b: Any = None) -> tuple" in text
    assert "klass(key: str) -> tuple" in text
    assert "An instance method with one optional parameter." in text


# The pickle and import machinery fill caches of their own as they run; the
# native part (__reduce__) is checked for leaks separately.
@pytest.mark.no_refleak
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_functions_pickle_by_reference(protocol):
    f = Probe.__dict__["method"]
    assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert pickle.loads(pickle.dumps(P.klass, protocol)) == P.klass
    assert copy.deepcopy(f) is f


@pytest.mark.no_refleak  # a leak check of its own
@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_reduce_and_signature_leak_nothing():
    from refleak import leaks

    f = Probe.__dict__["method"]
    assert leaks(lambda: [f.__reduce__() for _ in range(50)]) is None
    assert leaks(lambda: [Probe.__dict__["order"].__signature__ for _ in range(50)]) is None


def test_function_type_is_a_method_descriptor_and_immutable():
    tp = type(Probe.__dict__["method"])
    assert tp.__flags__ & (1 << 17)  # method descriptor: no bound method on calls
    assert tp.__flags__ & (1 << 8)  # immutable: the call sites specialise
    with pytest.raises(TypeError):
        tp.extra = 1
    with pytest.raises(TypeError):
        tp()


def test_classes_are_ordinary_heap_classes():
    class Sub(Probe):
        def method(self, a, b=None):
            return "override"

    s = Sub()
    s.anything = 1
    assert s.method(1) == "override" and Sub.klass("k") == (Sub, "k")
    assert weakref.ref(s)() is s
    Probe.new_attribute = 5
    try:
        assert P.new_attribute == 5
    finally:
        del Probe.new_attribute


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
def test_reload_is_refused():
    with pytest.raises(RuntimeError) as info:
        importlib.reload(_kst_testsupport)
    assert str(info.value) == (
        "Module '_kst_testsupport' has already been imported. Re-initialisation is not supported."
    )
    assert _kst_testsupport.Probe is Probe


@pytest.mark.thread_unsafe(reason="changes classes or modules that every thread shares")
@pytest.mark.no_refleak
def test_fresh_import_is_refused(fresh_import):
    with pytest.raises(RuntimeError, match="has already been imported"):
        fresh_import("_kst_testsupport")


INTERP_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed) as info:
            interp.exec("import _kst_testsupport")
        assert info.value.excinfo.type.__name__ == "ImportError"
        assert info.value.excinfo.msg == INTERP_MESSAGE
    finally:
        interp.close()


def test_legacy_subinterpreter_is_refused():
    _interpreters = pytest.importorskip("_interpreters")
    interp = _interpreters.create("legacy")
    try:
        failure = _interpreters.run_string(interp, "import _kst_testsupport")
        assert failure.type.__name__ == "ImportError" and failure.msg == INTERP_MESSAGE
    finally:
        _interpreters.destroy(interp)


def test_deep_recursion_raises_recursion_error():
    class Deep:
        def __index__(self):
            return Probe.static(None, self)[1]

    with pytest.raises(RecursionError):
        Probe.static(None, Deep())
    gc.collect()
