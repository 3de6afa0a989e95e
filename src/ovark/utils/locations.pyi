"""YAML location tracking: Location records, LocSafeLoader, location-aware merges."""

import re
from collections.abc import MutableMapping
from typing import Any

import yaml
from typing_extensions import disjoint_base
from yaml.nodes import Node

LIST_EXTEND_PATTERN: re.Pattern[str]

# Location holds its file, line and column in C fields: a disjoint base.
@disjoint_base
class Location(dict[Any, Any]):
    file: str
    line: int
    column: int
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def extract(self) -> dict[str, str | int]: ...
    def __getstate__(self) -> Any: ...
    def __setstate__(self, state: Any) -> None: ...

class LocSafeLoader(yaml.SafeLoader):
    _file: str
    _locations: MutableMapping[Any, Any] | None
    def __init__(
        self, stream: Any, *, locations: MutableMapping[Any, Any] | None = None, file_name: str | None = None
    ) -> None: ...
    def construct_document(self, node: Node) -> Any: ...
    def construct_object(self, node: Node, deep: bool = False) -> Any: ...
    def get_single_data(self) -> Any: ...
    def check_data(self) -> bool: ...
    def get_data(self) -> Any: ...

def location_deepcopy(d: Any) -> Any: ...
def recursive_location_update(
    data: MutableMapping[Any, Any],
    new_data: MutableMapping[Any, Any],
    locations: MutableMapping[Any, Any],
    new_locations: MutableMapping[Any, Any],
    list_extend: bool = False,
) -> MutableMapping[Any, Any]: ...
def recursive_location_setdefault(
    data: MutableMapping[Any, Any],
    new_data: MutableMapping[Any, Any],
    locations: MutableMapping[Any, Any],
    new_locations: MutableMapping[Any, Any],
) -> MutableMapping[Any, Any]: ...
