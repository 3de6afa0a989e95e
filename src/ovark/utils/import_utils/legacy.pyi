"""Legacy module names translated at import time."""

import importlib.abc
import logging
import types
from collections.abc import Callable, Sequence
from importlib.machinery import ModuleSpec
from typing import ClassVar

logger: logging.Logger

class LegacyImporter(importlib.abc.MetaPathFinder):
    _importmap: ClassVar[dict[str, str]]
    _reverse_importmap: ClassVar[dict[str, str]]
    _custom_translators: ClassVar[list[Callable[[str], str | None]]]
    _custom_reverse_translators: ClassVar[list[Callable[[str], str | None]]]
    @classmethod
    def translate(cls, name: str) -> str | None: ...
    @classmethod
    def reverse_translate(cls, name: str) -> str | None: ...
    @classmethod
    def register(cls, *args: Callable[[str], str | None], **kwargs: str) -> None: ...
    @classmethod
    def find_spec(
        cls, name: str, path: Sequence[str] | None, target: types.ModuleType | None = None
    ) -> ModuleSpec | None: ...  # type: ignore[override]
    @classmethod
    def invalidate_caches(cls) -> None: ...
    @classmethod
    def install(cls) -> None: ...

class LegacyLoader(importlib.abc.Loader):
    _module_name: str
    def __init__(self, module_name: str) -> None: ...
    def exec_module(self, legacy_module: types.ModuleType) -> None: ...
    def create_module(self, spec: ModuleSpec) -> None: ...
