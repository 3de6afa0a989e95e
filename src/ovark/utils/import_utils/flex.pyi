"""The flexible importer: modules from loaded names, module objects, files or dotted names."""

import logging
import types
from typing import Any

logger: logging.Logger

class FlexImporter:
    module_prefix: str
    def __init__(self, module_prefix: str = "") -> None: ...
    def load(self, obj: Any) -> types.ModuleType: ...
    def load_module_from_file(self, target: str) -> types.ModuleType: ...
