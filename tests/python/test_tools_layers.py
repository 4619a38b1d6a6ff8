"""The layers of marlune_tools, as pyproject.toml writes them down, hold in the source tree."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import require

REPO = Path(__file__).resolve().parents[2]


def lint_imports(source):
    """lint-imports on the package found in `source`; returns the finished process."""
    require("importlinter")
    script = Path(sys.executable).with_name("lint-imports")
    env = {**os.environ, "PYTHONPATH": str(source)}
    return subprocess.run([str(script), "--config", str(REPO / "pyproject.toml"), "--no-cache"],
                          capture_output=True, text=True, env=env, cwd=REPO, timeout=300)


def test_every_import_runs_downwards():
    done = lint_imports(REPO / "python")
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize(("module", "upward"), [("errors", "notes"), ("notes", "picture"), ("stream", "analysis")])
def test_an_upward_import_fails_the_check(tmp_path, module, upward):
    package = tmp_path / "marlune_tools"
    shutil.copytree(REPO / "python" / "marlune_tools", package, ignore=shutil.ignore_patterns("__pycache__"))
    with open(package / f"{module}.py", "a") as f:
        f.write(f"\nfrom marlune_tools import {upward}  # noqa: E402\n")
    done = lint_imports(tmp_path)
    assert done.returncode == 1 and f"marlune_tools.{module} -> marlune_tools.{upward}" in done.stdout, done.stdout
