"""ANSI escape stripping."""

import re

ESCAPE_SEQUENCE: re.Pattern[str]

def escape(line: str) -> str: ...
