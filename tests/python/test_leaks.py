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

pytestmark = [pytest.mark.heavy,
              pytest.mark.skipif(sanitized(), reason="AddressSanitizer's quarantine holds on to freed memory")]


@pytest.fixture(scope="module")
def report():
    # Internal failures report themselves on standard error on every call: hundreds of thousands.
    done = subprocess.run([sys.executable, leak_check.__file__, str(CALLS)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stdout
    figures = json.loads(done.stdout)
    assert "error" not in figures, figures["error"]
    return figures


@pytest.mark.parametrize("case", leak_check.CASES)
def test_calls_leak_nothing(report, case):
    figures = report[case]
    assert figures["resident growth"] <= RESIDENT_TOLERANCE
    assert figures["reference growth"] == [0] * len(figures["reference growth"])
    assert set(figures["result references"]) <= {2}  # the caller's name and getrefcount's argument
