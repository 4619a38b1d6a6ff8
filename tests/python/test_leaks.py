"""Every entry point, succeeding and failing, 100,000 times: memory and reference counts stay flat."""

import json
import subprocess
import sys

import pytest

import leak_check
from conftest import sanitized

CALLS = 100_000
# Less than 5 bytes per call: a leaked object or native allocation costs at least 16 bytes a call.
RESIDENT_TOLERANCE = 512 * 1024

SANITIZED = sanitized()
pytestmark = [pytest.mark.heavy,
              pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine holds on to freed memory")]

_check = None


def start_check():
    """Starts the leak check in a process of its own, once, unless this run skips it. It takes over
    a minute of one core, and measures only itself: conftest.py starts it as soon as this file's
    tests are collected, and the tests before them run on the other core meanwhile."""
    global _check
    if _check is None and not SANITIZED:
        # Internal failures report themselves on standard error on every call: hundreds of thousands.
        _check = subprocess.Popen([sys.executable, leak_check.__file__, str(CALLS)], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
    return _check


def stop_check():
    """Ends the leak check if it still runs (a run that stopped before this file's tests)."""
    if _check is not None and _check.poll() is None:
        _check.kill()
        _check.wait()


@pytest.fixture(scope="module")
def report():
    check = start_check()
    try:
        out, _ = check.communicate(timeout=600)
    finally:
        stop_check()
    assert check.returncode == 0, out
    figures = json.loads(out)
    assert "error" not in figures, figures["error"]
    return figures


@pytest.mark.parametrize("case", leak_check.CASES)
def test_calls_leak_nothing(report, case):
    figures = report[case]
    assert figures["resident growth"] <= RESIDENT_TOLERANCE
    assert figures["reference growth"] == [0] * len(figures["reference growth"])
    assert set(figures["result references"]) <= {2}  # the caller's name and getrefcount's argument
