"""Hostile keys and containers across the modules.

Comparisons, hashes and attribute reads that replace, empty or grow the very
container being searched or walked, or that drop the last reference to what
the engine is using. Each case ends in a clean exception or the right result,
never in a crash; run them under the sanitizer build too (scripts/sanitize),
where a use of freed memory aborts the run.
"""

import gc

import pytest
import yaml

from ovark.utils.argv_tools import remove_dups_from_multiple_nargs_list
from ovark.utils.dicts import recursive_cast, recursive_setdefault, recursive_update
from ovark.utils.import_utils.legacy import LegacyImporter
from ovark.utils.locations import (
    Location,
    LocSafeLoader,
    location_deepcopy,
    recursive_location_setdefault,
    recursive_location_update,
)
from ovark.utils.objects import Contains, Find, Not, NotExists, Operator, R, find


class Boom(Exception):
    pass


def reuse_freed_memory():
    """Give freed objects' memory to new ones, so that a dangling pointer reads garbage."""
    gc.collect()
    return [(i, i, i) for i in range(200)] + [{} for _ in range(50)]


class Collider(str):
    """A text key that lands in the slot of `twin` and runs `action` whenever a
    dict lookup compares it."""

    def __new__(cls, text, twin, action):
        self = super().__new__(cls, text)
        self.twin, self.action = twin, action
        return self

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        self.action()
        reuse_freed_memory()
        return False

    __ne__ = str.__ne__


def raise_boom():
    raise Boom("hostile comparison")


def outcome(call):
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the kind of failure is what is checked
        return type(error)


# --- locations: Location's attributes -----------------------------------------


@pytest.mark.parametrize("operation", ["get", "set", "del"])
@pytest.mark.parametrize("action", ["replace", "clear", "raise"])
@pytest.mark.parametrize("name", ["file", "line", "column", "other"])
def test_location_attribute_dict_changed_by_its_own_keys(name, action, operation):
    loc = Location()
    actions = {
        "replace": lambda: setattr(loc, "__dict__", {"file": "new.yaml", "line": 7, "column": 8}),
        "clear": lambda: loc.__dict__.clear(),
        "raise": raise_boom,
    }
    loc.__dict__ = {Collider("key", name, actions[action]): 1}
    calls = {"get": lambda: getattr(loc, name), "set": lambda: setattr(loc, name, 5), "del": lambda: delattr(loc, name)}
    expected = Boom if action == "raise" else None if operation == "set" else AttributeError
    assert outcome(calls[operation]) is expected
    # The record stays whole: its attributes read as plain values or raise cleanly.
    assert isinstance(vars(loc), dict)
    for field in ("file", "line", "column"):
        assert outcome(lambda: getattr(loc, field)) in (AttributeError, Boom, "new.yaml", 5, 7, 8)


@pytest.mark.parametrize("kind", [dict, Location])
def test_location_deepcopy_of_a_tree_that_grows_while_copied(kind):
    source = kind()

    class Growing(str):
        def __hash__(self):
            source[object()] = 1  # the walk's own tree grows
            return str.__hash__(self)

    source[Growing("a")] = {"b": 1}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        location_deepcopy(source)


@pytest.mark.parametrize("target", ["data", "locations", "new_locations"])
@pytest.mark.parametrize("merge", [recursive_location_update, recursive_location_setdefault])
def test_location_merges_with_a_key_that_empties_a_tree(merge, target):
    trees = {"data": {"a": {"x": 1}}, "locations": {"a": {"x": Location()}}, "new_locations": {"a": {"y": Location()}}}
    key = Collider("b", "a", trees[target].clear)
    new_data = {key: {"y": 2}}
    trees["new_locations"][key] = {"y": Location()}
    result = outcome(lambda: merge(trees["data"], new_data, trees["locations"], trees["new_locations"]))
    assert result is trees["data"] or result is KeyError
    if result is trees["data"]:
        assert any(k is key for k in trees["data"])


def test_loader_survives_a_node_whose_tag_read_empties_its_mapping():
    class ShiftyKey(yaml.ScalarNode):
        """A key node whose tag, when read, takes every pair out of its mapping."""

        pairs = None

        @property
        def tag(self):
            if self.pairs is not None:
                self.pairs.clear()
                reuse_freed_memory()
            return self._tag

        @tag.setter
        def tag(self, value):
            self._tag = value

    def document():
        pairs = [(ShiftyKey("tag:yaml.org,2002:str", "k"), yaml.ScalarNode("tag:yaml.org,2002:str", "v"))]
        pairs[0][0].pairs = pairs
        return yaml.MappingNode("tag:yaml.org,2002:map", pairs)

    # SafeLoader's own reading of the same nodes is the reference.
    assert LocSafeLoader("").construct_document(document()) == yaml.SafeLoader("").construct_document(document())


# --- objects: operators whose fields change in use ------------------------------


class Matcher:
    """Stands in for an operator's compiled pattern."""

    def match(self, text):
        return "matched " + text


def operator_cases():
    def regex_dropped_by_truth():
        op = Operator("(x)")
        op.regex = Matcher()

        class Sneaky:
            def __bool__(self):
                op.regex = None
                reuse_freed_memory()
                return True

            def __str__(self):
                return "it"

        return op == Sneaky()

    def value_dropped_by_its_comparison(cls):
        class Value:
            def __eq__(self, other):
                op.value = 0
                reuse_freed_memory()
                return NotImplemented

        op = cls(Value())
        return op == 5

    def contains_value_dropped_by_values():
        class Shifting(dict):
            def values(self):
                op.value = None
                reuse_freed_memory()
                return ["x"]

        op = Contains(object())
        return op == Shifting(a="x")

    def notexists_parent_dropped(field):
        class Parent(dict):
            def __contains__(self, key):
                setattr(op, field, "other")
                reuse_freed_memory()
                return False

        op = NotExists(object() if field == "value" else "k")
        op.parent = Parent()
        return op == "anything"

    return [
        pytest.param(regex_dropped_by_truth, "matched it", id="regex-dropped"),
        pytest.param(lambda: value_dropped_by_its_comparison(Operator), False, id="value-dropped"),
        pytest.param(lambda: value_dropped_by_its_comparison(Not), True, id="not-value-dropped"),
        pytest.param(contains_value_dropped_by_values, False, id="contains-value-dropped"),
        pytest.param(lambda: notexists_parent_dropped("parent"), True, id="notexists-parent-dropped"),
        pytest.param(lambda: notexists_parent_dropped("value"), True, id="notexists-value-dropped"),
    ]


@pytest.mark.parametrize("compare, expected", operator_cases())
def test_operator_fields_replaced_while_comparing(compare, expected):
    assert compare() == expected


@pytest.mark.parametrize(
    "action, path_result, keyword_result",
    [
        ("clear", [], []),
        ("raise", Boom, Boom),
        ("raise-deep", [], Boom),  # a failing step on the way only leaves the member out
    ],
)
def test_find_with_a_key_that_changes_the_searched_dict(action, path_result, keyword_result):
    def member():
        data = {"b": 2}
        data[Collider("z", "a", data.clear if action == "clear" else raise_boom)] = 1
        return data

    path = ["a", "q", 1] if action == "raise-deep" else ["a", 1]
    keyword = {"a__q": 1} if action == "raise-deep" else {"a": 1}
    assert outcome(lambda: find([member()], R(path))) == path_result
    assert outcome(lambda: find([member()], R(**keyword))) == keyword_result


def test_find_pattern_step_over_a_dict_that_grows_while_walked():
    class Key:
        def __init__(self, owner):
            self.owner = owner

        def __str__(self):
            self.owner[object()] = 0
            return "k"

    data = {}
    data[Key(data)] = 1
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        find([data], R(["(.*)", 1]))
    data = {}
    data[Key(data)] = {"q": 1}
    assert find([data], R(["(.*)", "q", 1])) == []  # a failing step on the way only leaves the member out


def test_find_index_reads_a_member_the_callers_list_dropped():
    members = []

    class Shrinking(dict):
        reads = 0

        def __getitem__(self, key):
            Shrinking.reads += 1
            if Shrinking.reads == 2:  # the first read of the index step
                members.clear()
                reuse_freed_memory()
            return super().__getitem__(key)

    inner = {"a": {"q": 1}, "b": {"q": 1}}
    members.append(Shrinking(x=inner))
    finder = Find()
    finder.initial_object = "outer search"  # a nested search: the outer call keeps the bookkeeping
    assert finder.find(members, R(["x", "(.*)", "q", 1]), filter_=False, index=1, _first=False) == [
        (inner, ["x", "a", "q"]),
        (inner, ["x", "b", "q"]),
    ]


def test_find_type_list_emptied_by_an_instance_check():
    class Meta(type):
        def __instancecheck__(cls, obj):
            types.clear()
            reuse_freed_memory()
            return True

    types = [Meta("Anything", (), {}), dict]
    assert find([{"a": 1}, 2], type_=types) == [{"a": 1}]


# --- dicts -------------------------------------------------------------------------


@pytest.mark.parametrize("merge", [recursive_update, recursive_setdefault])
@pytest.mark.parametrize("action", ["clear-target", "clear-source", "grow-source", "raise"])
def test_dict_merges_with_a_key_that_changes_the_trees(merge, action):
    a, b = {"k": {"x": 1}}, {}
    actions = {
        "clear-target": a.clear,
        "clear-source": b.clear,
        "grow-source": lambda: b.update({object(): 1}),
        "raise": raise_boom,
    }
    key = Collider("other", "k", actions[action])
    b[key] = {"y": 2}
    result = outcome(lambda: merge(a, b))
    if action == "clear-target":
        assert result is a and [k for k in a] == [key] and a[key] == {"y": 2}
    elif action == "raise":
        assert result is Boom
    else:
        assert result is RuntimeError


def test_recursive_cast_into_a_mapping_that_grows_while_walked():
    class Growing(dict):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            super().__setitem__(object(), 0)

    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        recursive_cast({"a": {"b": 1}}, Growing)


# --- argv_tools ------------------------------------------------------------------------


def test_remove_dups_with_an_item_whose_hash_empties_its_list():
    class Emptying(str):
        def __hash__(self):
            lists[0].clear()
            reuse_freed_memory()
            return str.__hash__(self)

    first = Emptying("a")
    lists = [[first, "b"], ["c"]]
    result = remove_dups_from_multiple_nargs_list(lists)
    assert result == [[first], ["c"]] and result[0][0] is first


# --- import_utils.legacy -----------------------------------------------------------------


def fresh_rules():
    class Rules(LegacyImporter):
        _importmap, _reverse_importmap, _custom_translators, _custom_reverse_translators = {}, {}, [], []

    return Rules


@pytest.mark.parametrize("action, expected", [("clear", None), ("replace", None), ("raise", Boom)])
def test_translate_with_a_name_that_changes_the_rules(action, expected):
    rules = fresh_rules()
    rules.register(old="modern")
    actions = {
        "clear": lambda: rules._importmap.clear(),
        "replace": lambda: setattr(rules, "_importmap", {}),
        "raise": raise_boom,
    }
    assert outcome(lambda: rules.translate(Collider("old", "old", actions[action]))) is expected


def test_register_with_a_modern_name_that_fails_to_hash_registers_nothing():
    class Unhashable(str):
        def __hash__(self):
            raise Boom("no hash")

    rules = fresh_rules()
    with pytest.raises(Boom):
        rules.register(old=Unhashable("modern"))
    assert rules._importmap == {} and rules._reverse_importmap == {}
    assert rules.translate("old.sub") is None
