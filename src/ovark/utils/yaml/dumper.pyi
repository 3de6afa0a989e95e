"""The ordered YAML dumper, and the writers of the ``ovark yaml`` command."""

from collections import OrderedDict
from collections.abc import Callable
from typing import Any

import yaml
from yaml.nodes import MappingNode

class OrderedSafeDumper(yaml.SafeDumper):
    """Order safe dumper"""

    @staticmethod
    def ordereddict_representer(dumper: yaml.SafeDumper, data: OrderedDict[Any, Any]) -> MappingNode: ...

# OrderedSafeDumper on libyaml's emitter; None when PyYAML has no libyaml.
_OrderedCSafeDumper: type[yaml.CSafeDumper] | None

def _dump_with_locations(
    data: Any,
    locations: Any,
    write: Callable[[str], object],
    scalar: Callable[[Any], str],
    place: Callable[[Any], str | None],
) -> None: ...
def _fits_libyaml(data: Any) -> bool: ...
