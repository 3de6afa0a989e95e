"""The C++ layer as the interpreter sees it: functions, argument errors, modules."""

import copy
import importlib
import importlib.util
import inspect
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

from ovark.utils import ansi, argv_tools, intr_traps, objects

FOUNDATION = {
    "ovark.utils.ansi": {"escape": "(line)"},
    "ovark.utils.argv_tools": {
        "expand_nargs_list": "(nargs_list)",
        "remove_dups_from_multiple_nargs_list": "(multiple_nargs_list)",
    },
    "ovark.utils.intr_traps": {
        "enable_double_ctrl_c": "(callback=None)",
        "restore_sigint_handler": "()",
    },
}


@pytest.mark.parametrize(
    "module_name, name, signature",
    [(m, n, s) for m, funcs in FOUNDATION.items() for n, s in funcs.items()],
)
def test_public_functions_look_like_interpreter_functions(module_name, name, signature):
    func = getattr(importlib.import_module(module_name), name)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == module_name
    assert str(inspect.signature(func)) == signature
    assert func.__doc__ and "--" not in func.__doc__.splitlines()[0]
    assert repr(func).startswith("<function {} at 0x".format(name))
    assert callable(func) and not inspect.isclass(func)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ansi.escape(), "escape() takes exactly 1 positional argument (0 given)"),
        (lambda: ansi.escape("a", "b"), "escape() takes exactly 1 positional argument (2 given)"),
        (lambda: ansi.escape(text="a"), "escape() got an unexpected keyword argument 'text'"),
        (lambda: ansi.escape("a", line="b"), "escape() got multiple values for keyword argument 'line'"),
        (
            lambda: intr_traps.enable_double_ctrl_c(None, None),
            "enable_double_ctrl_c() takes at most 1 positional argument (2 given)",
        ),
        (
            lambda: intr_traps.enable_double_ctrl_c(handler=None),
            "enable_double_ctrl_c() got an unexpected keyword argument 'handler'",
        ),
        (lambda: intr_traps.restore_sigint_handler(1), "restore_sigint_handler() takes no arguments (1 given)"),
        (lambda: intr_traps.restore_sigint_handler(x=1), "restore_sigint_handler() takes no keyword arguments"),
        (lambda: ansi.escape(**{1: 2}), "keywords must be strings"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_keyword_binding_fills_the_parameter():
    assert ansi.escape(line="\x1b[1mbold") == "bold"
    assert argv_tools.expand_nargs_list(nargs_list=None) is None


def test_functions_bind_as_methods_and_count_self():
    class Holder:
        strip = ansi.escape

    bound = Holder().strip
    assert inspect.ismethod(bound) and bound.__func__ is ansi.escape
    assert Holder.strip is ansi.escape
    with pytest.raises(TypeError, match=r"escape\(\) takes exactly 1 positional argument \(2 given\)"):
        bound("text")
    assert str(inspect.signature(bound)) == "()"


def test_closures_carry_locals_qualname():
    import signal

    previous = signal.getsignal(signal.SIGINT)
    try:
        intr_traps.enable_double_ctrl_c()
        handler = signal.getsignal(signal.SIGINT)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert handler.__name__ == "sigint_handler"
    assert handler.__qualname__ == "enable_double_ctrl_c.<locals>.sigint_handler"
    assert str(inspect.signature(handler)) == "(signum, frame)"
    with pytest.raises(TypeError, match=r"sigint_handler\(\) takes exactly 2 positional arguments \(0 given\)"):
        handler()


def test_function_attributes_are_writable_like_interpreter_ones():
    func = intr_traps.restore_sigint_handler
    saved = func.__doc__
    try:
        func.custom = 1
        assert func.__dict__["custom"] == 1
        func.__doc__ = "changed"
        assert func.__doc__ == "changed"
        with pytest.raises(TypeError):
            func.__name__ = 3
    finally:
        func.__doc__ = saved
        del func.custom
    assert weakref.ref(func)() is func


@pytest.mark.parametrize("attribute", ["__module__", "__doc__", "custom"])
def test_a_cycle_through_a_function_attribute_is_collected(attribute):
    """Whatever a function's attributes hold is seen by the collector: a cycle
    through one of them is freed."""
    import gc
    import signal

    previous = signal.getsignal(signal.SIGINT)
    try:
        intr_traps.enable_double_ctrl_c()
        handler = signal.getsignal(signal.SIGINT)
    finally:
        signal.signal(signal.SIGINT, previous)

    class Holder:
        pass

    holder = Holder()
    holder.handler = handler
    setattr(handler, attribute, holder)
    gone = weakref.ref(holder)
    del holder, handler
    gc.collect()
    assert gone() is None


def test_functions_pickle_and_copy_by_reference():
    assert pickle.loads(pickle.dumps(ansi.escape)) is ansi.escape
    assert copy.deepcopy(ansi.escape) is ansi.escape
    assert copy.copy(argv_tools.expand_nargs_list) is argv_tools.expand_nargs_list


def test_module_attributes():
    assert argv_tools.__doc__ == "Utilities to help with tricky CLI command parsing"
    assert argv_tools.__all__ == ["expand_nargs_list", "remove_dups_from_multiple_nargs_list"]
    for module in (ansi, argv_tools, intr_traps):
        assert sys.modules[module.__name__] is module
        assert module.__spec__.origin.endswith(importlib.machinery.EXTENSION_SUFFIXES[0])
    # A reload of an initialised extension module keeps it as it is.
    assert importlib.reload(ansi) is ansi and ansi.escape("\x1b[0m") == ""


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_failing_module_body_fails_the_import():
    out = run_python(
        """
        import sys
        import ovark.utils
        sys.modules["re"] = None
        try:
            import ovark.utils.ansi
        except ImportError as exc:
            print("ImportError", exc)
        print("ovark.utils.ansi" in sys.modules)
        """
    )
    assert out.splitlines() == ["ImportError import of re halted; None in sys.modules", "False"]


def test_reimport_hands_back_the_live_module():
    out = run_python(
        """
        import sys, importlib, importlib.util
        import ovark.utils.ansi as first
        first.MARK = 1
        del sys.modules["ovark.utils.ansi"]
        second = importlib.import_module("ovark.utils.ansi")
        print(second is first, second.escape("\\x1b[1mx"))
        # A caller that builds the module object itself gets the live module's names.
        del sys.modules["ovark.utils.ansi"]
        spec = importlib.util.find_spec("ovark.utils.ansi")
        shell = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(shell)
        print(shell.escape is first.escape, shell.MARK, sys.modules["ovark.utils.ansi"] is first)
        """
    )
    assert out.split() == ["True", "x", "True", "1", "True"]


def test_registered_under_full_name_when_loaded_by_another_name():
    out = run_python(
        """
        import importlib, importlib.util, sys
        import ovark.utils
        spec = importlib.util.find_spec("ovark.utils.ansi")
        spec = importlib.util.spec_from_file_location("elsewhere.ansi", spec.origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(sys.modules["ovark.utils.ansi"] is module, module.__name__,
              importlib.import_module("ovark.utils.ansi") is module)
        """
    )
    assert out.split() == ["True", "elsewhere.ansi", "True"]


@pytest.mark.parametrize("call", [lambda: ansi.escape(5), lambda: ansi.escape()])
def test_tracebacks_name_the_module_source(call):
    import traceback

    with pytest.raises(TypeError) as info:
        call()
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert last.filename == "src/ovark/utils/ansi.cpp"
    assert last.name == "escape" and last.lineno > 0


def nested(make, depth):
    value = make(None)
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize(
    "make",
    [
        lambda inner: objects.Not(inner),
        lambda inner: objects.Contains(inner),
        lambda inner: objects.R([inner]),
        lambda inner: objects.R(key=inner),
        type("Sub", (objects.Operator,), {}),
    ],
    ids=["Not", "Contains", "R args", "R kwargs", "Operator subclass"],
)
def test_freeing_deep_chains_does_not_overflow_the_stack(make):
    chain = nested(make, 300_000)
    probe = weakref.ref(chain)
    del chain
    assert probe() is None
