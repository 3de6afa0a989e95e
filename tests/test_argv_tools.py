"""ovark.utils.argv_tools: nargs lists from argparse."""

import argparse
import itertools
import shlex

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ovark.utils.argv_tools import expand_nargs_list, remove_dups_from_multiple_nargs_list


def reference_expand(nargs_list):
    if not nargs_list:
        return nargs_list
    return set(
        itertools.chain(*[[p.strip('"').strip("'") for p in item.split(" ") if p] for item in nargs_list if item])
    )


def test_expand_quoted_groups_from_argparse():
    parser = argparse.ArgumentParser()
    parser.add_argument("--foo", nargs="*")
    args = parser.parse_args('--foo 4 5 6 "1 2 3 4" x y 5'.split())
    assert sorted(expand_nargs_list(args.foo)) == ["1", "2", "3", "4", "5", "6", "x", "y"]


def test_expand_and_dedup_appended_groups():
    parser = argparse.ArgumentParser()
    parser.add_argument("--foo", nargs="*", action="append")
    args = parser.parse_args('--foo 4 5 6 "1 2 3 4" x y 5 --foo 2 4 6 8'.split())
    groups = [sorted(expand_nargs_list(group)) for group in args.foo]
    assert remove_dups_from_multiple_nargs_list(groups) == [["1", "2", "3", "4", "5", "6", "x", "y"], ["8"]]


@pytest.mark.parametrize("falsy", [None, [], (), ""])
def test_expand_returns_falsy_input_itself(falsy):
    assert expand_nargs_list(falsy) is falsy


@pytest.mark.parametrize(
    "items, expected",
    [
        (["a  b"], {"a", "b"}),
        (["a\tb"], {"a\tb"}),
        (['""'], {""}),
        (["\"'x'\""], {"x"}),
        (["'\"x\"'"], {'"x"'}),  # double quotes are stripped first
        (["", "a", None, "a a"], {"a"}),
        ([" lead", "trail "], {"lead", "trail"}),
    ],
)
def test_expand_splitting_and_stripping(items, expected):
    result = expand_nargs_list(items)
    assert type(result) is list and set(result) == expected and len(result) == len(expected)


def test_expand_keeps_set_order():
    items = ["b a c", "d e"]
    assert expand_nargs_list(items) == list(reference_expand(items))


def test_expand_non_text_item_fails():
    with pytest.raises(AttributeError, match="split"):
        expand_nargs_list([3])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(alphabet=" ab'\"\t", max_size=8), max_size=6))
def test_expand_matches_reference(items):
    result = expand_nargs_list(items)
    expected = reference_expand(items)
    if not items:
        assert result is items
    else:
        assert sorted(result) == sorted(expected)


@pytest.mark.parametrize(
    "groups, expected",
    [
        ([], [[]]),
        ([[], []], [[]]),
        ([["a", "b"], ["b", "a"]], [["a", "b"]]),
        ([["a", "a", "b"], ["c", "b"], ["a"]], [["a", "b"], ["c"]]),
        ([[1, 2], (2, 3), iter([3, 4])], [[1, 2], [3], [4]]),
    ],
)
def test_remove_dups(groups, expected):
    assert remove_dups_from_multiple_nargs_list(groups) == expected


def test_remove_dups_needs_hashable_items():
    with pytest.raises(TypeError, match="unhashable"):
        remove_dups_from_multiple_nargs_list([[["x"]]])


def test_shlex_split_command_line_round_trip():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ids", nargs="*")
    args = parser.parse_args(shlex.split("--ids '10 20' 30 20"))
    assert sorted(expand_nargs_list(args.ids)) == ["10", "20", "30"]


@pytest.mark.slow
def test_no_reference_leak():
    from conftest import assert_no_leak

    assert_no_leak(lambda: expand_nargs_list(["a b", '"c"', "d"]))
    assert_no_leak(lambda: remove_dups_from_multiple_nargs_list([["a", "b"], ["b", "c"], []]))
    assert_no_leak(lambda: pytest.raises(AttributeError, expand_nargs_list, [3]), calls=2000)
