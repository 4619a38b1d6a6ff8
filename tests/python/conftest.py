"""Shared fixtures: a bank factory, the internal-failure exception type and libm's float32 functions."""

import ctypes
import os
import types

import numpy as np
import pytest

import marlune


def pytest_report_header(config):
    # scripts/run-tests learns the kernel from the native tests; the module itself does not say.
    kernel = os.environ.get("MARLUNE_TEST_KERNEL") or "not named (run scripts/run-tests to see it)"
    return f"marlune kernel: {kernel}"


@pytest.fixture
def make_bank():
    """Builds a bank from plain Python sequences, passed on as float32 arrays."""

    def make(freqs, sample_rate=48000.0, **coefficients):
        arrays = {
            name: None if value is None else np.asarray(value, dtype=np.float32)
            for name, value in coefficients.items()
        }
        return marlune.ResonatorBank(np.asarray(freqs, dtype=np.float32), sample_rate, **arrays)

    return make


@pytest.fixture(scope="session")
def panic_exception():
    """The exception type of internal failures, obtained by reading past the end of an empty bank."""
    bank = marlune.ResonatorBank(np.zeros(0, dtype=np.float32), 48000.0)
    try:
        bank.magnitude(0)
    except BaseException as exc:  # the type is not importable; catching it is the only way to get it
        return type(exc)
    pytest.fail("reading channel 0 of an empty bank did not fail")


@pytest.fixture(scope="session")
def libm():
    """The C library's single-precision functions, taking and returning numpy.float32."""
    lib = ctypes.CDLL("libm.so.6")

    def wrap(name, arity):
        fn = getattr(lib, name)
        fn.restype = ctypes.c_float
        fn.argtypes = [ctypes.c_float] * arity
        return lambda *args: np.float32(fn(*(float(a) for a in args)))

    unary = ("expf", "exp2f", "logf", "log10f", "cosf", "sinf")
    return types.SimpleNamespace(atan2f=wrap("atan2f", 2), **{name: wrap(name, 1) for name in unary})
