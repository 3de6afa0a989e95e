"""Utilities to help with tricky CLI command parsing"""

from collections.abc import Hashable, Iterable
from typing import TypeVar, overload

__all__ = ["expand_nargs_list", "remove_dups_from_multiple_nargs_list"]

_T = TypeVar("_T", bound=Hashable)

@overload
def expand_nargs_list(nargs_list: None) -> None: ...
@overload
def expand_nargs_list(nargs_list: Iterable[str]) -> list[str]: ...
def remove_dups_from_multiple_nargs_list(multiple_nargs_list: Iterable[Iterable[_T]]) -> list[list[_T]]: ...
