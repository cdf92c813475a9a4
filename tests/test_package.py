import importlib
import importlib.metadata
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import visualization

ROOT = Path(__file__).parents[1]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
MODULES = ["tintora", "brelvo", "geo"]


def run_python(code, *flags):
    done = subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True,
                          cwd=ROOT / "tests")
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_modules_load_without_gui():
    geo = importlib.import_module("visualization.geo")
    assert geo.math is importlib.import_module("math")


def test_version_is_the_project_version():
    assert visualization.__version__ == PROJECT["version"]
    assert visualization.__version__ == importlib.metadata.version("visualization")


def test_version_of_an_uninstalled_source_tree_comes_from_pyproject():
    # -S hides site-packages, so only the source tree's package can be found.
    code = f"import sys; sys.path.insert(0, {str(ROOT / 'src')!r}); import visualization; " \
           "print(visualization.__version__, visualization.__file__)"
    version, path = run_python(code, "-S").split(" ", 1)
    assert version == PROJECT["version"]
    assert Path(path).is_relative_to(ROOT / "src")


def test_unknown_attribute_raises_attribute_error():
    with pytest.raises(AttributeError, match="no_such_name"):
        visualization.no_such_name  # noqa: B018


@pytest.mark.parametrize("module", ["geo", "tintora"])
def test_importing_a_module_does_not_pay_for_the_version_lookup(module):
    code = f"import sys, visualization.{module}; print('importlib.metadata' in sys.modules)"
    assert run_python(code) == "False"


def test_installed_metadata():
    meta = importlib.metadata.metadata("visualization")
    classifiers = set(meta.get_all("Classifier"))
    # Windows has the stable-ABI wheel alone, for CPython 3.12 and later.
    oldest, system = (12, "Microsoft :: Windows") if sys.platform == "win32" else (11, "POSIX :: Linux")
    for minor in range(oldest, 15):
        assert f"Programming Language :: Python :: 3.{minor}" in classifiers
    assert f"Programming Language :: Python :: 3.{oldest - 1}" not in classifiers
    assert {f"Operating System :: {system}", "Programming Language :: C++"} <= classifiers
    assert meta["Requires-Python"] == f">=3.{oldest}"
    assert {"scipy", "geomag", "test"} <= set(meta.get_all("Provides-Extra"))
    assert meta["Description-Content-Type"] == "text/markdown"
    description = meta.get_payload() or meta["Description"]
    assert description.startswith("# visualization\n")
    assert "pip install" in description


def test_installed_wheel_uses_the_stable_abi_from_python_3_12():
    """One cp312-abi3 wheel serves every later CPython (the host runs 3.14)."""
    for name in MODULES:
        path = importlib.import_module(f"visualization.{name}").__file__
        if "site-packages" not in path:
            pytest.skip(f"{name} was not loaded from an installed wheel: {path}")
        if sys.platform == "win32":  # a stable-ABI module there is plain name.pyd
            assert Path(path).name == f"{name}.pyd"
            continue
        expected = ".abi3.so" if sys.version_info >= (3, 12) else f"cpython-3{sys.version_info[1]}"
        assert expected in Path(path).name


@pytest.mark.skipif(not (ROOT / ".git").exists() or shutil.which("git") is None,
                    reason="not a git checkout, or no git program to ask")
@pytest.mark.parametrize("folder", ["build", "dist"])
def test_build_output_stays_out_of_the_repository(folder):
    def git(*args):
        return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True)

    assert git("ls-files", "--", folder).stdout == ""
    assert git("check-ignore", "-q", f"{folder}/anything").returncode == 0

