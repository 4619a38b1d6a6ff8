"""The in-register ceiling, from the native library built beside the suite.

The library runs the bank's update on whole registers of channels whose state never leaves the
registers: per sample, one broadcast of the input and the update's exact operations
(9 multiplies, 4 fused multiply-adds, 2 additions or subtractions), with the renormalisation
every 256 samples included. Its throughput in channel-samples per second is the most this CPU's
vector pipes allow for the update: a bank call can approach it but not pass it (beyond the noise
of the measurement). Before it is trusted, its output is checked bit for bit against the bank's.
"""

from __future__ import annotations

import ctypes
from pathlib import Path
from typing import Callable

import numpy as np

import workload

_float_p = ctypes.POINTER(ctypes.c_float)
_NOTHING_RAN = 2**64 - 1


def _ptr(array: np.ndarray):
    """The array's data as a float pointer, for as long as the array lives."""
    assert array.dtype == np.float32 and array.flags.c_contiguous
    return array.ctypes.data_as(_float_p)


class Ceiling:
    def __init__(self, native_dir: Path):
        lib = ctypes.CDLL(str(native_dir / "libceiling.so"))
        lib.ceiling_unit.restype = ctypes.c_char_p
        lib.ceiling_run.restype = ctypes.c_uint64
        lib.ceiling_run.argtypes = [ctypes.c_int] + [_float_p] * 6 + [ctypes.c_size_t] * 2 + [
            ctypes.c_uint64
        ]
        self._lib = lib
        self.lanes: int = lib.ceiling_lanes()
        self.max_groups: int = lib.ceiling_max_groups()
        self.unit: str = lib.ceiling_unit().decode()

    @property
    def available(self) -> bool:
        return self.lanes > 0

    def channels(self, groups: int) -> workload.Channels:
        return workload.channels(groups * self.lanes)

    def run(self, groups: int, x: np.ndarray, passes: int = 1) -> np.ndarray:
        """Final state (six rows: phasor re, im, first average re, im, second re, im) of a fresh
        set of `groups` registers of channels after `passes` runs through x."""
        ch = self.channels(groups)
        state = np.zeros((6, ch.count), dtype=np.float32)
        state[0] = 1.0
        counter = self._lib.ceiling_run(
            groups, _ptr(ch.alphas), _ptr(ch.betas), _ptr(ch.rotation_re), _ptr(ch.rotation_im),
            _ptr(state), _ptr(x), len(x), passes, 0,
        )
        if counter == _NOTHING_RAN:
            raise RuntimeError(f"the ceiling library ran nothing for {groups} groups")
        return state

    def check(self, x: np.ndarray) -> list[str]:
        """Failures (empty when none): the ceiling's second averages against a bank's, bit for
        bit, for every group count."""
        failures = []
        for groups in range(1, self.max_groups + 1):
            state = self.run(groups, x)
            bank = self.channels(groups).bank()
            bank.process_samples(x)
            expected = np.array([bank.complex(i) for i in range(len(bank))], dtype=np.complex64)
            if not (np.array_equal(state[4], expected.real)
                    and np.array_equal(state[5], expected.imag)):
                failures.append(f"ceiling, {groups} groups: second averages differ from the bank's")
        return failures

    def job(self, groups: int, x: np.ndarray, passes: int) -> tuple[Callable[[], object], int]:
        """A callable for timing and the channel-samples it processes per call."""
        ch = self.channels(groups)
        state = np.zeros((6, ch.count), dtype=np.float32)
        state[0] = 1.0
        args = (groups, _ptr(ch.alphas), _ptr(ch.betas), _ptr(ch.rotation_re),
                _ptr(ch.rotation_im), _ptr(state), _ptr(x), len(x), passes, 0)
        keep = (ch, state, x)  # the arrays behind the pointers live as long as the closure

        def call(run=self._lib.ceiling_run, args=args, keep=keep):
            return run(*args)

        return call, ch.count * len(x) * passes
