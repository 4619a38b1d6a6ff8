"""Frames from audio that arrives in chunks of any length."""

from __future__ import annotations

import operator

import numpy as np
import numpy.typing as npt

import marlune
from marlune_tools.parallel import ParallelBank

# A hop longer than any chunk: resonating with it processes nothing, so it only checks the chunk.
_NO_HOP = (1 << 64) - 1


class FrameStream:
    """Feeds a bank chunk by chunk and returns one frame per full hop, as one call would.

    ``bank.resonate(signal, hop)`` leaves the samples past the last full hop unprocessed. A
    stream holds them back and puts them in front of the next chunk, so that pushing a signal in
    chunks of any lengths (empty ones included) gives, bit for bit, the frames of one
    ``resonate`` call on the whole signal. This is the way to feed audio callbacks and file blocks.
    The bank may also be a `ParallelBank`.

    A stream takes what ``resonate`` takes: a hop that ``resonate`` accepts, at least 1, and
    chunks that are one-dimensional contiguous float32 arrays; anything else raises the bank's
    own error. A push that raises changes nothing, neither the bank nor the held samples, so it
    may be retried. Each sample is copied at most twice, whatever the hop and the chunk lengths.

    >>> stream = FrameStream(bank, hop=480)
    >>> frames = stream.push(chunk)   # complex64, shape (k, len(bank)), k >= 0
    >>> stream.pending                # samples held for the next push, 0 <= pending < hop
    """

    def __init__(self, bank: marlune.ResonatorBank | ParallelBank, hop: int) -> None:
        # The bank judges the hop as its resonate would, and raises its own error for one it
        # refuses (a float, a negative or an oversized number); hop 0, which resonate reports
        # as an internal failure, is refused here first.
        empty = np.empty(0, dtype=np.float32)
        try:
            step = operator.index(hop)
        except TypeError:
            bank.resonate(empty, hop)
            raise
        if step == 0:
            raise ValueError("hop must be at least 1 sample, not 0")
        bank.resonate(empty, hop)
        self._bank = bank
        self._hop = step
        # Held samples: the first `_count` of `_held`, which grows by doubling up to one hop.
        self._held: npt.NDArray[np.float32] = empty
        self._count = 0

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
        return self._count

    def reset(self) -> None:
        """Resets the bank and drops the held samples: the next push starts a new signal."""
        self._bank.reset()
        self._count = 0

    def push(self, chunk: npt.NDArray[np.float32]) -> npt.NDArray[np.complex64]:
        """Processes `chunk` (a one-dimensional float32 array) after the held samples.

        Returns the frames completed by this chunk, complex64 of shape (k, channels).
        """
        # The bank checks the chunk (type, dtype, shape, layout) without processing a sample.
        nothing = self._bank.resonate(chunk, _NO_HOP)
        held, hop = self._count, self._hop
        total = held + len(chunk)
        if total < hop:
            self._reserve(total)
            self._held[held:total] = chunk
            self._count = total
            return nothing
        used = total // hop * hop - held  # samples of the chunk that complete frames
        rest = len(chunk) - used
        # Everything that can fail (allocations, the bank) happens before the stream changes.
        self._reserve(rest)
        signal: npt.NDArray[np.float32]
        if held:
            signal = np.empty(held + used, dtype=np.float32)
            signal[:held] = self._held[:held]
            signal[held:] = chunk[:used]
        else:
            signal = chunk[:used]
        frames = self._bank.resonate(signal, hop)
        self._held[:rest] = chunk[used:]
        self._count = rest
        return frames

    def _reserve(self, count: int) -> None:
        if count > len(self._held):
            grown = np.empty(min(self._hop, max(count, 2 * len(self._held), 1024)), dtype=np.float32)
            grown[: self._count] = self._held[: self._count]
            self._held = grown
