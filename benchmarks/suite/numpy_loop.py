"""Peer: a NumPy loop over samples, vectorised over channels.

The update as a NumPy user writes it: one pass of in-place ufuncs over all channels per sample,
complex64 state, the phasor renormalised every 256 samples, a frame copied at every hop end.
NumPy has no fused multiply-add, so the bits differ from the bank's in the last places; the
check is closeness.
"""

from __future__ import annotations

import numpy as np

import workload


def resonate(ch: workload.Channels, x: np.ndarray, hop: int) -> np.ndarray:
    n = ch.count
    a, b = ch.alphas, ch.betas
    ca, cb = np.float32(1) - a, np.float32(1) - b
    rotation = (ch.rotation_re + 1j * ch.rotation_im).astype(np.complex64)
    phasor = np.ones(n, dtype=np.complex64)
    accum = np.zeros(n, dtype=np.complex64)
    smooth = np.zeros(n, dtype=np.complex64)
    ax = np.empty(n, dtype=np.float32)
    term = np.empty(n, dtype=np.complex64)
    frames = len(x) // hop
    out = np.empty((frames, n), dtype=np.complex64)
    period = workload.RENORMALISE_PERIOD
    for k in range(frames * hop):
        np.multiply(a, x[k], out=ax)
        np.multiply(phasor, ax, out=term)
        np.multiply(accum, ca, out=accum)
        np.add(accum, term, out=accum)
        np.multiply(accum, b, out=term)
        np.multiply(smooth, cb, out=smooth)
        np.add(smooth, term, out=smooth)
        np.multiply(phasor, rotation, out=phasor)
        if (k + 1) % period == 0:
            np.divide(phasor, np.abs(phasor), out=phasor)
        if (k + 1) % hop == 0:
            out[(k + 1) // hop - 1] = smooth
    return out
