"""Checks that read the C++ sources for mistakes the compiler does not see."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Module code: one source per module, or a folder of parts (headers included by its module.cpp).
MODULE_SOURCES = sorted(p for pattern in ("*.cpp", "*.hpp") for p in (ROOT / "src" / "ovark").rglob(pattern))
LAYER = sorted((ROOT / "src" / "ovk").glob("*.hpp"))

pytestmark = pytest.mark.skipif(not MODULE_SOURCES, reason="sources are not in this checkout")

# A function definition line: "name(" at the start of a declaration, ending in "{".
FUNCTION = re.compile(r"^[A-Za-z_][\w:<>,\s\*&]*?\b(\w+)\s*\([^;]*\)\s*(const\s*)?(noexcept\s*)?\{\s*$")


def with_local_headers(path):
    """The text of a source and of the headers of its own folder that it includes."""
    text = path.read_text()
    for name in re.findall(r'#include "([^"/]+\.hpp)"', text):
        if (path.parent / name).exists():
            text += (path.parent / name).read_text()
    return text


def enclosing_function(lines, index):
    for line in reversed(lines[: index + 1]):
        match = FUNCTION.match(line)
        if match:
            return match.group(1)
    return ""


@pytest.mark.parametrize("path", MODULE_SOURCES, ids=lambda p: str(p.relative_to(ROOT)))
def test_module_code_owns_references_through_ref(path):
    """Bare reference decrements belong in dealloc and clear slots only."""
    lines = path.read_text().splitlines()
    offenders = []
    for i, line in enumerate(lines):
        code = line.split("//")[0]
        if re.search(r"\bPy_(X)?DECREF\b|\bPy_CLEAR\b", code):
            name = enclosing_function(lines, i)
            if not re.search(r"dealloc|clear", name, re.IGNORECASE):
                offenders.append("{}: {}".format(i + 1, line.strip()))
    assert not offenders, offenders


@pytest.mark.parametrize("path", MODULE_SOURCES + LAYER, ids=lambda p: str(p.relative_to(ROOT)))
def test_recursion_is_guarded_by_scope(path):
    """Py_EnterRecursiveCall only through RecursionGuard, so no return skips the leave."""
    if path.name == "ref.hpp":
        return
    text = path.read_text()
    assert "Py_EnterRecursiveCall" not in text and "Py_LeaveRecursiveCall" not in text


@pytest.mark.parametrize("path", MODULE_SOURCES, ids=lambda p: str(p.relative_to(ROOT)))
def test_modules_use_the_layer(path):
    if path.suffix == ".hpp":  # a part: its module.cpp includes the layer
        path = path.parent / "module.cpp" if (path.parent / "module.cpp").exists() else path.parent.with_suffix(".cpp")
    text = with_local_headers(path)
    assert '#include "ovk/ovk.hpp"' in text or '#include "ovk/' in text
    assert "PyModule_Create" not in text  # multi-phase only


# The layer's rules for module code, each with what to use instead.
LAYER_RULES = {
    # Interpreter API that is private, deprecated or different between versions.
    "ovk/compat.hpp": re.compile(
        r"\b(_PyType_Lookup|_PyObject_GetDictPtr|_PyDict_NewPresized|_PyObject_LookupAttr|PyErr_Fetch|PyErr_Restore"
        r"|PY_VERSION_HEX)\b|->tp_dict\b"
    ),
    # One way to raise and to catch.
    "raise(exc) / raise_from / catch_error / clear_if": re.compile(r"\b(PyErr_SetObject|PyErr_ExceptionMatches)\b"),
    "import_module / import_from": re.compile(r"\bPyImport_Import(Module)?\b"),
    # Parameters beyond the first are named (params<f>), not read by position.
    "params<f>": re.compile(r"\b(c|call)\[[1-9]\d*\]"),
    # Interned names come from the module's OVK_NAMES list.
    "OVK_NAMES": re.compile(r"\bst\.n_\w+|\bRef n_\w+"),
    # The layer's own helpers are not written again.
    "the layer's attr / set_attr / truth / unpack / Global": re.compile(
        r"^\s*(inline\s+)?(Ref attr|void set_attr|bool truthy?|\S+ unpack2)\(|^\s*struct Global\b"
    ),
}


@pytest.mark.parametrize("path", MODULE_SOURCES, ids=lambda p: str(p.relative_to(ROOT)))
def test_module_code_follows_the_layer(path):
    offenders = [
        "{}: {} (use {})".format(i + 1, line.strip(), rule)
        for i, line in enumerate(path.read_text().splitlines())
        for rule, pattern in LAYER_RULES.items()
        if pattern.search(line.split("//")[0])
    ]
    assert not offenders, offenders
