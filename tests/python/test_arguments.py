"""Argument binding: every message, in the order the checks run."""

import functools

import pytest

import karvo

NEW = "Profiler.__new__()"
OD = "Profiler.observe_dict()"
ODS = "Profiler.observe_dicts()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, f"{NEW} takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, f"{NEW} takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, f"{NEW} got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, f"{NEW} takes 0 positional arguments but 1 was given"),
    ],
)
def test_new_rejects_every_argument(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        karvo.Profiler(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("observe_dict", (), {}, f"{OD} missing 1 required positional argument: 'py_dict'"),
        ("observe_dicts", (), {}, f"{ODS} missing 1 required positional argument: 'py_list'"),
        ("observe_dict", ({}, {}), {}, f"{OD} takes 1 positional arguments but 2 were given"),
        ("observe_dicts", ([], [], []), {}, f"{ODS} takes 1 positional arguments but 3 were given"),
        ("observe_dict", ({},), {"py_dict": {}}, f"{OD} got multiple values for argument 'py_dict'"),
        ("observe_dict", (), {"rows": {}}, f"{OD} got an unexpected keyword argument 'rows'"),
        # an unknown keyword is reported before the missing parameter, and before a later
        # keyword that would have been fine
        ("observe_dicts", (), {"rows": [], "py_list": []}, f"{ODS} got an unexpected keyword argument 'rows'"),
        ("observe_dict", ({},), {"py_list": {}}, f"{OD} got an unexpected keyword argument 'py_list'"),
        # too many positionals is checked before the keywords
        ("observe_dict", ({}, {}), {"rows": 1}, f"{OD} takes 1 positional arguments but 2 were given"),
        ("observe_dict", (), {"\udcff": 1}, f"{OD} got an unexpected keyword argument '\udcff'"),
    ],
)
def test_binding_messages(profiler, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(profiler, method)(*args, **kwargs)
    assert str(info.value) == message
    assert type(info.value) is TypeError
    assert profiler.flush() == "{}"


def test_keyword_arguments_are_accepted(profiler):
    profiler.observe_dict(py_dict={"a": 1})
    profiler.observe_dicts(py_list=[{"a": 2}])
    assert '"total_count":2' in profiler.flush()


class Key(str):
    """A keyword whose type is a subclass of str, as **mapping may pass."""


# Every way the interpreter may hand a call its arguments (a vector with keyword names,
# through a bound or an unbound method, a partial, a plain call of **mapping) binds alike.
CALL_FORMS = {
    "positional": lambda p, row: p.observe_dict(row),
    "keyword": lambda p, row: p.observe_dict(py_dict=row),
    "mapping": lambda p, row: p.observe_dict(**{"py_dict": row}),
    "str_subclass_keyword": lambda p, row: p.observe_dict(**{Key("py_dict"): row}),
    "unbound": lambda p, row: type(p).observe_dict(p, py_dict=row),
    "partial": lambda p, row: functools.partial(p.observe_dict, py_dict=row)(),
    "dunder_call": lambda p, row: p.observe_dict.__call__(row),
}


@pytest.mark.parametrize("form", sorted(CALL_FORMS))
def test_every_call_form_binds_alike(form):
    expected, observed = karvo.Profiler(), karvo.Profiler()
    for row in ({"a": 1}, {"a": "x", "b": None}):
        expected.observe_dict(row)
        CALL_FORMS[form](observed, row)
    assert observed.flush() == expected.flush()


@pytest.mark.parametrize("form", ["unbound", "partial", "str_subclass_keyword"])
def test_every_call_form_refuses_alike(form):
    profiler = karvo.Profiler()
    with pytest.raises(TypeError) as info:
        CALL_FORMS[form](profiler, [("a", 1)])
    assert str(info.value) == "argument 'py_dict': 'list' object cannot be converted to 'PyDict'"
    with pytest.raises(TypeError) as info:
        functools.partial(profiler.observe_dicts, [], py_list=[])()
    assert str(info.value) == f"{ODS} got multiple values for argument 'py_list'"
    assert profiler.flush() == "{}"


@pytest.mark.parametrize(
    "method, argument, message",
    [
        ("observe_dict", [("a", 1)], "argument 'py_dict': 'list' object cannot be converted to 'PyDict'"),
        ("observe_dict", None, "argument 'py_dict': 'NoneType' object cannot be converted to 'PyDict'"),
        ("observe_dicts", ({"a": 1},), "argument 'py_list': 'tuple' object cannot be converted to 'PyList'"),
        ("observe_dicts", {"a": 1}, "argument 'py_list': 'dict' object cannot be converted to 'PyList'"),
        ("observe_dicts", iter([{"a": 1}]), "argument 'py_list': 'list_iterator' object cannot be converted to 'PyList'"),
    ],
)
def test_argument_type_errors_are_wrapped(profiler, method, argument, message):
    with pytest.raises(TypeError) as info:
        getattr(profiler, method)(argument)
    assert str(info.value) == message
    assert info.value.__cause__ is None
    assert profiler.flush() == "{}"


def test_argument_type_name_is_the_qualified_name(profiler):
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        profiler.observe_dict(Outer.Inner())
    assert str(info.value) == (
        "argument 'py_dict': 'test_argument_type_name_is_the_qualified_name.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyDict'"
    )


def meta_with_qualname(read):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return read()
            return super().__getattribute__(name)

    return Meta


def raise_error():
    raise RuntimeError("no name")


NamelessMeta = meta_with_qualname(raise_error)
SurrogateNameMeta = meta_with_qualname(lambda: "bad\udc80name")
NotTextMeta = meta_with_qualname(lambda: 42)


@pytest.mark.parametrize("meta", [NamelessMeta, SurrogateNameMeta, NotTextMeta])
def test_unreadable_type_name(profiler, meta):
    Odd = meta("Odd", (), {})
    with pytest.raises(TypeError) as info:
        profiler.observe_dict(Odd())
    assert str(info.value) == (
        "argument 'py_dict': '<failed to extract type name>' object cannot be converted to 'PyDict'"
    )
