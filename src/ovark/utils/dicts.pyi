"""Nested mapping utilities: recursive update, setdefault and cast."""

import re
from collections.abc import Callable, Mapping, MutableMapping
from typing import Any, TypeVar

_M = TypeVar("_M")

LIST_EXTEND_PATTERN: re.Pattern[str]

def recursive_update(a: Any, b: Any, *, list_extend: bool = False) -> Any: ...
def recursive_setdefault(a: MutableMapping[Any, Any], b: Mapping[Any, Any]) -> MutableMapping[Any, Any]: ...
def recursive_cast(d: Any, type_: Callable[[Any], _M]) -> _M: ...
