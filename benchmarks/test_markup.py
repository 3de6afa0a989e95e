"""Resolving a 20,000-value testbed (2,000 references, 2,000 environment markups)
against OmegaConf and against the same processor written in plain Python."""

import os
import random
from collections.abc import Iterable, MutableMapping

import pytest

from ovark.utils import utils
from ovark.utils.yaml import markup
from ovark.utils.yaml.exceptions import MarkupError
from ovark.utils.yaml.markup import Processor

GROUP = "markup: 20,000 values, 2,000 references, 2,000 %ENV"
DEVICES = 2000
ENV_NAMES = ["OVK_BENCH_VAR_{}".format(i) for i in range(20)]


def make_testbed(style):
    """The testbed with markup in the processor's style or OmegaConf's."""
    rnd = random.Random(7)
    ref = "%{{{}}}" if style == "ovark" else "${{{}}}"
    env = "%ENV{{{}}}" if style == "ovark" else "${{oc.env:{}}}"
    devices = {}
    for i in range(DEVICES):
        peer = "d{:04d}".format(rnd.randrange(DEVICES))
        devices["d{:04d}".format(i)] = {
            "os": rnd.choice(["iosxr", "nxos", "junos"]),
            "type": "router",
            "platform": "asr9k",
            "series": i % 7,
            "credentials": {"username": env.format(rnd.choice(ENV_NAMES)), "enable": "enable-secret"},
            "connections": {
                "cli": {"protocol": "ssh", "ip": "10.{}.{}.1".format(i // 256, i % 256), "port": 22},
                "peer": ref.format("devices.{}.connections.cli.ip".format(peer)),
            },
        }
    return {"testbed": {"name": "bench"}, "devices": devices}


def count_values(tree):
    if isinstance(tree, dict):
        return sum(count_values(v) for v in tree.values())
    return 1


OVARK = make_testbed("ovark")
OMEGA = make_testbed("omegaconf")
VALUES = count_values(OVARK)


class PlainProcessor:
    """The processor as plain interpreter code: the walk, references and %ENV."""

    def __init__(self):
        self._inhibit_recurse_exception = False
        self._actions = [
            (self.match_reference_markup, self.p_reference_markup),
            (self.match_env_markup, self.p_environ_markup),
        ]

    def __call__(self, data, locations=None):
        self.original = data
        return self._recurse(data, [], locations=locations)

    def _recurse(self, data, index, locations=None):
        try:
            if isinstance(data, str):
                return self._process_str(data, index, locations=locations)
            if isinstance(data, MutableMapping):
                return type(data)((k, self._recurse(v, index + [k], locations=locations)) for k, v in data.items())
            if isinstance(data, Iterable):
                return [self._recurse(v, index + [i], locations=locations) for i, v in enumerate(data)]
            return data
        except Exception as e:
            if self._inhibit_recurse_exception:
                raise
            self._inhibit_recurse_exception = True
            raise MarkupError(
                "Caught error while processing markups: \nIndex:  {}\nMarkup: {}\n".format(index, data)
            ) from e

    def _process_str(self, data, index, locations=None):
        while markup.BASE_PATTERN.search(data):
            for matcher, handler in self._actions:
                match = matcher(data)
                if match:
                    break
            else:
                return data
            data = handler(match, data, index, locations=locations)
            if matcher == self.match_reference_markup and isinstance(data, (MutableMapping, Iterable)):
                node = self.original
                for step in index[:-1]:
                    node = node[step]
                node[index[-1]] = data
                return self._recurse(data, index, locations=locations)
            if not isinstance(data, str):
                return self._recurse(data, index, locations=locations)
        return data

    def match_reference_markup(self, data):
        return markup.REFERENCE_PATTERN.search(data)

    def match_env_markup(self, data):
        return markup.ENV_PATTERN.search(data)

    def p_reference_markup(self, match, data, index, locations=None):
        value = utils.chainget(self.original, match.group(2))
        value_index = match.group(2).split(".")
        if value == utils.chainget(self.original, index) or value_index == index[: len(value_index)]:
            raise MarkupError("Detected recursion markup")
        text = data[match.span(0)[0] : match.span(0)[1]]
        return value if text == data else data.replace(text, str(value))

    def p_environ_markup(self, match, data, index, locations=None):
        value = os.environ.get(match.group(2), "")
        return data.replace(data[match.span(0)[0] : match.span(0)[1]], str(value))


@pytest.fixture(scope="module", autouse=True)
def environment():
    saved = {name: os.environ.get(name) for name in ENV_NAMES}
    for i, name in enumerate(ENV_NAMES):
        os.environ[name] = "user{}".format(i)
    yield
    for name, value in saved.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


def copy_tree(d):
    return {k: copy_tree(v) if isinstance(v, dict) else v for k, v in d.items()}


def check(result):
    d = result["devices"]["d0000"]
    assert d["credentials"]["username"].startswith("user")
    assert d["connections"]["peer"].startswith("10.")


def run(benchmark, resolve, tree, rounds=15):
    benchmark.group = GROUP
    benchmark.extra_info["nodes"] = VALUES
    # a fresh tree per round: references write their values back into it
    result = benchmark.pedantic(resolve, setup=lambda: ((copy_tree(tree),), {}), rounds=rounds, warmup_rounds=1)
    check(result)
    return result


def test_ovark_processor(benchmark):
    ours = run(benchmark, lambda t: Processor()(t), OVARK)
    assert ours == PlainProcessor()(copy_tree(OVARK))


def test_plain_python_processor(benchmark):
    run(benchmark, lambda t: PlainProcessor()(t), OVARK)


def test_omegaconf(benchmark):
    omegaconf = pytest.importorskip("omegaconf")
    resolved = run(
        benchmark,
        lambda t: omegaconf.OmegaConf.to_container(omegaconf.OmegaConf.create(t), resolve=True),
        OMEGA,
        rounds=3,
    )
    assert resolved == PlainProcessor()(copy_tree(OVARK))
