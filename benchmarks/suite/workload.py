"""The jobs every contender does: the channels, their coefficients, the signal.

Channel frequencies run from A0 to C8 in equal steps of pitch (88 channels are exactly the piano
keys; one channel is A4). Coefficients are the bank's defaults, and the rotation factors are what
the bank computes at construction: theta = (freq * -2pi) / rate in single precision, then the C
library's cosf and sinf. Peers that must give the bank's bits start from these values.
"""

from __future__ import annotations

import ctypes
import ctypes.util
from dataclasses import dataclass

import numpy as np

import marlune

RATE = 48_000.0
TUNING = 440.0
RENORMALISE_PERIOD = 256
# -2*pi rounded to single precision, as the bank uses it.
MINUS_TWO_PI = np.float32(-6.2831855)

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
for _name in ("cosf", "sinf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def frequencies(channels: int) -> np.ndarray:
    """Channel frequencies in Hz, float32: A0 to C8 in equal pitch steps (A4 for one channel)."""
    midis = [69.0] if channels == 1 else np.linspace(21.0, 108.0, channels).tolist()
    return np.array([marlune.midi_to_hz(m, TUNING) for m in midis], dtype=np.float32)


@dataclass(frozen=True)
class Channels:
    """Everything the update needs per channel, float32, as the bank holds it after construction."""

    freqs: np.ndarray
    alphas: np.ndarray
    betas: np.ndarray
    rotation_re: np.ndarray
    rotation_im: np.ndarray

    @property
    def count(self) -> int:
        return len(self.freqs)

    def bank(self) -> marlune.ResonatorBank:
        """A fresh bank with these channels."""
        return marlune.ResonatorBank(self.freqs, RATE, alphas=self.alphas, betas=self.betas)


def channels(count: int) -> Channels:
    freqs = frequencies(count)
    alphas = marlune.heuristic_alphas(freqs, RATE)
    theta = (freqs * MINUS_TWO_PI) / np.float32(RATE)
    rotation_re = np.array([_libm.cosf(float(t)) for t in theta], dtype=np.float32)
    rotation_im = np.array([_libm.sinf(float(t)) for t in theta], dtype=np.float32)
    return Channels(freqs, alphas, alphas.copy(), rotation_re, rotation_im)


def signal(seconds: float, seed: int = 2024) -> np.ndarray:
    """Reproducible noise at -20 dBFS RMS, float32: the grid's workload. Noise keeps every
    average away from subnormal numbers; real_sound.py measures signals that reach them."""
    rng = np.random.default_rng(seed)
    return (0.1 * rng.standard_normal(int(round(seconds * RATE)))).astype(np.float32)


def tone(freq: float, seconds: float) -> np.ndarray:
    """A sine at `freq` Hz with a little noise, float32: for checks that compare strongest bins."""
    t = np.arange(int(round(seconds * RATE))) / RATE
    noise = 0.01 * np.random.default_rng(7).standard_normal(len(t))
    return (0.5 * np.sin(2 * np.pi * freq * t) + noise).astype(np.float32)


# The largest result of one resonate job. Below the C library's largest threshold for serving
# an allocation with fresh pages from the kernel (32 MiB in glibc), a freed result's memory is
# reused by the next call, as when a stream is fed in blocks; above it every call would fault in
# a fresh result page by page, and short hops would measure the kernel's page faults.
MAX_RESULT_BYTES = 16 << 20


def samples_for(channels: int, hop: int, signal_samples: int, max_result_bytes: int) -> int:
    """How much of the signal a `resonate` job uses: all of it, unless its result (8 bytes per
    channel and frame) would pass max_result_bytes; then as many whole hops as fit."""
    frames = min(signal_samples // hop, max(1, max_result_bytes // (8 * channels)))
    return frames * hop
