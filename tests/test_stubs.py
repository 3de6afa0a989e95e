"""The shipped type stubs: one .pyi beside every extension module, a py.typed
marker, and mypy's stubtest finding the stubs true to the built modules."""

import importlib
import importlib.machinery
import importlib.util
import os
import pathlib
import pkgutil
import subprocess
import sys

import pytest

ALLOWLIST = pathlib.Path(__file__).resolve().parent / "stubtest_allowlist.txt"


def extension_modules():
    import ovark

    found = []
    for info in pkgutil.walk_packages(ovark.__path__, "ovark."):
        spec = importlib.util.find_spec(info.name)
        if spec.origin and spec.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            found.append((info.name, spec.origin))
    return sorted(found)


MODULES = extension_modules()


@pytest.mark.parametrize("name, origin", MODULES, ids=[m[0] for m in MODULES])
def test_every_extension_module_has_an_installed_stub(name, origin):
    stub = pathlib.Path(origin).with_name(name.rsplit(".", 1)[-1] + ".pyi")
    assert stub.is_file(), "no stub installed for " + name
    import ovark

    assert (pathlib.Path(ovark.__file__).parent / "py.typed").is_file()


def test_allowlist_entries_carry_their_reason():
    lines = ALLOWLIST.read_text().splitlines()
    for number, line in enumerate(lines):
        if line.strip() and not line.startswith("#"):
            assert number > 0 and lines[number - 1].startswith("# "), "entry without a reason: " + line


def test_stubtest_finds_the_stubs_true_to_the_modules(tmp_path):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(ALLOWLIST), *[name for name, _ in MODULES]],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
