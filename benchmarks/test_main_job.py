"""The main job end to end: layer three testbed files, resolve their markup and
write the result, each contender in a fresh process.

The testbed is generated (seeded): a base of about 5.5 MB with 2,000 `%{...}`
references and 500 `%ENV{...}` values, a lab file that overrides 10% of the
base's leaves and extends one device's interface list (`%EXTEND_LIST{...}`),
and a small override. Contenders, side by side in one run:

- "ovark --locations": `ovark yaml base lab override --extend-lists --resolve
  --locations -o out.yaml` (the reference);
- "ovark": the same without `--locations`;
- "omegaconf": OmegaConf loads each file, merges them and writes
  `to_yaml(resolve=True)` (references as `${a.b}`, environment variables as
  `${oc.env:X}`; the lab's interface list replaces instead of extending);
  skipped when omegaconf is not installed;
- "csafeloader", the floor: three `yaml.CSafeLoader` loads, `recursive_update`
  and one `yaml.CSafeDumper` dump, without markup or locations.

Each round is one process; the time is its wall-clock time (interpreter start
included, as a user meets it) and its peak memory the process's own maximum
resident set (`os.wait4`). The table of ratios is conftest's; a second table
gives each contender's time by step (load, merge, resolve, write), measured
in one more process each. OVARK_MAIN_JOB_MB sets the base's size in MB (default
5.5) and OVARK_MAIN_JOB_ROUNDS the rounds (default 3).
"""

import json
import os
import random
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest
import yaml

SIZE = float(os.environ.get("OVARK_MAIN_JOB_MB", "5.5")) * 1e6
ROUNDS = int(os.environ.get("OVARK_MAIN_JOB_ROUNDS", "3"))
# 2,000 references and 500 environment variables in a 5.5 MB base, as many per MB in another
REFERENCES, ENVIRONMENT = round(2000 * SIZE / 5.5e6), round(500 * SIZE / 5.5e6)
ENV = {"LAB_USER": "admin", "LAB_SITE": "paris-2"}

Dumper = getattr(yaml, "CSafeDumper", yaml.SafeDumper)


def make_layers(size=SIZE, seed=18):
    """(base, lab, override) as Python data, markup in the ovark syntax."""
    rnd = random.Random(seed)
    devices = {}
    length = i = 0
    while length < size:
        name = "r{:05d}".format(i)
        device = {
            "os": rnd.choice(["iosxr", "iosxe", "nxos", "junos", "linux"]),
            "type": rnd.choice(["router", "switch", "server", "firewall"]),
            "platform": "asr{}".format(rnd.randrange(900, 9999)),
            "serial": "FOC{:08X}".format(rnd.getrandbits(32)),
            "location": {
                "site": "dc{}".format(rnd.randrange(8)),
                "rack": rnd.randrange(1, 60),
                "unit": rnd.randrange(1, 42),
            },
            "connections": {
                "cli": {
                    "protocol": rnd.choice(["ssh", "telnet"]),
                    "ip": "10.{}.{}.{}".format(rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)),
                    "port": rnd.randrange(2000, 3000),
                },
                "mgmt": {"ip": "172.16.{}.{}".format(rnd.randrange(256), rnd.randrange(256)), "vrf": "mgmt"},
            },
            "credentials": {"user": "lab", "timeout": rnd.randrange(10, 120)},
            "interfaces": [
                {
                    "name": "GigabitEthernet0/0/0/{}".format(j),
                    "ipv4": "192.168.{}.{}/24".format(rnd.randrange(256), rnd.randrange(256)),
                    "enabled": rnd.random() < 0.8,
                    "mtu": rnd.choice([1500, 9000, 9216]),
                    "vlans": [rnd.randrange(1, 4095) for _ in range(3)],
                    "description": "uplink to core switch {}".format(rnd.randrange(100)),
                }
                for j in range(rnd.randrange(2, 6))
            ],
            "bgp": {
                "asn": rnd.randrange(64512, 65535),
                "router_id": "1.1.{}.{}".format(rnd.randrange(256), rnd.randrange(256)),
                "enabled": rnd.random() < 0.5,
                "weight": rnd.random(),
            },
        }
        devices[name] = device
        length += 640 + 160 * len(device["interfaces"])
        i += 1
    names = list(devices)
    for name in rnd.sample(names, REFERENCES):
        other = rnd.choice(names)
        if rnd.random() < 0.5:
            devices[name]["peer_os"] = "%{{devices.{}.os}}".format(other)
        else:
            devices[name]["uplink"] = (
                "to %{{devices.{}.connections.cli.ip}} port %{{devices.{}.connections.cli.port}}".format(other, other)
            )
    for name in rnd.sample(names, ENVIRONMENT):
        devices[name]["credentials"]["user"] = rnd.choice(["%ENV{LAB_USER}", "%ENV{LAB_USER}@%ENV{LAB_SITE}"])
    base = {"testbed": {"name": "core-lab", "site": "%ENV{LAB_SITE}", "timeout": 600}, "devices": devices}

    def leaves(tree, path=()):
        for key, value in tree.items():
            if isinstance(value, dict):
                yield from leaves(value, path + (key,))
            elif not isinstance(value, list) and not (isinstance(value, str) and "%" in value):
                yield path + (key,), value

    lab = {}
    every = list(leaves(base))
    for path, value in rnd.sample(every, len(every) // 10):
        node = lab
        for key in path[:-1]:
            node = node.setdefault(key, {})
        if isinstance(value, bool):
            value = not value
        elif isinstance(value, (int, float)):
            value = value + 1
        else:
            value = "{}-lab".format(value)
        node[path[-1]] = value
    extended = lab["devices"].setdefault(names[7], {})
    extended["%EXTEND_LIST{interfaces}"] = [{"name": "Loopback0", "ipv4": "10.255.0.7/32", "enabled": True}]
    override = {
        "testbed": {"timeout": 300, "run": "%ENV{LAB_USER}-run"},
        "devices": {names[1]: {"os": "iosxe", "credentials": {"timeout": 5}}},
    }
    return base, lab, override


def to_omegaconf(text):
    text = text.replace("%ENV{", "${oc.env:").replace("%{", "${")
    return text.replace("'%EXTEND_LIST{interfaces}':", "interfaces:")


def write_testbed(folder):
    files = {}
    for name, data in zip(("base", "lab", "override"), make_layers()):
        text = yaml.dump(data, Dumper=Dumper, default_flow_style=False, sort_keys=False)
        for dialect, content in (("ovark", text), ("omegaconf", to_omegaconf(text))):
            path = folder / "{}-{}.yaml".format(dialect, name)
            path.write_text(content)
            files[dialect, name] = str(path)
    return files


# What each contender's process runs, by step; it writes its step times as
# JSON to the file named by its first argument.
STEPS = {
    "ovark": """
        import ovark.cli as cli
        from ovark.utils.locations import recursive_location_update
        data, locations = cli.load_file(files[0])
        layers = [cli.load_file(path) for path in files[1:]]
        lap("load")
        for new, new_locations in layers:
            recursive_location_update(data, new, locations, new_locations, list_extend=True)
        lap("merge")
        data = cli.resolve(data, locations, files)
        lap("resolve")
        with open(out, "w", encoding="utf-8") as stream:
            if with_locations:
                cli.dump_with_locations(data, locations, stream)
            else:
                import gc
                from ovark.utils.yaml import dumper
                fast = dumper._OrderedCSafeDumper is not None and dumper._fits_libyaml(data)
                gc.disable()  # as the command does
                yaml.dump(data, stream, Dumper=dumper._OrderedCSafeDumper if fast else dumper.OrderedSafeDumper,
                          default_flow_style=False, sort_keys=False, allow_unicode=True)
                gc.enable()
        lap("write")
    """,
    "omegaconf": """
        from omegaconf import OmegaConf
        layers = [OmegaConf.load(path) for path in files]
        lap("load")
        merged = OmegaConf.merge(*layers)
        lap("merge")
        text = OmegaConf.to_yaml(merged, resolve=True)
        lap("resolve")  # resolving and writing the text are one call
        with open(out, "w", encoding="utf-8") as stream:
            stream.write(text)
        lap("write")
    """,
    "csafeloader": """
        from ovark.utils.dicts import recursive_update
        layers = []
        for path in files:
            with open(path, encoding="utf-8") as stream:
                layers.append(yaml.load(stream, Loader=yaml.CSafeLoader))
        lap("load")
        data = layers[0]
        for layer in layers[1:]:
            recursive_update(data, layer, list_extend=True)
        lap("merge")
        with open(out, "w", encoding="utf-8") as stream:
            yaml.dump(data, stream, Dumper=yaml.CSafeDumper, default_flow_style=False, sort_keys=False,
                      allow_unicode=True)
        lap("write")
    """,
}

PRELUDE = """
import json, sys, time
import yaml
times, start = {}, time.perf_counter()
def lap(step):
    global start
    now = time.perf_counter()
    times[step] = now - start
    start = now
result, out, with_locations, files = sys.argv[1], sys.argv[2], sys.argv[3] == "1", sys.argv[4:]
"""

EPILOGUE = """
with open(result, "w") as stream:
    json.dump(times, stream)
"""

CONTENDERS = {
    "ovark --locations": ("ovark", True),
    "ovark": ("ovark", False),
    "omegaconf": ("omegaconf", False),
    "csafeloader": ("csafeloader", False),
}


@pytest.fixture(scope="module")
def testbed(tmp_path_factory):
    folder = tmp_path_factory.mktemp("main-job")
    files = write_testbed(folder)
    conf = folder / "ovark.conf"
    conf.write_text("")
    for kind, code in STEPS.items():
        (folder / ("steps_" + kind + ".py")).write_text(PRELUDE + textwrap.dedent(code) + EPILOGUE)
    # OmegaConf 2.4 caps the nodes a load may make; the testbed is trusted input
    env = dict(os.environ, OVARK_CONF=str(conf), OMEGACONF_MAX_YAML_EXPANDED_NODES="none", **ENV)
    return folder, files, env


@pytest.fixture(scope="module")
def split_table(request):
    rows = []
    yield rows
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    if reporter and capture and rows:
        with capture.global_and_fixture_disabled():
            write_steps(reporter, rows)


def write_steps(reporter, rows):
    reporter.write_line("")
    reporter.write_line("main job by step (seconds, one process each)")
    reporter.write_line(
        "    {:20s} {:>8s} {:>8s} {:>8s} {:>8s} {:>8s}".format(
            "contender", "load", "merge", "resolve", "write", "total"
        )
    )
    for name, times in rows:
        reporter.write_line(
            "    {:20s} {}   {:8.3f}".format(
                name,
                " ".join(
                    "{:8.3f}".format(times[step]) if step in times else "{:>8s}".format("-")
                    for step in ("load", "merge", "resolve", "write")
                ),
                sum(times.values()),
            )
        )


def run(command, env):
    """(seconds, peak resident bytes) of one process."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        assert process.returncode == 0, errors.read().decode(errors="replace")
    return seconds, usage.ru_maxrss * 1024


@pytest.mark.parametrize("name", list(CONTENDERS))
def test_main_job(benchmark, name, testbed, split_table):
    kind, with_locations = CONTENDERS[name]
    if kind == "omegaconf":
        pytest.importorskip("omegaconf")
    if not getattr(yaml, "__with_libyaml__", False):
        pytest.skip("PyYAML without libyaml")
    folder, files, env = testbed
    dialect = "omegaconf" if kind == "omegaconf" else "ovark"
    paths = [files[dialect, layer] for layer in ("base", "lab", "override")]
    out = str(folder / (name.replace(" ", "").replace("-", "_") + ".out.yaml"))
    steps = [
        sys.executable,
        str(folder / ("steps_" + kind + ".py")),
        str(folder / "times.json"),
        out,
        "1" if with_locations else "0",
        *paths,
    ]
    if kind == "ovark":
        command = [sys.executable, "-m", "ovark", "yaml", *paths, "--extend-lists", "--resolve", "-o", out]
        if with_locations:
            command.insert(-2, "--locations")
    else:
        command = steps
    peaks = []

    def once():
        seconds, peak = run(command, env)
        peaks.append(peak)
        return seconds

    benchmark.group = "main job: {:.1f} MB base, three layers".format(SIZE / 1e6)
    benchmark.name = name
    benchmark.pedantic(once, rounds=ROUNDS, warmup_rounds=0)
    benchmark.extra_info["peak_bytes"] = sorted(peaks)[len(peaks) // 2]
    run(steps, env)
    with open(folder / "times.json") as stream:
        times = json.load(stream)
    benchmark.extra_info["steps"] = times
    split_table.append((name, times))
