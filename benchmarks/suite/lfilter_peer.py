"""Peer: scipy.signal.lfilter, one channel at a time.

For each channel the input is multiplied by the phasor sequence (computed directly as
exp(i k theta), with theta the angle of the bank's rotation factor), then both moving averages
run as first-order complex recursions, y[k] = c x[k] + (1 - c) y[k-1], in lfilter's complex64
loop, and the frames are every hop-th value. The rounding differs from the bank's (a directly
computed phasor, no fused multiply-add), so the check is closeness, not bits.
"""

from __future__ import annotations

import numpy as np
from scipy import signal as sps

import workload


def resonate(ch: workload.Channels, x: np.ndarray, hop: int) -> np.ndarray:
    frames = len(x) // hop
    used = x[: frames * hop]
    k = np.arange(len(used), dtype=np.float64)
    theta = np.arctan2(ch.rotation_im.astype(np.float64), ch.rotation_re.astype(np.float64))
    out = np.empty((frames, ch.count), dtype=np.complex64)
    one = np.float32(1)
    for i in range(ch.count):
        a, b = ch.alphas[i], ch.betas[i]
        phasor = np.exp(1j * theta[i] * k).astype(np.complex64)
        accum = sps.lfilter(np.array([a]), np.array([one, a - one]), used * phasor)
        smooth = sps.lfilter(np.array([b]), np.array([one, b - one]), accum)
        out[:, i] = smooth[hop - 1 :: hop]
    return out
