"""The plugin manager: builtin plugins, and external ones registered for real
as installed distributions (a <dist>-1.0.dist-info folder on sys.path)."""

import importlib
import logging
import sys
import warnings
from unittest import mock

import pytest
from conftest import assert_no_leak

import ovark.utils.xferkit.plugins.localhost as localhost
import ovark.utils.xferkit.plugins.localhost.ftp as localhost_ftp
from ovark.utils.xferkit.core import addon_registry
from ovark.utils.xferkit.core.addon_registry import PluginManager

GROUP, OLD_GROUP = "ovark.utils.xferkit.plugins", "zel.utils.xferkit.plugins"


def write_tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def distribution(root, name, groups):
    """An installed distribution advertising ``groups`` {group: [(ep name, module)]}."""
    lines = []
    for group, entries in groups.items():
        lines.append("[{}]".format(group))
        lines += ["{} = {}".format(ep, module) for ep, module in entries]
    write_tree(
        root,
        {
            "{}-1.0.dist-info/METADATA".format(name): "Metadata-Version: 2.1\nName: {}\nVersion: 1.0\n".format(name),
            "{}-1.0.dist-info/entry_points.txt".format(name): "\n".join(lines) + "\n",
        },
    )


@pytest.fixture
def site(tmp_path, monkeypatch):
    """A folder of installed plugin distributions on sys.path."""
    write_tree(
        tmp_path,
        {
            # extplug: OS "extos" with sub-plugins sftp, deep and deep.scp; a plain
            # module and an OS-level package that are not sub-plugins.
            "extplug/__init__.py": "",
            "extplug/plugins/__init__.py": "",
            "extplug/plugins/extos/__init__.py": "",
            "extplug/plugins/extos/notpkg.py": "",
            "extplug/plugins/extos/sftp/__init__.py": "",
            "extplug/plugins/extos/deep/__init__.py": "",
            "extplug/plugins/extos/deep/scp/__init__.py": "",
            # morelocal: adds sub-plugin "sftp" to the builtin OS localhost, and
            # tries to replace its "ftp".
            "morelocal/__init__.py": "",
            "morelocal/plugins/__init__.py": "",
            "morelocal/plugins/localhost/__init__.py": "",
            "morelocal/plugins/localhost/ftp/__init__.py": "",
            "morelocal/plugins/localhost/sftp/__init__.py": "",
            # oldplug: advertised under the deprecated group only, and loses "extos".
            "oldplug/__init__.py": "",
            "oldplug/plugins/__init__.py": "",
            "oldplug/plugins/oldos/__init__.py": "",
            "oldplug/plugins/oldos/sftp/__init__.py": "",
            "oldplug2/__init__.py": "",
            "plainfolder/plainos.py": "",
        },
    )
    distribution(tmp_path, "extplug", {GROUP: [("extos", "extplug"), ("localhost", "morelocal")]})
    distribution(tmp_path, "oldplug", {OLD_GROUP: [("oldos", "oldplug"), ("extos", "oldplug2")]})
    distribution(tmp_path, "plainplug", {GROUP: [("plainos", "plainos")]})
    monkeypatch.syspath_prepend(str(tmp_path / "plainfolder"))
    monkeypatch.syspath_prepend(str(tmp_path))  # also invalidates the import and metadata caches
    yield tmp_path
    for name in list(sys.modules):
        if name.split(".")[0] in {"extplug", "morelocal", "oldplug", "oldplug2", "plainos"}:
            del sys.modules[name]


def test_module_surface():
    assert addon_registry.__doc__ == " Plugin manager for ovark.utils.xferkit "
    assert addon_registry.__all__ == ["ENTRYPOINT_GROUP", "PluginManager"]
    assert (addon_registry.ENTRYPOINT_GROUP, addon_registry.DEPRECATED_ENTRYPOINT_GROUP) == (GROUP, OLD_GROUP)
    assert addon_registry.logger is logging.getLogger(addon_registry.__name__)
    names = [n for n in vars(addon_registry) if not n.startswith("__")]
    assert names == [
        "os",
        "pkgutil",
        "logging",
        "warnings",
        "importlib",
        "iter_entry_points",
        "ovark_warnings",
        "ENTRYPOINT_GROUP",
        "DEPRECATED_ENTRYPOINT_GROUP",
        "logger",
        "PluginManager",
    ]
    manager = PluginManager()
    assert vars(manager) == {"_plugins": {}, "_subplugins": {}, "_plugins_loaded": False}
    assert PluginManager.__bases__ == (object,)
    assert PluginManager.discover_external_plugins.__doc__.startswith(
        " Discover external xferkit plugins pip-installed by the user."
    )


def test_builtin_plugins_only_without_entry_points(monkeypatch):
    monkeypatch.setattr(addon_registry, "iter_entry_points", lambda group: iter(()))
    manager = PluginManager()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert manager.get_plugin(os="localhost") is localhost
    assert manager.get_subplugin("localhost", subplugin_dotted_name="ftp") is localhost_ftp
    assert manager.get_subplugin("localhost", "sftp") is None
    assert manager.get_subplugin("nowhere", "ftp") is None and manager.get_plugin("nowhere") is None
    assert manager._plugins_loaded is True


def test_external_plugins_precedence_and_the_deprecation_warning(site, caplog):
    caplog.set_level(logging.DEBUG, logger=addon_registry.__name__)
    manager = PluginManager()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert manager.get_plugin("extos") is importlib.import_module("extplug")
    assert [w.category for w in caught] == [DeprecationWarning]
    assert str(caught[0].message) == (
        "The following deprecated XferKit plugins were detected :\noldplug\noldplug2.\n"
        "Please upgrade these plugins soon.  This warning becomes an error in the next release."
    )
    sub = manager._subplugins
    assert manager.get_plugin("localhost") is localhost  # builtin wins
    assert sub["localhost"] == {
        "ftp": localhost_ftp,
        "sftp": importlib.import_module("morelocal.plugins.localhost.sftp"),
    }
    assert sub["extos"] == {
        name: importlib.import_module("extplug.plugins.extos." + name) for name in ("deep", "deep.scp", "sftp")
    }
    assert manager.get_subplugin("extos", "deep.scp").__name__ == "extplug.plugins.extos.deep.scp"
    assert manager.get_plugin("oldos") is importlib.import_module("oldplug")
    assert manager.get_subplugin("oldos", "sftp").__name__ == "oldplug.plugins.oldos.sftp"
    assert manager.get_plugin("plainos") is importlib.import_module("plainos") and "plainos" not in sub
    messages = [r.getMessage() for r in caplog.records]
    assert "Loading external plugin extos from extplug" in messages
    assert "Loading subplugin deep.scp from extplug.plugins.extos.deep.scp" in messages


def test_passes_run_once_and_again_after_a_failure(site, monkeypatch):
    calls = []
    real = addon_registry.iter_entry_points

    def counting(group):
        calls.append(group)
        return real(group)

    monkeypatch.setattr(addon_registry, "iter_entry_points", counting)
    manager = PluginManager()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        manager.get_plugin("extos")
        manager.get_subplugin("extos", "sftp")
        manager.get_plugin("missing")
    assert calls == [GROUP, OLD_GROUP] and len(caught) == 1

    distribution(site, "broken", {GROUP: [("aaa", "no_such_module_here")]})
    importlib.invalidate_caches()
    manager = PluginManager()
    with pytest.warns(DeprecationWarning), pytest.raises(ModuleNotFoundError):
        manager.get_plugin("localhost")
    assert manager._plugins_loaded is False and manager._plugins["localhost"] is localhost
    with pytest.warns(DeprecationWarning), pytest.raises(ModuleNotFoundError):
        manager.get_plugin("localhost")


def test_iter_entry_points_reads_installed_distributions(site):
    found = {ep.name: ep for ep in addon_registry.iter_entry_points(GROUP)}
    assert found["extos"].module == "extplug" and found["extos"].load() is importlib.import_module("extplug")
    assert [ep.module for ep in addon_registry.iter_entry_points(group=OLD_GROUP, name="extos")] == ["oldplug2"]


def test_entry_points_of_the_older_kind_and_a_missing_plugin_list(monkeypatch):
    class Old:
        name, module_name = "legacyos", "ovark.utils.xferkit.plugins.localhost"

        def load(self):
            return localhost

    mocked = mock.MagicMock(module_name=Old.module_name)  # `module` too, but not a text
    mocked.name, mocked.load.return_value = "mockos", localhost
    monkeypatch.setattr(
        addon_registry, "iter_entry_points", lambda group: [Old(), mocked] if group == OLD_GROUP else []
    )
    manager = PluginManager()
    with pytest.warns(DeprecationWarning, match="detected :\n{0}\n{0}.\n".format(Old.module_name)):
        manager.discover_external_plugins()
    assert manager._plugins == {"legacyos": localhost, "mockos": localhost}
    monkeypatch.delattr("ovark.utils.xferkit.plugins.__available_plugins__")
    with pytest.raises(ImportError, match="cannot import name '__available_plugins__'"):
        PluginManager().populate_builtin_plugins()


@pytest.mark.slow
def test_no_leaks(monkeypatch):
    monkeypatch.setattr(addon_registry, "iter_entry_points", lambda group: iter(()))
    manager = PluginManager()
    assert_no_leak(
        lambda: (
            manager.get_plugin("localhost"),
            manager.get_subplugin("localhost", "ftp"),
            manager.get_subplugin("x", "y"),
        )
    )
    assert_no_leak(lambda: PluginManager().get_subplugin("localhost", "ftp"), calls=2000)
