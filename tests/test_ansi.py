"""ovark.utils.ansi: stripping ANSI control sequences."""

import re

import pytest
from conftest import assert_no_leak
from hypothesis import example, given, settings
from hypothesis import strategies as st

from ovark.utils import ansi

ESC, CSI = "\x1b", "\x9b"


def test_pattern_is_the_compiled_expression():
    assert isinstance(ansi.ESCAPE_SEQUENCE, re.Pattern)
    assert ansi.ESCAPE_SEQUENCE.pattern == r"(\x9B|\x1B\[)[0-?]*[ -\/]*[@-~]"
    assert len(ansi.ESCAPE_SEQUENCE.pattern) == 31
    assert ansi.ESCAPE_SEQUENCE.flags == re.UNICODE


@pytest.mark.parametrize(
    "text, expected",
    [
        (ESC + "[31m" + "red" + ESC + "[0m", "red"),
        (ESC + "[2J", ""),
        (ESC + "[?25l", ""),
        (CSI + "1;2H", ""),
        ("a" + ESC + "[1;31;40mb" + ESC + "[!pc", "abc"),
        (ESC, ESC),
        (ESC + "[", ESC + "["),
        (ESC + "[12", ESC + "[12"),
        (ESC + "]0;title\x07", ESC + "]0;title\x07"),  # OSC is not a CSI sequence
        (ESC + "(B", ESC + "(B"),
        (ESC + ESC + "[0m", ESC),
        (ESC + "[1\x7f", ESC + "[1\x7f"),
        ("plain text", "plain text"),
        ("", ""),
        ("\u20ac" + ESC + "[1m\U0001f600", "\u20ac\U0001f600"),
    ],
)
def test_escape(text, expected):
    assert ansi.escape(text) == expected


class Text(str):
    pass


def test_unchanged_text_is_returned_as_is_and_results_are_plain_str():
    text = "nothing to strip here"
    assert ansi.escape(text) is text

    for value in (Text("abc"), Text(ESC + "[0mabc")):
        result = ansi.escape(value)
        assert type(result) is str and result == "abc"


@pytest.mark.parametrize(
    "value, error",
    [(5, "expected string or bytes-like object, got 'int'"), (b"\x1b[0m", "cannot use a string pattern")],
)
def test_non_text_fails_as_the_pattern_does(value, error):
    with pytest.raises(TypeError, match=re.escape(error)):
        ansi.escape(value)


def test_patched_pattern_is_used(monkeypatch):
    monkeypatch.setattr(ansi, "ESCAPE_SEQUENCE", re.compile("x"))
    assert ansi.escape("xax" + ESC + "[0m") == "a" + ESC + "[0m"


FRAGMENTS = [
    ESC,
    CSI,
    "[",
    "[",
    "0",
    "9",
    ";",
    "?",
    ":",
    "<",
    " ",
    "!",
    "/",
    "@",
    "A",
    "m",
    "~",
    "\x7f",
    "a",
    "\n",
    "\u00e9",
    "\u20ac",
    "\U0001f600",
    "\x1b[",
    "\x1b[1;2",
    "\x9b?",
]


@settings(max_examples=2000, deadline=None)
@given(st.lists(st.sampled_from(FRAGMENTS), max_size=40).map("".join))
@example(ESC + "[" + ESC + "[0m")
@example(CSI + CSI + "m")
def test_same_as_pattern_sub(text):
    assert ansi.escape(text) == ansi.ESCAPE_SEQUENCE.sub("", text)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.characters(max_codepoint=0x10FFFF, blacklist_categories=("Cs",)), max_size=60))
def test_same_as_pattern_sub_on_any_text(text):
    assert ansi.escape(text) == ansi.ESCAPE_SEQUENCE.sub("", text)


@pytest.mark.slow
def test_no_reference_leak():
    text = (ESC + "[31mred" + ESC + "[0m ") * 10
    assert_no_leak(lambda: (ansi.escape(text), ansi.escape("plain"), ansi.escape(Text("x"))))
    assert_no_leak(lambda: pytest.raises(TypeError, ansi.escape, 5), calls=2000)
