"""Double Ctrl-C: the first SIGINT only warns."""

import logging
from collections.abc import Callable
from types import FrameType
from typing import Any

logger: logging.Logger

def enable_double_ctrl_c(callback: Callable[[FrameType | None], Any] | None = None) -> None: ...
def restore_sigint_handler() -> None: ...
