"""Import utilities: import objects by dotted name, run code on import, and
translate legacy module names (``LegacyImporter``)."""

import importlib

from .legacy import LegacyImporter

__all__ = ["LegacyImporter", "import_from_name", "on_import"]


def import_from_name(name):
    """Return the object that the dotted ``name`` denotes.

    The longest prefix of ``name`` that imports as a module is imported and the
    rest is followed as attributes. Raises ``ImportError`` when no prefix
    imports and ``AttributeError`` when an attribute is missing. A module that
    exists but fails to import raises its own error.
    """
    parts = name.split(".")
    for cut in range(len(parts), 0, -1):
        module_name = ".".join(parts[:cut])
        try:
            obj = importlib.import_module(module_name)
        except ModuleNotFoundError as exc:
            missing = exc.name or ""
            if module_name != missing and not module_name.startswith(missing + "."):
                raise  # a module that exists lacks one of its own imports
            continue
        for attribute in parts[cut:]:
            obj = getattr(obj, attribute)
        return obj
    raise ImportError("No module named {!r}".format(parts[0]), name=name)


def on_import(func):
    """Call ``func()`` once, now, and return ``func``."""
    func()
    return func
