"""Real-time frequency analysis of audio with a bank of complex resonators.

Units: frequencies in Hz, time constants in seconds, phases in radians, samples as float32
(full scale is amplitude 1). Every array argument is a one-dimensional float32 NumPy array,
contiguous and aligned when it is not empty; anything else raises TypeError.

Reading the values: a steady sine of amplitude A at a channel's frequency reads A/2 in
magnitude (a full-scale sine reads 0.5), and power is magnitude squared.

Subnormal numbers: inside the update, an operand that is subnormal (an input sample, a
coefficient, a channel's state) is read as zero, and a result that would be subnormal is a zero
of its sign (x86-64 and aarch64; x86-64 decides tininess after rounding, aarch64 before). For
every input in which no subnormal value arises, results are bit for bit those of IEEE single
precision. A channel whose value is zero reads magnitude 0, power 0 and phase +0.

Errors: TypeError for arguments that do not match or cannot be converted (the same texts as a
Python function's); RuntimeError "Already borrowed" or "Already mutably borrowed" when a bank is
used by another call at the same moment (another thread, a callback; nothing waits); ValueError
"freqs, alphas, and betas must have the same length"; PanicException ("pyo3_runtime.PanicException",
derived from BaseException, not importable) for internal failures such as a channel index out
of range or resonate with hop 0. MemoryError when memory runs out, for a bank's channels, a
result array or any other object; the bank is then left as it was.
"""

from typing import Optional, final

import numpy as np
import numpy.typing as npt

__all__ = ["ResonatorBank", "heuristic_alpha", "heuristic_alphas", "alpha_from_tau", "tau_from_alpha", "midi_to_hz"]

@final
class ResonatorBank:
    """A bank of complex resonators (channels) that all hear the same samples.

    Each channel turns a unit phasor by -2*pi*freq/sample_rate radians per sample, multiplies
    each sample by it and smooths the product twice, with its `alpha` and then its `beta`
    (exponential moving averages); the smoothed complex value is what the readouts report.

    freqs: centre frequencies in Hz, shape (channels,).
    sample_rate: samples per second, in Hz.
    alphas: first smoothing coefficient per channel, in (0, 1], shape (channels,); default
        heuristic_alphas(freqs, sample_rate). alpha_from_tau(tau, sample_rate) gives the
        coefficient of a time constant of tau seconds.
    betas: second smoothing coefficient per channel, shape (channels,); default: the alphas.

    Raises ValueError if alphas or betas do not have one value per frequency. len(bank) is the
    number of channels. Banks are not picklable and cannot be subclassed.
    """

    def __new__(
        cls,
        freqs: npt.NDArray[np.float32],
        sample_rate: float,
        *,
        alphas: Optional[npt.NDArray[np.float32]] = None,
        betas: Optional[npt.NDArray[np.float32]] = None,
    ) -> "ResonatorBank": ...
    def __len__(self) -> int:
        """The number of channels."""
    def process_sample(self, sample: float) -> None:
        """Feeds one sample to every channel."""
    def process_samples(self, samples: npt.NDArray[np.float32]) -> None:
        """Feeds a block of samples, shape (n,), without the interpreter lock.

        Do not write to `samples` from another thread during the call.
        """
    def resonate(self, signal: npt.NDArray[np.float32], hop: int) -> npt.NDArray[np.complex64]:
        """Feeds `signal`, shape (n,), and returns every channel's value after each full hop.

        Returns complex64 of shape (n // hop, channels): row k holds the channels' smoothed
        complex values after sample (k + 1) * hop. The samples past the last full hop are not
        processed at all (marlune_tools.FrameStream keeps them for the next chunk). hop is a
        number of samples; hop 0 raises PanicException. Runs without the interpreter lock.
        """
    def reset(self) -> None:
        """Returns every channel to its initial state; frequencies and coefficients stay."""
    def freq(self, i: int) -> float:
        """Centre frequency of channel i in Hz (as float32). PanicException if i >= len(self)."""
    def magnitude(self, i: int) -> float:
        """|value| of channel i; a steady sine of amplitude A reads A/2. PanicException if out of range."""
    def phase(self, i: int) -> float:
        """Angle of channel i's value in radians, in [-pi, pi]; +0 for a zero value. PanicException if out of range."""
    def power(self, i: int) -> float:
        """Magnitude squared of channel i. PanicException if out of range."""
    def complex(self, i: int) -> complex:
        """The smoothed complex value of channel i. PanicException if out of range."""
    def frequencies(self) -> npt.NDArray[np.float32]:
        """Centre frequencies in Hz, shape (channels,)."""
    def magnitudes(self) -> npt.NDArray[np.float32]:
        """Magnitude of every channel, shape (channels,); a sine of amplitude A reads A/2."""
    def phases(self) -> npt.NDArray[np.float32]:
        """Phase of every channel in radians, shape (channels,)."""
    def powers(self) -> npt.NDArray[np.float32]:
        """Magnitude squared of every channel, shape (channels,)."""

def midi_to_hz(midi: float, tuning: float) -> float:
    """Frequency in Hz of MIDI note `midi` (69 is A4, may be fractional) when A4 is `tuning` Hz."""

def alpha_from_tau(tau: float, sample_rate: float) -> float:
    """Smoothing coefficient of a time constant of `tau` seconds at `sample_rate` Hz: 1 - exp(-1/(sample_rate*tau))."""

def tau_from_alpha(alpha: float, sample_rate: float) -> float:
    """Time constant in seconds of smoothing coefficient `alpha` at `sample_rate` Hz."""

def heuristic_alpha(freq: float, sample_rate: float) -> float:
    """Default coefficient of a channel at `freq` Hz: a time constant of log10(freq + 1)/freq seconds."""

def heuristic_alphas(freqs: npt.NDArray[np.float32], sample_rate: float) -> npt.NDArray[np.float32]:
    """heuristic_alpha of every frequency in Hz, shape (n,) to shape (n,)."""
