"""The framework configuration: an INI file read into nested mappings.

The file is named by the environment variable ``OVARK_CONF``, else it is
``~/.ovark/ovark.conf``; without either the configuration is empty. Inside a
section a dotted option name ``a.b = v`` becomes the nested entry
``{"a": {"b": "v"}}``, so ``configuration.get("secrets", {}).get("string",
{}).get("key")`` reads ``[secrets] string.key``.
"""

import configparser
import os

__all__ = ["Configuration", "load_configuration"]


class Configuration(dict):
    """Sections of the framework configuration, each a nested ``dict``."""


def _nest(options):
    section = {}
    for option, value in options.items():
        *parents, leaf = option.split(".")
        node = section
        for name in parents:
            child = node.get(name)
            if not isinstance(child, dict):
                child = node[name] = {}
            node = child
        node[leaf] = value
    return section


def load_configuration(path=None):
    """Read the configuration file at ``path`` (or the default place)."""
    if path is None:
        path = os.environ.get("OVARK_CONF") or os.path.expanduser("~/.ovark/ovark.conf")
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # option names keep their case
    if os.path.isfile(path):
        parser.read(path, encoding="utf-8")
    return Configuration((name, _nest(parser[name])) for name in parser.sections())
