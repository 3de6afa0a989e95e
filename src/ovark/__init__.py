"""ovark: a test-automation framework. This distribution carries its utilities
layer, ``ovark.utils``, and the few framework pieces those utilities lean on."""

from ._configuration import Configuration, load_configuration

#: The framework configuration, read once when ``ovark`` is imported.
configuration = load_configuration()

__all__ = ["Configuration", "configuration", "load_configuration"]
