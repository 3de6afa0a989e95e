"""Import utilities: import objects by dotted name, run code on import."""

import importlib

__all__ = ["import_from_name", "on_import"]


def import_from_name(name):
    """Return the object that the dotted ``name`` denotes.

    The longest prefix of ``name`` that imports as a module is imported and the
    rest is followed as attributes. Raises ``ImportError`` when no prefix
    imports and ``AttributeError`` when an attribute is missing.
    """
    parts = name.split(".")
    error = None
    for cut in range(len(parts), 0, -1):
        module_name = ".".join(parts[:cut])
        try:
            obj = importlib.import_module(module_name)
        except ImportError as exc:
            # Only a missing module of this very prefix moves on to a shorter one.
            if getattr(exc, "name", None) not in (module_name, None) and not module_name.startswith(
                (exc.name or "") + "."
            ):
                raise
            error = error or exc
            continue
        for attribute in parts[cut:]:
            obj = getattr(obj, attribute)
        return obj
    raise ImportError("No module named {!r}".format(name), name=name) from error


def on_import(func):
    """Call ``func()`` once, now, and return ``func``."""
    func()
    return func
