"""ovark.utils.locations: Location records, LocSafeLoader, location-aware merges.

LocSafeLoader reads libyaml's events itself when it was built with libyaml
(the event path), else takes its nodes from libyaml when PyYAML has it, else
from the pure-Python composer. `locations._fast_path = False` turns the event
path off, `locations.CParser = None` selects the pure-Python composer. Every
path is checked against the others and against yaml.SafeLoader.
"""

import contextlib
import copy
import gc
import inspect
import os
import pickle
import re
from collections import OrderedDict
from collections.abc import MutableMapping, MutableSequence

import pytest
import yaml
from conftest import assert_no_leak
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from ovark.utils import dicts
from ovark.utils import locations as L
from ovark.utils.locations import (
    Location,
    LocSafeLoader,
    location_deepcopy,
    recursive_location_setdefault,
    recursive_location_update,
)

HAVE_LIBYAML = L.CParser is not None
HAVE_EVENTS = HAVE_LIBYAML and L._fast_path
# "present": construct_object overridden, so that every node is constructed the
# interpreter-level way (PyYAML's construct_object), the reference for the
# native construction of the others; "libyaml": libyaml's nodes; "events":
# libyaml's events, read by the loader itself.
PATHS = (
    ["pure", "libyaml", "events", "present"]
    if HAVE_EVENTS
    else (["pure", "libyaml", "present"] if HAVE_LIBYAML else ["pure", "present"])
)


class Present(LocSafeLoader):
    def construct_object(self, node, deep=False):
        return super().construct_object(node, deep=deep)


@contextlib.contextmanager
def node_source(path):
    saved = L.CParser, L._fast_path
    if path in ("pure", "present"):
        L.CParser = None
    if path != "events":
        L._fast_path = False
    try:
        yield
    finally:
        L.CParser, L._fast_path = saved


def load(text, path="events", file_name="conf.yaml", all_documents=False, locs=None):
    """(data, locations) loaded through one node source; `text` may be a
    callable that opens the stream."""
    locs = {} if locs is None else locs
    stream = text() if callable(text) else text
    with node_source(path):
        loader = (Present if path == "present" else LocSafeLoader)(stream, locations=locs, file_name=file_name)
        try:
            if all_documents:
                data = []
                while loader.check_data():
                    data.append(loader.get_data())
            else:
                data = loader.get_single_data()
        finally:
            loader.dispose()
    return data, locs


def tree(t, above=()):
    """A location tree as plain nested tuples, records with their attributes.

    A document that aliases a node inside its own content makes a cycle; a
    record met again below itself is shown by its distance up the path."""
    if isinstance(t, dict):
        for i, record in enumerate(reversed(above)):
            if record is t:
                return ("up", i)
        below = {k: tree(v, above + (t,)) for k, v in t.items()}
        return ("L", t.file, t.line, t.column, below) if isinstance(t, Location) else ("D", below)
    return t


def outcome(text, path, all_documents=False):
    """The data or error of a load, with the location tree as far as it was filled."""
    locs = {}
    try:
        data, _ = load(text, path, all_documents=all_documents, locs=locs)
    except RecursionError:
        return ("RecursionError",)
    except Exception as e:  # noqa: BLE001 - the error itself is compared
        return ("error", type(e), str(e), tree(locs))
    return ("ok", data, tree(locs))


def safe_outcome(text, all_documents=False):
    text = text() if callable(text) else text
    try:
        if all_documents:
            return ("ok", list(yaml.load_all(text, Loader=yaml.SafeLoader)))
        return ("ok", yaml.load(text, Loader=yaml.SafeLoader))
    except RecursionError:
        return ("RecursionError",)
    except Exception as e:  # noqa: BLE001
        return ("error", type(e), str(e))


def assert_paths_agree(text, all_documents=False):
    """Both node sources give SafeLoader's data (or error) and one location tree."""
    reference = safe_outcome(text, all_documents)
    results = [outcome(text, path, all_documents) for path in PATHS]
    try:
        for path, result in zip(PATHS, results):
            assert result[: 3 if result[0] == "error" else 2] == reference[: 3 if reference[0] == "error" else 2], (
                path,
                text,
            )
        for path, result in zip(PATHS, results):
            assert result == results[0], (path, text)
    except RecursionError:  # self-referencing data (an alias inside its own anchor)
        assert len({repr(r[: 3 if r[0] == "error" else 2]) for r in results + [reference]}) == 1, text
        assert len({repr(r) for r in results}) == 1, text
    return results[0]


# ------------------------------------------------------------------ Location


class TestLocation:
    def test_fresh_record(self):
        loc = Location()
        assert isinstance(loc, dict) and loc == {}
        assert (loc.file, loc.line, loc.column) == ("", -1, -1)
        assert vars(loc) == {"file": "", "line": -1, "column": -1}

    def test_arguments_go_to_dict(self):
        loc = Location({"a": 1}, b=2)
        assert loc == {"a": 1, "b": 2} and loc.file == ""
        loc = Location([("file", 1)], file=2)
        assert loc == {"file": 2} and loc.file == ""

    def test_str_and_extract(self):
        loc = Location()
        loc.file, loc.line, loc.column = "/a/b/test.yaml", 2, 4
        assert str(loc) == "test.yaml line:3 column:5"
        assert loc.extract() == {"file": "/a/b/test.yaml", "line": 2, "column": 4}
        assert type(loc.extract()) is dict
        assert str(Location()) == " line:0 column:0"

    def test_str_reads_os_from_the_module(self, monkeypatch):
        class FakePath:
            @staticmethod
            def basename(p):
                return "<{}>".format(p)

        class FakeOs:
            path = FakePath

        monkeypatch.setattr(L, "os", FakeOs)
        assert str(Location()) == "<> line:0 column:0"

    def test_copy_pickle_and_subclass_keep_attributes(self):
        loc = Location({"x": Location()})
        loc.file, loc.line, loc.column = "f.yaml", 1, 2
        for clone in (copy.copy(loc), copy.deepcopy(loc), pickle.loads(pickle.dumps(loc))):
            assert type(clone) is Location and clone == loc and vars(clone) == vars(loc)

        class Sub(Location):
            pass

        s = Sub(a=1)
        s.extra = True
        assert s.line == -1 and s == {"a": 1} and s.extra

    def test_attributes_and_their_dict_agree(self):
        loc = Location()
        loc.file, loc.line, loc.column = "f.yaml", 3, 4
        attrs = vars(loc)
        assert attrs == {"file": "f.yaml", "line": 3, "column": 4} and vars(loc) is attrs
        attrs["line"] = 9
        loc.column = 2**70
        assert loc.line == 9 and attrs["column"] == 2**70
        for value in ("x", True, None, 2**40, -(2**40), 1.5):
            other = Location()
            other.line = value
            assert other.line == value and type(other.line) is type(value) and vars(other)["line"] == value
        other = Location()
        del other.column
        with pytest.raises(AttributeError, match="column"):
            other.column
        assert vars(other) == {"file": "", "line": -1}
        other.extra = [1]
        assert vars(other) == {"file": "", "line": -1, "extra": [1]}
        other.__dict__ = {"file": "g"}
        assert other.file == "g" and not hasattr(other, "line")
        with pytest.raises(TypeError):
            other.__dict__ = []

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickles_keep_attributes_and_read_earlier_state(self, protocol):
        class Slotted(Location):
            __slots__ = ("tag",)

        globals()["Slotted"] = Slotted
        Slotted.__qualname__ = "Slotted"
        try:
            for loc in (Location({"a": Location()}), Slotted(a=1)):
                loc.file, loc.line, loc.column = "f.yaml", 1, 2
                if isinstance(loc, Slotted):
                    loc.tag = "t"
                clone = pickle.loads(pickle.dumps(loc, protocol))
                assert type(clone) is type(loc) and clone == loc and vars(clone) == vars(loc)
                assert getattr(clone, "tag", None) == getattr(loc, "tag", None)
        finally:
            del globals()["Slotted"]

        # The state that records with an ordinary instance dict pickled.
        class Earlier:
            def __reduce__(self):
                return Location, (), {"file": "old.yaml", "line": 5, "column": 6}

        restored = pickle.loads(pickle.dumps(Earlier(), protocol))
        assert type(restored) is Location
        assert (restored.file, restored.line, restored.column) == ("old.yaml", 5, 6)

    def test_compact_and_weakly_referenced(self):
        import sys
        import weakref

        assert sys.getsizeof(Location()) <= sys.getsizeof({}) + 48
        loc = Location()
        assert weakref.ref(loc)() is loc

    def test_freeing_a_deep_chain(self):
        loc = Location()
        for _ in range(100_000):
            loc = Location({0: loc})
        del loc
        inner = Location()
        inner.file = inner  # a record that refers to itself through an attribute
        del inner
        gc.collect()

    def test_surface(self):
        assert Location.__module__ == "ovark.utils.locations"
        assert Location.__bases__ == (dict,)
        assert str(inspect.signature(Location.extract)) == "(self)"
        assert Location.extract.__qualname__ == "Location.extract"
        assert repr(Location(a=1)) == "{'a': 1}"


# ------------------------------------------------------------------ LocSafeLoader


class TestLoaderSurface:
    def test_class(self):
        assert LocSafeLoader.__bases__ == (yaml.SafeLoader,)
        assert issubclass(LocSafeLoader, yaml.SafeLoader)
        for name in ("__init__", "construct_document", "construct_object"):
            assert name in vars(LocSafeLoader)
        assert str(inspect.signature(LocSafeLoader.__init__)) == "(self, stream, *, locations=None, file_name=None)"
        assert str(inspect.signature(LocSafeLoader.construct_object)) == "(self, node, deep=False)"
        assert LocSafeLoader.construct_object.__qualname__ == "LocSafeLoader.construct_object"

    def test_module_globals(self):
        assert L.os is os and L.re is re
        assert L.MutableMapping is MutableMapping and L.MutableSequence is MutableSequence
        assert L.MappingNode is yaml.MappingNode and L.ScalarNode is yaml.ScalarNode
        assert L.SequenceNode is yaml.SequenceNode and L.SafeLoader is yaml.SafeLoader
        assert L.LIST_EXTEND_PATTERN is dicts.LIST_EXTEND_PATTERN

    def test_keyword_only_arguments(self):
        with pytest.raises(TypeError) as info:
            LocSafeLoader("a", {})
        assert str(info.value) == "__init__() takes exactly 2 positional arguments (3 given)"

    def test_attributes(self, tmp_path):
        locs = {}
        loader = LocSafeLoader("a: 1", locations=locs)
        assert loader._file == "" and loader._locations is locs
        path = tmp_path / "lab.yaml"
        path.write_text("a: 1\n")
        with open(path) as f:
            assert LocSafeLoader(f)._file == str(path)
        with open(path) as f:
            assert LocSafeLoader(f, file_name="given.yaml")._file == "given.yaml"
        with open(path) as f:
            assert LocSafeLoader(f, file_name="")._file == str(path)


@pytest.mark.parametrize("path", PATHS)
class TestLoading:
    def test_scalar_under_key(self, path):
        data, locs = load("a: 1\n", path)
        assert data == {"a": 1}
        a = locs["a"]
        assert type(a) is Location and (a.file, a.line, a.column) == ("conf.yaml", 0, 0)
        one = a[1]
        assert (one.line, one.column) == (0, 3) and one == {}
        assert str(one) == "conf.yaml line:1 column:4"

    def test_list_under_key(self, path):
        data, locs = load("l:\n  - x\n  - y\n", path)
        assert data == {"l": ["x", "y"]}
        for i, value in enumerate("xy"):
            element = locs["l"][i]
            assert (element.line, element.column) == (i + 1, 4)
            assert list(element) == [value]
            assert (element[value].line, element[value].column) == (i + 1, 4)
            assert element[value] is not element

    def test_nested_mapping(self, path):
        _, locs = load("a: {b: 2}\n", path)
        assert (locs["a"]["b"][2].line, locs["a"]["b"][2].column) == (0, 7)

    def test_without_locations_behaves_as_safe_loader(self, path):
        text = "a: &x [1, {b: 2}]\nc: *x\n"
        for kwargs in ({}, {"locations": None}):
            with node_source(path):
                loader = LocSafeLoader(text, **kwargs)
                node = loader.get_single_node()
                data = loader.construct_document(node)
            assert data == yaml.safe_load(text)
            assert not hasattr(node, "_parent") and not hasattr(node, "_location")
            assert not hasattr(node.value[0][0], "_location") and not hasattr(node.value[0][1], "_parent")

    def test_string_stream_records_empty_file(self, path):
        _, locs = load("a: 1\n", path, file_name=None)
        assert locs["a"].file == ""
        assert str(locs["a"]).startswith(" line:")

    def test_file_and_bytes_streams(self, path, tmp_path):
        p = tmp_path / "base.yaml"
        p.write_text("a: é\nb: [1]\n", encoding="utf-8")
        for mode in ("r", "rb"):
            locs = {}
            with node_source(path), open(p, mode) as f:
                data = yaml.load(f, Loader=lambda s: LocSafeLoader(s, locations=locs))
            assert data == {"a": "é", "b": [1]}
            assert locs["b"][0][1].file == str(p) and str(locs["b"][0][1]) == "base.yaml line:2 column:5"
        with node_source(path), open(p) as f:
            node = LocSafeLoader(f).get_single_node()
        assert node.start_mark.name == str(p) and node.value[1][1].start_mark.line == 1
        data, locs = load("a: é\n".encode("utf-16"), path)
        assert data == {"a": "é"} and locs["a"]["é"].column == 3

    def test_multiple_documents_share_the_root(self, path):
        data, locs = load("a: 1\n---\nb: 2\n", path, all_documents=True)
        assert data == [{"a": 1}, {"b": 2}]
        assert locs["a"].line == 0 and locs["b"].line == 2

    def test_error_leaves_tree_as_filled(self, path):
        with pytest.raises(yaml.constructor.ConstructorError) as info:
            load("a: 1\nb: !unknown x\nc: 3\n", path)
        assert info.value.problem_mark.line == 1 and info.value.problem_mark.column == 3
        assert "conf.yaml" not in str(info.value)
        locs = {}
        with node_source(path), pytest.raises(yaml.constructor.ConstructorError):
            yaml.load("a: 1\nb: !unknown x\nc: 3\n", Loader=lambda s: LocSafeLoader(s, locations=locs))
        assert set(locs) == {"a", "b"} and locs["a"][1].column == 3 and locs["b"] == {}
        # Parse errors come before any construction of that document.
        locs = {}
        with node_source(path), pytest.raises(yaml.parser.ParserError):
            list(yaml.load_all("a: 1\n---\nb: [2\n", Loader=lambda s: LocSafeLoader(s, locations=locs)))
        assert list(locs) == ["a"]

    def test_value_error_from_a_constructor(self, path):
        locs = {}
        with node_source(path), pytest.raises(ValueError):
            yaml.load("a: 1\nb: !!int x\n", Loader=lambda s: LocSafeLoader(s, locations=locs))
        assert set(locs) == {"a", "b"}

    @pytest.mark.parametrize(
        "text",
        [
            "[" * 100000 + "]" * 100000,
            "- " * 50000 + "x\n",
            "".join(" " * i + "k:\n" for i in range(3000)) + " " * 3000 + "k: v\n",
            "{a: " * 3000 + "x" + "}" * 3000,
        ],
    )
    def test_deep_nesting_raises_recursion_error(self, path, text):
        with node_source(path), pytest.raises(RecursionError):
            yaml.load(text, Loader=lambda s: LocSafeLoader(s, locations={}))

    def test_omap_pairs_set_and_merge(self, path):
        text = (
            "o: !!omap [a: 1, b: [2]]\np: !!pairs [a: 1, a: 2]\ns: !!set {x, y}\n"
            "base: &b {x: 1, y: {z: 2}}\nuse: {<<: *b, w: 3}\nlate: {<<: [*b, {q: 1}]}\n"
        )
        data, locs = load(text, path)
        assert data == yaml.safe_load(text)
        assert locs["s"]["x"][None].line == 2
        assert locs["use"]["w"][3].column == 17
        assert locs["o"][1] == {} and locs["o"][1].column == 17

    def test_merge_source_constructed_later(self, path):
        # The anchored mapping is deeper than its use: its keys have no
        # container yet when the merge constructs them.
        text = "first: {deep: {deeper: &a {x: 1}}}\nuse: {<<: *a, y: 2}\n"
        data, locs = load(text, path)
        assert data == yaml.safe_load(text)
        assert locs["use"]["y"][2].line == 1

    def test_subclass_and_custom_constructor(self, path):
        class Mine(LocSafeLoader):
            seen = []

            def construct_object(self, node, deep=False):
                Mine.seen.append(type(node).__name__)
                return super().construct_object(node, deep=deep)

        Mine.add_constructor("!list", lambda loader, node: [loader.construct_scalar(node)])
        locs = {}
        with node_source(path):
            data = yaml.load("a: !list x\nb: [1]\n", Loader=lambda s: Mine(s, locations=locs))
        assert data == {"a": ["x"], "b": [1]}
        assert "SequenceNode" in Mine.seen
        assert locs["a"] == {} and locs["b"][0][1].line == 1  # an unhashable value has no place


@pytest.mark.parametrize("path", PATHS)
def test_changes_to_the_class_are_noticed_between_loads(path):
    class Mine(LocSafeLoader):
        pass

    def load_mine(text):
        locs = {}
        with node_source(path):
            data = yaml.load(text, Loader=lambda s: Mine(s, locations=locs))
        return data, locs

    text = "a: 1\nb: [yes, 2.5]\nc: {d: x}\n"
    assert load_mine(text)[0] == {"a": 1, "b": [True, 2.5], "c": {"d": "x"}}
    Mine.add_constructor("tag:yaml.org,2002:int", lambda loader, node: "int " + node.value)
    Mine.bool_values = dict(yaml.SafeLoader.bool_values, yes="YES")
    data, locs = load_mine(text)
    assert data == {"a": "int 1", "b": ["YES", 2.5], "c": {"d": "x"}}
    assert locs["a"]["int 1"].column == 3 and locs["b"][0]["YES"].line == 1
    Mine.construct_sequence = lambda self, node, deep=False: ["seq"]
    Mine.flatten_mapping = lambda self, node: node.value.reverse()
    data, locs = load_mine("a: [1, 2]\nb: {x: 1, y: 2}\n")
    assert data == {"b": {"y": "int 2", "x": "int 1"}, "a": ["seq"]} and list(data) == ["b", "a"]
    assert list(locs) == ["b", "a"] and locs["a"][1].line == 0 and locs["b"]["y"]["int 2"].column == 13


def test_nodes_a_caller_holds_get_their_attributes():
    for path in PATHS:
        locs = {}
        with node_source(path):
            loader = (Present if path == "present" else LocSafeLoader)("a: [x]\nb: {c: 1}\n", locations=locs)
            node = loader.get_single_node()
            assert loader.construct_document(node) == {"a": ["x"], "b": {"c": 1}}
        (a_key, a_value), (b_key, b_value) = node.value
        assert node._parent is locs and a_key._parent is locs and a_key._location is locs["a"]
        assert a_value._parent is locs["a"] and a_value.value[0]._parent is locs["a"][0]
        assert a_value.value[0]._location is locs["a"][0]["x"]
        assert b_value.value[0][0]._location is locs["b"]["c"]


def identities(value, seen=None, path=()):
    """Which places of a tree hold the same object: {path: first path of that object}."""
    seen = {} if seen is None else seen
    first = seen.setdefault(id(value), path)
    out = {path: first} if first != path else {}
    if first == path and isinstance(value, (dict, list)):
        for k, v in value.items() if isinstance(value, dict) else enumerate(value):
            out.update(identities(v, seen, path + (k,)))
    return out


@pytest.mark.parametrize("path", PATHS)
def test_shared_objects_as_safe_loader_shares_them(path):
    text = (
        "base: &b {x: 1000, y: 2.5, z: s, n: 123456789012345678901234567890}\nuse: {<<: *b, w: 1000}\n"
        "l: [&i 12345, *i, &f 1.5e3, *f, &m {a: 1}, *m, 12345]\nlate: {<<: [*b, {q: 7}]}\n"
    )
    data, _ = load(text, path)
    reference = yaml.load(text, Loader=yaml.SafeLoader)
    assert data == reference and identities(data) == identities(reference)


@pytest.mark.parametrize("path", PATHS)
def test_construct_object_called_directly(path):
    locs = {}
    with node_source(path):
        loader = LocSafeLoader("{a: , b: [1]}", locations=locs)
        node = loader.get_single_node()
        node._parent = locs
        assert loader.construct_object(node, deep=True) == {"a": None, "b": [1]}
    assert set(locs) == {"a", "b"} and locs["b"][0][1].column == 10


@pytest.mark.parametrize("path", PATHS)
def test_collector_state_is_restored(path):
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            load("a: [1, {b: 2}]\n---\nc: 3\n", path, all_documents=True)
            assert gc.isenabled() is enabled
            for bad in ("a: !bad x\n", "a: [1\n", "{a: }\n"):
                with contextlib.suppress(yaml.YAMLError):
                    load(bad, path)
                assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


@pytest.mark.parametrize("path", PATHS)
def test_collector_is_left_alone(path):
    """Custom constructors run with the collector as the caller left it; a
    change made meanwhile (by them, or by another thread) stays; what the load
    built is in the collector's sight afterwards, cycles included."""

    class Mine(LocSafeLoader):
        pass

    seen = []

    def flip(loader, node):
        seen.append(gc.isenabled())
        (gc.enable if node.value == "on" else gc.disable)()
        return [node.value]

    Mine.add_constructor("!flip", flip)
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            with node_source(path):
                data = yaml.load("a: [1, {b: !flip off}]\nc: !flip on\nd: !flip off\n", Loader=Mine)
            # Breadth first, as PyYAML fills: c and d before the mapping inside a.
            assert seen == [enabled, True, False] and data["a"][1]["b"] == ["off"]
            assert gc.isenabled() is False
            seen.clear()
        gc.enable()
        for text in ("a: [1, {b: 2}]\n", "&a [*a, {b: *a}]\n", "&m {x: *m}\n"):
            data, locs = load(text, path)
            containers = [data] + (list(data.values()) if isinstance(data, dict) else data)
            assert all(gc.is_tracked(c) for c in containers if isinstance(c, (dict, list)))
            assert all(gc.is_tracked(r) for r in locs.values() if isinstance(r, Location) and r)
    finally:
        (gc.enable if was else gc.disable)()


def test_fast_path_takes_libyaml_nodes():
    if not HAVE_LIBYAML:
        pytest.skip("PyYAML without libyaml")
    node = LocSafeLoader("a: 1").get_single_node()
    assert type(node.start_mark) is yaml._yaml.Mark
    with node_source("pure"):
        node = LocSafeLoader("a: 1").get_single_node()
    assert type(node.start_mark) is yaml.error.Mark

    class OwnComposer(LocSafeLoader):
        def get_single_node(self):
            return super().get_single_node()

    assert type(OwnComposer("a: 1").get_single_node().start_mark) is yaml.error.Mark


# ------------------------------------------------------------------ differential: both paths, SafeLoader

HAND_WRITTEN = [
    "a: 1\nb: [x, y]\nc: {d: e}\n",
    "a:\n  - 1\n  - b: 2\n    c: 3\n",
    "a:\n- x\n- y\n",
    "? a\n: b\n? [c]\n: d\n",
    "? [a, b]\n: c\n",
    "a: |\n  line1\n  line2\nb: >\n  folded\n  text\n\nc: 'q''s'\nd: \"dq\\n\\u00e9\"\ne: |-\n  x\nf: >+\n  y\n\n",
    "base: &b {x: 1, y: 2}\nuse:\n  <<: *b\n  z: 3\n",
    "a:\nb: ~\nc:\n",
    "- !!str 1\n- !!float 2\n- !!binary aGVsbG8=\n- &a [1]\n- *a\n- !!timestamp 2001-12-14\n",
    "é: ünï\n'日本': 語\n\"\\U0001F600\": x\n",
    "--- a\n...\n--- b\n",
    "a: b\n  c\n  d\n",
    "a: 'multi\n  line'\nb: \"dq\n\n  lines\"\n",
    "{a: [1, {b: c}], d: }\n",
    "{a: , b: c}\n",
    "[a: ]\n",
    "{a: # comment\n }\n",
    "- {a: }\n- [b: ]\n- {? c}\n",
    "\ufeffa: 1\n",
    "a: 1\r\nb:\r\n  - 2\r\n",
    "%YAML 1.1\n--- !!map\na: 1\n",
    "%YAML 1.0\n---\na: 1\n",
    "%TAG !e! tag:example.com,2000:\n---\na: !!str x\n",
    "- - - x\n    - y\n",
    "[a, b]: c\n",
    "a: !!set {x, y}\nb: !!omap [p: 1]\nc: !!pairs [q: 1, q: 2]\n",
    "a: 0x1F\nb: 1_000\nc: .inf\nd: -.Inf\ne: yes\nf: 2001-12-14t21:59:43.10-05:00\ng: 0o17\nh: 1:20\n",
    "x: &a 1\ny: *a\nz: *a\n",
    "x: &m {k: v}\ny: *m\n",
    "a: [1\n",
    "a: b: c\n",
    "a: *missing\n",
    "- a\nb: c\n",
    "a: !unknown x\n",
    "a: {[1]: 2}\n",
    "a: !!int x\n",
    "\"a\": 1\n\"a\\tb\": 2\n",
    "a: 'x' y\n",
    "a:\n  b: 1\n c: 2\n",
    "\x07",
    "a: 1\n--- \nb: 2\n",
    "&a [*a, {b: *a}]\n",
    "&m {x: *m}\n",
    "&a : [*a, {b: *a}]\n",
    "",
    "# only a comment\n",
    "[a, , b]\n",
    "{a: 1, a: 2}\n",
    "a:\t1\n",
    "a: [b, c]]\n",
    "- &a a\n- &a b\n- *a\n",
    "key: value # comment\n# comment\nother: 'v' # c\n",
    "a: \"\\x41\\u0042\\/\"\n",
    # Where libyaml and the pure-Python scanner part ways.
    "a: b\tc\n",
    "a: 1\t# c\n",
    "a: [1,\t2]\n",
    "- \ta\n",
    "\"a\tb\": 'x\ty'\n",
    "|#",
    "a: >#\n x\n",
    "a: |1#\n  x",
    "!",
    "a: !\n",
    "[!, y]",
    "- !\n",
    "\ufeff!",
    "a: !+!it x\n",
    "{a: !1, a: 2}\n",
    "a: !<tag:x> y\n",
    "[a?: ]\n",
    "[a? !]\n",
    "a: [b?, c]",
    "{\u00e9? c}",
    "?",
    "? a",
    "? a\n?\n",
    "[a: ]\n\ufeff",
    "a: b\ufeff\n",
    "a:\n---",
    "--- a\n...\n---",
    "--- \n",
    "url: http://x/y?z=1\nlist: [a, b]\n",
    "url: http://x/y?z=1\n",
    # Containers met again after being filled (aliases, merges of nested ones).
    "base: &b {l: [1, [2]], m: {k: v}}\nuse: {<<: *b}\nagain: *b\n",
    "a: {b: &x {c: [1, {d: 2}]}}\nz: {<<: *x, e: [3]}\n",
    "- &s [1, [2, 3]]\n- *s\n- [*s]\n",
    "a: &m {x: {y: [1]}}\nb: {<<: [*m, {p: {q: 1}}]}\nc: {<<: *m}\n",
    "%YAML 1.2\n---\na: 1\n",
    "%YAML 2.0\n---\na: 1\n",
    "%YAML 1.2#\n---\na: 1\n",
    "%FOO bar\n---\na\n",
    "a: 1\x00\n",
]


@pytest.mark.parametrize("text", HAND_WRITTEN)
def test_hand_written_documents(text):
    assert_paths_agree(text, all_documents=True)
    if "---" not in text:
        assert_paths_agree(text)


def dumped_documents():
    scalars = st.one_of(
        st.integers(-(10**6), 10**6),
        st.booleans(),
        st.none(),
        st.floats(allow_nan=False, width=32),
        st.text(st.characters(blacklist_categories=("Cs",)), max_size=12),
        st.sampled_from(["", " ", "a: b", "- x", "#", "yes", "0x1F", "1:20", "\n", "é", "é\n\tx", "~", "&a"]),
        st.dates(),
    )
    keys = st.one_of(st.text(min_size=0, max_size=6), st.integers(-5, 5), st.booleans())
    data = st.recursive(
        scalars, lambda c: st.one_of(st.lists(c, max_size=4), st.dictionaries(keys, c, max_size=4)), max_leaves=20
    )

    @st.composite
    def docs(draw):
        value = draw(data)
        if draw(st.booleans()) and isinstance(value, dict) and value:
            # Shared sub-objects become anchors and aliases.
            first = next(iter(value))
            value["__alias"] = value[first]
        options = draw(
            st.fixed_dictionaries(
                {
                    "default_flow_style": st.sampled_from([False, True, None]),
                    "allow_unicode": st.booleans(),
                    "width": st.sampled_from([20, 80, 1000]),
                    "indent": st.sampled_from([2, 4]),
                    "explicit_start": st.booleans(),
                    "canonical": st.sampled_from([False, False, True]),
                    "line_break": st.sampled_from([None, "\r\n"]),
                }
            )
        )
        return yaml.safe_dump(value, **options)

    return docs()


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(dumped_documents())
def test_generated_documents(text):
    result = assert_paths_agree(text)
    assert result[0] == "ok"


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(HAND_WRITTEN), st.data())
@example("a: 1\nb: [x, y]\nc: {d: e}\n", None)
def test_mutated_documents(text, data):
    """Random edits make documents that one parser or both may reject."""
    if data is not None:
        for _ in range(data.draw(st.integers(1, 3))):
            pos = data.draw(st.integers(0, len(text)))
            edit = data.draw(st.sampled_from(["delete", "insert"]))
            if edit == "delete":
                text = text[:pos] + text[pos + 1 :]
            else:
                text = (
                    text[:pos]
                    + data.draw(st.sampled_from(list(":-?[]{},#&*!|>'\"% \n\t\\ax\ufeff\x85") + ["? ", "- "]))
                    + text[pos:]
                )
    assert_paths_agree(text, all_documents=True)


@st.composite
def merge_documents(draw):
    """Anchored mappings merged (`<<`) and aliased at every depth, in block or
    flow style: where the records of a shared node land depends on the order
    in which containers are filled."""
    names = []  # anchors of complete nodes, in document order

    def scalar():
        return draw(st.sampled_from(["1", "v", "~", "'q'", "yes", "1.5", "x y", "-2"]))

    def mapping(depth):
        items = []
        for _ in range(draw(st.integers(0, 3))):
            key = draw(st.sampled_from(["a", "b", "c", "1", "x y", "="]))
            kind = draw(st.integers(0, 4 if depth < 3 else 1))
            if kind == 1 and names:
                value = ("alias", draw(st.sampled_from(names)))
            elif kind == 2:
                value = mapping(depth + 1)
            elif kind == 3:
                value = (
                    "seq",
                    [mapping(depth + 1) if draw(st.booleans()) else scalar() for _ in range(draw(st.integers(0, 2)))],
                )
            else:
                value = scalar()
            items.append((key, value))
        if names and draw(st.booleans()):
            refs = draw(st.lists(st.sampled_from(names), min_size=1, max_size=3))
            merge = ("alias", refs[0]) if len(refs) == 1 else ("seq", [("alias", r) for r in refs])
            items.insert(draw(st.integers(0, len(items))), ("<<", merge))
        anchor = None
        if draw(st.integers(0, 3)) == 0:
            anchor = "n{}".format(len(names))
            names.append(anchor)
        return ("map", anchor, items)

    def flow(v):
        if isinstance(v, str):
            return v
        if v[0] == "alias":
            return "*" + v[1]
        if v[0] == "seq":
            return "[" + ", ".join(flow(x) for x in v[1]) + "]"
        return ("&" + v[1] + " " if v[1] else "") + "{" + ", ".join("{}: {}".format(k, flow(x)) for k, x in v[2]) + "}"

    def block(v, indent):
        pad = " " * indent
        out = []
        for k, x in v[2]:
            if isinstance(x, tuple) and x[0] == "map" and x[2]:
                out.append("{}{}:{}\n{}".format(pad, k, " &" + x[1] if x[1] else "", block(x, indent + 2)))
            else:
                out.append("{}{}: {}\n".format(pad, k, flow(x)))
        return "".join(out)

    style = draw(st.sampled_from(["block", "flow"]))
    lines = []
    for i in range(draw(st.integers(1, 4))):
        m = mapping(0)
        if style == "block" and m[2]:
            lines.append("m{}:{}\n{}".format(i, " &" + m[1] if m[1] else "", block(m, 2)))
        else:
            lines.append("m{}: {}\n".format(i, flow(m)))
    return "".join(lines)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(merge_documents())
@example("b: &b {x: {y: 1}}\nu: {<<: *b, z: *b}\nv: *b\n")
def test_merged_and_aliased_documents(text):
    assert_paths_agree(text)


@pytest.mark.skipif(not HAVE_EVENTS, reason="built without libyaml")
def test_nodes_asked_after_data_go_on_where_the_data_left_off():
    results = []
    for path in ("libyaml", "events"):
        with node_source(path):
            loader = LocSafeLoader("a: 1\n--- b\n--- [c]\n", locations={})
            first = loader.get_data() if loader.check_data() else None
            results.append((first, loader.get_node().value, loader.get_data(), loader.check_data()))
            loader.dispose()
    assert results[0] == results[1] == ({"a": 1}, "b", ["c"], False)


CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "yaml_corpus")
GOOD = sorted(name for name in os.listdir(CORPUS) if name.endswith(".yaml"))
BROKEN = sorted(os.listdir(os.path.join(CORPUS, "broken")))
# Files the event path reads itself; it hands the others (timestamps, binary,
# sets, tabs, ...) to the node path.
EVENT_PATH = {
    "anchors_merges.yaml",
    "block_scalars.yaml",
    "bom.yaml",
    "crlf.yaml",
    "flow_styles.yaml",
    "line_breaks.yaml",
    "multi_document.yaml",
    "scalars.yaml",
    "testbed.yaml",
    "timestamps.yaml",
    "unicode.yaml",
}


def corpus_streams(full, opened):
    """The ways a caller hands a file to the loader."""
    with open(full, "rb") as f:
        raw = f.read()
    yield "bytes", lambda: raw
    yield "binary file", lambda: opened.append(open(full, "rb")) or opened[-1]
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return
    yield "str", lambda: text
    yield "text file", lambda: opened.append(open(full, encoding="utf-8")) or opened[-1]


@pytest.mark.parametrize("name", GOOD + ["broken/" + name for name in BROKEN])
def test_corpus(name):
    """Every file, however it is handed over, loads on every path as SafeLoader
    loads it (data or error), with one location tree (as far as it was filled)."""
    opened = []
    try:
        for mode, stream in corpus_streams(os.path.join(CORPUS, name), opened):
            for all_documents in (False, True):
                result = assert_paths_agree(stream, all_documents)
                several = name.endswith(("multi_document.yaml", "single_document.yaml"))
                expected = all_documents if several else not name.startswith("broken/")
                assert (result[0] == "ok") == expected, (mode, result)
                if HAVE_EVENTS and name in EVENT_PATH and (all_documents or name != "multi_document.yaml"):
                    before = L._fast_loads
                    load(stream, "events", all_documents=all_documents)
                    assert L._fast_loads == before + 1, (mode, all_documents)
    finally:
        for f in opened:
            f.close()


@pytest.mark.skipif(not HAVE_EVENTS, reason="built without libyaml")
@pytest.mark.parametrize("all_documents", [False, True])
def test_event_path_leaves_the_loader_as_the_node_path(all_documents):
    """Attributes and what the loader answers afterwards are those of a node path load."""
    states = []
    for path in ("libyaml", "events"):
        before = L._fast_loads
        with node_source(path):
            loader = LocSafeLoader("a: [1, {b: c}]\n--- x\n" if all_documents else "a: [1, {b: c}]\n", locations={})
            data = []
            if all_documents:
                while loader.check_data():
                    data.append(loader.get_data())
                data.append(loader.get_data())
            else:
                data.append(loader.get_single_data())
            states.append(
                (data, sorted(vars(loader)), loader.constructed_objects, loader.state_generators, loader.check_node())
            )
            loader.dispose()
        assert L._fast_loads == before + (path == "events")
    assert states[0] == states[1]


RESOLVER_TEXTS = [
    "",
    "yes",
    "No",
    "OFF",
    "null",
    "~",
    "<<",
    "=",
    "!",
    "&",
    "1.5",
    "1_000",
    "0x1F",
    "0o17",
    "017",
    "0b1_0",
    "1:20",
    "-1:20.5",
    ".inf",
    "-.Inf",
    ".NaN",
    "2001-12-14",
    "2001-1-4 1:59:43.1 -5:30",
    "2001-12-14t21:59:43.10Z",
    "yes\n",
    "1\n",
    "1\n\n",
    "1e5",
    "1.e+5",
    "1.5E-5",
    ".5e+1",
    "+.5",
    "-",
    "+",
    ".",
    "0",
    "-0",
    "00",
    "08",
    "0_",
    "1__",
    "1:60",
    "1:5",
    "190:20:30",
    "1.",
    "12:3.",
    "é",
    "1é",
    "nul",
    "yes please",
    "0x",
    "0b",
    "1e5.",
    "..5",
    "+.inf",
]


@pytest.mark.skipif(not HAVE_LIBYAML, reason="the native resolver is lent to libyaml's parser")
@settings(max_examples=1000, deadline=None)
@given(
    st.one_of(st.sampled_from(RESOLVER_TEXTS), st.text("0123456789_-+.:eExXbo \t\nyYnNtTfFaAlsLS~<=!&*", max_size=10))
)
def test_native_resolution_is_the_default_resolvers(value):
    loader = LocSafeLoader("a")
    source = loader._node_source
    assert source.resolve.__qualname__ == "_NodeSource.resolve"
    reference = yaml.SafeLoader("")
    for kind in (yaml.ScalarNode, yaml.SequenceNode, yaml.MappingNode):
        for implicit in ((True, False), (False, True), True):
            if kind is yaml.ScalarNode and implicit is True:
                continue
            assert source.resolve(kind, value, implicit) == reference.resolve(kind, value, implicit), value


@pytest.mark.skipif(not HAVE_LIBYAML, reason="the native resolver is lent to libyaml's parser")
def test_changed_resolvers_are_used():
    class Mine(LocSafeLoader):
        pass

    Mine.add_implicit_resolver("!answer", re.compile(r"^forty-two$"), list("f"))
    assert Mine("a")._node_source.resolve.__self__ is not None  # the loader's own method
    Mine.add_constructor("!answer", lambda loader, node: "answer")
    locs = {}
    text = "a: forty-two\nb: 43\nc: false\n"
    assert yaml.load(text, Loader=lambda s: Mine(s, locations=locs)) == {"a": "answer", "b": 43, "c": False}
    assert locs["a"]["answer"].column == 3
    assert type(LocSafeLoader("a")._node_source.resolve).__name__ == "function"


def test_errors_carry_line_and_column_of_safe_loader():
    for text in ["a: [1\n", "a: b: c\n", "a: !unknown x\n", "- a\nb: c\n", "a: *missing\n"]:
        with pytest.raises(yaml.YAMLError) as mine:
            load(text)
        with pytest.raises(yaml.YAMLError) as theirs:
            yaml.load(text, Loader=yaml.SafeLoader)
        assert type(mine.value) is type(theirs.value) and str(mine.value) == str(theirs.value)
        assert mine.value.problem_mark.line == theirs.value.problem_mark.line
        assert mine.value.problem_mark.column == theirs.value.problem_mark.column


# ------------------------------------------------------------------ location_deepcopy


class TestLocationDeepcopy:
    def test_copies_records_and_mappings(self):
        _, locs = load("a: {b: [1, 2]}\nc: x\n")
        clone = location_deepcopy(locs)
        assert type(clone) is dict and clone is not locs
        assert tree(clone) == tree(locs)
        assert clone["a"] is not locs["a"] and clone["a"]["b"][0] is not locs["a"]["b"][0]
        assert type(clone["a"]) is Location

    @pytest.mark.parametrize("value", [1, "x", [1, {"a": Location()}], None, (1,)])
    def test_other_values_are_returned_as_they_are(self, value):
        assert location_deepcopy(value) is value

    def test_mapping_kinds(self):
        inner = OrderedDict(a=1)
        out = location_deepcopy(OrderedDict(x=inner))
        assert type(out) is dict and type(out["x"]) is dict and out == {"x": {"a": 1}}


# ------------------------------------------------------------------ merges


def layered(*texts):
    return [load(text, file_name=name) for name, text in texts]


class TestRecursiveLocationUpdate:
    def test_nested_keeps_old_key_location(self):
        (data, locs), (new, new_locs) = layered(("base.yaml", "a:\n  b: 1\n"), ("lab.yaml", "\n\na:\n  c: 2\n"))
        a_loc = locs["a"]
        assert recursive_location_update(data, new, locs, new_locs) is data
        assert data == {"a": {"b": 1, "c": 2}}
        assert locs["a"] is a_loc and a_loc.file == "base.yaml"
        assert locs["a"]["c"] is new_locs["a"]["c"] and locs["a"]["c"].file == "lab.yaml"

    def test_scalar_replaced_by_mapping(self):
        (data, locs), (new, new_locs) = layered(("base.yaml", "a: 1\n"), ("lab.yaml", "a: {c: 2}\n"))
        recursive_location_update(data, new, locs, new_locs)
        assert data["a"] is new["a"] and locs["a"] is new_locs["a"]

    def test_list_extend_numbers_new_items_after_present_ones(self):
        (data, locs), (new, new_locs) = layered(("base.yaml", "l: [1, 2]\n"), ("lab.yaml", "'%EXTEND_LIST{l}': [3]\n"))
        lst = data["l"]
        new_item_loc = new_locs["%EXTEND_LIST{l}"][0]
        recursive_location_update(data, new, locs, new_locs, list_extend=True)
        assert data == {"l": [1, 2, 3]} and data["l"] is lst
        assert locs["l"][2] is new_item_loc and sorted(locs["l"]) == [0, 1, 2]
        assert "%EXTEND_LIST{l}" not in locs

    def test_list_extend_without_target_moves_the_entry(self):
        (data, locs), (new, new_locs) = layered(("base.yaml", "x: 1\n"), ("lab.yaml", "'%EXTEND_LIST{ l }': [3]\n"))
        entry = new_locs["%EXTEND_LIST{ l }"]
        recursive_location_update(data, new, locs, new_locs, list_extend=True)
        assert data["l"] is new["%EXTEND_LIST{ l }"] and locs["l"] is entry
        assert new_locs == {"l": entry}

    def test_list_extend_reaches_every_level(self):
        (data, locs), (new, new_locs) = layered(
            ("b.yaml", "n:\n  l: [1]\n"), ("o.yaml", "n:\n  '%EXTEND_LIST{l}': [2]\n")
        )
        recursive_location_update(data, new, locs, new_locs, list_extend=True)
        assert data == {"n": {"l": [1, 2]}} and locs["n"]["l"][1].file == "o.yaml"

    def test_without_list_extend_the_key_is_ordinary(self):
        (data, locs), (new, new_locs) = layered(("b.yaml", "l: [1]\n"), ("o.yaml", "'%EXTEND_LIST{l}': [2]\n"))
        recursive_location_update(data, new, locs, new_locs)
        assert data == {"l": [1], "%EXTEND_LIST{l}": [2]} and "%EXTEND_LIST{l}" in locs

    def test_missing_location_entries(self):
        data, locs = {"a": {"b": 1}}, {}
        recursive_location_update(data, {"a": {"c": 2}, "d": 3}, locs, {})
        assert data == {"a": {"b": 1, "c": 2}, "d": 3} and locs == {"d": {}}
        with pytest.raises(KeyError):
            recursive_location_update({}, {"%EXTEND_LIST{l}": [1]}, {}, {}, list_extend=True)

    @pytest.mark.parametrize("data, new", [([], {}), ({}, None), ("x", {})])
    def test_non_mappings(self, data, new):
        with pytest.raises(TypeError) as info:
            recursive_location_update(data, new, {}, {})
        assert str(info.value) == "recursive_location_update takes two dicts"

    def test_non_string_key_under_list_extend(self):
        with pytest.raises(TypeError):
            recursive_location_update({}, {1: [1]}, {}, {}, list_extend=True)

    def test_mapping_subclasses_go_through_their_own_methods(self):
        data, locs = OrderedDict(b=1), OrderedDict(b=Location())
        new, new_locs = OrderedDict(a={"x": 1}, b=2), OrderedDict(a=Location(), b=Location())
        recursive_location_update(data, new, locs, new_locs)
        assert list(data.items()) == [("b", 2), ("a", {"x": 1})] and list(locs) == ["b", "a"]
        data.move_to_end("b")
        assert list(data) == ["a", "b"]

    def test_keywords(self):
        out = recursive_location_update(
            data={}, new_data={"a": 1}, locations={}, new_locations={"a": Location()}, list_extend=False
        )
        assert out == {"a": 1}
        assert (
            str(inspect.signature(recursive_location_update))
            == "(data, new_data, locations, new_locations, list_extend=False)"
        )


class TestRecursiveLocationSetdefault:
    def test_keeps_existing_adds_missing(self):
        (data, locs), (new, new_locs) = layered(
            ("user.yaml", "a: 1\nl: [1]\nn:\n  x: 1\n"), ("base.yaml", "a: 2\nl: [2]\nn:\n  x: 2\n  y: 3\nz: 4\n")
        )
        assert recursive_location_setdefault(data, new, locs, new_locs) is data
        assert data == {"a": 1, "l": [1], "n": {"x": 1, "y": 3}, "z": 4}
        assert locs["a"].file == "user.yaml" and locs["z"].file == "base.yaml"
        assert locs["n"].file == "user.yaml" and locs["n"]["y"] is new_locs["n"]["y"]

    def test_key_errors(self):
        with pytest.raises(KeyError):
            recursive_location_setdefault({"a": {}}, {"a": {"b": 1}}, {}, {"a": {}})
        with pytest.raises(KeyError):
            recursive_location_setdefault({}, {"a": 1}, {}, {})

    def test_non_mappings(self):
        with pytest.raises(TypeError) as info:
            recursive_location_setdefault({}, [], {}, {})
        assert str(info.value) == "recursive_location_setdefault takes two dicts"


BASE = """\
testbed:
  name: base
  servers:
    - &srv {name: alpha, ip: 10.0.0.1}
    - {name: beta, ip: 10.0.0.2}
  defaults: &defaults
    timeout: 30
    retries: 3
tools: [ping, ssh]
"""
LAB = """\
testbed:
  name: lab-7
  '%EXTEND_LIST{servers}':
    - {name: gamma, ip: 10.7.0.3}
  defaults:
    retries: 5
"""
OVERRIDE = """\
'%EXTEND_LIST{tools}': [scp]
testbed:
  defaults: {timeout: 90}
  owner: me
"""


@pytest.mark.parametrize("path", PATHS)
def test_realistic_layered_testbed(path):
    (data, locs), (lab, lab_locs), (mine, mine_locs) = [
        load(text, path, file_name=name)
        for name, text in [("/t/base.yaml", BASE), ("/t/lab.yaml", LAB), ("/home/me/override.yaml", OVERRIDE)]
    ]
    for layer, layer_locs in ((lab, lab_locs), (mine, mine_locs)):
        recursive_location_update(data, layer, locs, layer_locs, list_extend=True)
    assert data == {
        "testbed": {
            "name": "lab-7",
            "servers": [
                {"name": "alpha", "ip": "10.0.0.1"},
                {"name": "beta", "ip": "10.0.0.2"},
                {"name": "gamma", "ip": "10.7.0.3"},
            ],
            "defaults": {"timeout": 90, "retries": 5},
            "owner": "me",
        },
        "tools": ["ping", "ssh", "scp"],
    }
    tb = locs["testbed"]
    assert str(tb["name"]["lab-7"]) == "lab.yaml line:2 column:9"
    assert str(tb["servers"][2]) == "lab.yaml line:4 column:7"
    assert str(tb["servers"][0]) == "base.yaml line:4 column:7"
    assert str(tb["defaults"]["timeout"][90]) == "override.yaml line:3 column:23"
    assert str(tb["defaults"]["retries"][5]) == "lab.yaml line:6 column:14"
    assert str(tb["owner"]["me"]) == "override.yaml line:4 column:10"
    assert str(locs["tools"][2]["scp"]) == "override.yaml line:1 column:25"
    # The same layering on plain data with recursive_update.
    plain = yaml.safe_load(BASE)
    for text in (LAB, OVERRIDE):
        dicts.recursive_update(plain, yaml.safe_load(text), list_extend=True)
    assert plain["tools"] == ["ping", "ssh", "scp"]
    assert "%EXTEND_LIST{servers}" in plain["testbed"]  # below the top level: an ordinary key


# ------------------------------------------------------------------ leaks


@pytest.mark.slow
@pytest.mark.parametrize("path", PATHS)
def test_no_reference_leaks(path):
    def run():
        data, locs = load("a: {b: [1, 2]}\nc: &x x\nd: *x\ne: {<<: {f: 1}}\n", path)
        location_deepcopy(locs)
        new, new_locs = load("'%EXTEND_LIST{l}': [3]\na: {g: 1}\n", path)
        recursive_location_update(data, new, locs, new_locs, list_extend=True)
        recursive_location_setdefault(data, {"z": 1}, locs, {"z": Location()})
        str(locs["a"])
        loc = Location({"a": 1})
        loc.line, loc.file = 2**40, "f"
        vars(loc)
        pickle.loads(pickle.dumps(loc))
        copy.deepcopy(Location(b=Location()))
        del loc.column
        load("&a : [*a, {b: *a}]\n", path)  # its location tree holds a cycle
        load(
            "a: 2001-12-14\nb: &m {x: 1, =: 2}\nc: {<<: [*m, {y: 1}]}\n--- [1, !!int 0x10]\n", path, all_documents=True
        )
        for bad in ("a: [1\n", "a: !x y\n", "{a: }\n"):
            try:
                load(bad, path)
            except yaml.YAMLError:
                pass

    assert_no_leak(run, calls=1500)
