"""Loading a testbed with locations: LocSafeLoader (with and without a location
tree; on its event path, and on libyaml's nodes as before it) against the YAML
loaders a user could pick instead (libyaml's CSafeLoader and the pure-Python
SafeLoader, neither keeping locations; ruamel.yaml's round-trip loader, which
keeps line and column; yaml-rs, a Rust loader, the fastest peer) and, as the
floor, orjson.loads of the same data as JSON (the cost of making the objects).

Three testbeds, side by side in one run: 885 KB (the size of a lab's testbed),
5 MB and 20 MB. Times are taken twice: with the collector as a user leaves it
(enabled) and with it off for every contender (the loaders' own work). Two
more groups measure memory: the peak of traced memory (tracemalloc) of one
load, and the peak resident memory a load adds to a fresh child process (its
"peak" column, relative to ovark's event path with locations).

    pip install '.[bench]' && python -m pytest benchmarks/test_locations.py --benchmark-only
"""

import functools
import gc
import json
import os
import random
import subprocess
import sys
import tracemalloc

import pytest
import yaml

from ovark.utils import locations
from ovark.utils.locations import LocSafeLoader


def make_testbed(size=5 << 20, seed=3):
    rnd = random.Random(seed)
    out = [
        "testbed:\n  name: lab-7\n  owner: qa-team\n  defaults: &defaults\n"
        "    timeout: 30\n    retries: 3\n    protocol: ssh\n",
        "devices:\n",
    ]
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
                rnd.randrange(256), rnd.randrange(256), rnd.randrange(256), rnd.randrange(2000, 3000)
            ),
            "    credentials: {{user: admin, password: \"secret{}\"}}\n".format(i),
            "    interfaces:\n",
        ]
        for j in range(rnd.randrange(2, 6)):
            parts.append(
                "      - name: GigabitEthernet0/0/0/{}\n        ipv4: 192.168.{}.{}/24\n        enabled: {}\n"
                "        vlans: [{}]\n        description: >\n          uplink to core\n          switch {}\n".format(
                    j,
                    rnd.randrange(256),
                    rnd.randrange(256),
                    rnd.choice(["true", "false"]),
                    ", ".join(str(rnd.randrange(1, 4095)) for _ in range(3)),
                    rnd.randrange(100),
                )
            )
        text = "".join(parts)
        out.append(text)
        length += len(text)
        i += 1
    return "".join(out)


SIZES = {"885 KB": 885_000, "5 MB": 5 << 20, "20 MB": 20 << 20}


@functools.lru_cache(maxsize=None)
def testbed(name):
    return make_testbed(SIZES[name])


@functools.lru_cache(maxsize=None)
def reference(name):
    return yaml.load(testbed(name), Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))


@functools.lru_cache(maxsize=None)
def as_json(name):
    return json.dumps(reference(name)).encode()


@functools.lru_cache(maxsize=None)
def nodes(name):
    """Nodes of the testbed (aliased ones once): what a loader walks."""
    seen, count, stack = set(), 0, [yaml.compose(testbed(name), Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        count += 1
        if isinstance(node, yaml.MappingNode):
            stack.extend(x for pair in node.value for x in pair)
        elif isinstance(node, yaml.SequenceNode):
            stack.extend(node.value)
    return count


def with_locations(text):
    locs = {}
    data = yaml.load(text, Loader=lambda stream: LocSafeLoader(stream, locations=locs))
    return data, locs


def without_locations(text):
    return yaml.load(text, Loader=LocSafeLoader)


def node_path(func):
    """The loader on libyaml's nodes: the event path switched off."""

    def run(text):
        saved = locations._fast_path
        locations._fast_path = False
        try:
            return func(text)
        finally:
            locations._fast_path = saved

    return run


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


def yaml_rs(text):
    return pytest.importorskip("yaml_rs").loads(text)


def orjson_floor(data):
    return pytest.importorskip("orjson").loads(data)


# name: (function, rounds, input: "yaml" text or "json" bytes, largest testbed it runs on)
CONTENDERS = {
    "ovark_locsafeloader_with_locations": (with_locations, 5, "yaml", "20 MB"),
    "ovark_locsafeloader_without_locations": (without_locations, 5, "yaml", "20 MB"),
    "ovark_node_path_with_locations": (node_path(with_locations), 3, "yaml", "5 MB"),
    "csafeloader": (csafeloader, 3, "yaml", "5 MB"),
    "yaml_rs": (yaml_rs, 5, "yaml", "20 MB"),
    "orjson_floor": (orjson_floor, 5, "json", "20 MB"),
    "safeloader": (safeloader, 1, "yaml", "885 KB"),
    "ruamel_roundtrip": (ruamel_roundtrip, 1, "yaml", "885 KB"),
}
ORDER = list(SIZES)


def runs_on(name, testbed_name):
    return ORDER.index(testbed_name) <= ORDER.index(CONTENDERS[name][3])


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


def check(name, testbed_name, result):
    if name.startswith("ovark"):
        data = result[0] if name.endswith("with_locations") else result
        assert data == reference(testbed_name)
        if name.endswith("with_locations"):
            assert str(result[1]["devices"]["r00001"]["interfaces"][0]).startswith(" line:")


@pytest.mark.parametrize("collector", ["collector on", "collector off"])
@pytest.mark.parametrize("testbed_name", list(SIZES))
@pytest.mark.parametrize("name", list(CONTENDERS))
def test_load(benchmark, name, testbed_name, collector):
    func, rounds, kind, _ = CONTENDERS[name]
    if name.startswith("ovark") and locations.CParser is None:
        pytest.skip("PyYAML without libyaml: the pure-Python path is measured by safeloader")
    if not runs_on(name, testbed_name):
        pytest.skip("minutes per round; measured on the smaller testbeds")
    arg = as_json(testbed_name) if kind == "json" else testbed(testbed_name)
    if collector == "collector off":
        func = collector_off(func)
    benchmark.group = "load {} testbed, {}".format(testbed_name, collector)
    benchmark.name = name
    benchmark.extra_info["nodes"] = nodes(testbed_name)

    def setup():
        gc.collect()
        return (arg,), {}

    before = locations._fast_loads
    result = benchmark.pedantic(func, setup=setup, rounds=rounds, warmup_rounds=0)
    check(name, testbed_name, result)
    if name in ("ovark_locsafeloader_with_locations", "ovark_locsafeloader_without_locations"):
        assert locations._fast_loads == before + rounds  # every round on the event path


@pytest.mark.parametrize("testbed_name", ["885 KB", "5 MB"])
@pytest.mark.parametrize("name", [n for n in CONTENDERS if n not in ("ruamel_roundtrip", "yaml_rs")])
def test_peak_memory(benchmark, name, testbed_name):
    func, _, kind, _ = CONTENDERS[name]
    if name.startswith("ovark") and locations.CParser is None:
        pytest.skip("PyYAML without libyaml")
    if not runs_on(name, testbed_name):
        pytest.skip("minutes per round")
    arg = as_json(testbed_name) if kind == "json" else testbed(testbed_name)
    peaks = []

    def traced():
        gc.collect()
        tracemalloc.start()
        try:
            result = func(arg)
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
        return result

    benchmark.group = "peak memory, {} testbed".format(testbed_name)
    benchmark.name = name
    result = benchmark.pedantic(traced, rounds=1, warmup_rounds=0)
    benchmark.extra_info["peak_bytes"] = max(peaks)
    check(name, testbed_name, result)


CHILD = r"""
import gc, sys, time
import yaml
from ovark.utils import locations
name, path = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
if name.endswith("_yaml"):
    data = data.decode()
if name == "orjson":
    import orjson
elif name == "yaml_rs_yaml":
    import yaml_rs
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from the present resident size
before = status("VmRSS:")
start = time.perf_counter()
if name == "ovark_yaml":
    locs = {}
    result = yaml.load(data, Loader=lambda s: locations.LocSafeLoader(s, locations=locs))
    assert locations._fast_loads == 1
elif name == "ovark_nodes_yaml":
    locations._fast_path = False
    locs = {}
    result = yaml.load(data, Loader=lambda s: locations.LocSafeLoader(s, locations=locs))
elif name == "csafeloader_yaml":
    result = yaml.load(data, Loader=yaml.CSafeLoader)
elif name == "yaml_rs_yaml":
    result = yaml_rs.loads(data)
else:
    result = orjson.loads(data)
elapsed = time.perf_counter() - start
print(status("VmHWM:") - before, elapsed)
"""

RSS_CONTENDERS = {
    "ovark_locsafeloader_with_locations": "ovark_yaml",
    "ovark_node_path_with_locations": "ovark_nodes_yaml",
    "csafeloader": "csafeloader_yaml",
    "yaml_rs": "yaml_rs_yaml",
    "orjson_floor": "orjson",
}


@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="the peak resident size is reset through /proc")
@pytest.mark.parametrize("testbed_name", list(SIZES))
@pytest.mark.parametrize("name", list(RSS_CONTENDERS))
def test_peak_rss(benchmark, name, testbed_name, tmp_path_factory):
    """Peak resident memory one load adds to a fresh process (time: the whole child)."""
    if name.startswith("ovark") and locations.CParser is None:
        pytest.skip("PyYAML without libyaml")
    if name == "ovark_node_path_with_locations" and testbed_name == "20 MB":
        pytest.skip("minutes per round")
    if name == "yaml_rs":
        pytest.importorskip("yaml_rs")
    if name == "orjson_floor":
        pytest.importorskip("orjson")
    folder = tmp_path_factory.getbasetemp()
    path = folder / "{}.{}".format(testbed_name.replace(" ", ""), "json" if name == "orjson_floor" else "yaml")
    if not path.exists():
        path.write_bytes(as_json(testbed_name) if name == "orjson_floor" else testbed(testbed_name).encode())
    growth = []

    def child():
        out = subprocess.run(
            [sys.executable, "-c", CHILD, RSS_CONTENDERS[name], str(path)],
            check=True,
            capture_output=True,
            text=True,
            env=dict(os.environ, PYTHONHASHSEED="0"),
        ).stdout
        kilobytes, seconds = out.split()
        growth.append(int(kilobytes) * 1024)
        return float(seconds)

    benchmark.group = "peak RSS growth, {} testbed (child process)".format(testbed_name)
    benchmark.name = name
    benchmark.pedantic(child, rounds=1, warmup_rounds=0)
    benchmark.extra_info["peak_bytes"] = max(growth)
