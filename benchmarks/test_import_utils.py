"""The import utilities' hot calls against the same steps written in interpreter
code: the finder is asked about every import of the process, and most names
match no rule."""

import importlib
import importlib.abc
import importlib.util
import logging
import os
import sys
import types

import pytest

from ovark.utils.import_utils import LegacyImporter
from ovark.utils.import_utils.flex import FlexImporter

RULES = {"legacy{}.pkg".format(i): "modern{}.pkg".format(i) for i in range(20)}


class PyLegacyImporter(importlib.abc.MetaPathFinder):
    _importmap, _reverse_importmap, _custom_translators, _custom_reverse_translators = {}, {}, [], []

    @classmethod
    def translate(cls, name):
        if name in cls._importmap:
            return cls._importmap[name]
        for pattern in cls._importmap:
            if name.startswith(pattern + "."):
                return name.replace(pattern, cls._importmap[pattern], 1)
        for translator in cls._custom_translators:
            result = translator(name)
            if result is not None:
                return result
        return None

    @classmethod
    def find_spec(cls, name, path, target=None):
        translated = cls.translate(name)
        if translated is None or importlib.util.find_spec(translated) is None:
            return None
        return importlib.machinery.ModuleSpec(name, None)


class PyFlexImporter:
    logger = logging.getLogger("bench.flex")

    def load(self, obj):
        self.logger.debug("Loading: %s", obj)
        if obj in sys.modules:
            module = sys.modules[obj]
        elif isinstance(obj, types.ModuleType):
            module = obj
        elif os.path.isfile(os.path.expanduser(obj)):
            raise NotImplementedError
        else:
            module = importlib.import_module(obj)
        self.logger.debug("Loaded: %s", repr(module))
        return module


def rules_on(base):
    class Rules(base):
        _importmap, _reverse_importmap = dict(RULES), {}
        _custom_translators, _custom_reverse_translators = [lambda name: None], []

    return Rules


class PyEmpty(PyLegacyImporter):
    _importmap, _reverse_importmap, _custom_translators, _custom_reverse_translators = {}, {}, [], []


# case: (call, our importer, the interpreter-code importer)
CASES = {
    "find_spec on the class itself, no rules": (
        lambda cls: cls.find_spec("some.ordinary.module", None),
        lambda: LegacyImporter,
        lambda: PyEmpty,
    ),
    "find_spec, a name that no rule matches (20 rules, 1 translator)": (
        lambda cls: cls.find_spec("some.ordinary.module", None),
        lambda: rules_on(LegacyImporter),
        lambda: rules_on(PyLegacyImporter),
    ),
    "translate, a package rule": (
        lambda cls: cls.translate("legacy7.pkg.sub.leaf"),
        lambda: rules_on(LegacyImporter),
        lambda: rules_on(PyLegacyImporter),
    ),
}


@pytest.mark.parametrize("case", list(CASES))
def test_ovark_legacy(benchmark, case):
    benchmark.group = case
    call, ours, _ = CASES[case]
    benchmark(call, ours())


@pytest.mark.parametrize("case", list(CASES))
def test_interpreter_code_legacy(benchmark, case):
    benchmark.group = case
    call, ours, theirs = CASES[case]
    assert call(theirs()) == call(ours())
    benchmark(call, theirs())


def test_ovark_flex_load(benchmark):
    benchmark.group = "FlexImporter.load of a loaded name"
    benchmark(FlexImporter().load, "os")


def test_interpreter_code_flex_load(benchmark):
    benchmark.group = "FlexImporter.load of a loaded name"
    benchmark(PyFlexImporter().load, "os")
