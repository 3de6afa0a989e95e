"""Small helpers on nested containers."""

from collections.abc import Sequence

__all__ = ["chainget"]


def chainget(tree, path):
    """Return the value at ``path`` (a dotted text or a list of keys) in ``tree``.

    Each step is an item lookup; a text step made of digits indexes a sequence
    by that integer. A missing key or index, a step into something that is not
    a container, or a ``None`` on the way raises ``KeyError``.
    """
    steps = path.split(".") if isinstance(path, str) else list(path)
    if isinstance(path, str) and path == "":
        steps = []
    node = tree
    if node is None and steps:
        raise KeyError(steps[0])
    for step in steps:
        if node is None:
            raise KeyError(step)
        key = step
        if isinstance(step, str) and step.isdigit() and isinstance(node, Sequence) and not isinstance(node, str):
            key = int(step)
        try:
            node = node[key]
        except (KeyError, IndexError, TypeError):
            raise KeyError(step) from None
    return node
