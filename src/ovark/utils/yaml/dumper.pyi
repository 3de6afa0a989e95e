"""The ordered YAML dumper."""

from collections import OrderedDict
from typing import Any

import yaml
from yaml.nodes import MappingNode

class OrderedSafeDumper(yaml.SafeDumper):
    """Order safe dumper"""

    @staticmethod
    def ordereddict_representer(dumper: yaml.SafeDumper, data: OrderedDict[Any, Any]) -> MappingNode: ...
