"""The type stubs against the built module, mypy on user code, and the wheel's portability."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest
from conftest import require, unavailable

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


@pytest.fixture(scope="module")
def wheel():
    path = os.environ.get("MARLUNE_WHEEL")
    if not path:
        unavailable("MARLUNE_WHEEL does not name the built wheel (noxfile.py sets it)")
    return os.path.abspath(path)  # the checks run in a folder of their own


def test_stubs_match_the_module(tmp_path):
    require("mypy")
    done = run("mypy.stubtest", "marlune", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


SNIPPET = """\
import numpy as np
import numpy.typing as npt
import marlune
from marlune_tools import FrameStream

freqs = np.array([110.0, 220.0], dtype=np.float32)
bank = marlune.ResonatorBank(freqs, 48000.0, alphas=marlune.heuristic_alphas(freqs, 48000.0))
frames: npt.NDArray[np.complex64] = bank.resonate(np.zeros(960, np.float32), 480)
level: float = bank.magnitude(0) + marlune.midi_to_hz(69, 440.0)
more: npt.NDArray[np.complex64] = FrameStream(bank, 480).push(np.zeros(2, np.float32))
bank.resonate("not an array", 480)  # line 11
marlune.ResonatorBank(freqs, 48000.0, freqs)  # line 12: alphas is keyword-only
wrong: npt.NDArray[np.float32] = bank.resonate(np.zeros(960, np.float32), 480)  # line 13
"""


def test_mypy_finds_the_stubs_and_flags_wrong_calls(tmp_path):
    require("mypy")
    (tmp_path / "user.py").write_text(SNIPPET)
    # Strict on the user's code; the tools package is checked strictly as installed, by its own settings.
    cache = os.path.join(sys.prefix, ".mypy_cache")  # one per environment, kept between runs
    done = run("mypy", "--strict", "--cache-dir", cache, "user.py", cwd=tmp_path)
    flagged = sorted({int(n) for n in re.findall(r"^user\.py:(\d+): error", done.stdout, re.M)})
    assert flagged == [11, 12, 13], done.stdout
    assert "missing library stubs" not in done.stdout
    config = os.path.join(REPO, "pyproject.toml")
    done = run("mypy", "--config-file", config, "--cache-dir", cache, "-p", "marlune_tools", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_wheel_is_manylinux_2_28_or_older(wheel, tmp_path):
    require("auditwheel")
    done = run("auditwheel", "show", wheel, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    tags = re.findall(r'"manylinux_2_(\d+)_\w+"', " ".join(done.stdout.split()))
    assert tags and int(tags[0]) <= 28, done.stdout
    assert "libstdc++" not in done.stdout


def test_wheel_is_stable_abi_3_9(wheel, tmp_path):
    require("abi3audit")
    done = run("abi3audit", "--strict", "--report", wheel, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    [(_, spec)] = json.loads(done.stdout)["specs"].items()
    [module] = spec["wheel"]
    assert module["result"]["is_abi3"] and module["result"]["computed"] == "3.9"
    assert module["result"]["non_abi3_symbols"] == []
