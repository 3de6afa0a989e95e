"""Every extension module and public callable, as the interpreter sees them."""

import importlib
import importlib.machinery
import inspect
import subprocess
import sys
import textwrap

import pytest

EXTENSION_MODULES = [
    "ovark.utils.ansi",
    "ovark.utils.argv_tools",
    "ovark.utils.intr_traps",
    "ovark.utils.objects",
    "ovark.utils.dicts",
    "ovark.utils.locations",
    "ovark.utils.yaml.dumper",
    "ovark.utils.xferkit.core.addon_registry",
    "ovark.utils.xferkit.plugins.localhost.ftp.xferkit",
]


def our_callables():
    """(module name, dotted path, function object) of every function the modules define."""
    found = []
    for module_name in EXTENSION_MODULES:
        module = importlib.import_module(module_name)
        for name, obj in vars(module).items():
            if getattr(obj, "__module__", None) != module_name:
                continue
            if inspect.isclass(obj):
                for attr, member in vars(obj).items():
                    func = member.__func__ if isinstance(member, (classmethod, staticmethod)) else member
                    if isinstance(func, property):
                        func = func.fget
                    if hasattr(func, "__text_signature__") and type(func).__name__ == "function":
                        found.append((module_name, "{}.{}".format(obj.__qualname__, attr), func))
            elif type(obj).__name__ == "function" and obj.__qualname__ == name:
                found.append((module_name, name, obj))
    return found


CALLABLES = our_callables()


@pytest.mark.parametrize("module_name", EXTENSION_MODULES)
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


def test_every_module_refuses_a_second_interpreter():
    code = textwrap.dedent(
        """
        import importlib
        modules = {!r}
        for name in modules:
            importlib.import_module(name)
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit
        for name in modules:
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import " + name)
                print(name, "loaded")
            except Exception as exc:
                print(name, "Interpreter change detected" in str(exc))
            finally:
                interpreters.destroy(interp)
        """
    ).format(EXTENSION_MODULES)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    for line in result.stdout.splitlines():
        assert line.endswith("True"), line
