"""The markup processor: the walk, the six markup kinds, errors and where they are."""

import collections
import contextlib
import gc
import inspect
import os
import sys
import textwrap
import types
from collections import OrderedDict, UserString

import pytest
from conftest import assert_no_leak
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from markup_reference import ReferenceProcessor

from ovark.utils.locations import Location, LocSafeLoader, recursive_location_update
from ovark.utils.yaml import markup
from ovark.utils.yaml.exceptions import MarkupError
from ovark.utils.yaml.markup import Processor

CAUGHT = "Caught error while processing markups: \nIndex:  {}\nMarkup: {}\n"


@pytest.fixture
def env(monkeypatch):
    monkeypatch.setenv("MK_A", "alpha")
    monkeypatch.setenv("MK_B", "beta")
    monkeypatch.delenv("MK_UNSET", raising=False)
    return monkeypatch


def fails(tree, processor=None, locations=None):
    with pytest.raises(MarkupError) as info:
        (processor or Processor())(tree, locations)
    return info.value


# --------------------------------------------------------------------------- module surface


def test_patterns_and_table_order():
    assert markup.BASE_PATTERN.pattern == r"%\w*{.*}"
    assert markup.REFERENCE_PATTERN.pattern == r"(%{ *(.+?) *})"
    assert markup.CALLABLE_PATTERN.pattern == r"(%CALLABLE{ *(.+?)(\((.*)\))* *})"
    assert markup.INCLUDE_FILE_PATTERN.pattern == r"(%INCLUDE{ *(.+?) *})"
    assert markup.ENV_PATTERN.pattern == r"(%ENV{ *([0-9a-zA-Z\_]+) *})"
    assert markup.ASK_PATTERN.pattern == r"(%ASK{ *(.*?) *})"
    assert markup.ENC_PATTERN.pattern == r"(%ENC{ *(.*?) *(, *prefix *= *([0-9a-zA-Z\_]+))? *})"
    p = Processor()
    names = [(m.__name__, h.__name__) for m, h in p._actions]
    assert names == [
        ("match_reference_markup", "p_reference_markup"),
        ("match_callable_markup", "p_callable_markup"),
        ("match_env_markup", "p_environ_markup"),
        ("match_include_file_markup", "p_file_markup"),
        ("match_ask_markup", "p_ask_markup"),
        ("match_enc_markup", "p_enc_markup"),
    ]
    assert all(m.__self__ is p and h.__self__ is p for m, h in p._actions)
    assert p._inhibit_recurse_exception is False and p._yaml_loader_cls is None
    only = Processor(0, 1, 0, 1, 0, 1, "L")
    assert [m.__name__ for m, _ in only._actions] == [
        "match_callable_markup",
        "match_include_file_markup",
        "match_enc_markup",
    ]
    assert only._yaml_loader_cls == "L"
    assert str(inspect.signature(Processor)) == (
        "(reference=True, callable=True, env_var=True, include_file=True, ask=True, encode=True, yaml_loader_cls=None)"
    )
    assert str(inspect.signature(Processor.p_enc_markup)) == "(self, match, data, index, locations=None)"
    assert Processor.__call__.__qualname__ == "Processor.__call__" and Processor.__module__ == markup.__name__
    # the matchers search anywhere in the string
    assert p.match_env_markup("x %ENV{ A_1 } y").group(2) == "A_1"
    assert p.match_reference_markup("no markup") is None


# --------------------------------------------------------------------------- the walk


def test_tree_without_markup_is_rebuilt():
    frozen = types.MappingProxyType({"k": 1})
    user = UserString("us")
    tree = OrderedDict(
        a={"b": [1, (2, 3)], "s": {4}},
        n=None,
        f=1.5,
        by=b"ab",
        ba=bytearray(b"x"),
        u=user,
        m=frozen,
        t=True,
        text="plain %FOO{x} text",
    )
    out = Processor()(tree)
    assert type(out) is OrderedDict and out is not tree
    assert out == OrderedDict(
        a={"b": [1, [2, 3]], "s": [4]},
        n=None,
        f=1.5,
        by=b"ab",
        ba=bytearray(b"x"),
        u=user,
        m=["k"],
        t=True,
        text="plain %FOO{x} text",
    )
    assert out["a"] is not tree["a"] and out["by"] is tree["by"] and out["u"] is user
    assert Processor()(("x", 1)) == ["x", 1]


def test_mapping_type_is_called_with_lazy_pairs():
    seen = []

    class Recorder(dict):
        def __init__(self, pairs=()):
            seen.append(type(pairs).__name__)
            super().__init__(pairs)

    class NoPairs(collections.UserDict):
        def __init__(self):  # refuses the pairs
            super().__init__()

    assert Processor()(Recorder([("a", 1), ("b", "%{a}")])) == {"a": 1, "b": 1}
    assert seen[-1] == "map"  # an iterator, not a built list
    e = fails({"x": NoPairs()})
    assert isinstance(e.__cause__, TypeError) and str(e).startswith(CAUGHT.format(["x"], "{}")[:50])


@pytest.mark.parametrize(
    "tree, expected",
    [
        ({"a": 1, "b": "%{a}"}, {"a": 1, "b": 1}),
        ({"a": 1, "b": "x%{a}y"}, {"a": 1, "b": "x1y"}),
        ({"a": {"c": 2}, "b": "%{ a }"}, {"a": {"c": 2}, "b": {"c": 2}}),
        ({"l": [10, 20], "b": "%{l.1}"}, {"l": [10, 20], "b": 20}),
        ({"a": "%{b}", "b": "%{c}", "c": "end"}, {"a": "end", "b": "end", "c": "end"}),
        ({"a": "x", "b": "%{a}-%{a}+%{c}", "c": 3}, {"a": "x", "b": "x-x+3", "c": 3}),
        ({"a": 1, "b": "%{a}", "c": "%{b}"}, {"a": 1, "b": 1, "c": 1}),
        ({"a": [1, "%{c}"], "c": "z"}, {"a": [1, "z"], "c": "z"}),
    ],
)
def test_references(tree, expected):
    assert Processor()(tree) == expected


def test_reference_writes_resolved_value_back():
    tree = {"a": {"x": 1}, "b": "%{a}", "c": ["%{b}"]}
    out = Processor()(tree)
    assert out == {"a": {"x": 1}, "b": {"x": 1}, "c": [{"x": 1}]}
    assert tree["b"] is tree["a"] and tree["c"] == [{"x": 1}]  # original holds the references' values
    assert out["b"] is not tree["a"]


def test_environment_and_order(env):
    out = Processor()(
        {
            "two": "%ENV{MK_A}-%ENV{ MK_B }",
            "unset": "<%ENV{MK_UNSET}>",
            "v": "V",
            "mixed": "%ENV{MK_A} %{v} %ENV{MK_A}",
            "bad-name": "%ENV{A-B}",
        }
    )
    assert out == {"two": "alpha-beta", "unset": "<>", "v": "V", "mixed": "alpha V alpha", "bad-name": "%ENV{A-B}"}
    # reference first, whatever the position: the env value holding a reference is resolved afterwards
    env.setenv("MK_REF", "%{v}")
    assert Processor()({"v": "V", "s": "%ENV{MK_REF}/%{v}"})["s"] == "V/V"
    assert Processor(reference=False)({"v": "V", "s": "%ENV{MK_REF}"})["s"] == "%{v}"
    assert Processor(env_var=False)({"s": "%ENV{MK_A}"})["s"] == "%ENV{MK_A}"


@pytest.mark.parametrize(
    "markup_text, args",
    [
        ("%CALLABLE{mkmod.f}", ()),
        ("%CALLABLE{mkmod.f()}", ()),
        ("%CALLABLE{mkmod.f(1,,2)}", ("1", "2")),
        ("%CALLABLE{ mkmod.f(a, b) }", ("a", " b")),
    ],
)
def test_callable_arguments(monkeypatch, markup_text, args):
    calls = []
    mod = types.ModuleType("mkmod")
    mod.f = lambda *a: calls.append(a) or "R"
    monkeypatch.setitem(sys.modules, "mkmod", mod)
    assert Processor()({"v": "<" + markup_text + ">"}) == {"v": "<R>"}
    assert calls == [args]


def test_a_wrapped_error_is_the_context_of_its_wrapper_also_inside_a_handler():
    """The processor's `raise MarkupError(...) from error` for an error it
    caught: that error is the wrapper's cause and context, also when the caller
    is handling an exception of its own."""
    try:
        raise ValueError("the caller's own")
    except ValueError:
        e = fails({"a": "%{b.c}"})
    inner = e.__cause__
    assert isinstance(inner.__cause__, KeyError) and inner.__context__ is inner.__cause__


def test_callable_type_rule_and_import_patch(monkeypatch):
    mod = types.ModuleType("mkmod")
    mod.lst = lambda: [1, "%ENV{MK_A}"]
    mod.tree = lambda: {"x": "%{v}", "s": {"<%{v}>"}}
    mod.key = lambda: {}["missing"]
    mod.boom = lambda: 1 / 0
    monkeypatch.setitem(sys.modules, "mkmod", mod)
    monkeypatch.setenv("MK_A", "alpha")
    assert Processor()({"v": "x %CALLABLE{mkmod.lst} y"}) == {"v": [1, "alpha"]}
    assert Processor()({"v": 1, "t": "%CALLABLE{mkmod.tree}"}) == {"v": 1, "t": {"x": 1, "s": ["<1>"]}}
    e = fails({"v": "%CALLABLE{mkmod.key}"})
    assert str(e.__cause__) == "Caught error while processing markups: \nIndex:  v\nMarkup: %CALLABLE{mkmod.key}\n"
    assert isinstance(e.__cause__.__cause__, KeyError)
    assert isinstance(fails({"v": "%CALLABLE{mkmod.boom}"}).__cause__, ZeroDivisionError)
    assert isinstance(fails({"v": "%CALLABLE{no_such_mod_xyz.f}"}).__cause__, ImportError)
    # import_from_name is read from the module's import_utils when used
    monkeypatch.setattr(markup, "import_utils", types.SimpleNamespace(import_from_name=lambda n: lambda: n.upper()))
    assert Processor()({"v": "%CALLABLE{any.name}"}) == {"v": "ANY.NAME"}


# --------------------------------------------------------------------------- include, ask, enc


class IncludeLoader:
    """A loader class for %INCLUDE{...}: LocSafeLoader over the named file."""

    def __init__(self, markupprocessor):
        self.markupprocessor = markupprocessor

    def load(self, path, locations=None):
        with open(path) as f:
            loader = LocSafeLoader(f, locations=locations)
            try:
                return loader.get_single_data()
            finally:
                loader.dispose()


def test_include_without_loader(tmp_path, monkeypatch):
    (tmp_path / "map.yaml").write_text("k: [1, 2]\n")
    (tmp_path / "str.yaml").write_text("inner\n")
    monkeypatch.chdir(tmp_path)
    out = Processor()({"m": "before %INCLUDE{map.yaml} after", "s": "<%INCLUDE{ str.yaml }>"})
    assert out == {"m": {"k": [1, 2]}, "s": "<inner>"}
    assert isinstance(fails({"m": "%INCLUDE{missing.yaml}"}).__cause__, FileNotFoundError)
    (tmp_path / "bad.yaml").write_text("a: [\n")
    assert "yaml" in type(fails({"m": "%INCLUDE{bad.yaml}"}).__cause__).__module__


def test_include_with_loader_attaches_locations(tmp_path):
    inc = tmp_path / "inc.yaml"
    inc.write_text("x: 1\ny: '%{top}'\n")
    main = tmp_path / "main.yaml"
    main.write_text("top: T\nsub:\n  inc: '%INCLUDE{" + str(inc) + "}'\n")
    locs = {}
    with open(main) as f:
        data = LocSafeLoader(f, locations=locs).get_single_data()
    out = Processor(yaml_loader_cls=IncludeLoader)(data, locs)
    assert out == {"top": "T", "sub": {"inc": {"x": 1, "y": "T"}}}
    attached = locs["sub"]["inc"]["%INCLUDE{" + str(inc) + "}"]
    assert type(attached) is dict and attached["x"][1].file == str(inc) and attached["y"].line == 1
    # without a location tree the loader gets None and nothing is attached
    seen = []

    class Recording(IncludeLoader):
        def load(self, path, locations=None):
            seen.append((self.markupprocessor, locations))
            return "text"

    p = Processor(yaml_loader_cls=Recording)
    assert p({"a": "<%INCLUDE{any}>"}) == {"a": "<text>"}
    assert seen == [(p, None)]


@pytest.mark.parametrize(
    "files, loader, loop, where",
    [
        ({"self.yaml": "top: 1\nsub: '%INCLUDE{self.yaml}'\n"}, IncludeLoader, "self.yaml", ("self.yaml", 1)),
        ({"self.yaml": "top: 1\nsub: '%INCLUDE{self.yaml}'\n"}, None, "self.yaml", None),
        (
            {"a.yaml": "a: '%INCLUDE{b.yaml}'\n", "b.yaml": "x: 1\nb: ['%INCLUDE{a.yaml}']\n"},
            IncludeLoader,
            "b.yaml",
            ("a.yaml", 0),
        ),
        ({"a.yaml": "- '%INCLUDE{ b.yaml }'\n", "b.yaml": "'%INCLUDE{a.yaml}'\n"}, None, "a.yaml", None),
    ],
)
def test_a_file_that_includes_itself_fails_saying_where(tmp_path, monkeypatch, files, loader, loop, where):
    monkeypatch.chdir(tmp_path)
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    top = next(iter(files))
    locs = {} if loader else None
    with open(top) as f:
        data = LocSafeLoader(f, locations=locs).get_single_data()
    for _ in range(2):  # a failed walk leaves nothing behind for the next one
        e = fails(data, Processor(yaml_loader_cls=loader), locs)
        assert str(e.__cause__).startswith("Detected recursion markup: \nIndex:  ")
        assert str(e.__cause__).endswith("\nMarkup: %INCLUDE{" + loop + "}\n")
        if where:
            assert (e.location.file, e.location.line) == where and e.__cause__.location == e.location
    # the same file included twice, or again further down a chain without a loop, is no loop; references
    # inside included documents resolve, in set members too
    (tmp_path / "leaf.yaml").write_text("v: '%{top}'\ns: !!set {'%{top}'}\n")
    (tmp_path / "twice.yaml").write_text("p: '%INCLUDE{leaf.yaml}'\nq: ['%INCLUDE{leaf.yaml}']\n")
    out = Processor()({"top": 1, "i": "%INCLUDE{twice.yaml}", "j": "%INCLUDE{twice.yaml}"})
    assert out["i"] == out["j"] == {"p": {"v": 1, "s": [1]}, "q": [{"v": 1, "s": [1]}]}


def test_ask_prompt_and_ask_for_input(monkeypatch, capsys):
    prompts = []
    monkeypatch.setattr(markup, "ask_for_input", lambda prompt_text: prompts.append(prompt_text) or "typed")
    tree = {"devices": {"r1": {"password": "%ASK{the admin password}", "l": ["[%ASK{}]"]}}}
    assert Processor()(tree) == {"devices": {"r1": {"password": "typed", "l": ["[typed]"]}}}
    assert prompts == [
        "\nEnter value for devices.r1.password\nthe admin password: ",
        "\nEnter value for devices.r1.l.0: ",
    ]
    long_index = ["k" * 30, "m" * 30, "n" * 30]
    Processor().p_ask_markup(markup.ASK_PATTERN.search("%ASK{}"), "%ASK{}", long_index)
    assert prompts[-1] == "\nEnter value for " + "\n".join(textwrap.wrap(".".join(long_index))) + ": "
    monkeypatch.undo()
    monkeypatch.setattr("builtins.input", lambda *a: "line" if not a else pytest.fail("input got a prompt"))
    assert markup.ask_for_input("Q? ") == "line"
    assert capsys.readouterr().out == "Q? "


def test_enc_builds_secret_by_keyword(monkeypatch):
    calls = []

    class Secret:
        def __init__(self, **kw):
            calls.append(kw)
            self.plaintext = "P(" + kw["secret_string"] + ")"

    monkeypatch.setattr(markup, "SecretString", Secret)
    out = Processor()({"a": "%ENC{abc}", "b": "x%ENC{ d e , prefix = lab_1 }y", "c": "%ENC{}"})
    assert out == {"a": "P(abc)", "b": "xP(d e)y", "c": "P()"}
    assert calls == [{"secret_string": "abc"}, {"secret_string": "d e", "prefix": "lab_1"}, {"secret_string": ""}]


def test_enc_with_secret_string():
    encoded = markup.SecretString.from_plaintext("s3cr3t!").data
    out = Processor()({"pw": "%ENC{" + encoded + "}", "uri": "ftp://u:%ENC{" + encoded + "}@h"})
    assert out == {"pw": "s3cr3t!", "uri": "ftp://u:s3cr3t!@h"}
    leaf = markup.SecretString.from_plaintext("kept")
    assert Processor()({"s": leaf})["s"] is leaf


def test_handlers_given_no_match():
    p = Processor()
    assert p.p_reference_markup(None, "d", []) is None
    for name in ("p_callable_markup", "p_environ_markup", "p_file_markup", "p_ask_markup", "p_enc_markup"):
        assert getattr(p, name)(None, "d", [], locations=None) == "d"


# --------------------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "tree, index",
    [
        ({"a": "%{b}", "b": "%{a}"}, "a"),
        ({"a": {"b": "%{a}"}}, "a.b"),
        ({"a": "%{a}"}, "a"),
        ({"l": ["%{l}"]}, "l.0"),
    ],
)
def test_recursion_is_detected(tree, index):
    e = fails(tree)
    assert str(e.__cause__).startswith("Detected recursion markup: \nIndex:  " + index + "\nMarkup: %{")
    assert e.__cause__.__cause__ is None and e.location is None


@pytest.mark.parametrize(
    "member, at",
    [
        ("%{a}", ["b", 0]),
        ("<%{a}>", ["b", 0]),
        (("%{a}",), ["b", 0, 0]),
        (frozenset({"%{a}"}), ["b", 0, 0]),
    ],
)
@pytest.mark.parametrize("kind", [set, frozenset])
@pytest.mark.parametrize("value", ["x", 1, {"k": 1}])
def test_a_reference_in_a_set_member_fails_with_its_lookup_error(env, kind, member, at, value):
    e = fails({"a": value, "b": kind({member})})
    assert str(e) == CAUGHT.format(at, member if isinstance(member, str) else "%{a}")
    assert isinstance(e.__cause__, KeyError) and e.__cause__.args == (0,)
    # other markup in set members resolves; a set comes back as a list
    assert Processor()({"s": kind({"%ENV{MK_A}"}), "t": kind({1})}) == {"s": ["alpha"], "t": [1]}


def test_missing_reference_and_wrapping():
    e = fails({"a": {"b": [0, "x%{no.where}"]}})
    assert str(e) == CAUGHT.format(["a", "b", 1], "x%{no.where}")
    assert str(e.__cause__) == "Caught error while processing markups: \nIndex:  a.b.1\nMarkup: %{no.where}\n"
    assert isinstance(e.__cause__.__cause__, KeyError)
    # a top-level string cannot be written back
    e = fails("%{a}")
    assert str(e) == CAUGHT.format([], "%{a}")


def test_error_flag_is_never_reset():
    p = Processor()
    first = fails({"a": "%{nope}"}, p)
    assert p._inhibit_recurse_exception is True and str(first).startswith("Caught error")
    second = fails({"a": "%{nope}"}, p)
    assert str(second) == "Caught error while processing markups: \nIndex:  a\nMarkup: %{nope}\n"
    with pytest.raises(TypeError):
        p({"a": "%CALLABLE{operator.truediv(1)}"})
    assert p({"a": "%{b}", "b": 2}) == {"a": 2, "b": 2}


def test_self_reproducing_markup_ends(env):
    env.setenv("MK_SELF", "%ENV{MK_SELF}")
    e = fails({"a": "%ENV{MK_SELF}"})
    assert str(e.__cause__) == "Markup substitutions do not end: \nIndex:  a\nMarkup: %ENV{MK_SELF}\n"
    env.setenv("MK_GROW", "x%ENV{MK_GROW}")
    assert str(fails({"a": ["%ENV{MK_GROW}"]}).__cause__).startswith("Markup substitutions do not end")
    # thousands of distinct markups in one string still resolve
    many = {"k{}".format(i): i for i in range(5000)}
    many["s"] = " ".join("%{{k{}}}".format(i) for i in range(5000))
    assert Processor()(many)["s"] == " ".join(str(i) for i in range(5000))


GROWING = r"""
import os, resource, sys, time
if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer reserves terabytes of address space up front
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
from ovark.utils.yaml.markup import Processor
from ovark.utils.yaml.exceptions import MarkupError
os.environ["MK_TWICE"] = "%ENV{MK_TWICE}%ENV{MK_TWICE}"
for tree in ({"a": "x%{b}", "b": "%{c}%{c}", "c": "%{b}"},
             {"l": [{"m": "<%{n}>"}], "n": "%{o}%{o}%{o}", "o": "%{n}"},
             {"e": "%ENV{MK_TWICE}"}):
    start = time.monotonic()
    try:
        Processor()(tree)
    except MarkupError as e:
        print((time.monotonic() - start, str(e.__cause__).splitlines()[0], len(str(e)), len(str(e.__cause__))))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""


def test_markup_that_keeps_growing_ends_quickly_in_bounded_memory():
    """Values that feed each other double a text every round; each ends in MarkupError
    well inside a 1 GiB address space, with messages of bounded size."""
    import ast
    import subprocess

    run = subprocess.run([sys.executable, "-c", GROWING], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    *ends, peak_mib = run.stdout.splitlines()
    assert len(ends) == 3
    assert int(peak_mib) < 400 or "asan" in os.environ.get("LD_PRELOAD", "")  # (shadow memory and quarantine)
    for seconds, head, outer, inner in map(ast.literal_eval, ends):
        assert seconds < 10 and outer < 1200 and inner < 1200
        assert head == "Markup substitutions do not end (text longer than 16777216 characters): "


@pytest.mark.parametrize("rule", ["%{a}", "%ENV{MK_BIG}", "%CALLABLE{mkbig.f}"])
@pytest.mark.parametrize("extra", [0, 1])
def test_a_substitution_makes_at_most_16_mib_of_text(monkeypatch, rule, extra):
    big = "y" * ((16 << 20) - 2 + extra)
    monkeypatch.setenv("MK_BIG", big)
    monkeypatch.setitem(sys.modules, "mkbig", types.SimpleNamespace(f=lambda: big))
    tree = {"a": big, "b": "<" + rule + ">"}
    if not extra:
        assert len(Processor()(tree)["b"]) == 16 << 20
        return
    e = fails(tree)
    assert str(e) == CAUGHT.format(["b"], "<" + rule + ">")
    assert str(e.__cause__) == (
        "Markup substitutions do not end (text longer than 16777216 characters): \nIndex:  b\nMarkup: <" + rule + ">\n"
    )


@pytest.mark.parametrize(
    "tree, outer, inner",
    [
        ({"a": "z" * 5000 + "%{missing}"}, "z" * 1000 + "...", "%{missing}"),
        ({"a": "%{" + "k" * 3000 + "}"}, ("%{" + "k" * 3000)[:1000] + "...", ("%{" + "k" * 3000)[:1000] + "..."),
        ({"a": {"b": ["%{missing}"] * 400}}, None, "%{missing}"),
    ],
)
def test_messages_quote_at_most_1000_characters_of_a_value(tree, outer, inner):
    e = fails(tree)
    if outer:
        assert str(e) == CAUGHT.format(["a"], outer)
    assert str(e.__cause__).endswith("\nMarkup: " + inner + "\n")

    class NoPairs(collections.UserDict):  # a mapping level fails: its text form is quoted, cut the same way
        def __init__(self, *pairs):
            if pairs:
                raise TypeError("no pairs")
            super().__init__(x="y" * 2000)

    assert str(fails({"m": NoPairs()})) == CAUGHT.format(["m"], str(NoPairs())[:1000] + "...")


def test_deep_tree_raises_recursion_error():
    deep = "%ENV{MK_A}"
    for _ in range(100000):
        deep = [deep]
    with pytest.raises(RecursionError):
        Processor()(deep)
    deep_map = {}
    node = deep_map
    for _ in range(100000):
        node["k"] = node = {}
    with pytest.raises(RecursionError):
        Processor()(deep_map)


# --------------------------------------------------------------------------- overrides and patches


def test_subclass_and_patched_methods_are_called(env):
    visited = []

    class Tracing(Processor):
        def _process_str(self, data, index, locations=None):
            visited.append(list(index))
            return super()._process_str(data, index, locations=locations)

        def p_environ_markup(self, match, data, index, locations=None):
            return data.replace(match.group(0), "<" + match.group(2) + ">")

    out = Tracing()({"a": ["%ENV{MK_A}", {"b": "%{c}"}], "c": "C"})
    assert out == {"a": ["<MK_A>", {"b": "C"}], "c": "C"}
    assert visited == [["a", 0], ["a", 1, "b"], ["a", 1, "b"], ["c"]]  # a resolved reference is walked again

    p = Processor()
    p._recurse = lambda data, index, locations=None: "R"  # an instance attribute shadows the method
    assert p({"x": 1}) == "R"

    p = Processor()
    p._actions.insert(0, (lambda d: d.startswith("%X") or None, lambda m, d, i, locations=None: 42))
    assert p({"a": "%X{}", "b": "%{a}"}) == {"a": 42, "b": 42}


def test_module_globals_are_read_when_used(env, monkeypatch):
    monkeypatch.setattr(markup, "ENV_PATTERN", markup.re.compile(r"(%ENV{ *(\w+?)_A *})"))
    assert Processor()({"a": "%ENV{MK_A}"}) == {"a": ""}
    monkeypatch.undo()
    env.setenv("MK_A", "alpha")
    monkeypatch.setattr(markup, "BASE_PATTERN", markup.re.compile("NEVER"))
    assert Processor()({"a": "%ENV{MK_A}"}) == {"a": "%ENV{MK_A}"}
    monkeypatch.undo()
    fake = types.SimpleNamespace(chainget=lambda tree, path: "fake:" + str(path))
    monkeypatch.setattr(markup, "utils", fake)
    assert Processor()({"a": "1", "b": "%{a}"}) == {"a": "1", "b": "fake:a"}
    monkeypatch.undo()
    monkeypatch.setattr(markup, "MutableMapping", dict)  # a UserDict is then an iterable of keys
    assert Processor()({"u": collections.UserDict(a=1)}) == {"u": ["a"]}


# --------------------------------------------------------------------------- against the reference


def trees():
    names = st.sampled_from(["a", "b", "c", "0", "1"])
    markups = st.sampled_from(
        [
            "%{a}",
            "%{b}",
            "%{c}",
            "%{a.b}",
            "%{c.0}",
            "%{zz}",
            "%ENV{MK_A}",
            "%ENV{MK_UNSET}",
            "%ENC{YWI=}",
            "%FOO{x}",
            "%{",
            "}",
            "%ENV{MK_REF}",
            " ",
            "x",
        ]
    )
    text = st.lists(markups, max_size=4).map("".join)
    leaf = st.one_of(text, st.integers(-3, 3), st.none(), st.just(b"b"), st.frozensets(text, max_size=2))
    return st.recursive(
        leaf,
        lambda kids: st.one_of(st.lists(kids, max_size=3), st.dictionaries(names, kids, max_size=3)),
        max_leaves=12,
    )


def outcome(processor, tree):
    try:
        return "ok", processor(tree), tree
    except MarkupError as e:
        if str(e.__cause__).startswith("Markup substitutions do not end"):
            return "endless"  # the reference recurses where the module goes on in one loop
        return "error", str(e), type(e.__cause__).__name__, str(e.__cause__)
    except RecursionError:  # references that make a cycle the recursion test does not see
        return "endless"


@contextlib.contextmanager
def address_space_bound(extra=2 << 30):
    """Let the process take at most `extra` more bytes of address space while the block runs: a runaway
    example fails with MemoryError instead of taking the machine's memory. (Not under the sanitizer, whose
    shadow memory is reserved up front.)"""
    try:
        import resource

        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
    except (ImportError, OSError):
        yield
        return
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        yield
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = min(x for x in (size + extra, soft, hard) if x != resource.RLIM_INFINITY)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees())
@example({"a": "x%{b}", "b": "%{c}%{c}", "c": "%{b}"})
@example({"a": "x", "b": [frozenset({"%{a}"})], "c": frozenset({"%ENV{MK_A}"})})
def test_matches_reference_processor(tree):
    """Generated trees may hold values that double each other: both sides end them at the same length bound."""
    os.environ["MK_A"] = "alpha"
    os.environ["MK_REF"] = "%{b}"
    os.environ.pop("MK_UNSET", None)
    import copy

    with address_space_bound():
        ours = outcome(Processor(), copy.deepcopy(tree))
        theirs = outcome(ReferenceProcessor(), copy.deepcopy(tree))
    assert ours == theirs


@settings(max_examples=500, deadline=None)
@example("%{ }")
@example("%{}x} %{  } %{ a b } %{ }  } %{\n} %ENV{ A_1 } %ENV{A.1} %ENV{}")
@given(
    st.lists(st.sampled_from(["%{", "%ENV{", "}", " ", "a", "A_1", ".", "\n", "%", "{", "%E"]), max_size=12).map(
        "".join
    )
)
def test_markups_are_found_as_the_patterns_find_them(text):
    # Our matchers paired with a handler that reads the match: the path a
    # handler is given, and the text it replaces, are those of the pattern.
    for kind in ("match_reference_markup", "match_env_markup"):
        pattern = markup.REFERENCE_PATTERN if kind == "match_reference_markup" else markup.ENV_PATTERN
        seen = []

        class Loader:
            def __init__(self, markupprocessor):
                pass

            def load(self, path, locations=None):
                seen.append(path)
                return "#"

        p = Processor(yaml_loader_cls=Loader)
        p._actions = [(getattr(p, kind), p.p_file_markup)]
        result = p({"v": text})["v"]
        expected, data = [], text
        while markup.BASE_PATTERN.search(data):
            m = pattern.search(data)
            if not m:
                break
            expected.append(m.group(2))
            data = data.replace(m.group(0), "#")
        assert (seen, result) == (expected, data)


# --------------------------------------------------------------------------- a layered testbed


BASE = """\
devices:
  r1:
    os: iosxr
    credentials:
      default:
        username: '%ENV{TB_USER}'
        password: '%ENC{PASSWORD}'
    connections:
      cli: {ip: 10.0.0.1, port: 22}
  r2:
    os: nxos
    peer: 'ssh://%{devices.r1.connections.cli.ip}:%{devices.r1.connections.cli.port}'
    links: '%INCLUDE{LINKS}'
"""

OVERLAY = """\
devices:
  r1:
    connections:
      cli: {port: 2222}
  r2:
    credentials:
      default:
        username: '%ENV{TB_USER}'
        password: '%{devices.r1.credentials.default.password}'
"""

LINKS = """\
- {a: r1, b: r2, speed: 10G}
- {a: r2, b: r1, speed: '%{devices.r1.os}'}
"""


def load(path, locations):
    with open(path) as f:
        loader = LocSafeLoader(f, locations=locations)
        try:
            return loader.get_single_data()
        finally:
            loader.dispose()


@pytest.fixture
def testbed(tmp_path, monkeypatch):
    monkeypatch.setenv("TB_USER", "admin")
    links = tmp_path / "links.yaml"
    links.write_text(LINKS)

    def build(overlay_extra="", base_extra=""):
        base = tmp_path / "base.yaml"
        encoded = markup.SecretString.from_plaintext("pa%{ss}").data
        base.write_text(BASE.replace("PASSWORD", encoded).replace("LINKS", str(links)) + base_extra)
        overlay = tmp_path / "overlay.yaml"
        overlay.write_text(OVERLAY + overlay_extra)
        locs, new_locs = {}, {}
        data = load(base, locs)
        recursive_location_update(data, load(overlay, new_locs), locs, new_locs)
        return data, locs

    return build


def test_layered_testbed_resolves(testbed):
    data, locs = testbed()
    out = Processor(yaml_loader_cls=IncludeLoader)(data, locs)
    r1, r2 = out["devices"]["r1"], out["devices"]["r2"]
    assert r1["credentials"]["default"] == {"username": "admin", "password": "pa%{ss}"}
    assert r2["credentials"]["default"] == {"username": "admin", "password": "pa%{ss}"}
    assert r2["peer"] == "ssh://10.0.0.1:2222"
    assert r2["links"] == [{"a": "r1", "b": "r2", "speed": "10G"}, {"a": "r2", "b": "r1", "speed": "iosxr"}]
    ((markup_text, attached),) = [(k, v) for k, v in locs["devices"]["r2"]["links"].items() if type(v) is dict]
    assert markup_text.startswith("%INCLUDE{") and os.path.basename(attached[1].file) == "links.yaml"


@pytest.mark.parametrize(
    "extra, file, line, cause",
    [
        (
            "    bad: '%{devices.r9.os}'\n",
            "overlay.yaml",
            9,
            "Caught error while processing markups: \nIndex:  devices.r2.bad\nMarkup: %{devices.r9.os}\n",
        ),
        (
            "    loop: 'x%{devices.r2.loop}'\n",
            "overlay.yaml",
            9,
            "Detected recursion markup: \nIndex:  devices.r2.loop\nMarkup: %{devices.r2.loop}\n",
        ),
        ("    inc: '%INCLUDE{/no/such/file.yaml}'\n", "overlay.yaml", 9, None),
    ],
)
def test_errors_say_where(testbed, extra, file, line, cause):
    data, locs = testbed(overlay_extra=extra)
    e = fails(data, Processor(yaml_loader_cls=IncludeLoader), locs)
    assert isinstance(e.location, Location)
    assert (os.path.basename(e.location.file), e.location.line) == (file, line)
    assert str(e.location).startswith("{} line:{} ".format(file, line + 1))
    if cause:
        assert str(e.__cause__) == cause
        assert e.__cause__.location == e.location  # the handler's own error says where too
    assert "pa%{ss}" not in str(e) and "pa%{ss}" not in str(e.__cause__)


def test_error_inside_an_included_file_says_where(testbed, tmp_path):
    data, locs = testbed()
    (tmp_path / "links.yaml").write_text(LINKS.replace("devices.r1.os", "devices.r1.missing"))
    e = fails(data, Processor(yaml_loader_cls=IncludeLoader), locs)
    assert str(e).startswith(CAUGHT.format(["devices", "r2", "links", 1, "speed"], "")[:80])
    assert (os.path.basename(e.location.file), e.location.line) == ("links.yaml", 1)


def test_error_in_base_layer_and_environment(testbed, monkeypatch):
    data, locs = testbed(base_extra="  r3:\n    user: '%ENV{TB_USER}'\n")

    class Strict(dict):
        def get(self, name, default=None):
            return self[name]

    monkeypatch.setattr(markup.os, "environ", Strict())
    e = fails(data, Processor(yaml_loader_cls=IncludeLoader), locs)
    assert (os.path.basename(e.location.file), e.location.line) == ("base.yaml", 5)  # the first username
    assert isinstance(e.__cause__.__cause__, KeyError)
    assert fails({"a": "%{b}"}).location is None


@pytest.mark.parametrize(
    "path, where",
    [
        (["devices", "r2", "links", 1, "speed"], ("links.yaml", 1)),  # through the included file's tree
        (("devices", "r2", "links", 1), ("links.yaml", 1)),
        (["devices", "r1", "connections", "cli", "port"], ("overlay.yaml", 3)),  # the layer that won
        (iter(["devices", "r1"]), ("base.yaml", 1)),
        (["devices", "r9"], None),
        (["devices", "r2", "links", 7], None),
        (["devices", ["unhashable"]], None),
        ([], "root"),
    ],
)
def test_locate_finds_where_a_value_was_written(testbed, path, where):
    data, locs = testbed()
    Processor(yaml_loader_cls=IncludeLoader)(data, locs)  # hangs the records of links.yaml in the tree
    found = markup.locate(locs, path)
    if where is None or where == "root":
        assert found is (None if where is None else locs)
    else:
        assert isinstance(found, Location) and (os.path.basename(found.file), found.line) == where
    assert markup.locate(None, ["devices"]) is None and markup.locate({}, []) == {}
    with pytest.raises(TypeError):
        markup.locate(locs, 5)


def reference_locate(locations, path):
    """The location entry at `path`, looking into the trees hung under "%INCLUDE{...}" texts, in plain Python."""

    def is_location(obj):
        return hasattr(obj, "line") and hasattr(obj, "column") and hasattr(obj, "file")

    def child(node, key):
        if not isinstance(node, collections.abc.Mapping):
            return None
        try:
            if key in node:
                return node[key]
        except TypeError:
            return None
        for name, entry in node.items():
            if (
                isinstance(name, str)
                and "%INCLUDE{" in name
                and isinstance(entry, collections.abc.Mapping)
                and not is_location(entry)
            ):
                found = child(entry, key)
                if found is not None:
                    return found
        return None

    node = locations
    for key in path:
        node = child(node, key)
        if node is None:
            return None
    return node


STEPS = ["a", "b", 0, 1, None]
INCLUDES = ["%INCLUDE{x}", "%INCLUDE{y}", "pre %INCLUDE{z} post", "%INCLUD{w}", 5]


@st.composite
def location_trees(draw, depth=3, mappings=(Location, dict, types.MappingProxyType)):
    """A location node: Location records, plain dicts and read-only mappings, with included files' trees beside
    its own entries (under "%INCLUDE{...}" texts, and under keys that only look like them)."""
    if depth == 0 or draw(st.integers(0, 5)) == 5:
        return draw(st.sampled_from([None, "text", Location()]))
    entries = {key: draw(location_trees(depth - 1)) for key in draw(st.lists(st.sampled_from(STEPS), max_size=3))}
    for key in draw(st.lists(st.sampled_from(INCLUDES), max_size=2)):
        entries[key] = draw(location_trees(depth - 1, (dict, dict, types.MappingProxyType, Location)))
    return draw(st.sampled_from(mappings))(entries)


@st.composite
def paths_into(draw, tree):
    """A path into `tree`, each step drawn from the keys of the node reached, those of the trees included there
    first, or a key that is not there."""
    path, node = [], tree
    for _ in range(4 - draw(st.integers(0, 4))):
        keys, stack = [], [node]
        while stack:
            n = stack.pop(0)
            if isinstance(n, collections.abc.Mapping):
                keys[:0] = list(n)
                stack += [v for k, v in n.items() if isinstance(k, str) and "%INCLUDE{" in k]
        path.append(draw(st.sampled_from(keys + [["unhashable"], "missing"])))
        node = reference_locate(node, path[-1:])
    return path


@given(location_trees(), st.data())
@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
def test_locate_agrees_with_a_plain_walk(tree, data):
    path = data.draw(paths_into(tree))
    assert markup.locate(tree, path) is reference_locate(tree, path)


def test_plaintext_never_reaches_a_message(testbed, monkeypatch):
    monkeypatch.setattr(
        markup,
        "SecretString",
        type("S", (), {"__init__": lambda self, secret_string, prefix=None: None, "plaintext": "%{TOPSECRET}"}),
    )
    assert Processor()({"a": "%ENC{x}", "b": "<%ENC{x}|%ENC{y}>"}) == {
        "a": "%{TOPSECRET}",
        "b": "<%{TOPSECRET}|%{TOPSECRET}>",
    }
    e = fails({"a": "%ENC{x}", "b": "%ENC{x} and %INCLUDE{/no/such}"})
    for text in (str(e), str(e.__cause__), repr(e.__cause__.__cause__)):
        assert "TOPSECRET" not in text


# --------------------------------------------------------------------------- hostile keys and records


class Colliding:
    """A key with the hash of `like` whose __eq__ first runs `act` (it may drop what is being searched)."""

    def __init__(self, like, act):
        self.hash, self.act = hash(like), act

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        act, self.act = self.act, None
        if act:
            filler = [{} for _ in range(200)]
            del filler  # a full free list of dicts: a dict dropped now is really freed
            act()
            gc.collect()
            KEEP.extend((i, i, i) for i in range(64))  # and its memory used again
        return False


KEEP = []


def hostile_location_key():
    locations = {"%INCLUDE{x}": {1: "records of an included file"}}
    return {Colliding(1, locations.clear): "%{missing}"}, locations, None


def hostile_record():
    class Record(dict):  # a dict with a `file` counts as a location record
        @property
        def file(self):
            parent.pop("%{missing}", None)  # drops the very record being read
            gc.collect()
            return "f.yaml"

    parent = {"%{missing}": Record()}
    return {"a": "%{missing}"}, {"a": parent}, None


def hostile_raising_key():
    def boom():
        raise ValueError("no comparing")

    locations = {"%INCLUDE{x}": {1: "records"}}
    return {Colliding(1, boom): "%{missing}"}, locations, None


def hostile_instance_dict():
    p = Processor()
    key = Colliding("_recurse", lambda: setattr(p, "__dict__", {k: v for k, v in vars(p).items() if k is not key}))
    vars(p)[key] = 1
    return {"a": "%{missing}", "b": ["%{a}"]}, None, p


@pytest.mark.parametrize("make", [hostile_location_key, hostile_record, hostile_raising_key, hostile_instance_dict])
def test_hostile_keys_and_records_while_an_error_is_located(make):
    """Keys whose __eq__ drops or replaces the dict being searched, and records whose `file` drops them from the
    tree, while the processor looks for where a failing value came from (and whether its methods are its own)."""
    tree, locations, processor = make()
    e = fails(tree, processor, locations)
    assert str(e.__cause__).endswith("\nMarkup: %{missing}\n") and isinstance(e.__cause__.__cause__, KeyError)
    for error in (e, e.__cause__):
        assert error.location is None or dict(error.location) == {}  # a record found stays whole
    del KEEP[:]


def test_a_key_that_clears_the_index_during_the_recursion_test():
    index = ["s" + str(len(KEEP) + 1)]  # a step no one else holds
    p = Processor()
    p.original = {Colliding(index[0], index.clear): 0, "s1": "%{a}", "a": 1}
    assert p._process_str("%{a}", index) == 1
    del KEEP[:]


# --------------------------------------------------------------------------- leaks


@pytest.mark.slow
def test_no_leak(tmp_path, monkeypatch):
    monkeypatch.setenv("MK_A", "alpha")
    inc = tmp_path / "inc.yaml"
    inc.write_text("[1, 2]\n")
    mod = types.ModuleType("mkleak")
    mod.f = lambda *a: list(a)
    monkeypatch.setitem(sys.modules, "mkleak", mod)
    enc = markup.SecretString.from_plaintext("pw").data
    tree = {
        "a": {"b": [1, "x"]},
        "r": "%{a.b}",
        "s": "v=%{a.b.1}",
        "e": "%ENV{MK_A}/%ENV{MK_UNSET}",
        "c": "%CALLABLE{mkleak.f(1,2)}",
        "i": "%INCLUDE{" + str(inc) + "}",
        "p": "%ENC{" + enc + "}",
        "o": OrderedDict(k="%{a.b.0}"),
        "t": ("%ENV{MK_A}",),
    }

    def run():
        Processor()(dict(tree, a={"b": [1, "x"]}))

    class SelfIncluding:
        def __init__(self, markupprocessor):
            pass

        def load(self, path, locations=None):
            if locations is not None:
                locations["k"] = Location({"%INCLUDE{self}": Location()})
            return {"k": "%INCLUDE{self}"}

    long_text = "z" * 3000
    failing_trees = [
        ({"a": "%{a}", "b": "%{nope}"}, None, None),
        ({"a": "x", "b": {"%{a}"}, "c": frozenset({("%{a}",)})}, None, None),
        ({"i": "%INCLUDE{self}"}, SelfIncluding, {"i": Location({"%INCLUDE{self}": Location()})}),
        ({"a": long_text + "%{" + long_text + "}"}, None, None),
    ]

    def failing():
        for tree, loader, locations in failing_trees:
            try:
                Processor(yaml_loader_cls=loader)(tree, locations)
            except MarkupError:
                pass

    assert_no_leak(run, calls=2000)
    assert_no_leak(failing, calls=2000)
    growing = {"a": "x%{b}", "b": "%{c}%{c}", "c": "%{b}"}

    def too_long():
        try:
            Processor()(dict(growing))
        except MarkupError:
            pass

    assert_no_leak(too_long, calls=20, rounds=3)


@pytest.mark.slow
def test_no_leak_on_a_layered_testbed(testbed):
    import copy

    data, locs = testbed()
    bad, bad_locs = testbed(overlay_extra="    bad: '%{devices.r9.os}'\n")

    def run():
        Processor(yaml_loader_cls=IncludeLoader)(copy.deepcopy(data), copy.deepcopy(locs))
        try:
            Processor(yaml_loader_cls=IncludeLoader)(copy.deepcopy(bad), copy.deepcopy(bad_locs))
        except MarkupError as e:
            assert e.location is not None

    assert_no_leak(run, calls=200)
    Processor(yaml_loader_cls=IncludeLoader)(data, locs)

    def lookups():
        for path in (["devices", "r2", "links", 1, "speed"], ("devices", "r1"), ["devices", ["unhashable"]], ["no"]):
            markup.locate(locs, path)
        with pytest.raises(TypeError):
            markup.locate(locs, 5)

    assert_no_leak(lookups, calls=2000)


def test_the_collector_is_left_as_the_caller_set_it():
    """Code of the caller's (here a callable) runs with the collector as it was."""
    import gc

    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            assert Processor()({"a": "%CALLABLE{gc.isenabled()}"}) == {"a": enabled}
            assert gc.isenabled() is enabled
    finally:
        gc.enable()
