"""The object query engine: find values in nested objects by requirements."""

import logging
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

logger: logging.Logger

class Find:
    initial_object: Any
    initial_requirements: list[R]
    to_find_dict: bool
    found_objects: list[Any]
    initial_found_objects: list[Any]
    def find(
        self,
        from_: Any,
        *requirements: R,
        type_: type | list[type] | None = None,
        filter_: bool = True,
        index: int | None = None,
        _first: bool = True,
        all_keys: bool = False,
        **kwargs: Any,
    ) -> list[Any]: ...
    def reset_keys(self) -> None: ...
    def _normalize_r(self, requirements: Sequence[R]) -> Sequence[R]: ...
    def _formalize_loopable(self, obj: Any) -> Iterable[Any]: ...
    def _match(
        self, obj: Any, wanted: Mapping[Any, Any], use__syntax: bool = True, filter_: bool = True
    ) -> bool | tuple[Any, list[Any]]: ...
    def _build_dict(self, from_: Any, keys: list[Any], index: int) -> Any: ...
    def _unhashable_intersection(self, unhashables_lists: Sequence[list[Any]]) -> list[Any]: ...
    def _unhashable_remove(self, unhashables: Iterable[Any]) -> list[Any]: ...
    def _populate_path(
        self,
        path: list[Any],
        keys: Mapping[str, Iterable[Any]],
        device: Any = None,
        _cur_path: list[Any] | None = None,
        _first: bool = True,
    ) -> list[list[Any]]: ...

class R:
    """Requirements class"""

    args: tuple[Any, ...]
    kwargs: dict[str, Any]
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...

class Operator:
    """basic find operator"""

    value: Any
    regex: re.Pattern[str] | None
    parent: Any
    def __init__(self, value: Any = None) -> None: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> Any: ...
    def match(self, other: object) -> Any: ...
    def __deepcopy__(self, memo: dict[int, Any]) -> Operator: ...

class Not(Operator):
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...

class Contains(Operator):
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> Any: ...

class NotExists(Operator):
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...

class GroupKeys:
    @classmethod
    def group_keys(
        cls, source: list[Any], reqs: Sequence[Sequence[Any]], ret_num: Any = None, all_keys: bool = False
    ) -> list[dict[str, Any]]: ...

def find(
    from_: Any,
    *requirements: R,
    type_: type | list[type] | None = None,
    filter_: bool = True,
    index: int | None = None,
    _first: bool = True,
    all_keys: bool = False,
    **kwargs: Any,
) -> list[Any]: ...
