"""Text helpers."""

import textwrap

__all__ = ["wrap_split"]


def wrap_split(text, width=70):
    """Return the lines of ``text`` wrapped at ``width`` (as ``textwrap.wrap``)."""
    return textwrap.wrap(text, width)
