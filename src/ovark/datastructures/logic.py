"""Logic objects: callables that test one value against a set of values.

A value matches an operand when it equals it, or when the operand is a text
starting with "(" (a regular expression) that ``re.match``-es ``str(value)``.
"""

import re

__all__ = ["BaseLogic", "And", "Or", "Not"]


class BaseLogic:
    """Base class of logic objects; call one with a value to test it."""

    def __init__(self, *values):
        self.values = values

    @staticmethod
    def _matches(value, operand):
        if isinstance(operand, str) and operand.startswith("("):
            return re.match(operand, str(value)) is not None
        return value == operand

    def __call__(self, value):
        raise NotImplementedError

    def __repr__(self):
        return "{}({})".format(type(self).__name__, ", ".join(map(repr, self.values)))


class Or(BaseLogic):
    """True when the value matches one of the operands."""

    def __call__(self, value):
        return any(self._matches(value, operand) for operand in self.values)


class And(BaseLogic):
    """True when the value matches every operand."""

    def __call__(self, value):
        return all(self._matches(value, operand) for operand in self.values)


class Not(BaseLogic):
    """True when the value matches none of the operands."""

    def __call__(self, value):
        return not any(self._matches(value, operand) for operand in self.values)
