"""ovark.utils.dicts: recursive update, setdefault and cast of nested mappings."""

import inspect
import re
import types
from collections import OrderedDict, UserDict
from collections.abc import Mapping, MutableSequence

import pytest
from conftest import assert_no_leak
from hypothesis import given, settings
from hypothesis import strategies as st

from ovark.utils import dicts
from ovark.utils.dicts import LIST_EXTEND_PATTERN, recursive_cast, recursive_setdefault, recursive_update


# Plain-Python statements of the three algorithms, for differential tests.
def ref_update(a, b, *, list_extend=False):
    if not isinstance(a, Mapping) or not isinstance(b, Mapping):
        return b
    for k, v in b.items():
        if isinstance(v, Mapping):
            a[k] = ref_update(a.get(k, {}), v)
        elif isinstance(v, MutableSequence) and list_extend:
            m = LIST_EXTEND_PATTERN.match(k)
            if m:
                name = m.groups()[0]
                if isinstance(a.setdefault(name, []), MutableSequence):
                    a[name].extend(v)
                else:
                    a[name] = v
            else:
                a[k] = v
        else:
            a[k] = v
    return a


def ref_setdefault(a, b):
    for k, v in b.items():
        if isinstance(v, Mapping) and isinstance(a.get(k, {}), Mapping):
            a[k] = ref_setdefault(a.get(k, {}), v)
        else:
            a.setdefault(k, v)
    return a


def deep_copy_tree(t):
    if isinstance(t, dict):
        return {k: deep_copy_tree(v) for k, v in t.items()}
    if isinstance(t, list):
        return [deep_copy_tree(v) for v in t]
    return t


# ------------------------------------------------------------------ surface


class TestSurface:
    def test_module_attributes_in_body_order(self):
        names = [n for n in vars(dicts) if not n.startswith("__")]
        assert names == [
            "re",
            "Mapping",
            "MutableSequence",
            "LIST_EXTEND_PATTERN",
            "recursive_update",
            "recursive_setdefault",
            "recursive_cast",
        ]
        assert dicts.re is re
        assert dicts.Mapping is Mapping and dicts.MutableSequence is MutableSequence
        assert LIST_EXTEND_PATTERN.pattern == "^%EXTEND_LIST{ *(.+?) *}$"
        assert LIST_EXTEND_PATTERN.flags == re.compile("").flags

    @pytest.mark.parametrize(
        "func, signature, sentence",
        [
            (
                recursive_update,
                "(a, b, *, list_extend=False)",
                "Recursively updates on nested dictionary a with dictionary b.",
            ),
            (recursive_setdefault, "(a, b)", "Recursively calls setdefault on nested dictionary a with dictionary b."),
            (recursive_cast, "(d, type_)", "Recursively cast a nested dictionary to the provided class type"),
        ],
    )
    def test_names_signatures_docstrings(self, func, signature, sentence):
        assert str(inspect.signature(func)) == signature
        assert func.__doc__ == "{}\n\n    {}\n".format(func.__name__, sentence)
        assert func.__qualname__ == func.__name__
        assert func.__module__ == "ovark.utils.dicts"

    @pytest.mark.parametrize(
        "call, message",
        [
            (
                lambda: recursive_update({}, {}, True),
                "recursive_update() takes exactly 2 positional arguments (3 given)",
            ),
            (lambda: recursive_update({}), "recursive_update() takes exactly 2 positional arguments (1 given)"),
            (lambda: recursive_update({}, {}, x=1), "recursive_update() got an unexpected keyword argument 'x'"),
            (lambda: recursive_update({}, a={}), "recursive_update() got multiple values for keyword argument 'a'"),
            (lambda: recursive_cast({}), "recursive_cast() takes exactly 2 positional arguments (1 given)"),
        ],
    )
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keyword_arguments(self):
        assert recursive_update(b={"x": 1}, a={}) == {"x": 1}
        assert recursive_setdefault(b={"x": 1}, a={"x": 2}) == {"x": 2}
        assert recursive_cast(type_=OrderedDict, d={"x": {}}) == OrderedDict(x=OrderedDict())


# ------------------------------------------------------------------ the markup pattern


@pytest.mark.parametrize(
    "key, target",
    [
        ("%EXTEND_LIST{l}", "l"),
        ("%EXTEND_LIST{ l }", "l"),
        ("%EXTEND_LIST{   a b  }", "a b"),
        ("%EXTEND_LIST{l}\n", "l"),
        ("%EXTEND_LIST{}", None),
        ("%EXTEND_LIST{\tl}", "\tl"),
        ("x%EXTEND_LIST{l}", None),
        ("%EXTEND_LIST{l}x", None),
        ("%EXTEND_LIST{a\nb}", None),
    ],
)
def test_list_extend_pattern(key, target):
    m = LIST_EXTEND_PATTERN.match(key)
    assert (m.groups()[0] if m else None) == target


# ------------------------------------------------------------------ recursive_update


class TestRecursiveUpdate:
    @pytest.mark.parametrize("a, b", [("x", {"a": 1}), ({"a": 1}, [1]), (None, None), (1, {"a": {}})])
    def test_non_mapping_returns_b_itself(self, a, b):
        before = deep_copy_tree(a)
        assert recursive_update(a, b) is b
        assert a == before

    def test_nested_merge_returns_a(self):
        a = {"a": {"b": 1, "c": 2}}
        inner = a["a"]
        assert recursive_update(a, {"a": {"b": 3}}) is a
        assert a == {"a": {"b": 3, "c": 2}} and a["a"] is inner

    def test_values_of_b_are_stored_as_the_same_objects(self):
        m, l, s = {"b": 1}, [1, 2], object()
        a = {"a": 5}
        recursive_update(a, {"a": m, "l": l, "s": s})
        assert a["a"] is m and a["l"] is l and a["s"] is s

    def test_missing_entry_gets_a_new_plain_dict(self):
        inner = OrderedDict(x={"y": 1})
        a = {}
        recursive_update(a, {"k": inner})
        assert type(a["k"]) is dict and a["k"] is not inner
        assert a["k"]["x"] is not inner["x"] and a["k"] == {"x": {"y": 1}}

    def test_list_extend_top_level(self):
        lst = [1]
        a = {"l": lst}
        recursive_update(a, {"%EXTEND_LIST{l}": [2]}, list_extend=True)
        assert a == {"l": [1, 2]} and a["l"] is lst

    def test_without_list_extend_the_key_is_ordinary(self):
        a = {"l": [1]}
        recursive_update(a, {"%EXTEND_LIST{l}": [2]})
        assert a == {"l": [1], "%EXTEND_LIST{l}": [2]}

    @pytest.mark.parametrize(
        "present, expected",
        [
            ({}, [2, 3]),  # missing: a new list holding b's items
            ({"l": "text"}, [2, 3]),  # non-list values are replaced by b's list
            ({"l": (1,)}, [2, 3]),
            ({"l": 7}, [2, 3]),
        ],
    )
    def test_list_extend_targets(self, present, expected):
        new = [2, 3]
        a = dict(present)
        recursive_update(a, {"%EXTEND_LIST{ l }": new}, list_extend=True)
        assert a == {"l": expected}
        if present:
            assert a["l"] is new
        else:
            assert a["l"] is not new

    def test_list_extend_only_at_top_level(self):
        a = {"n": {"l": [1]}}
        recursive_update(a, {"n": {"%EXTEND_LIST{l}": [2]}}, list_extend=True)
        assert a == {"n": {"l": [1], "%EXTEND_LIST{l}": [2]}}

    @pytest.mark.parametrize("flag", [1, "yes", [0]])
    def test_list_extend_by_truth_value(self, flag):
        a = {"l": [1]}
        recursive_update(a, {"%EXTEND_LIST{l}": [2]}, list_extend=flag)
        assert a == {"l": [1, 2]}

    def test_list_extend_with_non_string_key_raises(self):
        with pytest.raises(TypeError):
            recursive_update({}, {1: [2]}, list_extend=True)
        assert recursive_update({}, {1: 2}, list_extend=True) == {1: 2}

    def test_errors_propagate_and_earlier_changes_stay(self):
        class Frozen(UserDict):
            def __setitem__(self, k, v):
                if k == "bad":
                    raise KeyError("refused")
                super().__setitem__(k, v)

        a = Frozen()
        with pytest.raises(KeyError):
            recursive_update(a, {"ok": 1, "bad": 2, "later": 3})
        assert dict(a) == {"ok": 1}

    def test_immutable_mapping_raises_type_error(self):
        with pytest.raises(TypeError):
            recursive_update(types.MappingProxyType({}), {"a": 1})

    def test_mapping_abcs_other_than_dict(self):
        a = UserDict({"a": UserDict({"b": 1})})
        recursive_update(a, OrderedDict(a=OrderedDict(c=2)))
        assert a["a"].data == {"b": 1, "c": 2}

    def test_patched_globals_are_used(self, monkeypatch):
        calls = []
        original = dicts.recursive_update

        def spy(a, b, **kw):
            calls.append(kw)
            return original(a, b, **kw)

        monkeypatch.setattr(dicts, "recursive_update", spy)
        original({"a": {}}, {"a": {"b": {"c": 1}}})
        assert calls == [{}, {}]
        monkeypatch.setattr(dicts, "LIST_EXTEND_PATTERN", re.compile("^\\+(.+)$"))
        a = {"l": [1]}
        original(a, {"+l": [2]}, list_extend=True)
        assert a == {"l": [1, 2]}

    def test_deep_nesting_raises_recursion_error(self):
        b = {}
        for _ in range(100000):
            b = {"k": b}
        with pytest.raises(RecursionError):
            recursive_update({}, b)
        with pytest.raises(RecursionError):
            recursive_setdefault({}, b)
        with pytest.raises(RecursionError):
            recursive_cast(b, dict)

    def test_same_object_on_both_sides(self):
        d = {"a": {"b": 1}, "c": [1]}
        assert recursive_update(d, d) is d
        assert d == {"a": {"b": 1}, "c": [1]}


# ------------------------------------------------------------------ recursive_setdefault


class TestRecursiveSetdefault:
    def test_fills_missing_entries_only(self):
        a = {"a": {"b": 1}}
        assert recursive_setdefault(a, {"a": {"b": 2, "c": 3}, "d": 4}) is a
        assert a == {"a": {"b": 1, "c": 3}, "d": 4}

    def test_existing_entries_of_any_type_are_kept(self):
        a = {"a": 1, "l": [1]}
        recursive_setdefault(a, {"a": {"b": 2}, "l": [2]})
        assert a == {"a": 1, "l": [1]}

    def test_identity_of_new_entries(self):
        m = {"x": {"y": 1}, "l": [1]}
        s = [1]
        a = {}
        recursive_setdefault(a, {"m": m, "s": s})
        assert a["s"] is s
        assert type(a["m"]) is dict and a["m"] is not m and a["m"]["x"] is not m["x"]
        assert a["m"]["l"] is m["l"]

    @pytest.mark.parametrize(
        "a, b, error",
        [
            ({}, None, AttributeError),
            ({}, [1], AttributeError),
            (None, {"a": 1}, AttributeError),
            (types.MappingProxyType({}), {"a": {}}, TypeError),
        ],
    )
    def test_no_type_test_of_inputs(self, a, b, error):
        with pytest.raises(error):
            recursive_setdefault(a, b)


# ------------------------------------------------------------------ recursive_cast


class TestRecursiveCast:
    def test_casts_nested_mappings(self):
        d = {"a": {"b": {}}, "l": [{"x": 1}]}
        out = recursive_cast(d, OrderedDict)
        assert type(out) is OrderedDict and type(out["a"]) is OrderedDict and type(out["a"]["b"]) is OrderedDict
        assert type(out["l"][0]) is dict  # sequences are left as they are
        assert d == {"a": {"b": {}}, "l": [{"x": 1}]} and type(d["a"]) is dict

    def test_result_is_what_type_returned(self):
        made = []

        def factory(d):
            made.append(dict(d))
            return made[-1]

        out = recursive_cast({"a": {"b": 1}}, factory)
        assert out is made[0] and out["a"] is made[1]

    def test_errors_propagate(self):
        with pytest.raises(AttributeError):
            recursive_cast({"a": 1}, list)
        with pytest.raises(TypeError):
            recursive_cast({"a": {}}, lambda d: types.MappingProxyType(dict(d)))


# ------------------------------------------------------------------ differential

keys = st.sampled_from(["a", "b", "c", "l", "%EXTEND_LIST{l}", "%EXTEND_LIST{ a }", "%EXTEND_LIST{x}"])
leaves = st.one_of(st.integers(-3, 3), st.text(max_size=2), st.none(), st.lists(st.integers(0, 9), max_size=3))
trees = st.recursive(leaves, lambda children: st.dictionaries(keys, children, max_size=4), max_leaves=12)
mappings = st.dictionaries(keys, trees, max_size=5)


@settings(max_examples=300, deadline=None)
@given(mappings, mappings, st.booleans())
def test_update_matches_reference(a, b, list_extend):
    mine, ref = deep_copy_tree(a), deep_copy_tree(a)
    b1, b2 = deep_copy_tree(b), deep_copy_tree(b)
    assert recursive_update(mine, b1, list_extend=list_extend) == ref_update(ref, b2, list_extend=list_extend)
    assert mine == ref


@settings(max_examples=300, deadline=None)
@given(mappings, mappings)
def test_setdefault_and_cast_match_reference(a, b):
    mine, ref = deep_copy_tree(a), deep_copy_tree(a)
    assert recursive_setdefault(mine, deep_copy_tree(b)) == ref_setdefault(ref, deep_copy_tree(b))
    out = recursive_cast(a, OrderedDict)
    assert out == a


# ------------------------------------------------------------------ leaks


@pytest.mark.slow
def test_no_reference_leaks():
    base = {"a": {"b": 1, "l": [1]}, "c": "x"}

    def run():
        recursive_update({"a": {"b": 0}, "l": [0]}, base)
        recursive_update({"l": [0]}, {"%EXTEND_LIST{l}": [1], "n": {"m": 1}}, list_extend=True)
        recursive_update("x", base)
        recursive_setdefault({"a": {}}, base)
        recursive_cast(base, OrderedDict)
        try:
            recursive_setdefault({}, None)
        except AttributeError:
            pass

    assert_no_leak(run)
