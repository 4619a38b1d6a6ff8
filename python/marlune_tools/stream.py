"""Frames from audio that arrives in chunks of any length."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import marlune
from marlune_tools.parallel import ParallelBank


class FrameStream:
    """Feeds a bank chunk by chunk and returns one frame per full hop, as one call would.

    ``bank.resonate(signal, hop)`` leaves the samples past the last full hop unprocessed. A
    stream holds them back and puts them in front of the next chunk, so that pushing a signal in
    chunks of any lengths (empty ones included) gives, bit for bit, the frames of one
    ``resonate`` call on the whole signal. This is the way to feed audio callbacks and file blocks.
    The bank may also be a `ParallelBank`.

    >>> stream = FrameStream(bank, hop=480)
    >>> frames = stream.push(chunk)   # complex64, shape (k, len(bank)), k >= 0
    >>> stream.pending                # samples held for the next push, 0 <= pending < hop
    """

    def __init__(self, bank: marlune.ResonatorBank | ParallelBank, hop: int) -> None:
        if hop < 1:
            raise ValueError(f"hop must be at least 1 sample, not {hop}")
        self._bank = bank
        self._hop = int(hop)
        self._held: npt.NDArray[np.float32] = np.empty(0, dtype=np.float32)

    @property
    def bank(self) -> marlune.ResonatorBank | ParallelBank:
        """The bank being fed; it is changed by every push that completes a hop."""
        return self._bank

    @property
    def hop(self) -> int:
        """Samples per frame."""
        return self._hop

    @property
    def pending(self) -> int:
        """Samples received but not yet processed, fewer than one hop."""
        return len(self._held)

    def push(self, chunk: npt.ArrayLike) -> npt.NDArray[np.complex64]:
        """Processes `chunk` (one-dimensional, converted to float32) after the held samples.

        Returns the frames completed by this chunk, complex64 of shape (k, channels).
        """
        samples = np.ascontiguousarray(chunk, dtype=np.float32)
        if samples.ndim != 1:
            raise ValueError(f"a chunk must be one-dimensional, not of shape {samples.shape}")
        held, hop = len(self._held), self._hop
        if held + len(samples) < hop:
            self._held = np.concatenate([self._held, samples])
            return self._bank.resonate(samples[:0], hop)
        parts = []
        start = 0
        if held:
            # Complete the held hop first, then run the rest of the chunk in place, without a copy.
            start = hop - held
            parts.append(self._bank.resonate(np.concatenate([self._held, samples[:start]]), hop))
        end = start + (len(samples) - start) // hop * hop
        parts.append(self._bank.resonate(samples[start:end], hop))
        self._held = samples[end:].copy()
        return parts[0] if len(parts) == 1 else np.concatenate(parts)
