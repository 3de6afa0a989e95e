"""Secret strings: texts that never print their content, and their representers."""

import logging
from collections import UserString
from collections.abc import Mapping
from typing import Any, ClassVar

__all__ = ["SecretString", "to_plaintext", "FernetSecretStringRepresenter"]

cfg: Mapping[str, Any]
Fernet: Any
logger: logging.Logger
CNF_SEC: str
CNF_STR: str
CNF_SS_REP: str
CNF_SS_KEY: str

def import_from_name(name: str) -> Any: ...

class BaseSecretStringContainer:
    obj: SecretString
    def __init__(self, obj: SecretString) -> None: ...

class BaseSecretStringRepresenter(BaseSecretStringContainer):
    DEFAULT_KEY: ClassVar[str]
    LOGGED_KEY_WARNING: ClassVar[bool]
    prefix: str
    @classmethod
    def keygen(cls) -> str: ...
    def __init__(self, obj: SecretString, prefix: str = "string") -> None: ...
    @property
    def key(self) -> str: ...
    def encode(self) -> str: ...
    def decode(self) -> str: ...

class PlainTextSecretStringRepresenter(BaseSecretStringRepresenter): ...
class ObscuringSecretStringRepresenter(BaseSecretStringRepresenter): ...

class FernetSecretStringRepresenter(BaseSecretStringRepresenter):
    @classmethod
    def _verify_runnable(cls) -> None: ...

class SecretString(UserString):
    representer_cls: type[BaseSecretStringRepresenter]
    representer: BaseSecretStringRepresenter
    @staticmethod
    def _get_cls(cls_or_cls_name: Any) -> Any: ...
    @classmethod
    def _validate_rep(cls, rep_cls: Any) -> None: ...
    @classmethod
    def _get_rep(
        cls, representer_cls: type[BaseSecretStringRepresenter] | None = None, prefix: str = "string"
    ) -> type[BaseSecretStringRepresenter]: ...
    @classmethod
    def from_plaintext(
        cls, plaintext: str, representer_cls: type[BaseSecretStringRepresenter] | None = None, prefix: str = "string"
    ) -> SecretString: ...
    @classmethod
    def keygen(
        cls, representer_cls: type[BaseSecretStringRepresenter] | None = None, prefix: str = "string"
    ) -> str: ...
    def __init__(
        self,
        secret_string: object,
        representer_cls: type[BaseSecretStringRepresenter] | None = None,
        prefix: str = "string",
    ) -> None: ...
    def __dir__(self) -> list[str]: ...
    @property
    def plaintext(self) -> str: ...

def to_plaintext(str_or_secret_str: object) -> str: ...
