"""Loading a testbed with locations: LocSafeLoader (with and without a location
tree) against the YAML loaders a user could pick instead (libyaml's CSafeLoader
and the pure-Python SafeLoader, neither keeping locations; ruamel.yaml's
round-trip loader, which keeps line and column).

Two testbeds, side by side in one run: 885 KB (the size of a lab's testbed)
and 5 MB. Times are taken twice: with the collector as a user leaves it
(enabled) and with it off for every contender (the fair comparison of the
loaders' own work). A third group measures the peak of traced memory
(tracemalloc) of one load; its table column "peak" is relative to ovark's.
"""

import gc
import random
import tracemalloc

import pytest
import yaml

from ovark.utils import locations
from ovark.utils.locations import LocSafeLoader


def make_testbed(size=5 << 20, seed=3):
    rnd = random.Random(seed)
    out = ["testbed:\n  name: lab-7\n  owner: qa-team\n  defaults: &defaults\n"
           "    timeout: 30\n    retries: 3\n    protocol: ssh\n", "devices:\n"]
    length = sum(map(len, out))
    i = 0
    while length < size:
        parts = [
            "  r{:05d}:\n".format(i),
            "    os: {}\n".format(rnd.choice(["iosxr", "iosxe", "nxos", "linux"])),
            "    type: {}\n".format(rnd.choice(["router", "switch", "server"])),
            "    platform: 'asr{}'\n".format(rnd.randrange(900, 9999)),
            "    connections:\n",
            "      <<: *defaults\n" if i % 10 == 0 else "      timeout: {}\n".format(rnd.randrange(10, 120)),
            "      cli:\n        ip: 10.{}.{}.{}\n        port: {}\n".format(
                rnd.randrange(256), rnd.randrange(256), rnd.randrange(256), rnd.randrange(2000, 3000)),
            "    credentials: {{user: admin, password: \"secret{}\"}}\n".format(i),
            "    interfaces:\n",
        ]
        for j in range(rnd.randrange(2, 6)):
            parts.append(
                "      - name: GigabitEthernet0/0/0/{}\n        ipv4: 192.168.{}.{}/24\n        enabled: {}\n"
                "        vlans: [{}]\n        description: >\n          uplink to core\n          switch {}\n".format(
                    j, rnd.randrange(256), rnd.randrange(256), rnd.choice(["true", "false"]),
                    ", ".join(str(rnd.randrange(1, 4095)) for _ in range(3)), rnd.randrange(100)))
        text = "".join(parts)
        out.append(text)
        length += len(text)
        i += 1
    return "".join(out)


TESTBEDS = {"885 KB": make_testbed(885_000), "5 MB": make_testbed()}


def count_nodes(node, seen=None):
    seen = set() if seen is None else seen
    if id(node) in seen:
        return 0
    seen.add(id(node))
    if isinstance(node, yaml.MappingNode):
        return 1 + sum(count_nodes(k, seen) + count_nodes(v, seen) for k, v in node.value)
    if isinstance(node, yaml.SequenceNode):
        return 1 + sum(count_nodes(v, seen) for v in node.value)
    return 1


NODES = {name: count_nodes(yaml.compose(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader)))
         for name, text in TESTBEDS.items()}


def with_locations(text):
    locs = {}
    data = yaml.load(text, Loader=lambda stream: LocSafeLoader(stream, locations=locs))
    return data, locs


def without_locations(text):
    return yaml.load(text, Loader=LocSafeLoader)


def csafeloader(text):
    loader = getattr(yaml, "CSafeLoader", None)
    if loader is None:
        pytest.skip("PyYAML without libyaml")
    return yaml.load(text, Loader=loader)


def safeloader(text):
    return yaml.load(text, Loader=yaml.SafeLoader)


def ruamel_roundtrip(text):
    ruamel_yaml = pytest.importorskip("ruamel.yaml")
    data = ruamel_yaml.YAML(typ="rt").load(text)
    assert data["devices"]["r00001"].lc.line > 0
    return data


CONTENDERS = {
    "ovark_locsafeloader_with_locations": (with_locations, 5),
    "ovark_locsafeloader_without_locations": (without_locations, 5),
    "csafeloader": (csafeloader, 5),
    "safeloader": (safeloader, 1),
    "ruamel_roundtrip": (ruamel_roundtrip, 1),
}


def collector_off(func):
    def run(text):
        was = gc.isenabled()
        gc.disable()
        try:
            return func(text)
        finally:
            if was:
                gc.enable()
    return run


def check(name, text, result):
    if name.startswith("ovark"):
        data = result[0] if name.endswith("with_locations") else result
        assert data == yaml.load(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
        if name.endswith("with_locations"):
            assert str(result[1]["devices"]["r00001"]["interfaces"][0]).startswith(" line:")


@pytest.mark.parametrize("collector", ["collector on", "collector off"])
@pytest.mark.parametrize("testbed", list(TESTBEDS))
@pytest.mark.parametrize("name", list(CONTENDERS))
def test_load(benchmark, name, testbed, collector):
    func, rounds = CONTENDERS[name]
    if name.startswith("ovark") and locations.CParser is None:
        pytest.skip("PyYAML without libyaml: the pure-Python path is measured by safeloader")
    if name in ("safeloader", "ruamel_roundtrip") and testbed == "5 MB" and collector == "collector on":
        pytest.skip("minutes per round; measured on the 885 KB testbed and with the collector off")
    text = TESTBEDS[testbed]
    if collector == "collector off":
        func = collector_off(func)
    benchmark.group = "load {} testbed, {}".format(testbed, collector)
    benchmark.name = name
    benchmark.extra_info["nodes"] = NODES[testbed]
    def setup():
        gc.collect()
        return (text,), {}

    result = benchmark.pedantic(func, setup=setup, rounds=rounds, warmup_rounds=0)
    check(name, text, result)


@pytest.mark.parametrize("testbed", list(TESTBEDS))
@pytest.mark.parametrize("name", [n for n in CONTENDERS if n != "ruamel_roundtrip"])
def test_peak_memory(benchmark, name, testbed):
    func, _ = CONTENDERS[name]
    if name.startswith("ovark") and locations.CParser is None:
        pytest.skip("PyYAML without libyaml")
    text = TESTBEDS[testbed]
    peaks = []

    def traced():
        gc.collect()
        tracemalloc.start()
        try:
            result = func(text)
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
        return result

    benchmark.group = "peak memory, {} testbed".format(testbed)
    benchmark.name = name
    result = benchmark.pedantic(traced, rounds=1, warmup_rounds=0)
    benchmark.extra_info["peak_bytes"] = max(peaks)
    check(name, text, result)
