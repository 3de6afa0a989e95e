"""Errors of the YAML helpers."""

__all__ = ["MarkupError"]


class MarkupError(Exception):
    """A markup in a YAML value could not be resolved."""
