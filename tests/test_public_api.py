"""Every extension module and public callable, as the interpreter sees them."""

import importlib
import importlib.machinery
import importlib.util
import inspect
import pkgutil
import subprocess
import sys
import textwrap

import pytest


def extension_modules():
    """Dotted names of every extension module of the package."""
    import ovark

    names = []
    for info in pkgutil.walk_packages(ovark.__path__, "ovark."):
        spec = importlib.util.find_spec(info.name)
        if spec.origin and spec.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            names.append(info.name)
    return sorted(names)


EXTENSION_MODULES = extension_modules()
# Importing this one installs the legacy-name importer for the whole process:
# it is looked at in subprocesses only.
IN_PROCESS_MODULES = [name for name in EXTENSION_MODULES if name != "ovark.utils.__compat_aliases__"]


def our_callables():
    """(module name, dotted path, function object) of every function the modules define."""
    found = []
    for module_name in IN_PROCESS_MODULES:
        module = importlib.import_module(module_name)
        for name, obj in vars(module).items():
            if getattr(obj, "__module__", None) != module_name:
                continue
            if inspect.isclass(obj):
                for attr, member in vars(obj).items():
                    func = member.__func__ if isinstance(member, (classmethod, staticmethod)) else member
                    if isinstance(func, property):
                        func = func.fget
                    if attr != getattr(func, "__name__", attr) and vars(obj).get(func.__name__) is member:
                        continue  # an alias such as `__repr__ = __str__`: checked under its own name
                    if hasattr(func, "__text_signature__") and type(func).__name__ == "function":
                        found.append((module_name, "{}.{}".format(obj.__qualname__, attr), func))
            elif type(obj).__name__ == "function" and obj.__qualname__ == name:
                found.append((module_name, name, obj))
    return found


CALLABLES = our_callables()


@pytest.mark.parametrize("module_name", IN_PROCESS_MODULES)
def test_modules_are_extensions_registered_under_their_name(module_name):
    module = importlib.import_module(module_name)
    assert module.__spec__.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert sys.modules[module_name] is module and module.__name__ == module_name


@pytest.mark.parametrize("module_name, path, func", CALLABLES, ids=[c[1] for c in CALLABLES])
def test_callables_have_interpreter_names_and_signatures(module_name, path, func):
    assert func.__qualname__ == path
    assert func.__name__ == path.rsplit(".", 1)[-1]
    assert func.__module__ == module_name
    inspect.signature(func)  # parses
    assert repr(func) == "<function {} at {:#x}>".format(path, id(func))


# Runs `code` in a new subinterpreter: one that shares the main interpreter's
# GIL, or an isolated one with its own. Returns the error text, or None.
SUBINTERPRETER = """
def run_in_subinterpreter(code, shared_gil):
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=not shared_gil)
        try:
            interpreters.run_string(interp, code)
        except Exception as exc:
            return str(exc)
        finally:
            interpreters.destroy(interp)
        return None
    interp = interpreters.create("legacy" if shared_gil else "isolated")
    try:
        err = interpreters.run_string(interp, code)
        return None if err is None else err.formatted
    finally:
        interpreters.destroy(interp)
"""


def run_python(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_every_module_refuses_a_second_interpreter():
    """Where the module's own guard runs (a subinterpreter sharing the main
    GIL), it refuses with its own words; an isolated subinterpreter is refused
    too, by the interpreter itself where it checks first."""
    out = run_python(
        SUBINTERPRETER
        + textwrap.dedent(
            """
            import importlib, json
            modules = {!r}
            for name in modules:
                importlib.import_module(name)
            print(json.dumps([[name, run_in_subinterpreter("import " + name, shared), shared]
                              for name in modules for shared in (True, False)]))
            """
        ).format(EXTENSION_MODULES)
    )
    import json

    for name, error, shared in json.loads(out):
        assert error is not None and "ImportError" in error, (name, shared)
        if shared:
            assert (
                "Interpreter change detected - this module can only be loaded into one interpreter per process."
                in error
            )


@pytest.mark.parametrize("module_name", EXTENSION_MODULES)
def test_one_module_object_per_process(module_name):
    """A second import after removal hands back the module already initialised:
    its classes and state exist once."""
    out = run_python(
        textwrap.dedent(
            """
            import importlib, sys
            first = importlib.import_module({0!r})
            del sys.modules[{0!r}]
            second = importlib.import_module({0!r})
            print(second is first, sys.modules[{0!r}] is first)
            """
        ).format(module_name)
    )
    assert out.split() == ["True", "True"]
