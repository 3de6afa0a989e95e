"""ovark.utils.yaml.dumper: OrderedSafeDumper writes OrderedDicts in their order."""

import inspect
import re
from collections import OrderedDict

import pytest
import yaml
from conftest import assert_no_leak

from ovark.utils.yaml import dumper
from ovark.utils.yaml.dumper import OrderedSafeDumper


def test_class_surface():
    assert OrderedSafeDumper.__bases__ == (yaml.SafeDumper,)
    assert OrderedSafeDumper.__doc__ == "Order safe dumper"
    assert OrderedSafeDumper.__module__ == "ovark.utils.yaml.dumper"
    assert dumper.SafeDumper is yaml.SafeDumper and dumper.OrderedDict is OrderedDict
    assert isinstance(inspect.getattr_static(OrderedSafeDumper, "ordereddict_representer"), staticmethod)
    assert str(inspect.signature(OrderedSafeDumper.ordereddict_representer)) == "(dumper, data)"


def test_registered_on_this_class_only():
    assert OrderedSafeDumper.yaml_representers[OrderedDict] is OrderedSafeDumper.ordereddict_representer
    for other in (yaml.SafeDumper, yaml.Dumper, yaml.BaseDumper):
        assert other.yaml_representers.get(OrderedDict) is not OrderedSafeDumper.ordereddict_representer
    with pytest.raises(yaml.representer.RepresenterError):
        yaml.dump(OrderedDict(a=1), Dumper=yaml.SafeDumper)


@pytest.mark.parametrize(
    "data, text",
    [
        (OrderedDict([("b", 1), ("a", 2)]), "b: 1\na: 2\n"),
        ([OrderedDict([("z", 1), ("y", OrderedDict([("q", 1), ("p", 2)]))])], "- z: 1\n  y:\n    q: 1\n    p: 2\n"),
        (
            {"k": OrderedDict([("b", 1), ("a", 2)]), "a": 0},
            "a: 0\nk:\n  b: 1\n  a: 2\n",
        ),  # plain dicts: SafeDumper's rule
        (OrderedDict(), "{}\n"),
    ],
)
def test_dump_keeps_order(data, text):
    out = yaml.dump(data, Dumper=OrderedSafeDumper, default_flow_style=False)
    assert out == text
    assert "!!python" not in out and "tag:" not in out
    assert yaml.safe_load(out) == data


def test_representer_called_directly():
    d = OrderedSafeDumper(None)
    node = OrderedSafeDumper.ordereddict_representer(d, OrderedDict([("b", 1), ("a", 2)]))
    assert node.tag == "tag:yaml.org,2002:map"
    assert [k.value for k, _ in node.value] == ["b", "a"]
    node = d.ordereddict_representer(d, OrderedDict(x=1))  # no binding through an instance
    assert [k.value for k, _ in node.value] == ["x"]


@pytest.mark.slow
def test_no_reference_leaks():
    data = [OrderedDict([("b", 1), ("a", [OrderedDict(c=2)])])]
    assert_no_leak(lambda: yaml.dump(data, Dumper=OrderedSafeDumper), calls=2000)


# ---------------------------------------------------------------------------
# The writers of `ovark yaml`: the one with location comments against the
# interpreter writer it replaces (kept here as the reference), and libyaml's
# emitter against PyYAML's where the command picks libyaml.
# ---------------------------------------------------------------------------

import datetime
import gc
import io
import pathlib
from collections.abc import Mapping
from datetime import timedelta, timezone

from conftest import Table
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ovark import cli
from ovark.utils.locations import Location, LocSafeLoader

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def reference_dump_with_locations(data, locations, stream):
    """The command's writer as it was written in the interpreter, one
    yaml.dump per key and per scalar and one search from the root per value."""

    def comment(path, value):
        record, markup = cli.locate(locations, path, value)
        where = cli._place(record)
        if where is None:
            return ""
        if markup is not None and markup != value:
            return "  # {} from {}".format(where, markup)
        return "  # " + where

    def lines(node, path, indent):
        pad = " " * indent
        if isinstance(node, Mapping):
            for key, value in node.items():
                key_text = cli._scalar(key, OrderedSafeDumper)
                if isinstance(value, (Mapping, list)) and value:
                    yield "{}{}:{}".format(pad, key_text, comment(path + [key], value))
                    yield from lines(value, path + [key], indent + 2)
                else:
                    yield "{}{}: {}{}".format(
                        pad, key_text, cli._scalar(value, OrderedSafeDumper), comment(path + [key], value)
                    )
        else:
            for position, value in enumerate(node):
                if isinstance(value, (Mapping, list)) and value:
                    inner = list(lines(value, path + [position], indent + 2))
                    inner[0] = pad + "- " + inner[0][indent + 2 :]
                    yield from inner
                else:
                    yield "{}- {}{}".format(
                        pad, cli._scalar(value, OrderedSafeDumper), comment(path + [position], value)
                    )

    if isinstance(data, (Mapping, list)) and data:
        for line in lines(data, [], 0):
            stream.write(line + "\n")
    else:
        stream.write(cli._scalar(data, OrderedSafeDumper) + comment([], data) + "\n")


def both_writers(data, locations):
    """(text, error) of the command's writer and of the reference."""
    results = []
    for write in (cli.dump_with_locations, reference_dump_with_locations):
        stream = io.StringIO()
        try:
            write(data, locations, stream)
            error = None
        except Exception as exc:  # the same failure, after the same lines
            error = (type(exc), str(exc))
        results.append((stream.getvalue(), error))
    return results


# Texts as PyYAML must weigh them: indicators, quotes, breaks of every kind,
# controls, non-printable and non-BMP characters, and texts that resolve to
# other types when plain.
SPECIAL = list(
    " -?:,[]{}#&*!|>'\"%@`\\=~<.+_0123456789eEaxbTZnNyYoO\t\r\n\x00\x07\x1b\x7f\x85\xa0\u2028\u2029"
    "\ufeff\ud800\udfff\ue000\ufffd\ufffe\U0001f600\U0010fffe\U0010ffff"
) + ["é", "中", "---", "...", ": ", " #"]
RESOLVING = (
    "[-+]?(0|[1-9][0-9_]*|0[0-7_]+|0x[0-9a-fA-F_]+|0b[01_]+)(:[0-5]?[0-9])*(\\.[0-9_]*([eE][-+][0-9]+)?)?"
    "|[-+]?\\.(inf|Inf|INF|nan|NaN|NAN|[0-9]+)"
    "|[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}([Tt]|[ \\t]+)[0-9]{1,2}:[0-9]{2}:[0-9]{2}(\\.[0-9]*)?([ \\t]*(Z|[-+][0-9]{1,2}(:[0-9]{2})?))?"
    "|[0-9]{4}-[0-9]{2}-[0-9]{2}|yes|No|TRUE|off|On|null|Null|NULL|~|<<|=|!|&|\\*"
)
texts = st.one_of(
    st.lists(st.sampled_from(SPECIAL), max_size=12).map("".join),
    st.text(max_size=20),
    st.from_regex(RESOLVING, fullmatch=True).flatmap(
        lambda s: st.sampled_from([s, s + "x", " " + s, s[:-1] or "0", s + "\n"])
    ),
    st.text(st.sampled_from("ab c:#'\"é\n\x85\u2028"), min_size=60, max_size=300),
)
TIMEZONES = [None, timezone.utc, timezone(timedelta(hours=5, minutes=30)), timezone(-timedelta(seconds=61))]
scalars = st.one_of(
    texts,
    st.integers(),
    st.integers(min_value=2**63 - 2, max_value=2**200),
    st.floats(),
    st.sampled_from([0.0, -0.0, 1e16, 1e20, -1e-7, 5e-324, float("inf"), float("-inf")]),
    st.booleans(),
    st.none(),
    st.dates(),
    st.builds(lambda d, tz: d.replace(tzinfo=tz), st.datetimes(), st.sampled_from(TIMEZONES)),
    st.binary(max_size=8),
    st.sampled_from([{}, [], OrderedDict(), (), frozenset(), set()]),
    st.tuples(st.integers(), texts),
)
keys = st.one_of(
    texts, st.integers(), st.floats(allow_nan=False), st.booleans(), st.none(), st.dates(), st.tuples(st.integers())
)
trees = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.dictionaries(keys, children, max_size=4),
        st.dictionaries(keys, children, max_size=4).map(lambda d: OrderedDict(reversed(d.items()))),
        st.dictionaries(st.text(max_size=3), children, max_size=3).map(Table),
    ),
    max_leaves=25,
)


def record(draw):
    loc = Location()
    loc.file = draw(st.sampled_from(["base.yaml", "lab/ü.yaml", ""]))
    loc.line = draw(st.sampled_from([-1, 0, 4, 120]))
    loc.column = draw(st.sampled_from([0, 2, 17]))
    return loc


def locations_for(draw, value):
    """A location entry for `value` of every shape the loader, the merges and
    the markup processor leave: a record holding the value's own record, or a
    single markup record, or several, or none; children of containers, some of
    them missing, some in an included file's tree."""
    shape = draw(st.sampled_from(["record", "record", "markup", "two", "bare", "none", "other"]))
    if shape == "none":
        return None
    if shape == "other":
        return draw(st.sampled_from(["text", 3, {}]))
    node = record(draw)
    if isinstance(value, (Mapping, list)):
        children = value.items() if isinstance(value, Mapping) else enumerate(value)
        for key, child in children:
            entry = locations_for(draw, child)
            place = draw(st.sampled_from(["here", "here", "included", "deeper"]))
            if entry is None or place == "here":
                if entry is not None:
                    try:
                        node[key] = entry
                    except TypeError:
                        pass
                continue
            include = node.setdefault("%INCLUDE{devices.yaml}", {})
            if place == "deeper":
                include = include.setdefault("%INCLUDE{more.yaml}", {})
            try:
                include[key] = entry
            except TypeError:
                pass
        return node
    try:
        if shape == "record":
            node[value] = record(draw)
        elif shape == "markup":
            node[draw(st.sampled_from(["%ENV{USER}", "%{a.b} and more", "plain"]))] = record(draw)
        elif shape == "two":
            node["%{a}"] = record(draw)
            node["%{b}"] = record(draw)
    except TypeError:
        pass
    return node


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(trees, st.data())
def test_writer_matches_the_interpreter_writer(data, draw):
    if draw.draw(st.booleans()):
        locations = {}
        if isinstance(data, Mapping):
            for key, value in data.items():
                entry = locations_for(draw.draw, value)
                if entry is not None:
                    locations[key] = entry
    else:
        locations = locations_for(draw.draw, data) or {}
    ours, reference = both_writers(data, locations)
    assert ours == reference


@pytest.mark.parametrize(
    "value",
    [
        "",
        " lead",
        "trail ",
        "a: b",
        "- x",
        "? x",
        "#c",
        "x #c",
        "*a",
        "&a",
        "!t",
        "%p",
        "@a",
        "`b",
        "'q'",
        '"q"',
        "a\tb",
        "bell\x07",
        "nel\x85",
        "a\x85b",
        "\x85",
        "\u2028x",
        "a\u2029\u2028b",
        "\ufeff",
        "\ud800",
        "😀",
        "\U0010ffff",
        "two\nlines",
        "x" * 5000,
        "a " * 3000,
        "123",
        "0o17",
        "0x1F",
        "1_000",
        "1:20",
        "-.5",
        ".nan",
        "1e3",
        "2001-01-01",
        "2001-1-1 1:00:00 +5",
        "yes",
        "No",
        "~",
        "null",
        "<<",
        "=",
        "---",
        "...x",
        2**64,
        -(2**70),
        1.5,
        -0.0,
        1e16,
        float("nan"),
        float("-inf"),
        True,
        None,
        datetime.date(1, 2, 3),
        datetime.datetime(2001, 2, 3, 4, 5, 6, 7),
        datetime.datetime(2001, 2, 3, tzinfo=timezone(timedelta(seconds=1))),
        b"\x00bytes",
        (),
        (1, "a"),
        {1, 2},
        OrderedDict(),
        {},
    ],
)
def test_every_kind_of_scalar_as_key_value_and_item(value):
    tree = {"k": value, "l": [value, [value], {"x": value}], "m": {"n": [{"o": value}]}}
    try:
        tree[value] = 1
    except TypeError:
        pass
    locations = {"k": Location(), "l": Location()}
    locations["k"]["%ENV{X}"] = Location()
    ours, reference = both_writers(tree, locations)
    assert ours == reference
    assert ours[1] is None


@pytest.mark.parametrize(
    "tree",
    [
        {"a": 1, "b": object()},
        {"a": [1, {"b": 2, "c": [3, {"d": object()}]}], "e": 4},
        [{"a": 1}, [2, [3, object()]]],
        [{"a": 1}, [{}], {"b": Table({})}],
        [Table({"a": 1}), {"b": 2}, [3], Table({"c": object()})],
    ],
)
def test_a_failing_value_leaves_the_same_lines_written(tree):
    ours, reference = both_writers(tree, {"a": Location()})
    assert ours == reference
    assert ours[1] is not None


class Weird(Mapping):
    """A mapping whose length and items disagree."""

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 1


@pytest.mark.parametrize("tree", [[Weird()], {"a": [[Weird()]]}])
def test_a_container_that_writes_no_line_fails_as_before(tree):
    ours, reference = both_writers(tree, {})
    assert ours == reference
    assert ours[1][0] is IndexError


def test_deep_and_cyclic_trees_raise_recursion_error():
    deep = current = {}
    for _ in range(100000):
        current["a"] = current = {}
    cyclic = []
    cyclic.append(cyclic)
    for tree in (deep, cyclic):
        with pytest.raises(RecursionError):
            cli.dump_with_locations(tree, {}, io.StringIO())


def test_native_scalars_need_no_interpreter_dump():
    asked = []

    def scalar(value):
        asked.append(value)
        return cli._scalar(value, OrderedSafeDumper)

    tree = {
        "s": ["x", "", "a: b", "123", "\u2028", "tab\t"],
        1: 1.5,
        None: True,
        "d": datetime.date(2001, 2, 3),
        "e": [{}, [], OrderedDict()],
        "t": (1, 2),
        "big": 2**70,
    }
    dumper._dump_with_locations(tree, {}, io.StringIO().write, scalar, cli._place)
    assert asked == [(1, 2), 2**70]


@pytest.mark.parametrize("patch", ["representer", "resolver", "emitter", "yaml.dump"])
def test_a_changed_dumper_is_followed(monkeypatch, patch):
    """What the native writer stands in for, changed by a user, is honoured."""
    if patch == "representer":
        monkeypatch.setattr(
            OrderedSafeDumper,
            "yaml_representers",
            {
                **OrderedSafeDumper.yaml_representers,
                str: lambda dumper, data: dumper.represent_scalar("tag:yaml.org,2002:str", data, style='"'),
            },
        )
    elif patch == "resolver":
        resolvers = {k: list(v) for k, v in OrderedSafeDumper.yaml_implicit_resolvers.items()}
        resolvers.setdefault("x", []).append(("tag:example,2024:x", re.compile("^x")))
        monkeypatch.setattr(OrderedSafeDumper, "yaml_implicit_resolvers", resolvers)
    elif patch == "emitter":
        monkeypatch.setattr(OrderedSafeDumper, "choose_scalar_style", lambda self: '"', raising=False)
    else:
        original = yaml.dump
        monkeypatch.setattr(yaml, "dump", lambda *a, **k: original(*a, **dict(k, default_style="'")))
    tree = {"name": "xr1", "n": [1, "two", None], "x": {"y": "a b"}}
    ours, reference = both_writers(tree, {})
    assert ours == reference
    assert ("'xr1'" if patch in ("resolver", "yaml.dump") else '"xr1"') in ours[0]


def load_layered(paths, extend=True):
    data, locations = cli.load_layers([str(p) for p in paths], extend_lists=extend)
    return cli.resolve(data, locations, [str(p) for p in paths]), locations


def test_examples_written_as_before(monkeypatch, tmp_path):
    monkeypatch.setenv("OVARK_CONF", str(EXAMPLES / "ovark.conf"))
    monkeypatch.setenv("LAB_USER", "admin")
    monkeypatch.setenv("RUN_ID", "1")
    monkeypatch.setenv("USER", "tester")
    paths = [EXAMPLES / name for name in ("base.yaml", "lab.yaml", "override.yaml")]
    data, locations = load_layered(paths)
    reference = io.StringIO()
    reference_dump_with_locations(data, locations, reference)
    assert " from %ENV{LAB_USER}" in reference.getvalue() and "devices.yaml:" in reference.getvalue()
    plain = yaml.dump(data, Dumper=OrderedSafeDumper, default_flow_style=False, sort_keys=False, allow_unicode=True)
    for options, expected, collecting in (
        (["--locations"], reference.getvalue(), True),
        ([], plain, True),
        ([], plain, False),
    ):
        out = tmp_path / "out.yaml"
        (gc.enable if collecting else gc.disable)()
        try:
            assert cli.main(["yaml", *map(str, paths), "--extend-lists", "--resolve", *options, "-o", str(out)]) == 0
            assert gc.isenabled() is collecting  # the collector left as the caller set it
        finally:
            gc.enable()
        assert out.read_text(encoding="utf-8") == expected
    assert dumper._fits_libyaml(data) is (dumper._OrderedCSafeDumper is not None)


# libyaml's emitter where the command picks it.


def block(data, cls):
    return yaml.dump(data, Dumper=cls, default_flow_style=False, sort_keys=False, allow_unicode=True)


needs_libyaml = pytest.mark.skipif(dumper._OrderedCSafeDumper is None, reason="PyYAML without libyaml")


@needs_libyaml
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.one_of(
        trees,
        st.dictionaries(
            st.text(st.sampled_from("ab :#'é中"), min_size=110, max_size=135), trees, min_size=1, max_size=3
        ),
    ),
    st.booleans(),
)
def test_libyaml_writes_what_it_is_given_as_pyyaml_does(data, share):
    if share and isinstance(data, (dict, list)):
        shared = {"s": [datetime.date(2001, 2, 3)]}
        data = {"a": shared, "b": [shared, shared["s"][0]], "c": data}
    if not dumper._fits_libyaml(data):
        return
    assert block(data, dumper._OrderedCSafeDumper) == block(data, OrderedSafeDumper)


@needs_libyaml
@pytest.mark.parametrize(
    "text",
    [
        "a: b\nc: [1, 2.5, true, null, 2001-02-03]\n",
        "plain scalar root\n",
        "'': empty key\n",
        "{}\n",
        "k: 😀 non-BMP\n",
        "k: \"tab\\there\"\n",
        "k: \"" + "long double-quoted\\t " * 8 + "\"\n",
        *("? {}\n: a value long enough to be folded\n".format("x" * n) for n in (122, 123, 128, 129)),
        *("? {}\n: a value long enough to be folded\n".format("é" * n) for n in (63, 64, 65)),
        "k: |\n  two\n  lines\n",
        "a: &x 2001-02-03\nb: *x\nc: {*x : 1}\n",
        "a: &x [1]\nb: *x\n",
        "k: 2001-02-03 04:05:06+05:30\n",
        "k: " + " ".join(["word"] * 60) + "\n",
    ],
)
def test_the_command_writes_as_pyyaml_does(tmp_path, text):
    source = tmp_path / "in.yaml"
    source.write_text(text, encoding="utf-8")
    out = tmp_path / "out.yaml"
    assert cli.main(["yaml", str(source), "-o", str(out)]) == 0
    data = yaml.load(text, Loader=LocSafeLoader)
    assert out.read_text(encoding="utf-8") == block(data, OrderedSafeDumper)


@needs_libyaml
def test_a_changed_representer_keeps_pyyaml(monkeypatch):
    monkeypatch.setattr(OrderedSafeDumper, "yaml_representers", dict(OrderedSafeDumper.yaml_representers))
    assert dumper._fits_libyaml({"a": 1})
    OrderedSafeDumper.yaml_representers[int] = lambda d, v: d.represent_scalar("tag:yaml.org,2002:str", "x")
    assert not dumper._fits_libyaml({"a": 1})


@pytest.mark.slow
def test_writers_leak_nothing():
    tree = {"a": [1, "two", {"b": (3,), "c": 2**70}], "d": datetime.date(2001, 2, 3), "e": "x\ny"}
    locations = {"a": Location(), "d": Location()}
    locations["a"][0] = Location()
    locations["a"]["%INCLUDE{x}"] = {1: Location()}
    locations["d"]["%ENV{D}"] = Location()
    scalar = lambda value: cli._scalar(value, OrderedSafeDumper)
    assert_no_leak(
        lambda: dumper._dump_with_locations(tree, locations, io.StringIO().write, scalar, cli._place), calls=500
    )
    bad = {"a": [1, {"b": object()}]}

    def failing():
        with pytest.raises(yaml.representer.RepresenterError):
            dumper._dump_with_locations(bad, locations, io.StringIO().write, scalar, cli._place)

    assert_no_leak(failing, calls=500)
    assert_no_leak(lambda: dumper._fits_libyaml(tree), calls=5000)


class Counted(Table):
    """A location node that counts the lookups made in it."""

    lookups = 0

    def __getitem__(self, key):
        Counted.lookups += 1
        return super().__getitem__(key)


def test_each_location_node_is_searched_once_per_child():
    data = {"devices": {"r{}".format(i): {"os": "nxos", "ports": [1, 2, 3]} for i in range(50)}}

    def at(line):
        record = Location()
        record.file, record.line, record.column = "base.yaml", line, 0
        return record

    leaf = at(1)
    leaf["nxos"] = at(1)
    ports = at(2)
    for i in range(3):
        ports[i] = at(3 + i)
    devices = Counted({"r{}".format(i): Counted({"os": leaf, "ports": ports}) for i in range(50)})
    locations = Counted({"devices": devices})
    Counted.lookups = 0
    out = io.StringIO()
    cli.dump_with_locations(data, locations, out)
    # `key in node`, then `node[key]`: the root for "devices", devices for
    # each device, each device for its two keys; not a search from the root
    # for each of the 50 * 5 values written with a comment
    assert Counted.lookups == 2 * (1 + 50 + 50 * 2)
    assert out.getvalue().count("  # ") == 50 * 5
