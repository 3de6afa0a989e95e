"""Import utilities: legacy-name translation, its entry-point bootstrap, and the
flexible loader. Whatever changes sys.meta_path, sys.modules or the rules of
LegacyImporter itself runs in a fresh interpreter; here, rules are tried on
subclasses that carry registries of their own."""

import logging
import os
import subprocess
import sys
import textwrap
import traceback
import types

import pytest
from conftest import assert_no_leak
from hypothesis import example, given
from hypothesis import strategies as st

from ovark.utils.import_utils import LegacyImporter, flex
from ovark.utils.import_utils.flex import FlexImporter
from ovark.utils.import_utils.legacy import LegacyLoader

GROUP = "ovark.utils.__compat_aliases__"
BANNER = "+-------------------------------------+\n|   You have legacy imports enabled   |\n+-------------------------------------+"
REFUSAL = "Must supply two functions to register: \n  - one to translate from legacy to modern"
FAILURE = "failure to load {}.\n> Did you provide a valid file or module name?"


def fresh_rules():
    class Rules(LegacyImporter):
        _importmap, _reverse_importmap, _custom_translators, _custom_reverse_translators = {}, {}, [], []

    return Rules


def run_isolated(code, *path, flags=(), env=None, cwd=None):
    """Run `code` in a fresh interpreter with `path` on sys.path; its stdout lines."""
    environ = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, path)), **(env or {}))
    result = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=environ,
        cwd=cwd,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def write_tree(root, files):
    for relative, text in files.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_text(text)
    return root


def publish(root, entries):
    """Declare entry points of the bootstrap's group, for real, in `root`."""
    lines = "".join("{} = {}\n".format(*entry) for entry in entries)
    write_tree(
        root,
        {
            "rules_dist-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: rules_dist\nVersion: 1.0\n",
            "rules_dist-1.0.dist-info/entry_points.txt": "[{}]\n{}".format(GROUP, lines),
        },
    )


RULES = """
import types
MAP, PROXY = {"oldpkg": "modpkg"}, types.MappingProxyType({"proxied": "modpkg.sub"})
NOTHING, EMPTY, BAD_PAIR, BAD_KEYS = None, {}, [1, 2], {1: "modpkg"}
def to_modern(name):
    if name == "kaboom":
        raise RuntimeError("translator failed")
    return "modpkg" + name[7:] if name.split(".")[0] == "ancient" else None
PAIR = [to_modern, lambda name: None]
"""


@pytest.fixture
def site(tmp_path):
    return write_tree(
        tmp_path / "site",
        {
            "modpkg/__init__.py": "",
            "modpkg/other.py": "",
            "modpkg/sub/__init__.py": "",
            "shadow.py": "",
            "modpkg/sub/leaf.py": "VALUE = 42\n",
            "modpkg/broken.py": "raise RuntimeError('broken on purpose')\n",
            "modpkg/needsdep.py": "import missing_dependency_xyz\n",
            "rules.py": RULES,
        },
    )


# --- LegacyImporter: rules ---------------------------------------------------


def reference_translate(importmap, translators, name):
    if name in importmap:
        return importmap[name]
    for pattern in importmap:
        if name.startswith(pattern + "."):
            return name.replace(pattern, importmap[pattern], 1)
    return next((r for r in (t(name) for t in translators) if r is not None), None)


dotted = st.lists(st.sampled_from(["zel", "ovark", "a", "b", "zelx", ""]), min_size=1, max_size=4).map(".".join)


@example(rules=[("zel.a", "ovark.b"), ("zel", "ovark")], tables=[], names=["zel.a.c", "zelx.b", "zel.zel.a"])
@example(rules=[("zel", "ovark"), ("zel.a", "ovark.b")], tables=[], names=["zel.a.c", "zel.a", "zel"])
@given(
    rules=st.lists(st.tuples(dotted, dotted), max_size=6),
    tables=st.lists(st.dictionaries(dotted, dotted, max_size=3), max_size=2),
    names=st.lists(dotted, max_size=8),
)
def test_translation_both_ways_follows_the_rules(rules, tables, names):
    importer, forward, backward = fresh_rules(), {}, {}
    for legacy, modern in rules:
        importer.register(**{legacy: modern})
        forward[legacy], backward[modern] = modern, legacy
    pairs = [(table.get, {v: k for k, v in table.items()}.get) for table in tables]
    for pair in pairs:
        importer.register(*pair)
    for name in names:
        assert importer.translate(name) == reference_translate(forward, [p[0] for p in pairs], name)
        assert importer.reverse_translate(name) == reference_translate(backward, [p[1] for p in pairs], name)


def test_register_both_forms_at_once():
    importer, to_modern, to_legacy = fresh_rules(), (lambda n: "" if n == "blank" else None), (lambda n: None)
    importer.register(to_modern, to_legacy, zel="ovark", old="ovark", **{"zel.x": "ovark.y"})
    importer.register()
    assert importer._importmap == {"zel": "ovark", "old": "ovark", "zel.x": "ovark.y"}
    assert importer._reverse_importmap == {"ovark": "old", "ovark.y": "zel.x"}  # the later legacy name wins
    assert importer._custom_translators == [to_modern] and importer._custom_reverse_translators == [to_legacy]
    assert importer.translate("blank") == "" and "zel" not in LegacyImporter._importmap


@pytest.mark.parametrize(
    "args, context",
    [((len,), ValueError), ((len, 1), AssertionError), ((None, len), AssertionError), ((len, len, len), ValueError)],
)
def test_register_refuses_anything_but_two_callables(args, context):
    importer = fresh_rules()
    with pytest.raises(ValueError) as info:
        importer.register(*args, zel="ovark")
    assert info.value.args == (REFUSAL, "  - one to translate from modern to legacy\nGot: " + repr(args))
    assert type(info.value.__context__) is context
    assert importer._custom_translators == [] and importer._importmap == {}


def test_register_refuses_non_callables_with_optimisation_on():
    assert run_isolated(
        """
        from ovark.utils.import_utils import LegacyImporter
        assert not __debug__
        try:
            LegacyImporter.register(len, 1)
        except ValueError as exc:
            print(exc.args[1])
        print(LegacyImporter._custom_translators)
        """,
        flags=["-O"],
    ) == ["  - one to translate from modern to legacy", "Got: (<built-in function len>, 1)", "[]"]


@pytest.mark.parametrize(
    "kwargs, shown",
    [
        ({"old": 5}, "'old' must be str, not int"),
        ({"fine": "ovark", "old.pkg": None}, "'old.pkg' must be str, not NoneType"),
        ({"old": b"ovark"}, "'old' must be str, not bytes"),
        ({"old": ["ovark"]}, "'old' must be str, not list"),
    ],
)
def test_register_refuses_names_that_are_not_text_and_registers_nothing(kwargs, shown):
    importer = fresh_rules()
    importer.register(kept="ovark")
    with pytest.raises(TypeError) as info:
        importer.register(len, len, **kwargs)
    assert str(info.value) == "register() modern module name for " + shown
    assert importer._importmap == {"kept": "ovark"} and importer._reverse_importmap == {"ovark": "kept"}
    assert importer._custom_translators == [] == importer._custom_reverse_translators
    assert importer.translate("old") is None and importer.translate("kept.x") == "ovark.x"


def test_a_refused_rule_leaves_imports_working():
    assert run_isolated("""
        import importlib
        from ovark.utils.import_utils import LegacyImporter
        LegacyImporter.install()
        try:
            LegacyImporter.register(legacy_name_zz=5)
        except TypeError as exc:
            print(exc)
        import json.decoder, email.utils
        try:
            import legacy_name_zz
        except ImportError as exc:
            print(type(exc).__name__, exc)
        """) == [
        "register() modern module name for 'legacy_name_zz' must be str, not int",
        "ModuleNotFoundError No module named 'legacy_name_zz'",
    ]


def test_aliasing_is_all_or_nothing(monkeypatch):
    from ovark.utils.import_utils import legacy

    importer = fresh_rules()
    failing_after = next(name for name in list(sys.modules)[::-1] if name.startswith("ovark."))

    def to_legacy(name):
        if name == failing_after:
            raise RuntimeError("translator failed")
        return None

    importer.register(lambda name: None, to_legacy, zzold="os")  # "os" and "os.path" have legacy names
    monkeypatch.setattr(legacy, "LegacyImporter", importer)
    with pytest.raises(RuntimeError, match="translator failed"):
        LegacyLoader("os").exec_module(types.ModuleType("zzold"))
    assert not [name for name in sys.modules if name.startswith("zzold")]
    importer._custom_reverse_translators.clear()
    LegacyLoader("os").exec_module(types.ModuleType("zzold"))
    try:
        assert sys.modules["zzold"] is os and sys.modules["zzold.path"] is os.path
    finally:
        for name in [name for name in sys.modules if name.startswith("zzold")]:
            del sys.modules[name]


def test_bad_names_and_failing_translators():
    importer = fresh_rules()
    importer._importmap[("not", "text")] = "x"  # never a prefix of a name
    importer._importmap["odd"] = 5  # written past register, which refuses it
    with pytest.raises(TypeError, match="must be str"):
        importer.translate("odd.a")
    with pytest.raises(TypeError, match="must be str, not int"):
        importer.translate(5)

    def explode(name):
        raise RuntimeError("translator failed for " + name)

    importer.register(explode, explode)
    with pytest.raises(RuntimeError, match="failed for kaboom"):
        importer.find_spec("kaboom", None)


def test_find_spec_answers_only_translations_that_exist():
    importer = fresh_rules()
    importer.register(zzlegacy="importlib", zzgone="no_such_pkg_xyz", zzdeep="no_such_pkg_xyz.sub")
    spec = importer.find_spec("zzlegacy", None)
    assert spec.name == "zzlegacy" and type(spec.loader) is LegacyLoader and spec.loader._module_name == "importlib"
    assert importer.find_spec("zzlegacy.util", ["ignored"], object()).loader._module_name == "importlib.util"
    for name in ["unrelated", "zzlegacy.no_such_module", "zzgone", "zzgone.a", "zzdeep"]:
        assert importer.find_spec(name, None) is None, name
    assert importer.invalidate_caches() is None


@pytest.mark.parametrize(
    "make_error",
    [
        lambda name: ImportError("partly initialised", name=name),  # names the module, yet is no missing module
        lambda name: ValueError(name + ".__spec__ is None"),
        lambda name: KeyboardInterrupt(),
    ],
    ids=["ImportError", "ValueError", "KeyboardInterrupt"],
)
def test_only_a_missing_module_is_answered_or_refused(monkeypatch, make_error):
    raised = {}

    def fail(name, *args):
        raised[name] = make_error(name)
        raise raised[name]

    fake = types.SimpleNamespace(import_module=fail, util=types.SimpleNamespace(find_spec=fail))
    monkeypatch.setattr(flex, "importlib", fake)
    monkeypatch.setattr(sys.modules["ovark.utils.import_utils.legacy"], "importlib", fake)
    importer = fresh_rules()
    importer.register(zzfails="some_module")
    for name, action in [
        ("no_such_module_xyz", lambda: FlexImporter().load("no_such_module_xyz")),
        ("some_module", lambda: importer.find_spec("zzfails", None)),
    ]:
        with pytest.raises(BaseException) as info:
            action()
        assert info.value is raised[name] and info.value.__context__ is None


# --- LegacyImporter on the meta path, bootstrapped from entry points ----------


def test_bootstrap_registers_published_rules_and_aliases_legacy_names(site):
    publish(
        site,
        [
            ("maps", "rules:MAP"),
            ("proxy", "rules:PROXY"),
            ("nothing", "rules:NOTHING"),
            ("empty", "rules:EMPTY"),
            ("pair", "rules:PAIR"),
        ],
    )
    out = run_isolated(
        """
        import importlib, sys, warnings
        import modpkg.other  # loaded before legacy imports are switched on
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import ovark.utils.__compat_aliases__ as compat
        from ovark.utils.import_utils import LegacyImporter, legacy
        print([(w.category.__name__, str(w.message)) for w in caught])
        print(compat.LEGACY_IMPORT_ENTRYPOINT, compat._initialize.__qualname__, LegacyImporter is legacy.LegacyImporter)
        LegacyImporter.install()
        print(sys.meta_path.index(LegacyImporter), sys.meta_path.count(LegacyImporter), LegacyImporter._importmap)

        import oldpkg.sub.leaf, modpkg.sub.leaf, proxied.leaf, ancient.sub.leaf
        from oldpkg.sub import leaf
        assert oldpkg is modpkg and leaf is oldpkg.sub.leaf is proxied.leaf is ancient.sub.leaf is modpkg.sub.leaf
        assert sys.modules["oldpkg.other"] is modpkg.other and sys.modules["proxied"] is modpkg.sub
        assert LegacyImporter.reverse_translate("modpkg.sub.leaf") == "oldpkg.sub.leaf"
        LegacyImporter.register(shadow="modpkg.other")  # after installation, over an existing module
        import shadow
        assert shadow is modpkg.other
        for name in ["oldpkg.nope", "oldpkg.broken", "oldpkg.needsdep", "kaboom"]:
            try:
                importlib.import_module(name)
            except Exception as exc:
                print(type(exc).__name__, getattr(exc, "name", None), exc)
        """,
        site,
    )
    assert out == [
        str([("ImportWarning", BANNER)]),
        "ovark.utils.__compat_aliases__ _initialize True",
        "0 1 {'oldpkg': 'modpkg', 'proxied': 'modpkg.sub'}",
        "ModuleNotFoundError oldpkg.nope No module named 'oldpkg.nope'",
        "RuntimeError None broken on purpose",
        "ModuleNotFoundError missing_dependency_xyz No module named 'missing_dependency_xyz'",
        "RuntimeError None translator failed",
    ]


def test_bootstrap_without_published_rules_runs_once_per_process():
    assert run_isolated("""
        import importlib, sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import ovark.utils.__compat_aliases__ as compat
            for name in [compat.__name__, "ovark.utils.import_utils", "ovark.utils.import_utils.legacy"]:
                del sys.modules[name]
            again = importlib.import_module(compat.__name__)
        from ovark.utils.import_utils import LegacyImporter
        print(again is compat, again.LegacyImporter is LegacyImporter, len(caught), sys.meta_path.count(LegacyImporter))
        print(sys.meta_path[0] is LegacyImporter, LegacyImporter._importmap, LegacyImporter._custom_translators)
        """) == ["True True 1 1", "True {} []"]


@pytest.mark.parametrize(
    "target, error",
    [
        ("rules:BAD_PAIR", "ValueError"),
        ("rules:BAD_KEYS", "TypeError"),
        ("missing_module_xyz:X", "ModuleNotFoundError"),
    ],
)
def test_bootstrap_stops_at_a_bad_entry_point(site, target, error):
    publish(site, [("first", "rules:MAP"), ("bad", target), ("last", "rules:PROXY")])
    assert run_isolated(
        """
        import sys
        try:
            import ovark.utils.__compat_aliases__
        except Exception as exc:
            print(type(exc).__name__)
        from ovark.utils.import_utils import LegacyImporter
        print(LegacyImporter in sys.meta_path, list(LegacyImporter._importmap))
        """,
        site,
    ) == [error, "False ['oldpkg']"]


# --- FlexImporter ---------------------------------------------------------------


@given(st.text())
def test_module_prefix_ends_with_a_dot(prefix):
    assert FlexImporter(prefix).module_prefix == (prefix if not prefix or prefix.endswith(".") else prefix + ".")
    assert FlexImporter().module_prefix == "" and FlexImporter("jobs").module_prefix == "jobs."


def test_load_loaded_names_and_module_objects(caplog):
    with caplog.at_level(logging.DEBUG, logger="ovark.utils.import_utils.flex"):
        assert FlexImporter("jobs").load("os") is os
    assert FlexImporter().load(sys) is sys and FlexImporter().load("os.path") is os.path
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records] == [
        ("ovark.utils.import_utils.flex", logging.DEBUG, "Loading: %s", ("os",)),
        ("ovark.utils.import_utils.flex", logging.DEBUG, "Loaded: %s", (repr(os),)),
    ]


@pytest.mark.parametrize("name", ["no.such.module", "nosuchmodule_xyz", "os.nosuch", "importlib.nosuch", 5, [], None])
def test_load_refuses_what_names_no_module(name):
    if not isinstance(name, str):
        with pytest.raises(TypeError):
            FlexImporter().load(name)
        return
    with pytest.raises(Exception) as info:
        FlexImporter().load(name)
    exc = info.value
    assert type(exc) is Exception and exc.args == (FAILURE.format(name),)
    assert exc.__cause__ is None and exc.__suppress_context__
    assert "During handling" not in "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


def test_load_reads_module_globals_when_used(monkeypatch):
    monkeypatch.setattr(flex, "importlib", type("Fake", (), {"import_module": staticmethod(lambda n: ("fake", n))}))
    assert FlexImporter().load("no_such_module_xyz") == ("fake", "no_such_module_xyz")


def test_flex_loads_files_and_dotted_names_and_keeps_real_causes(tmp_path):
    home = write_tree(
        tmp_path / "home",
        {
            "x/run.py": "RUNS = globals().get('RUNS', 0) + 1\n",
            "x/other.py": "NAME = __name__\n",
            "x/script": "KIND = 'script'\n",
            "x/fails.py": "raise ValueError('fails on purpose')\n",
            "y/run.py": "RUNS = RUNS + 100\n",
        },
    )
    cwd = write_tree(tmp_path / "cwd", {"os": "raise AssertionError\n", "json": "FROM_FILE = 1\n", "sub/rel.py": ""})
    site = write_tree(tmp_path / "site", {"pkg/__init__.py": "", "pkg/mod.py": "", "dep.py": "import missing_xyz\n"})
    out = run_isolated(
        """
        import os, sys
        from ovark.utils.import_utils.flex import FlexImporter
        x = os.path.join(os.path.expanduser("~"), "x")
        jobs, plain = FlexImporter("jobs"), FlexImporter()
        run = jobs.load("~/x/run.py")
        assert run.__name__ == "jobs.run" and sys.modules["jobs.run"] is run and run.RUNS == 1
        assert run.__file__ == os.path.join(x, "run.py") and sys.path[-1] == x
        assert jobs.load(os.path.join(x, "other.py")).NAME == "jobs.other" and sys.path.count(x) == 1
        assert jobs.load("~/x/run.py") is run and run.RUNS == 2  # the file runs again in the same module
        assert jobs.load("jobs.run") is run and run.RUNS == 2  # a loaded name does not
        assert jobs.load("~/y/run.py") is run and run.RUNS == 102 and run.__file__.endswith("y/run.py")
        assert plain.load("~/x/script").KIND == "script"
        try:
            plain.load("~/x/fails.py")
        except ValueError:
            assert "fails" not in sys.modules
        assert "json" not in sys.modules and plain.load("os") is os  # a loaded module wins over a file
        assert plain.load("json").FROM_FILE and sys.modules["json"].FROM_FILE  # a file wins over a module
        assert plain.load("sub/rel.py").__name__ == "rel" and os.path.abspath("sub") in sys.path
        assert jobs.load("pkg.mod") is sys.modules["pkg.mod"]
        for name in ["dep", "no_such_pkg_xyz.mod"]:
            try:
                plain.load(name)
            except Exception as exc:
                print(type(exc).__name__, exc.__cause__, exc.__suppress_context__, exc)
        """,
        site,
        env={"HOME": str(home)},
        cwd=cwd,
    )
    assert out == [
        "ModuleNotFoundError None False No module named 'missing_xyz'",
        "Exception None True " + FAILURE.format("no_such_pkg_xyz.mod").splitlines()[0],
        FAILURE.format("x").splitlines()[1],
    ]


@pytest.mark.parametrize("case", ["bytes path", "raises", "syntax error", "exits", "raises, folder on sys.path"])
def test_a_failed_file_load_leaves_no_module_and_sys_path_only_grows(tmp_path, monkeypatch, case):
    folder = tmp_path / ("flex_" + case.split(",")[0].replace(" ", "_"))
    kind = case.split(",")[0]
    source = {
        "bytes path": "X = 1\n",
        "raises": "import os\nraise KeyError('on purpose')\n",
        "syntax error": "def broken(:\n",
        "exits": "raise SystemExit(3)\n",
    }[kind]
    target = write_tree(folder, {"flexmod_zz.py": source}) / "flexmod_zz.py"
    monkeypatch.setattr(sys, "path", list(sys.path) + ([str(folder)] if "on sys.path" in case else []))
    before = list(sys.path)
    error = {"bytes path": TypeError, "raises": KeyError, "syntax error": SyntaxError, "exits": SystemExit}[kind]
    with pytest.raises(error) as info:
        FlexImporter("jobs").load(os.fsencode(target) if case == "bytes path" else str(target))
    # A path refused up front changes nothing; a file that ran and failed
    # leaves its folder on sys.path (it only grows), once, and no module.
    grown = before if kind == "bytes path" or str(folder) in before else before + [str(folder)]
    assert sys.path == grown and "jobs.flexmod_zz" not in sys.modules and "flexmod_zz" not in sys.modules
    if case == "bytes path":
        assert str(info.value) == "a module file must be named by a str or an os.PathLike of str, not bytes"
    # Mended, the same file loads, and its folder joins sys.path once.
    target.write_text("X = 1\n")
    try:
        assert FlexImporter("jobs").load(target).X == 1
        assert sys.path == before + ([] if str(folder) in before else [str(folder)])
    finally:
        sys.modules.pop("jobs.flexmod_zz", None)


# --- Leaks ----------------------------------------------------------------------


def hot_calls():
    importer, loader = fresh_rules(), FlexImporter()
    importer.register(lambda n: None, lambda n: None, zel="ovark", zzlegacy="importlib")

    def failing(call, *args):
        try:
            call(*args)
        except Exception:
            pass

    return {
        "translate": (lambda: (importer.translate("zel.a"), importer.translate("zel"), importer.translate("x")), 10000),
        "find_spec-miss": (lambda: LegacyImporter.find_spec("not.a.legacy.name", None), 10000),
        "find_spec-hit": (lambda: importer.find_spec("zzlegacy", None), 2000),
        "register-refused": (lambda: failing(importer.register, len, 1), 5000),
        "load-loaded": (lambda: (loader.load("os"), loader.load(os)), 10000),
        "load-missing": (lambda: failing(loader.load, "no.such.module"), 1000),
        "register-not-text": (lambda: failing(lambda: importer.register(len, len, old=5)), 5000),
        "load-bytes-path": (lambda: failing(loader.load, os.fsencode(__file__)), 2000),
    }


@pytest.mark.slow
@pytest.mark.parametrize("name", list(hot_calls()))
def test_hot_calls_do_not_leak(name):
    call, count = hot_calls()[name]
    assert_no_leak(call, calls=count)
