"""The YAML markup processor: references, callables, environment variables,
includes, prompts and encoded secrets in string values."""

import re
from collections.abc import Callable, Iterable, Mapping, MutableMapping
from typing import Any

BASE_PATTERN: re.Pattern[str]
REFERENCE_PATTERN: re.Pattern[str]
CALLABLE_PATTERN: re.Pattern[str]
ENV_PATTERN: re.Pattern[str]
INCLUDE_FILE_PATTERN: re.Pattern[str]
ASK_PATTERN: re.Pattern[str]
ENC_PATTERN: re.Pattern[str]

def ask_for_input(prompt_text: str) -> str: ...
def locate(locations: Mapping[Any, Any] | None, path: Iterable[Any]) -> Any: ...

class Processor:
    _inhibit_recurse_exception: bool
    _yaml_loader_cls: Callable[..., Any] | None
    _actions: list[tuple[Callable[[str], re.Match[str] | None], Callable[..., Any]]]
    original: Any
    def __init__(
        self,
        reference: bool = True,
        callable: bool = True,
        env_var: bool = True,
        include_file: bool = True,
        ask: bool = True,
        encode: bool = True,
        yaml_loader_cls: Callable[..., Any] | None = None,
    ) -> None: ...
    def __call__(self, data: Any, locations: MutableMapping[Any, Any] | None = None) -> Any: ...
    def _recurse(self, data: Any, index: list[Any], locations: MutableMapping[Any, Any] | None = None) -> Any: ...
    def _process_mutable_mapping(
        self, data: MutableMapping[Any, Any], index: list[Any], locations: MutableMapping[Any, Any] | None = None
    ) -> Any: ...
    def _process_iterable(
        self, data: Any, index: list[Any], locations: MutableMapping[Any, Any] | None = None
    ) -> list[Any]: ...
    def _process_str(self, data: str, index: list[Any], locations: MutableMapping[Any, Any] | None = None) -> Any: ...
    def match_reference_markup(self, data: str) -> re.Match[str] | None: ...
    def p_reference_markup(
        self,
        match: re.Match[str] | None,
        data: str,
        index: list[Any],
        locations: MutableMapping[Any, Any] | None = None,
    ) -> Any: ...
    def match_callable_markup(self, data: str) -> re.Match[str] | None: ...
    def p_callable_markup(
        self,
        match: re.Match[str] | None,
        data: str,
        index: list[Any],
        locations: MutableMapping[Any, Any] | None = None,
    ) -> Any: ...
    def match_env_markup(self, data: str) -> re.Match[str] | None: ...
    def p_environ_markup(
        self,
        match: re.Match[str] | None,
        data: str,
        index: list[Any],
        locations: MutableMapping[Any, Any] | None = None,
    ) -> Any: ...
    def match_include_file_markup(self, data: str) -> re.Match[str] | None: ...
    def p_file_markup(
        self,
        match: re.Match[str] | None,
        data: str,
        index: list[Any],
        locations: MutableMapping[Any, Any] | None = None,
    ) -> Any: ...
    def match_ask_markup(self, data: str) -> re.Match[str] | None: ...
    def p_ask_markup(
        self,
        match: re.Match[str] | None,
        data: str,
        index: list[Any],
        locations: MutableMapping[Any, Any] | None = None,
    ) -> Any: ...
    def match_enc_markup(self, data: str) -> re.Match[str] | None: ...
    def p_enc_markup(
        self,
        match: re.Match[str] | None,
        data: str,
        index: list[Any],
        locations: MutableMapping[Any, Any] | None = None,
    ) -> Any: ...
