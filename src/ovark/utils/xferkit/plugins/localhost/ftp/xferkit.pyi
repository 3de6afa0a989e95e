"""File utilities for FTP on Linux servers."""

import logging
from typing import Any, ClassVar

from ovark.datastructures import AttrDict
from ovark.utils.xferkit.plugins.localhost import XferKit as XferKitLinuxBase

logger: logging.Logger
DATETIME_PAT_RECENT: str
STAT_DIR_FORMAT_SCAN_PATTERN_RECENT: str
DATETIME_PAT_NOT_RECENT: str
STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT: str

def filemode_to_mode(filemode: str) -> int: ...

class XferKit(XferKitLinuxBase):
    PROGRESS_IGNORE_COUNT: ClassVar[int]
    def copyfile(
        self,
        source: str,
        destination: str,
        timeout_seconds: float,
        *args: Any,
        upload: bool,
        strip_leading_slash: bool = True,
        **kwargs: Any,
    ) -> None: ...
    def _normalize_filename(self, filename: str, parent_path: str) -> str: ...
    def dir(
        self, target: str, timeout_seconds: float, *args: Any, strip_leading_slash: bool = True, **kwargs: Any
    ) -> list[str]: ...
    def stat(
        self, target: str, timeout_seconds: float, *args: Any, strip_leading_slash: bool = True, **kwargs: Any
    ) -> AttrDict: ...
    def chmod(
        self,
        target: str,
        mode: int,
        timeout_seconds: float,
        *args: Any,
        strip_leading_slash: bool = True,
        **kwargs: Any,
    ) -> None: ...
    def deletefile(
        self, target: str, timeout_seconds: float, *args: Any, strip_leading_slash: bool = True, **kwargs: Any
    ) -> None: ...
    def renamefile(
        self,
        source: str,
        destination: str,
        timeout_seconds: float,
        *args: Any,
        strip_leading_slash: bool = True,
        **kwargs: Any,
    ) -> None: ...
    def getspace(self, target: str, timeout_seconds: float, *args: Any, **kwargs: Any) -> Any: ...
