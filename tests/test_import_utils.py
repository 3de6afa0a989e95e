"""Import utilities: legacy-name translation, its entry-point bootstrap, and the
flexible module loader.

Whatever changes sys.meta_path, sys.modules or the class-wide rules of
LegacyImporter runs in a fresh interpreter (`run_isolated`); in this process,
rules are tried on subclasses that carry registries of their own.
"""

import logging
import os
import subprocess
import sys
import textwrap
import traceback

import pytest
from hypothesis import given
from hypothesis import strategies as st

from ovark.utils.import_utils import LegacyImporter
from ovark.utils.import_utils import flex
from ovark.utils.import_utils.flex import FlexImporter
from ovark.utils.import_utils.legacy import LegacyLoader

from conftest import assert_no_leak

GROUP = "ovark.utils.__compat_aliases__"
BANNER = "+-------------------------------------+\n|   You have legacy imports enabled   |\n+-------------------------------------+"
REFUSAL = "Must supply two functions to register: \n  - one to translate from legacy to modern"
FAILURE = "failure to load {}.\n> Did you provide a valid file or module name?"


def fresh_rules():
    """A LegacyImporter whose rules start empty and stay in this test."""

    class Rules(LegacyImporter):
        _importmap = {}
        _reverse_importmap = {}
        _custom_translators = []
        _custom_reverse_translators = []

    return Rules


def run_isolated(code, *path, flags=(), env=None, cwd=None):
    """Run `code` in a fresh interpreter with `path` on sys.path; its stdout."""
    environ = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, path)), **(env or {}))
    result = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120, env=environ, cwd=cwd,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def write_tree(root, files):
    for relative, text in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return root


def publish(root, entries, dist="legacy_rules"):
    """Declare entry points of the bootstrap's group, for real, in `root`."""
    lines = "".join("{} = {}\n".format(name, target) for name, target in entries)
    write_tree(root, {
        "{}-1.0.dist-info/METADATA".format(dist): "Metadata-Version: 2.1\nName: {}\nVersion: 1.0\n".format(dist),
        "{}-1.0.dist-info/entry_points.txt".format(dist): "[{}]\n{}".format(GROUP, lines),
    })


RULES = """
import types

MAP = {"oldpkg": "modpkg"}
PROXY = types.MappingProxyType({"proxied": "modpkg.sub"})
NOTHING = None
EMPTY = {}
BAD_PAIR = [1, 2]
BAD_KEYS = {1: "modpkg"}

def to_modern(name):
    if name == "kaboom":
        raise RuntimeError("translator failed")
    if name == "ancient" or name.startswith("ancient."):
        return "modpkg" + name[len("ancient"):]
    return None

def to_legacy(name):
    return None

PAIR = [to_modern, to_legacy]
"""


@pytest.fixture
def site(tmp_path):
    """A modern package, a module that a rule shadows, and published rules."""
    return write_tree(tmp_path / "site", {
        "modpkg/__init__.py": "",
        "modpkg/other.py": "",
        "modpkg/sub/__init__.py": "",
        "modpkg/sub/leaf.py": "VALUE = 42\n",
        "modpkg/broken.py": "raise RuntimeError('broken on purpose')\n",
        "modpkg/needsdep.py": "import missing_dependency_xyz\n",
        "shadow.py": "",
        "rules.py": RULES,
    })


# ---------------------------------------------------------------------------
# LegacyImporter: rules


def reference_translate(importmap, translators, name):
    if name in importmap:
        return importmap[name]
    for pattern in importmap:
        if name.startswith(pattern + "."):
            return name.replace(pattern, importmap[pattern], 1)
    for translator in translators:
        result = translator(name)
        if result is not None:
            return result
    return None


dotted = st.lists(st.sampled_from(["zel", "ovark", "a", "b", "zelx", ""]), min_size=1, max_size=4).map(".".join)


@given(
    rules=st.lists(st.tuples(dotted, dotted), max_size=6),
    lookups=st.lists(st.dictionaries(dotted, dotted, max_size=3), max_size=2),
    names=st.lists(dotted, min_size=1, max_size=8),
)
def test_translation_both_ways_follows_the_rules(rules, lookups, names):
    importer = fresh_rules()
    forward, backward = {}, {}
    for legacy, modern in rules:
        importer.register(**{legacy: modern})
        forward[legacy] = modern
        backward[modern] = legacy
    translators = [(table.get, {v: k for k, v in table.items()}.get) for table in lookups]
    for pair in translators:
        importer.register(*pair)
    for name in names:
        assert importer.translate(name) == reference_translate(forward, [p[0] for p in translators], name)
        assert importer.reverse_translate(name) == reference_translate(backward, [p[1] for p in translators], name)


@pytest.mark.parametrize(
    "rules, name, expected",
    [
        ([("zel", "ovark")], "zel", "ovark"),
        ([("zel", "ovark")], "zel.a.b", "ovark.a.b"),
        ([("zel", "ovark")], "zelx.b", None),
        ([("zel", "ovark")], "zel.zel.a", "ovark.zel.a"),  # one replacement only
        ([("zel.a", "ovark.b"), ("zel", "ovark")], "zel.a.c", "ovark.b.c"),
        ([("zel", "ovark"), ("zel.a", "ovark.b")], "zel.a.c", "ovark.a.c"),  # first match, not longest
        ([("zel", "ovark"), ("zel.a", "ovark.b")], "zel.a", "ovark.b"),  # an exact rule wins
    ],
)
def test_translate_prefix_rules(rules, name, expected):
    importer = fresh_rules()
    for legacy, modern in rules:
        importer.register(**{legacy: modern})
    assert importer.translate(name) == expected


def test_register_keeps_both_forms_and_the_later_legacy_name():
    importer = fresh_rules()
    to_modern, to_legacy = (lambda n: "" if n == "blank" else None), (lambda n: None)
    importer.register(to_modern, to_legacy, zel="ovark", old="ovark", **{"zel.x": "ovark.y"})
    assert importer._importmap == {"zel": "ovark", "old": "ovark", "zel.x": "ovark.y"}
    assert importer._reverse_importmap == {"ovark": "old", "ovark.y": "zel.x"}
    assert importer._custom_translators == [to_modern] and importer._custom_reverse_translators == [to_legacy]
    assert importer.translate("blank") == ""  # an empty text is a result
    importer.register()  # nothing at all
    assert len(importer._custom_translators) == 1
    assert "zel" not in LegacyImporter._importmap  # the subclass kept its rules to itself


@pytest.mark.parametrize(
    "args, context",
    [((len,), ValueError), ((len, 1), AssertionError), ((None, len), AssertionError), ((len, len, len), ValueError)],
    ids=["one", "second-not-callable", "first-not-callable", "three"],
)
def test_register_refuses_anything_but_two_callables(args, context):
    importer = fresh_rules()
    with pytest.raises(ValueError) as info:
        importer.register(*args, zel="ovark")
    assert info.value.args == (REFUSAL, "  - one to translate from modern to legacy\nGot: " + repr(args))
    assert type(info.value.__context__) is context
    assert importer._custom_translators == [] and importer._importmap == {}


def test_register_refuses_non_callables_with_optimisation_on():
    out = run_isolated(
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
    )
    assert out.splitlines() == ["  - one to translate from modern to legacy", "Got: (<built-in function len>, 1)", "[]"]


def test_bad_names_and_failing_translators():
    importer = fresh_rules()

    def explode(name):
        raise RuntimeError("translator failed for " + name)

    importer.register(explode, explode)
    with pytest.raises(RuntimeError, match="failed for zel"):
        importer.translate("zel")
    with pytest.raises(RuntimeError, match="failed for kaboom"):
        importer.find_spec("kaboom", None)
    with pytest.raises(TypeError, match="must be str, not int"):
        importer.translate(5)
    importer._importmap[("not", "text")] = "x"  # never a prefix of a name
    importer.register(**{"odd": 5})
    with pytest.raises(TypeError, match="must be str"):
        importer.translate("odd.a")


def test_find_spec_answers_only_translations_that_exist():
    importer = fresh_rules()
    importer.register(zzlegacy="importlib", zzgone="no_such_pkg_xyz", zzdeep="no_such_pkg_xyz.sub")
    spec = importer.find_spec("zzlegacy", None)
    assert spec.name == "zzlegacy" and type(spec.loader) is LegacyLoader and spec.loader._module_name == "importlib"
    assert importer.find_spec("zzlegacy.util", ["ignored"], object()).loader._module_name == "importlib.util"
    for name in ["unrelated", "zzlegacy.no_such_module", "zzgone", "zzgone.a", "zzdeep"]:
        assert importer.find_spec(name, None) is None, name
    assert importer.invalidate_caches() is None


# ---------------------------------------------------------------------------
# LegacyImporter on the meta path, and its bootstrap from entry points


def test_bootstrap_registers_published_rules_and_aliases_legacy_names(site):
    publish(site, [
        ("maps", "rules:MAP"), ("proxy", "rules:PROXY"), ("nothing", "rules:NOTHING"),
        ("empty", "rules:EMPTY"), ("pair", "rules:PAIR"),
    ])
    out = run_isolated(
        """
        import importlib, sys, warnings
        import modpkg.other  # loaded before legacy imports are switched on
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import ovark.utils.__compat_aliases__ as compat
        from ovark.utils.import_utils import LegacyImporter
        from ovark.utils.import_utils import legacy
        assert LegacyImporter is legacy.LegacyImporter
        assert [(w.category, str(w.message)) for w in caught] == [(ImportWarning, {banner!r})], caught
        assert compat.LEGACY_IMPORT_ENTRYPOINT == {group!r}
        assert compat._initialize.__qualname__ == "_initialize"
        """.format(banner=BANNER, group=GROUP)
        + """
        assert sys.meta_path[0] is LegacyImporter
        LegacyImporter.install()
        assert sys.meta_path.count(LegacyImporter) == 1
        assert LegacyImporter._importmap == {"oldpkg": "modpkg", "proxied": "modpkg.sub"}
        assert [f.__name__ for f in LegacyImporter._custom_translators] == ["to_modern"]

        import oldpkg.sub.leaf
        import modpkg.sub.leaf
        assert oldpkg is modpkg and oldpkg.sub.leaf is modpkg.sub.leaf and oldpkg.sub.leaf.VALUE == 42
        assert sys.modules["oldpkg.other"] is modpkg.other  # every loaded modern module gets its alias
        assert sys.modules["proxied"] is modpkg.sub
        from oldpkg.sub import leaf
        import proxied.leaf, ancient.sub.leaf
        assert leaf is proxied.leaf is ancient.sub.leaf is modpkg.sub.leaf
        assert LegacyImporter.reverse_translate("modpkg.sub.leaf") == "oldpkg.sub.leaf"

        # a rule added after installation, over a module that exists under the legacy name
        LegacyImporter.register(shadow="modpkg.other")
        import shadow
        assert shadow is modpkg.other

        def failure(name):
            try:
                importlib.import_module(name)
            except Exception as exc:
                return type(exc).__name__, getattr(exc, "name", None), str(exc)
        print(failure("oldpkg.nope"))
        print(failure("oldpkg.broken"))
        print(failure("oldpkg.needsdep"))
        print(failure("kaboom"))
        """,
        site,
    )
    assert out.splitlines() == [
        str(("ModuleNotFoundError", "oldpkg.nope", "No module named 'oldpkg.nope'")),
        str(("RuntimeError", None, "broken on purpose")),
        str(("ModuleNotFoundError", "missing_dependency_xyz", "No module named 'missing_dependency_xyz'")),
        str(("RuntimeError", None, "translator failed")),
    ]


def test_bootstrap_without_published_rules_installs_once_per_process():
    out = run_isolated(
        """
        import importlib, sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import ovark.utils.__compat_aliases__ as compat
            for name in ["ovark.utils.__compat_aliases__", "ovark.utils.import_utils",
                         "ovark.utils.import_utils.legacy"]:
                del sys.modules[name]
            again = importlib.import_module("ovark.utils.__compat_aliases__")
        from ovark.utils.import_utils import LegacyImporter
        assert again is compat and compat.LegacyImporter is LegacyImporter
        print(len(caught), sys.meta_path.count(LegacyImporter), sys.meta_path[0] is LegacyImporter)
        print(LegacyImporter._importmap, LegacyImporter._custom_translators)
        """
    )
    assert out.splitlines() == ["1 1 True", "{} []"]


@pytest.mark.parametrize(
    "target, error",
    [("rules:BAD_PAIR", "ValueError"), ("rules:BAD_KEYS", "TypeError"), ("missing_module_xyz:X", "ModuleNotFoundError")],
)
def test_bootstrap_stops_at_a_bad_entry_point(site, target, error):
    publish(site, [("first", "rules:MAP"), ("bad", target), ("last", "rules:PROXY")])
    out = run_isolated(
        """
        import sys
        try:
            import ovark.utils.__compat_aliases__
        except Exception as exc:
            print(type(exc).__name__)
        from ovark.utils.import_utils import LegacyImporter
        print(LegacyImporter in sys.meta_path, sorted(LegacyImporter._importmap))
        """,
        site,
    )
    assert out.splitlines() == [error, "False ['oldpkg']"]


# ---------------------------------------------------------------------------
# FlexImporter


@pytest.mark.parametrize("given_, stored", [("jobs", "jobs."), ("jobs.", "jobs."), ("a.b", "a.b."), ("", "")])
def test_module_prefix_ends_with_a_dot(given_, stored):
    assert FlexImporter(given_).module_prefix == stored
    assert FlexImporter().module_prefix == ""


@given(st.text())
def test_module_prefix_property(prefix):
    stored = FlexImporter(prefix).module_prefix
    assert stored == (prefix if not prefix or prefix.endswith(".") else prefix + ".")


def test_load_loaded_names_and_module_objects(caplog):
    importer = FlexImporter("jobs")
    with caplog.at_level(logging.DEBUG, logger="ovark.utils.import_utils.flex"):
        assert importer.load("os") is os
    assert importer.load(sys) is sys and importer.load("os.path") is os.path
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records] == [
        ("ovark.utils.import_utils.flex", logging.DEBUG, "Loading: %s", ("os",)),
        ("ovark.utils.import_utils.flex", logging.DEBUG, "Loaded: %s", (repr(os),)),
    ]


@pytest.mark.parametrize("name", ["no.such.module", "nosuchmodule_xyz", "os.nosuch", "importlib.nosuch"])
def test_load_refuses_modules_that_do_not_exist(name):
    with pytest.raises(Exception) as info:
        FlexImporter().load(name)
    exc = info.value
    assert type(exc) is Exception and exc.args == (FAILURE.format(name),)
    assert exc.__cause__ is None and exc.__suppress_context__
    shown = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    assert "ModuleNotFoundError" not in shown and "During handling" not in shown


@pytest.mark.parametrize("obj, error", [(5, TypeError), ([], TypeError), (None, TypeError)])
def test_load_rejects_what_is_no_name(obj, error):
    with pytest.raises(error):
        FlexImporter().load(obj)


def test_load_reads_module_globals_when_used(monkeypatch):
    class FakeImportlib:
        @staticmethod
        def import_module(name):
            return ("imported", name)

    monkeypatch.setattr(flex, "importlib", FakeImportlib)
    assert FlexImporter().load("no_such_module_xyz") == ("imported", "no_such_module_xyz")


def test_flex_loads_files_dotted_names_and_keeps_real_causes(tmp_path):
    home = write_tree(tmp_path / "home", {
        "x/run.py": "RUNS = globals().get('RUNS', 0) + 1\n",
        "x/other.py": "NAME = __name__\n",
        "x/script": "KIND = 'script'\n",
        "x/fails.py": "raise ValueError('fails on purpose')\n",
    })
    cwd = write_tree(tmp_path / "cwd", {
        "os": "raise AssertionError('a loaded module wins over a file')\n",
        "json": "FROM_FILE = True\n",
        "sub/rel.py": "REL = True\n",
    })
    site = write_tree(tmp_path / "site", {
        "pkg/__init__.py": "",
        "pkg/mod.py": "MOD = True\n",
        "needsdep.py": "import missing_dependency_xyz\n",
    })
    out = run_isolated(
        """
        import os, sys
        from ovark.utils.import_utils.flex import FlexImporter
        folder = os.path.join(os.path.expanduser("~"), "x")
        jobs = FlexImporter("jobs")
        run = jobs.load("~/x/run.py")
        assert run.__name__ == "jobs.run" and sys.modules["jobs.run"] is run and run.RUNS == 1
        assert run.__file__ == os.path.join(folder, "run.py")
        assert sys.path[-1] == folder and sys.path.count(folder) == 1
        other = jobs.load(os.path.join(folder, "other.py"))
        assert other.NAME == "jobs.other" and sys.path.count(folder) == 1
        assert jobs.load("~/x/run.py") is run and run.RUNS == 2  # the file runs again in the same module
        assert jobs.load("jobs.run") is run and run.RUNS == 2    # a loaded name does not
        assert FlexImporter().load("~/x/script").KIND == "script"
        try:
            FlexImporter().load("~/x/fails.py")
        except ValueError as exc:
            assert str(exc) == "fails on purpose"
        assert "fails" not in sys.modules

        assert "json" not in sys.modules
        assert FlexImporter().load("os") is os
        from_file = FlexImporter().load("json")
        assert from_file.FROM_FILE and sys.modules["json"] is from_file
        assert FlexImporter().load("sub/rel.py").REL and os.path.abspath("sub") in sys.path

        mod = FlexImporter("jobs").load("pkg.mod")
        assert mod is sys.modules["pkg.mod"] and mod.MOD
        try:
            FlexImporter().load("needsdep")
        except ModuleNotFoundError as exc:
            print(exc.name)
        try:
            FlexImporter().load("no_such_pkg_xyz.mod")
        except Exception as exc:
            print(repr(exc))
        """,
        site,
        env={"HOME": str(home)},
        cwd=cwd,
    )
    assert out.splitlines() == [
        "missing_dependency_xyz",
        repr(Exception(FAILURE.format("no_such_pkg_xyz.mod"))),
    ]


# ---------------------------------------------------------------------------
# Leaks


def hot_calls():
    importer = fresh_rules()
    importer.register(lambda n: None, lambda n: None, zel="ovark", zzlegacy="importlib")
    loader = FlexImporter()

    def refused():
        try:
            importer.register(len, 1)
        except ValueError:
            pass

    def missing():
        try:
            loader.load("no.such.module")
        except Exception:
            pass

    return {
        "translate": (lambda: (importer.translate("zel.a.b"), importer.translate("zel"),
                               importer.reverse_translate("other.name")), 10000),
        "find_spec-miss": (lambda: LegacyImporter.find_spec("not.a.legacy.name", None), 10000),
        "find_spec-hit": (lambda: importer.find_spec("zzlegacy", None), 2000),
        "register-refused": (refused, 5000),
        "load-loaded": (lambda: (loader.load("os"), loader.load(os)), 10000),
        "load-missing": (missing, 1000),
    }


@pytest.mark.slow
@pytest.mark.parametrize("name", list(hot_calls()))
def test_hot_calls_do_not_leak(name):
    call, count = hot_calls()[name]
    assert_no_leak(call, calls=count)
