"""Loading a 5 MB testbed with locations: LocSafeLoader against the YAML
loaders a user could pick instead (libyaml's CSafeLoader and the pure-Python
SafeLoader, neither keeping locations; ruamel.yaml's round-trip loader, which
keeps line and column)."""

import random

import pytest
import yaml

from ovark.utils import locations
from ovark.utils.locations import LocSafeLoader

GROUP = "load 5 MB testbed"


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


TEXT = make_testbed()


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


NODES = count_nodes(yaml.compose(TEXT, Loader=yaml.CSafeLoader))


def load_with_locations():
    locs = {}
    data = yaml.load(TEXT, Loader=lambda stream: LocSafeLoader(stream, locations=locs))
    return data, locs


def test_ovark_locsafeloader_with_locations(benchmark):
    if locations.CParser is None:
        pytest.skip("PyYAML without libyaml: the pure-Python path is measured by test_safeloader")
    benchmark.group = GROUP
    benchmark.extra_info["nodes"] = NODES
    loader = LocSafeLoader(TEXT, locations={})
    assert type(loader.get_single_node().start_mark) is yaml._yaml.Mark  # libyaml supplies the nodes
    data, locs = benchmark.pedantic(load_with_locations, rounds=5, warmup_rounds=1)
    assert data == yaml.load(TEXT, Loader=yaml.CSafeLoader)
    assert str(locs["devices"]["r00001"]["interfaces"][0]).startswith(" line:")


def test_csafeloader_without_locations(benchmark):
    loader = getattr(yaml, "CSafeLoader", None)
    if loader is None:
        pytest.skip("PyYAML without libyaml")
    benchmark.group = GROUP
    benchmark.extra_info["nodes"] = NODES
    benchmark.pedantic(yaml.load, args=(TEXT,), kwargs={"Loader": loader}, rounds=5, warmup_rounds=1)


def test_safeloader_without_locations(benchmark):
    benchmark.group = GROUP
    benchmark.extra_info["nodes"] = NODES
    benchmark.pedantic(yaml.load, args=(TEXT,), kwargs={"Loader": yaml.SafeLoader}, rounds=1)


def test_ruamel_roundtrip_with_line_and_column(benchmark):
    ruamel_yaml = pytest.importorskip("ruamel.yaml")
    benchmark.group = GROUP
    benchmark.extra_info["nodes"] = NODES
    data = benchmark.pedantic(lambda: ruamel_yaml.YAML(typ="rt").load(TEXT), rounds=1)
    assert data["devices"]["r00001"].lc.line > 0
