"""What Python sees of the module and the class, before any data."""

import subprocess
import sys
import weakref

import pytest

import karvo
from conftest import panic_exception_type


def test_module_namespace():
    assert karvo.__all__ == ["Profiler"]
    assert karvo.__doc__ == ""
    assert [name for name in dir(karvo) if not name.startswith("__")] == ["Profiler"]


def test_class_identity_and_signatures():
    P = karvo.Profiler
    assert P.__module__ == "builtins"
    assert P.__name__ == "Profiler"
    assert P.__qualname__ == "Profiler"
    assert P.__text_signature__ == "()"
    assert P.__doc__ == ""  # nothing after the signature
    assert P.observe_dict.__text_signature__ == "($self, py_dict)"
    assert P.observe_dicts.__text_signature__ == "($self, py_list)"
    assert P.flush.__text_signature__ == "($self)"
    for method in (P.observe_dict, P.observe_dicts, P.flush):
        assert method.__doc__ is None


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):

        class Sub(karvo.Profiler):
            pass


def test_instances_take_no_attributes_and_no_weak_references(profiler):
    with pytest.raises(AttributeError):
        profiler.extra = 1
    with pytest.raises(AttributeError):
        profiler.__dict__
    with pytest.raises(TypeError):
        weakref.ref(profiler)


def test_instances_are_independent():
    a, b = karvo.Profiler(), karvo.Profiler()
    a.observe_dict({"x": 1})
    assert b.flush() == "{}"
    assert a.flush() != "{}"


def test_flush_takes_no_arguments(profiler):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        profiler.flush(1)


def test_many_profilers_come_and_go():
    for i in range(2000):
        p = karvo.Profiler()
        p.observe_dict({"a": i})
        del p


def test_panic_exception_type():
    panic = panic_exception_type()
    assert panic.__module__ == "native_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == (
        "\nThe exception raised when karvo's native code, called from Python, panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    assert panic_exception_type() is panic  # made once
    assert not hasattr(karvo, "PanicException")


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)


def test_second_initialisation_fails_with_import_error():
    result = run_python(
        "import sys, karvo\n"
        "del sys.modules['karvo']\n"
        "try:\n"
        "    import karvo\n"
        "except ImportError as error:\n"
        "    print('ImportError', 'initialized once per interpreter process' in str(error))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ImportError True\n"


def test_first_module_still_works_after_failed_reimport():
    result = run_python(
        "import sys, karvo\n"
        "first = karvo\n"
        "del sys.modules['karvo']\n"
        "try:\n"
        "    import karvo\n"
        "except ImportError:\n"
        "    pass\n"
        "p = first.Profiler()\n"
        "p.observe_dict({'a': 1})\n"
        "print(p.flush())\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith('{"a":{"total_count":1,')


def test_installed_as_one_abi3_module_with_stubs():
    from pathlib import Path

    module_file = Path(karvo.__file__)
    assert module_file.name == "karvo.abi3.so"
    if module_file.parent.name not in ("site-packages", "dist-packages"):
        pytest.skip("karvo is imported from a build directory, not installed")
    stub = module_file.parent / "karvo.pyi"
    assert stub.is_file()
    # The stub-only package that mypy reads carries the same stubs as the file pyright reads.
    assert (module_file.parent / "karvo-stubs" / "__init__.pyi").read_text() == stub.read_text()
