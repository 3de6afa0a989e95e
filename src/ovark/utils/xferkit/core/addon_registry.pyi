"""Plugin manager for ovark.utils.xferkit"""

import logging
import types
from collections.abc import Iterator
from importlib.metadata import EntryPoint

__all__ = ["ENTRYPOINT_GROUP", "PluginManager"]

ENTRYPOINT_GROUP: str
DEPRECATED_ENTRYPOINT_GROUP: str
logger: logging.Logger

def iter_entry_points(group: str, name: str | None = None) -> Iterator[EntryPoint]: ...

class PluginManager:
    _plugins: dict[str, types.ModuleType]
    _subplugins: dict[str, dict[str, types.ModuleType]]
    _plugins_loaded: bool
    def __init__(self) -> None: ...
    def get_plugin(self, os: str) -> types.ModuleType | None: ...
    def get_subplugin(self, os: str, subplugin_dotted_name: str) -> types.ModuleType | None: ...
    def populate_builtin_plugins(self) -> None: ...
    def discover_external_plugins(self) -> None: ...
