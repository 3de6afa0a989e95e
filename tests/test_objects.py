"""ovark.utils.objects: requirements, operators, the matcher, find and grouping."""

import copy
import inspect
import re
import sys
import threading
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from types import MappingProxyType

import pytest
from conftest import Table, assert_no_leak

from ovark.datastructures.logic import And, Or
from ovark.datastructures.logic import Not as LogicNot
from ovark.topology.bases import TopologyObject
from ovark.utils import objects
from ovark.utils.objects import Contains, Find, GroupKeys, Not, NotExists, Operator, R, find

# ---------------------------------------------------------------------------
# Realistic data
# ---------------------------------------------------------------------------


def bgp_tree():
    """A "show bgp"-style tree: instances, vrfs, neighbors, attributes."""

    def neighbor(state, asn, up):
        return {
            "session_state": state,
            "remote_as": asn,
            "up_time": up,
            "address_family": {"ipv4 unicast": {"prefixes_received": 10, "bgp_table_version": 7}},
        }

    return {
        "instance": {
            "default": {
                "vrf": {
                    "default": {
                        "neighbor": {
                            "200.1.1.1": neighbor("established", 100, "01:00:00"),
                            "200:1::1:1": neighbor("idle", 200, "never"),
                        }
                    },
                    "red": {"neighbor": {"10.0.0.1": neighbor("established", 300, "00:10:00")}},
                }
            },
            "mgmt": {"vrf": {"default": {"neighbor": {"192.168.0.1": neighbor("active", 100, "never")}}}},
        }
    }


class Interface:
    def __init__(self, name, status, speed, data=None):
        self.name, self.status, self.speed = name, status, speed
        self.data = data if data is not None else {}

    def __repr__(self):
        return "Interface({!r})".format(self.name)


class Device(TopologyObject):
    def __init__(self, name, interfaces):
        self.name = name
        self.interfaces = interfaces

    def __iter__(self):
        return iter(self.interfaces)


class Obj:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Rack(Obj):
    """Not a mapping, though it has a method called items."""

    def items(self):
        return [("zz", Obj(x="up"))]


VLANS = {
    "100": {"status": "active", "vl_mode": "CE", "members": [1, 2, 3, 4], "vlan_type": "enet", "name": "VLAN0100"},
    "200": {"status": "deactive", "vl_mode": "CE", "members": [5], "vlan_type": "enet", "name": "VLAN0200"},
}


# ---------------------------------------------------------------------------
# Module surface
# ---------------------------------------------------------------------------


def test_module_globals_and_classes():
    for name in ("re", "copy", "TopologyObject", "BaseLogic", "Iterable", "Mapping", "logging", "logger"):
        assert hasattr(objects, name)
    assert objects.Iterable is Iterable and objects.Mapping is Mapping and objects.TopologyObject is TopologyObject
    assert objects.logger.name == "ovark.utils.objects"
    assert issubclass(Not, Operator) and issubclass(Contains, Operator) and issubclass(NotExists, Operator)
    assert Find.__bases__ == (object,) and GroupKeys.__bases__ == (object,) and Operator.__bases__ == (object,)
    assert isinstance(find.__self__, Find) and find.__func__ is Find.find
    for cls in (Find, R, Operator, Not, Contains, NotExists, GroupKeys):
        assert cls.__module__ == "ovark.utils.objects"


@pytest.mark.parametrize(
    "func, signature",
    [
        (
            Find.find,
            "(self, from_, *requirements, type_=None, filter_=True, index=None, _first=True, all_keys=False, **kwargs)",
        ),
        (Find._match, "(self, obj, wanted, use__syntax=True, filter_=True)"),
        (Find._normalize_r, "(self, requirements)"),
        (Find._formalize_loopable, "(self, obj)"),
        (Find._build_dict, "(self, from_, keys, index)"),
        (Find._unhashable_intersection, "(self, unhashables_lists)"),
        (Find._unhashable_remove, "(self, unhashables)"),
        (Find.reset_keys, "(self)"),
        (Find._populate_path, "(self, path, keys, device=None, _cur_path=None, _first=True)"),
        (GroupKeys.group_keys, "(source, reqs, ret_num=None, all_keys=False)"),
        (R.__init__, "(self, *args, **kwargs)"),
        (Operator.__init__, "(self, value=None)"),
        (Operator.match, "(self, other)"),
        (Operator.__deepcopy__, "(self, memo)"),
    ],
)
def test_signatures(func, signature):
    assert str(inspect.signature(func)) == signature


@pytest.mark.parametrize(
    "obj, text",
    [
        (R.__init__, "Requirements class"),
        (Operator.__eq__, "dunder function to match regex or object comparison"),
        (Not.__eq__, "dunder function to check whether no value or they dont match "),
        (Find._normalize_r, "normalization function to reduce regex at multiple requirements"),
        (Find.reset_keys, " Reset all the keys as find api returns an instance not the object."),
        (Find._build_dict, "Recursive function to return the right dictionary for the index"),
        (Find._populate_path, "Create the multiple paths out of the paths"),
    ],
)
def test_docstrings_exact(obj, text):
    assert obj.__doc__ == text


@pytest.mark.parametrize(
    "obj, fragment",
    [
        (Operator, "basic find operator"),
        (Operator, "Takes a requirement value and uses to match laterly."),
        (Operator, "value(`object`): regex or str or any object"),
        (Not, " Not operator"),
        (Contains, " Contains operator"),
        (NotExists, " Key does not exists in dictionary and object"),
        (Find.find, "Filters the objects that are matching the requirements in an iterable."),
        (Find._match, "Function that verifies wanted logic is in the obj."),
        (Find._formalize_loopable, "formalize_loopable for _match"),
        (Find._formalize_loopable, "return a valid loopable for _match. Will raise an exception if not a valid type"),
        (Find._unhashable_remove, "Removes repeating unhashables from a list. Equivelant of set()"),
        (GroupKeys, "the dict which contains the headers as keys, and values from the source corresponding keys"),
        (GroupKeys.group_keys, "source (`list`) : Function ovark.utils.objects.find output."),
    ],
)
def test_docstring_fragments(obj, fragment):
    assert fragment in obj.__doc__


def test_qualified_names():
    assert Find.find.__qualname__ == "Find.find"
    assert Not.__eq__.__qualname__ == "Not.__eq__"
    assert GroupKeys.group_keys.__qualname__ == "GroupKeys.group_keys"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Operator(1, 2), "__init__() takes at most 2 positional arguments (3 given)"),
        (lambda: Operator().match(), "match() takes exactly 2 positional arguments (1 given)"),
        (lambda: Operator(x=1), "__init__() got an unexpected keyword argument 'x'"),
        (lambda: find(), "find() takes at least 2 positional arguments (1 given)"),
        (lambda: Find()._match(1), "_match() takes at least 3 positional arguments (2 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# R and the operators
# ---------------------------------------------------------------------------


def test_r_keeps_arguments_unvalidated():
    r = R(["a", 1], 5, bla="blabla")
    assert r.args == (["a", 1], 5) and r.kwargs == {"bla": "blabla"}
    r.args = ([1, 2],)
    r.extra = "free attribute"
    assert r.args == ([1, 2],) and r.extra == "free attribute"
    assert R().args == () and R().kwargs == {}


@pytest.mark.parametrize("value, regex", [("(.*)", True), (".*", False), ("(abc", False), (5, False), (None, False)])
def test_operator_constructor(value, regex):
    op = Operator(value)
    assert op.value is value and op.parent is None
    assert (op.regex is not None) is regex
    if regex:
        assert op.regex.pattern == value


@pytest.mark.parametrize(
    "op, other, expected",
    [
        (Operator("(1)"), 100, True),
        (Operator("(1)"), 0, False),
        (Operator("(.*)"), "", False),
        (Operator("(abc"), "(abc", True),
        (Operator("(abc"), "abc", False),
        (Operator(".*"), "x", False),
        (Operator(5), 5, True),
        (Operator([1, 2, 3, 4]), [1, 2, 3, 4], True),
        (Not("200"), "100", True),
        (Not("(1)"), "100", False),
        (Not("(.*)"), "", True),
        (Contains("a"), {"a": 0}, True),
        (Contains(1), {"x": 1}, True),
        (Contains(1), [1, 2, 3, 4], True),
        (Contains("100"), "VLAN0100", True),
        (Contains(None), [None], False),
        (Contains(1), None, False),
        (Contains(5), 5, True),
        (Contains(7), [1, 2], False),
    ],
)
def test_operator_equality(op, other, expected):
    assert bool(op == other) is expected
    assert bool(op != other) is (not expected)
    assert bool(op.match(other)) is expected
    assert bool(other == op) is expected  # the reflected comparison


def test_operator_eq_returns_match_object():
    result = Operator("(1)") == 100
    assert isinstance(result, re.Match) and result.group(0) == "1"
    assert (Operator("(2)") == 100) is None
    assert (Not("x") == "y") is True


def test_contains_refused_membership_propagates():
    with pytest.raises(TypeError):
        Contains(1) == "abc"


def test_notexists_looks_at_parent():
    op = NotExists("x")
    assert op == "anything"  # no parent yet
    op.parent = {"x": None}
    assert not op == 1
    op.parent = {"y": 1}
    assert op == 1

    class Obj:
        x = 0
        y = 1

    op.parent = Obj()
    assert op == 1  # falsy attribute counts as absent
    op.value = "y"
    assert not op == 1


@pytest.mark.parametrize(
    "op, text", [(Not("x"), "Not('x')"), (NotExists(3), "NotExists('3')"), (Not(None), "Not('None')")]
)
def test_reprs(op, text):
    assert repr(op) == text


def test_default_reprs():
    assert repr(Operator(1)).startswith("<ovark.utils.objects.Operator object at ")
    assert repr(Contains(1)).startswith("<ovark.utils.objects.Contains object at ")


def test_hash_follows_value():
    assert hash(Operator("a")) == hash("a") and hash(Not(5)) == hash(5)
    assert Operator("a").__hash__() == hash("a")
    assert {Operator("a"): 1}["a"] == 1  # same hash, equal
    for op in (Operator([1]), Not({}), Contains([]), NotExists([])):
        with pytest.raises(TypeError):
            hash(op)


def test_deepcopy_keeps_sharing_and_recompiles():
    op = Not("(a.*)")
    op.parent = {"x": 1}
    copied = copy.deepcopy([op, op, {"k": op}])
    assert copied[0] is copied[1] is copied[2]["k"]
    assert type(copied[0]) is Not and copied[0] is not op
    assert copied[0].value == "(a.*)" and copied[0].parent is None
    assert copied[0].regex.pattern == "(a.*)"
    value = [1, [2]]
    assert copy.deepcopy(Operator(value)).value == value and copy.deepcopy(Operator(value)).value is not value


def test_copy_and_pickle_keep_attributes():
    import pickle

    op = NotExists("x")
    op.parent = {"x": 1}
    op.note = "free"
    for clone in (copy.copy(op), pickle.loads(pickle.dumps(op))):
        assert type(clone) is NotExists and clone.value == "x" and clone.parent == {"x": 1}
        assert clone.regex is None and clone.note == "free"
    r = R(["a", 1], x=2)
    for clone in (copy.copy(r), pickle.loads(pickle.dumps(r))):
        assert clone.args == (["a", 1],) and clone.kwargs == {"x": 2}
    assert "__ne__" not in Operator.__dict__ and Operator("a") != "b"


def test_subclass_of_operator_keeps_working():
    class Upper(Operator):
        def __eq__(self, other):
            return isinstance(other, str) and other.isupper()

        __hash__ = Operator.__hash__

    assert Upper("x") == "ABC" and not Upper("x") == "abc"
    data = {"A": 1, "b": 2}
    assert find(data, R([Upper(None), 1])) == [data]


# ---------------------------------------------------------------------------
# _normalize_r and _formalize_loopable
# ---------------------------------------------------------------------------


def test_normalize_returns_same_object_when_nothing_to_do():
    f = Find()
    single = [R(["a", 1])]
    assert f._normalize_r(single) is single
    no_args = [R(a=1), R(["a", 1])]
    assert f._normalize_r(no_args) is no_args
    second_without = [R(["a", 1]), R(a=1)]
    assert f._normalize_r(second_without) is second_without
    assert f._normalize_r([]) == []


def test_normalize_literal_against_pattern_follows_set_order():
    a, b = ["a", "(.*)", 1], ["a", "b", 1]
    result = Find()._normalize_r([R(a), R(b)])
    assert [r.args for r in result] == [(a,), (b,)]
    assert result[0].args[0] is a  # the caller's own lists
    literal_first = next(iter({"(.*)", "b"})) == "b"
    assert a == (["a", "b", 1] if literal_first else ["a", "(.*)", 1])


def test_normalize_two_literals_stops():
    a, b = ["x", "(.*)", "c", 1], ["y", "b", "(.*)", 1]
    result = Find()._normalize_r([R(a), R(b)])
    assert a == ["x", "(.*)", "c", 1] and b == ["y", "b", "(.*)", 1]
    assert all(type(r) is R for r in result)


def test_normalize_skips_positions_that_cannot_be_hashed():
    members = {"data": {"100": {"members": [1, 2, 3, 4], "name": "VLAN0100"}}}
    reqs = [R(["data", "(.*)", "members", [1, 2, 3, 4]]), R(["data", "(.*)", "name", "VLAN0100"])]
    assert len(Find()._normalize_r(reqs)) == 2
    assert find(members, *reqs) == [members]


def test_formalize_loopable():
    f = Find()
    assert f._formalize_loopable((1, 2)) == (1, 2)
    assert list(f._formalize_loopable({"a": 1})) == [1]
    with pytest.raises(TypeError) as info:
        f._formalize_loopable(5)
    assert str(info.value) == "object '5' of type <class 'int'> is not allowed."
    with pytest.raises(TypeError) as info:
        f._formalize_loopable("abc")
    assert str(info.value) == "object 'abc' is a string which is not allowed."
    with pytest.raises(TypeError, match="is not allowed"):
        f._formalize_loopable(Device("r1", []))


# ---------------------------------------------------------------------------
# _match
# ---------------------------------------------------------------------------


class First:
    status = "up"
    speed = "300"


@pytest.mark.parametrize(
    "wanted, expected",
    [
        ({"status": "up", "speed": "300"}, True),
        ({"status": "up", "speed": "500"}, False),
        ({"status": Or("down")}, False),
        ({"status": Or("up"), "speed": Or("300", "500")}, True),
        ({"status": And("(u.*)", "up")}, True),
        ({"status": LogicNot("up")}, False),
        ({"missing": 1}, False),
        ({1: 1}, False),  # not a text: a missing attribute on an object
        ({"callable_": lambda obj: obj.speed == "300"}, True),
        ({"status": lambda v: v == "down"}, False),
    ],
)
def test_match_objects(wanted, expected):
    assert Find()._match(First(), wanted) is expected


@pytest.mark.parametrize(
    "obj, expected",
    [
        ({"a": [{"b": 2}, {"b": 1}]}, True),
        ({"a": {"b": 1}}, True),
        ({"a": "b"}, False),
        ({"a": [{"b": 2}]}, False),
        ({"b": 1}, False),
    ],
)
def test_match_multilevel(obj, expected):
    assert Find()._match(obj, {"a__b": 1}) is expected


def test_match_without_cutting():
    f = Find()
    assert f._match({"a__b": 1}, {"a__b": 1}, use__syntax=False) is True
    assert f._match({"a": {"b": 1}}, {"a__b": 1}, use__syntax=False) is False


def test_match_filter_false_pairs_reach_the_value():
    f = Find()
    assert f._match({"a": {"b": 1}}, {"a__b": 1}, filter_=False) == (1, ["a", "b"])
    assert f._match({"a": [{"b": 2}, {"b": 1}]}, {"a__b": 1}, filter_=False) == (1, ["a", 1, "b"])
    assert f._match({"s": "up"}, {"s": Or("up")}, filter_=False) == ("up", ["s"])
    assert f._match({"s": "up"}, {}, filter_=False) is True
    obj = Interface("e0", "up", 10, data={"x": {"y": 5}})
    assert f._match(obj, {"data__x__y": 5}, filter_=False) == (5, ["data", "x", "y"])


def test_match_operator_and_pattern_keys():
    f = Find()
    data = {"": 1, 0: 1, "a": 1}
    assert f._match(data, {Operator("(.*)"): 1}, filter_=False) == (1, ["a"])
    assert f._match({"x": 1}, {NotExists("y"): 1}) is True
    assert f._match({"x": 1, "y": 2}, {NotExists("y"): 1}) is False
    assert f._match({"abc": 1, "abd": 2}, {"(ab.)": 2}, filter_=False) == (2, ["abd"])
    assert f._match({"abc": 1}, {"(x)": 1}) is False
    with pytest.raises(ValueError) as info:
        f._match({"a": 1}, {"(a": 1})
    assert str(info.value) == "'(a' is not a valid regex expression"


def test_match_pattern_value_and_not():
    f = Find()
    assert f._match({"name": "VLAN0100"}, {"name": Operator("(VLAN.*)")}) is True
    assert f._match({"n": 0}, {"n": Operator("(0)")}) is True  # the pattern sees the text of 0
    assert f._match({"name": "VLAN0100"}, {"name": Not("(VLAN.*)")}) is False
    assert f._match({"name": "x"}, {"name": Not("(VLAN.*)")}) is True
    assert f._match({"k": {"a": 1}}, {Operator("(k)"): Not("(.*)")}) is False


def test_match_none_and_errors():
    f = Find()
    assert f._match(None, {"x": 1}) is False

    class Boom:
        def __eq__(self, other):
            raise KeyError("swallowed")

    class Bad:
        def __eq__(self, other):
            raise ValueError("propagates")

    assert f._match({"x": Boom()}, {"x": 1}) is False
    with pytest.raises(ValueError, match="propagates"):
        f._match({"x": Bad()}, {"x": 1})
    with pytest.raises(ZeroDivisionError):
        f._match({"x": 1}, {"x": lambda v: 1 / 0})
    with pytest.raises(RuntimeError):
        f._match(
            {"x": 1},
            {"x": Or.__new__(type("Raising", (Or,), {"__call__": lambda s, v: (_ for _ in ()).throw(RuntimeError())}))},
        )


def test_match_logic_fails_under_optimisation_too():
    import subprocess

    code = (
        "from ovark.utils.objects import Find\nfrom ovark.datastructures.logic import Or\n"
        "print(Find()._match({'s': 'up'}, {'s': Or('down')}))"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


# ---------------------------------------------------------------------------
# Mappings, objects and patterns
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("make", [MappingProxyType, Table, OrderedDict], ids=["mappingproxy", "Mapping", "OrderedDict"])
def test_any_mapping_is_looked_into_by_key(make, monkeypatch):
    m = make({"a": 1, "b": {"c": 2}, "n": [{"c": 3}]})
    f = Find()
    assert f._match(m, {"a": 1}) is True and f._match(m, {"z": 1}) is False
    assert f._match(m, {"(a)": 1}, filter_=False) == (1, ["a"])
    assert f._match(m, {Operator("(b)"): Contains("c")}, filter_=False) == (m["b"], ["b"])
    assert f._match(m, {"b__c": 2, "n__c": 3}) is True
    assert f._match({"x": m}, {"x__a": 1}, filter_=False) == (1, ["x", "a"])  # matched whole, not by its keys
    assert f._match(m, {"a": Or(1)}) is True and f._match(m, {NotExists("a"): 1}) is False
    assert list(f._formalize_loopable(m)) == [1, m["b"], m["n"]]
    assert Contains(2) == make({"k": 2})
    op = NotExists("a")
    op.parent = m
    assert not op == 0
    assert find([m], R(["a", 1])) == [m] and find(m, a=1) == [m]  # searched as one object
    assert find([m], R(["(.*)", "c", 2]), filter_=False) == [(2, ["b", "c"])]
    assert find([m], R(["b", "c", 2]), filter_=False, index=1) == [(m["b"], ["b", "c"])]
    monkeypatch.setattr(objects, "Mapping", dict)  # the module's own name, read when used
    assert f._match(m, {"a": 1}) is (make is OrderedDict)


@pytest.mark.parametrize(
    "obj", [Obj(items=[1], x="up"), Obj(items="many", x="up"), Rack(x="up")], ids=["list", "text", "method"]
)
def test_objects_are_looked_into_by_attribute_even_with_items(obj):
    f = Find()
    assert f._match(obj, {"(x)": "up"}, filter_=False) == ("up", ["x"])
    assert f._match(obj, {Operator("(x)"): "up"}) is True
    assert f._match(obj, {"(zz)": "up"}) is False
    assert f._match(obj, {NotExists("x"): "up"}) is False
    assert find([obj], R(["x", "up"])) == [obj]
    assert find([obj], R(["(.*)", "up"])) == [obj]  # the last step is matched by attribute
    assert find([obj], R(["(.*)", "x", "up"])) == []  # a pattern step walks a mapping's entries only


@pytest.mark.parametrize("key", [("a", 1), ("(a",), ("(.*)",)])
def test_only_a_text_is_a_pattern(key):
    data = {key: {"b": 2}, "x": {key: 3}}
    f = Find()
    assert f._match(data["x"], {key: 3}, filter_=False) == (3, [key])
    assert f._match(Obj(a=3), {key: 3}) is False  # not a text: a missing attribute
    assert find([data], R([key, "b", 2]), filter_=False) == [(2, [key, "b"])]
    assert find([data], R(["x", key, 3]), filter_=False) == [(3, ["x", key])]
    assert find([data], R(["x", key, 3]), R([key, "b", 2])) == [data]  # two literals: nothing to normalise


@pytest.mark.parametrize("wanted", [{Operator("eth1"): "(abc"}, {Operator("(eth.*)"): "(a[b"}])
def test_expected_pattern_that_does_not_compile(wanted):
    with pytest.raises(ValueError) as info:
        Find()._match({"eth1": "(abc"}, wanted)
    assert str(info.value) == "'{}' is not a valid regex expression".format(next(iter(wanted.values())))


# ---------------------------------------------------------------------------
# find
# ---------------------------------------------------------------------------


def test_docstring_examples():
    assert find(from_=[1, 2, 1.2, "bla"], type_=int) == [1, 2]
    assert find([1, 2, 1.2, "bla", {"bla": "blabla"}], R(bla="blabla"), type_=[dict]) == [{"bla": "blabla"}]


@pytest.mark.parametrize("from_", [[], None, (), {}, ""])
def test_empty_from(from_):
    assert find(from_, 5) == []


def test_dict_is_one_object():
    data = {"a": 1}
    assert find(data, R(a=1))[0] is data
    assert find(data, a=2) == []


def test_results_are_members_in_set_order():
    members = [3, 1, 2, 1, 3, 1000, 17]
    assert find(members, type_=int) == list(set(members))
    hosts = ["r1", "r2", "r1", "r3"]
    assert find(hosts) == list(set(hosts) & set(hosts))


def test_unhashable_members_intersect():
    a, b, c = {"x": 1, "y": 1}, {"x": 1, "y": 2}, {"x": 2, "y": 1}
    data = [a, b, c, a]
    result = find(data, R(x=1), R(y=1))
    assert result == [a] and result[0] is a
    assert find(data, R(x=1)) == [a, b]


def test_show_bgp_path_requirements():
    tree = bgp_tree()
    found = find(
        [tree],
        R(["instance", "(.*)", "vrf", "(.*)", "neighbor", "(.*)", "session_state", "established"]),
        filter_=False,
    )
    assert found == [
        ("established", ["instance", "default", "vrf", "default", "neighbor", "200.1.1.1", "session_state"]),
        ("established", ["instance", "default", "vrf", "red", "neighbor", "10.0.0.1", "session_state"]),
    ]
    assert find(tree, R(["instance", "(.*)", "vrf", "(.*)", "neighbor", "(.*)", "session_state", "idle"])) == [tree]
    assert find(tree, R(["instance", "(mgmt)", "vrf", "(.*)", "neighbor", "(.*)", "remote_as", 200])) == []
    deep = find(
        [tree],
        R(
            [
                "instance",
                "default",
                "vrf",
                "default",
                "neighbor",
                "(200.*)",
                "address_family",
                "(.*)",
                "prefixes_received",
                10,
            ]
        ),
        filter_=False,
    )
    assert [path[5] for _, path in deep] == ["200.1.1.1", "200:1::1:1"]


def test_show_bgp_keyword_requirements():
    neighbors = []
    for vrf in bgp_tree()["instance"]["default"]["vrf"].values():
        neighbors.extend(vrf["neighbor"].values())
    assert find(neighbors, session_state="established", remote_as=300) == [neighbors[2]]
    assert find(neighbors, address_family__ipv4_unicast=1) == []
    found = find(neighbors, R(remote_as=100), filter_=False)
    assert found == [(100, ["remote_as"])]


def test_objects_with_attributes():
    e0, e1 = Interface("e0", "up", 100, VLANS), Interface("e1", "down", 10)
    interfaces = [e0, e1]
    assert find(interfaces, R(status="up")) == [e0]
    assert set(find(interfaces, R(["data", Operator("(.*)")]))) == {e0, e1}  # the pattern sees str(data)
    assert find(interfaces, R([Operator("(.*)"), "x", 1])) == []  # an operator step on an object
    assert find(interfaces, R(["data", "(.*)", "members", Contains(1)])) == [e0]
    assert find(interfaces, R(["data", "(.*)", "name", Contains("100")])) == [e0]
    assert find(interfaces, R(["data", "(.*)", "status", Not("deactive")])) == [e0]
    assert find(interfaces, R(["data", "(.*)", "members", Operator([1, 2, 3, 4])])) == [e0]
    assert find(interfaces, R(["data", "(.*)", "missing", NotExists("missing")])) == []
    assert find(interfaces, R(["data", "(.*)", NotExists("missing"), "CE"])) == [e0]
    assert find(interfaces, R(["speed", Operator("(1)")])) == list({e0, e1} & {e0, e1})
    assert find(interfaces, R(["nosuch", "(.*)", 1])) == []
    assert find(interfaces, R(["data", "(bad", "status", "active"])) == []
    assert find(Device("r1", interfaces), R(status="down")) == [e1]  # an iterable device is searched


def test_logic_objects_in_paths_and_keywords():
    tree = bgp_tree()
    assert find(
        [tree], R(["instance", "(.*)", "vrf", "(.*)", "neighbor", "(.*)", "remote_as", Or(100, 300)]), filter_=False
    ) == [
        (100, ["instance", "default", "vrf", "default", "neighbor", "200.1.1.1", "remote_as"]),
        (300, ["instance", "default", "vrf", "red", "neighbor", "10.0.0.1", "remote_as"]),
        (100, ["instance", "mgmt", "vrf", "default", "neighbor", "192.168.0.1", "remote_as"]),
    ]
    assert find([{"state": "up"}, {"state": "down"}], state=LogicNot("down")) == [{"state": "up"}]


@pytest.mark.parametrize(
    "req, exc, message",
    [
        (
            R((1, 2)),
            TypeError,
            "'args' has to be list. Instead (1, 2) in ((1, 2),) was provided. Examples of acceptable "
            "requirement:\nfind(iterable, R(['a','b', 1]) ",
        ),
        (
            R(["a"]),
            ValueError,
            "R object expected *args list with at least 2 values that the last one will be used as "
            "the expected value but instead received ['a'] within (['a'],)",
        ),
    ],
)
def test_requirement_errors(req, exc, message):
    with pytest.raises(exc) as info:
        find([{"a": 1}], req)
    assert str(info.value) == message


def literal_before_pattern():
    """A literal and a pattern matching every text, such that the set of the two
    visits the literal first (where normalising writes it into every path)."""
    return next(
        (k, p)
        for p in ("(.*)", "(.+)", "(.*?)", "(.{0,})", "(.?.*)", "((.*))")
        for k in "abcdefghijklmnop"
        if next(iter({k, p})) == k
    )


@pytest.mark.parametrize("bad", [lambda k: (k, 1), lambda k: 5, lambda k: k + "1"], ids=["tuple", "int", "str"])
@pytest.mark.parametrize("bad_first", [True, False])
def test_path_that_is_not_a_list_beside_other_requirements(bad, bad_first):
    key, pattern = literal_before_pattern()
    data = {key: 1, key + "1": 1}
    reqs = [R(bad(key)), R([pattern, 1])]
    if not bad_first:
        reqs.reverse()
    with pytest.raises(TypeError) as info:
        find([data], *reqs)
    assert str(info.value).startswith("'args' has to be list. Instead {} in ".format(bad(key)))
    assert Find()._normalize_r(reqs) is reqs


@pytest.mark.parametrize("op", [Operator([1]), Not({"a": 1}), Operator(Operator([1]))])
def test_unhashable_operators_in_several_requirements(op):
    data = {"a": [1], "b": {"x": 1}}
    assert find([data], R(["a", op]), R(["(.*)", op])) == find([data], R(["a", op])) == [data]
    assert find([data], R([op, "x", 1]), R(["b", "x", 1])) == []  # an operator step keys no entry
    assert len(Find()._normalize_r([R(["a", op]), R(["(.*)", op])])) == 2


MAPPED = {"k": {"a": 1}}


@pytest.mark.parametrize(
    "from_, expected",
    [
        (MappingProxyType({"a": 1}), "itself"),  # one object, as a dict is
        (MAPPED.values(), [MAPPED["k"]]),
        (MAPPED.items(), []),
    ],
    ids=["mappingproxy", "values", "items"],
)
def test_from_that_cannot_be_copied_is_kept(from_, expected):
    assert find(from_, R(a=1)) == ([from_] if expected == "itself" else expected)
    assert find.__self__.initial_object in (from_, [from_])


def test_non_r_requirement_anywhere():
    for reqs in ((5,), (R(a=1), 5), (5, R(["a", 1]))):
        with pytest.raises(TypeError) as info:
            find([{"a": 1}], *reqs)
        assert str(info.value).startswith("Requirements list can only contain R objects. Another type was found: 5 in ")


def test_both_kinds_of_requirements_warn(caplog):
    with caplog.at_level("WARNING", logger="ovark.utils.objects"):
        assert find([{"a": 1}], R(a=1), a=2) == [{"a": 1}]
    assert "Requirements were provided by using both *requirements and kwargs. Ignoring kwargs." in caplog.text


def test_generator_is_read_once():
    data = [{"a": 1}, {"a": 2}]
    assert find((d for d in data), R(a=1), R(["a", 1])) == [data[0]]


def test_index_and_build_dict():
    tree = bgp_tree()
    req = R(["instance", "default", "vrf", "(.*)", "neighbor", "(.*)", "session_state", "established"])
    assert find([tree], req, filter_=False, index=0)[0][0] is tree
    by_vrf = find([tree], req, filter_=False, index=4)
    assert by_vrf[1] == (
        tree["instance"]["default"]["vrf"]["red"],
        ["instance", "default", "vrf", "red", "neighbor", "10.0.0.1", "session_state"],
    )
    with pytest.raises(ValueError) as info:
        find([tree], req, filter_=False, index=8)
    assert str(info.value).startswith("Cannot use index of size '8' on '['instance'")
    assert find([tree], req, filter_=0, index=4) == find([tree], req, filter_=False)
    assert find([tree, tree], req, filter_=False, index=4) == find([tree, tree], req, filter_=False)
    e0 = Interface("e0", "up", 100, VLANS)
    assert Find()._build_dict(e0, ["data", "100", "status"], 1) is VLANS["100"]
    assert Find()._build_dict({"a": {"b": 1}}, ["a", "b"], 5) == 1


@pytest.mark.parametrize(
    "obj, path, index, expected",
    [
        (Obj(v=Obj(w=1)), ["v"], 1, "v"),  # the path ends at the attribute
        (Obj(v=Obj(w=1)), ["v", "w"], 1, 1),  # an attribute of an attribute
        (Obj(v=Obj(w=Obj(z=2))), ["v", "w", "z"], 2, 2),
        (Obj(v={"w": {"z": 2}}), ["v", "w", "z"], 2, 2),
        (Obj(v=[10, {"z": 2}]), ["v", 1, "z"], 1, {"z": 2}),
        (MappingProxyType({"a": {"b": 1}}), ["a", "b"], 1, {"b": 1}),
    ],
)
def test_build_dict_through_objects(obj, path, index, expected):
    value = Find()._build_dict(obj, path, index)
    assert value == (obj.v if expected == "v" else expected)


def test_index_through_objects():
    o = Obj(v=Obj(w=1))
    assert find([o], v=o.v, filter_=False, index=1) == [(o.v, ["v"])]
    assert find([o], R(["v", "w", 1]), filter_=False, index=1) == [(1, ["v", "w"])]
    assert find([o], R(["v", "w", 1]), filter_=False, index=0) == [(o, ["v", "w"])]


def test_unhashable_intersection_keeps_the_first_order():
    members = [{"a": i % 3 == 0 or i % 2 == 0, "b": i % 3 == 1 or i % 2 == 0, "n": i % 500} for i in range(3000)]
    equal_copies = [dict(m) for m in members[::7]]
    first = find(members, R(a=True), R(b=True))
    assert first == [m for m in members if m["a"] and m["b"]] and all(
        x is y for x, y in zip(first, [m for m in members if m["a"] and m["b"]])
    )
    f = Find()
    lists = [members[::-1], equal_copies, members[::3] + [[1, {"x": 1}], ([2],)], [[1, {"x": 1.0}]]]
    expected = [m for m in members[::-1] if m in equal_copies and m in members[::3] and m in lists[3]]
    assert f._unhashable_intersection(lists) == expected == []
    assert f._unhashable_intersection(lists[:3]) == [m for m in members[::-1] if m in equal_copies and m in lists[2]]
    assert (
        f._unhashable_intersection(
            [[[1, {"x": 1}], [True, {"x": 1.0}], [1, OrderedDict(x=1)]], [[1.0, OrderedDict(x=True)]]]
        )
        == [[1, {"x": 1}]] * 3
    )


def test_unhashable_helpers():
    f = Find()
    a, b = {"x": 1}, {"x": 1}
    assert f._unhashable_remove([a, b, a]) == [a, b]
    assert f._unhashable_intersection([]) == []
    assert f._unhashable_intersection([[a, b, a], [b], [{"x": 1}]]) == [a, b]
    assert f._unhashable_intersection([[a, {"y": 2}], [{"x": 1}]]) == [a]


def test_bookkeeping_attributes():
    tree = bgp_tree()
    members = [tree]
    find(members, R(["instance", "(.*)", "vrf", "(.*)", "neighbor", "(.*)", "remote_as", 1]))
    shared = find.__self__
    assert shared.initial_object == members and shared.initial_object is not members
    assert shared.to_find_dict is True
    assert len(shared.initial_requirements) == 1
    assert shared.reset_keys() is None
    assert not hasattr(shared, "initial_object") and not hasattr(shared, "initial_requirements")


def test_overridden_methods_are_called():
    calls = []

    class Counting(Find):
        def _match(self, obj, wanted, use__syntax=True, filter_=True):
            calls.append(dict(wanted))
            return super()._match(obj, wanted, use__syntax, filter_=filter_)

    tree = bgp_tree()
    req = R(["instance", "(.*)", "vrf", "(.*)", "neighbor", "(.*)", "session_state", "established"])
    assert Counting().find([tree], req, filter_=False) == find([tree], req, filter_=False)
    assert calls and all(c == {"session_state": "established"} for c in calls)
    assert Counting().find([{"a": 1}, {"a": 2}], a=1) == [{"a": 1}]


# ---------------------------------------------------------------------------
# Grouping and all_keys
# ---------------------------------------------------------------------------

NAMED = ["instance", "(?P<instance>.*)", "vrf", "(?P<vrf>.*)", "neighbor", "(?P<neighbor>.*)", "session_state", "(.*)"]


def test_group_keys_docstring_example():
    source = [
        ("established", ["instance", "default", "vrf", "default", "neighbor", "200.1.1.1", "session_state"]),
        ("idle", ["instance", "default", "vrf", "default", "neighbor", "200:1::1:1", "session_state"]),
    ]
    rows = GroupKeys.group_keys(source, [[NAMED]])
    assert rows == [
        {"instance": "default", "vrf": "default", "neighbor": "200.1.1.1"},
        {"instance": "default", "vrf": "default", "neighbor": "200:1::1:1"},
    ]
    assert GroupKeys().group_keys(source, [[NAMED]], 5) == rows


def test_group_keys_columns():
    source = [(1, ["a", "b"])]
    assert GroupKeys.group_keys(source, [[["a", "b", 1]]]) == [{}]
    assert GroupKeys.group_keys(source, [[["(?P<x>a)(?P<y>.*)", "b"]]]) == [{"x": "a"}]
    assert GroupKeys.group_keys(source, [[[Operator("(.*)"), Operator("(?P<col>.*)"), 1]]]) == [{"col": "b"}]
    with pytest.raises(ValueError) as info:
        GroupKeys.group_keys(source, [[["(?P<x", "b"]]])
    assert str(info.value) == "'(?P<x' is not a valid regex expression"
    with pytest.raises(ValueError):
        GroupKeys.group_keys([(1,)], [[["a"]]])


def test_group_keys_all_keys_rows_take_their_own_requirement():
    source = [[("v", ["b"])], [("v", ["a"])], [("v", ["c"])]]
    reqs = [(["(?P<first>.*)", "x"],), (["(?P<second>.*)", "x"],), (["(?P<third>.*)", "x"],)]
    assert GroupKeys.group_keys(source, reqs, all_keys=True) == [{"second": "a"}, {"first": "b"}, {"third": "c"}]
    # Equal lists of paths keep their order; requirements that cannot be compared are never compared.
    same = [[("v", ["a"])], [("v", ["a"])]]
    assert GroupKeys.group_keys(
        same, [([Operator("(?P<p>.*)"), 1],), ([Operator("(?P<q>.*)"), 1],)], all_keys=True
    ) == [{"p": "a"}, {"q": "a"}]
    assert GroupKeys.group_keys(source, reqs[:2], all_keys=True) == [{"second": "a"}, {"first": "b"}]
    with pytest.raises(ValueError) as info:
        GroupKeys.group_keys([(1, ["a"])], [[[Operator("(?P<x"), 1]]])
    assert str(info.value) == "'(?P<x' is not a valid regex expression"


def test_all_keys_relates_later_requirements_to_the_first():
    tree = bgp_tree()
    first = R(
        [
            "instance",
            "(?P<instance>.*)",
            "vrf",
            "(?P<vrf>.*)",
            "neighbor",
            "(?P<neighbor>.*)",
            "session_state",
            "established",
        ]
    )
    second = R(["instance", "(?P<instance>.*)", "vrf", "(?P<vrf>.*)", "neighbor", "(?P<neighbor>.*)", "remote_as", 300])
    assert find([tree], first, second, filter_=False) == []  # different values never intersect
    result = find([tree], first, second, filter_=False, all_keys=True)
    assert find.__self__.initial_found_objects == result
    assert len(find.__self__.found_objects) == 2
    assert result == find([tree], first, filter_=False)
    assert find([tree], first, R(["instance", "(.*)", "x", 1]), filter_=False, all_keys=True) == []


def test_populate_path():
    f = Find()
    assert sorted(
        f._populate_path(["a", "(?P<x>.*)", "{uut}", Operator("{uut}")], {"x": ["1", "2"]}, device="dev")
    ) == [["a", "1", "dev", "dev"], ["a", "2", "dev", "dev"]]
    assert f._populate_path([Operator("(?P<x>1)"), "b"], {"x": [1, 12, 2]}) in (
        [[1, "b"], [12, "b"]],
        [[12, "b"], [1, "b"]],
    )
    assert f._populate_path(["(?P<y>.*)", Operator(5)], {"x": [1]}) == [["(?P<y>.*)", 5]]
    with pytest.raises(ValueError) as info:
        f._populate_path(["(bad"], {})
    assert str(info.value) == "'(bad' is not a valid regex expression"


# Each method reaches each of its parameters under its own name: the same
# call by position and by keyword, where every argument changes the answer.
POPULATE = (["a", "(?P<k>.*)", "{uut}"], {"k": ["1", "1"]}, "dev", ["root"], False)
BUILD = ({"a": {"b": {"c": 1}}}, ["a", "b", "c"], 2)
MATCH = ({"a": {"b": 1}}, {"a__b": 1}, True, False)


@pytest.mark.parametrize(
    "method, args, kwargs, expected",
    [
        ("_populate_path", POPULATE, {}, [["root", "a", "1", "dev"]] * 2),
        (
            "_populate_path",
            (),
            dict(zip(["path", "keys", "device", "_cur_path", "_first"], POPULATE)),
            [["root", "a", "1", "dev"]] * 2,
        ),
        ("_build_dict", BUILD, {}, {"c": 1}),
        ("_build_dict", (), dict(zip(["from_", "keys", "index"], BUILD)), {"c": 1}),
        ("_match", MATCH, {}, (1, ["a", "b"])),
        ("_match", (), dict(zip(["obj", "wanted", "use__syntax", "filter_"], MATCH)), (1, ["a", "b"])),
        (
            "find",
            ([{"a": {"b": 1}}], R(["a", "b", 1])),
            {"type_": [dict], "filter_": False, "index": 1, "_first": True, "all_keys": False},
            [({"b": 1}, ["a", "b"])],
        ),
        ("find", ([{"a": 1}, {"a": 2}],), {"type_": None, "filter_": True, "a": 1}, [{"a": 1}]),
    ],
)
def test_methods_bind_every_parameter_by_name(method, args, kwargs, expected):
    assert getattr(Find(), method)(*args, **kwargs) == expected


# ---------------------------------------------------------------------------
# Robustness
# ---------------------------------------------------------------------------


def test_deep_paths_raise_recursion_error():
    loop = {}
    loop["a"] = loop
    with pytest.raises(RecursionError):
        find([loop], R(["a"] * 100000 + [1]))
    with pytest.raises(RecursionError):
        Find()._match(loop, {"a__" * 100000 + "b": 1})
    deep, same = [1], [1]
    for _ in range(100000):
        deep, same = [deep], [same]
    with pytest.raises(RecursionError):
        find([{"a": deep}], R(a=same))
    with pytest.raises(RecursionError):
        find([{"a": deep}], R(["a", Operator("(.*)")]))  # the text of deep data


def test_self_referencing_data_is_bounded_by_the_path():
    loop = {"name": "x"}
    loop["self"] = loop
    loop["items"] = [loop]
    assert find(loop, R(["self", "self", "name", "x"])) == [loop]
    assert find(loop, R(["(.*)", "(.*)", "name", "x"]), filter_=False) == [("x", ["self", "self", "name"])]
    assert find(loop, self__items__name="x") == [loop]


def test_user_exceptions():
    class BadHash:
        def __hash__(self):
            raise ValueError("hash")

        def __eq__(self, other):
            return False

    class BadAttr:
        @property
        def status(self):
            raise RuntimeError("attr")

    with pytest.raises(ValueError):
        find([BadHash()])  # the set of results hashes it
    with pytest.raises(RuntimeError):
        find([BadAttr()], status="up")
    assert find([BadAttr()], R(["status", "(.*)", 1])) == []  # taking a step swallows


def test_threads_share_the_module_find():
    tree = bgp_tree()
    queries = [
        (R(["instance", "(.*)", "vrf", "(.*)", "neighbor", "(.*)", "session_state", "established"]),),
        # Logic objects run interpreter code for every neighbor: threads switch mid-search.
        (
            R(["instance", "(?P<i>.*)", "vrf", "(?P<v>.*)", "neighbor", "(?P<n>.*)", "remote_as", Or(100, 300)]),
            R(["instance", "(?P<i>.*)", "vrf", "(?P<v>.*)", "neighbor", "(?P<n>.*)", "up_time", Or("never")]),
        ),
    ]
    expected = [find([tree], *q, filter_=False, all_keys=True) for q in queries]
    assert all(expected)
    errors = []

    def worker(n):
        try:
            for _ in range(300):
                got = find([tree], *queries[n % 2], filter_=False, all_keys=True)
                if got != expected[n % 2]:
                    errors.append(got)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors


@pytest.mark.slow
def test_no_leaks():
    tree = bgp_tree()
    req = R(["instance", "(.*)", "vrf", "(.*)", "neighbor", "(.*)", "session_state", "established"])
    neighbors = list(tree["instance"]["default"]["vrf"]["default"]["neighbor"].values())
    assert_no_leak(lambda: find([tree], req, filter_=False, index=2), calls=2000)
    assert_no_leak(lambda: find(neighbors, address_family__ipv4_unicast__prefixes_received=10), calls=2000)
    assert_no_leak(lambda: find([tree], req, req, filter_=False, all_keys=True), calls=2000)
    assert_no_leak(lambda: copy.deepcopy(Not("(a)")), calls=2000)
    assert_no_leak(lambda: GroupKeys.group_keys([(1, ["a", "b"])], [[["(?P<x>a)", "b", 1]]]), calls=2000)
    assert_no_leak(lambda: Find()._match({"x": 1}, {"(x)": 1, NotExists("y"): 1}, filter_=False), calls=2000)
    members = [{"a": i % 3 != 0, "b": i % 3 != 1, "n": [i]} for i in range(30)]
    copies = [dict(m) for m in members[::2]] + [OrderedDict(a=True)]
    assert_no_leak(lambda: find(members, R(a=True), R(b=True)), calls=2000)
    assert_no_leak(lambda: Find()._unhashable_intersection([members, copies, members[1:]]), calls=2000)
    proxy = MappingProxyType({"a": {"b": Obj(c=1)}})
    assert_no_leak(lambda: find(proxy, R(["(.*)", "b", "c", 1]), filter_=False, index=2), calls=2000)
    assert_no_leak(
        lambda: GroupKeys.group_keys(
            [[("v", ["b"])], [("v", ["a"])]], [(["(?P<x>.*)", 1],), (["(?P<y>.*)", 1],)], all_keys=True
        ),
        calls=2000,
    )
    with pytest.raises(TypeError):
        find([1], R((1,)))
    assert_no_leak(lambda: pytest.raises(TypeError, find, [1], R((1,))), calls=2000)
