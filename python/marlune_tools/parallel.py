"""One large bank on all cores: its channels run as several banks on a thread pool.

Channels never influence each other, and `resonate` and `process_samples` release the
interpreter lock while they compute, so a bank cut into parts by channel runs its parts on
several threads at once and gives, bit for bit, what one bank gives.
"""

from __future__ import annotations

import bisect
import ctypes
import operator
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType
from typing import Callable, SupportsFloat, SupportsIndex, Tuple, TypeVar, cast

import numpy as np
import numpy.typing as npt

import marlune

# Parts begin on multiples of this many channels: two 512-bit registers of float32, so that every
# part but the last fills its vector groups as the whole bank would.
GROUP = 32
# Below two full groups a bank runs as one part on the calling thread.
MIN_CHANNELS = 2 * GROUP
# Calls smaller than this many channel-samples (about 40 microseconds on one core) run their parts
# in turn on the calling thread: waking a worker costs more than it would save.
SMALL_JOB = 1 << 18

T = TypeVar("T")
# How one part's call ended: ("ok", its result) or ("failed", the exception it raised); and
# ("not run", None) for a part never started, ("unknown", None) while the calling thread runs one.
Outcome = Tuple[str, object]
NOT_RUN: Outcome = ("not run", None)
UNKNOWN: Outcome = ("unknown", None)


def default_workers() -> int:
    """The CPUs this process may run on (its affinity where the system has one), at least 1."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def split(channels: int, workers: int) -> list[range]:
    """Contiguous channel ranges, at most `workers` of them, as equal as boundaries on multiples
    of GROUP allow; one range for fewer than MIN_CHANNELS channels. Every range has at least
    GROUP // 2 channels."""
    count = 1 if channels < MIN_CHANNELS else max(1, min(workers, channels // GROUP))
    # Part k ends at k * channels / count rounded to a multiple of GROUP; the ends are at least
    # GROUP apart, so they rise strictly, and the last part keeps at least GROUP // 2 channels.
    ends = [(k * channels // count + GROUP // 2) // GROUP * GROUP for k in range(1, count)]
    bounds = [0, *ends, channels]
    return [range(a, b) for a, b in zip(bounds, bounds[1:])]


class ParallelBank:
    """A bank whose channels run as several `marlune.ResonatorBank` parts on a thread pool.

    Built from the same arguments as a bank, it gives the same frames and leaves the same state,
    bit for bit, across any sequence of calls: frames of shape (n // hop, channels) joined in
    channel order. The calling thread runs one part and a pool of `workers - 1` threads the
    others. Parts begin on multiples of 32 channels; a bank of fewer than 64 channels is one part
    and calls on fewer than 2**18 channel-samples run the parts in turn, without waking a thread.

    freqs: centre frequencies in Hz, float32 of shape (channels,).
    sample_rate: samples per second, in Hz.
    alphas, betas: smoothing coefficients per channel, float32 of shape (channels,); the defaults
        are a bank's (heuristic_alphas of the frequencies; betas: the alphas).
    workers: threads a call may use, the calling one included; default: the CPUs this process
        may run on.

    >>> with ParallelBank(freqs, 48_000.0) as bank:
    ...     frames = bank.resonate(signal, 256)   # complex64, (len(signal) // 256, len(freqs))

    Errors are a bank's: the same TypeError texts for bad arguments (nothing changes), RuntimeError
    "Already borrowed" or "Already mutably borrowed" when another thread is using it (nothing
    waits). Arguments are checked once before any part starts, so they fail in every part alike.
    Should the parts of one call nevertheless end differently (one part out of memory while the
    others finished), the call raises and the bank refuses every further call but `reset()`
    with a RuntimeError that names the cause, rather than carrying on with channels at different
    positions in the signal.

    `close()` (or leaving a ``with`` block) stops the threads; readouts and `reset()` still
    work, but feeding samples raises RuntimeError. A bank that is dropped stops its threads too.
    """

    def __init__(
        self,
        freqs: npt.NDArray[np.float32],
        sample_rate: float,
        *,
        alphas: npt.NDArray[np.float32] | None = None,
        betas: npt.NDArray[np.float32] | None = None,
        workers: int | None = None,
    ) -> None:
        workers = default_workers() if workers is None else _index(workers, "workers")
        if workers < 1:
            raise ValueError(f"workers must be at least 1, not {workers}")
        # Read once, so that every part has the same rate whatever the object's __float__ does.
        rate = _as_double(sample_rate, "sample_rate")
        # One bank of all the channels checks the arguments with a bank's own errors. It is never
        # fed: it answers for the frequencies and for channel indices out of range.
        self._whole = marlune.ResonatorBank(freqs, rate, alphas=alphas, betas=betas)
        ranges = split(len(self._whole), workers)
        if len(ranges) == 1:
            parts = [self._whole]
        else:
            # The arguments passed, so they are one-dimensional float32 arrays of one length,
            # contiguous when not empty, and so are their slices.
            f, a, b = np.asarray(freqs), _cut(alphas), _cut(betas)
            parts = [marlune.ResonatorBank(f[r.start:r.stop], rate, alphas=a(r), betas=b(r)) for r in ranges]
        self._parts: tuple[marlune.ResonatorBank, ...] = tuple(parts)
        self._ranges: tuple[range, ...] = tuple(ranges)
        self._starts = [r.start for r in ranges]
        self._workers = workers
        self._pool = (ThreadPoolExecutor(len(parts) - 1, thread_name_prefix="marlune-parallel")
                      if len(parts) > 1 else None)
        self._borrow = _Borrow()
        self._closed = False
        self._fault: str | None = None

    # --- what it is ------------------------------------------------------------------------

    @property
    def workers(self) -> int:
        """Threads a call may use, the calling one included."""
        return self._workers

    @property
    def parts(self) -> tuple[range, ...]:
        """The channels of each part, in order; the calling thread runs the first."""
        return self._ranges

    @property
    def closed(self) -> bool:
        """True after close(): the threads are stopped and samples are refused."""
        return self._closed

    def __len__(self) -> int:
        """The number of channels."""
        return len(self._whole)

    def __repr__(self) -> str:
        return (f"<ParallelBank: {len(self)} channels in {len(self._parts)} parts, "
                f"{self._workers} workers{', closed' if self._closed else ''}>")

    # --- feeding samples -------------------------------------------------------------------

    def resonate(self, signal: npt.NDArray[np.float32], hop: int) -> npt.NDArray[np.complex64]:
        """Feeds `signal`, shape (n,), and returns every channel's value after each full hop.

        Returns complex64 of shape (n // hop, channels), as a bank's `resonate`: row k holds
        the channels' smoothed values after sample (k + 1) * hop; samples past the last full
        hop are not processed. hop is a number of samples; hop 0 raises a bank's PanicException.
        """
        self._borrow.exclusive()
        try:
            self._check_feedable()
            step = _index(hop, "hop")
            if not 0 < step < 1 << 64:
                # A bank's own error (hop 0 is reported once on standard error, not once per part).
                return self._whole.resonate(signal, step)
            frames = self._run(lambda part: part.resonate(signal, step), _size(signal))
            return frames[0] if len(frames) == 1 else np.concatenate(frames, axis=1)
        finally:
            self._borrow.release_exclusive()

    def process_samples(self, samples: npt.NDArray[np.float32]) -> None:
        """Feeds a block of samples, shape (n,), to every channel."""
        self._borrow.exclusive()
        try:
            self._check_feedable()
            self._run(lambda part: part.process_samples(samples), _size(samples))
        finally:
            self._borrow.release_exclusive()

    def process_sample(self, sample: float) -> None:
        """Feeds one sample to every channel, part after part on the calling thread."""
        self._borrow.exclusive()
        try:
            self._check_feedable()
            value = _as_double(sample, "sample")
            self._run(lambda part: part.process_sample(value), 0)
        finally:
            self._borrow.release_exclusive()

    def reset(self) -> None:
        """Returns every channel to its initial state, also after a call whose parts ended
        differently; frequencies and coefficients stay."""
        self._borrow.exclusive()
        try:
            for part in self._parts:
                part.reset()
            self._fault = None
        finally:
            self._borrow.release_exclusive()

    # --- readouts --------------------------------------------------------------------------

    def frequencies(self) -> npt.NDArray[np.float32]:
        """Centre frequencies in Hz, shape (channels,)."""
        return self._whole.frequencies()

    def magnitudes(self) -> npt.NDArray[np.float32]:
        """Magnitude of every channel, shape (channels,); a sine of amplitude A reads A/2."""
        return self._gather(marlune.ResonatorBank.magnitudes)

    def phases(self) -> npt.NDArray[np.float32]:
        """Phase of every channel in radians, shape (channels,)."""
        return self._gather(marlune.ResonatorBank.phases)

    def powers(self) -> npt.NDArray[np.float32]:
        """Magnitude squared of every channel, shape (channels,)."""
        return self._gather(marlune.ResonatorBank.powers)

    def freq(self, i: int) -> float:
        """Centre frequency of channel i in Hz (as float32)."""
        return self._whole.freq(i)

    def magnitude(self, i: int) -> float:
        """|value| of channel i; a steady sine of amplitude A reads A/2."""
        return self._channel(marlune.ResonatorBank.magnitude, i)

    def phase(self, i: int) -> float:
        """Angle of channel i's value in radians, in [-pi, pi]."""
        return self._channel(marlune.ResonatorBank.phase, i)

    def power(self, i: int) -> float:
        """Magnitude squared of channel i."""
        return self._channel(marlune.ResonatorBank.power, i)

    def complex(self, i: int) -> complex:
        """The smoothed complex value of channel i."""
        return self._channel(marlune.ResonatorBank.complex, i)

    # --- the threads -----------------------------------------------------------------------

    def close(self) -> None:
        """Stops the worker threads. Readouts and reset() still work; feeding samples raises
        RuntimeError. Closing again does nothing."""
        self._borrow.exclusive()
        try:
            self._closed = True
            if self._pool is not None:
                self._pool.shutdown(wait=True)
                self._pool = None
        finally:
            self._borrow.release_exclusive()

    def __enter__(self) -> ParallelBank:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    # --- inside ----------------------------------------------------------------------------

    def _check_feedable(self) -> None:
        if self._closed:
            raise RuntimeError("this ParallelBank is closed: it takes no more samples")
        self._check_intact()

    def _check_intact(self) -> None:
        if self._fault is not None:
            raise RuntimeError(f"this ParallelBank's parts are out of step since a call failed in some of them "
                               f"({self._fault}); reset() it")

    def _gather(self, read: Callable[[marlune.ResonatorBank], npt.NDArray[np.float32]]) -> npt.NDArray[np.float32]:
        self._borrow.shared()
        try:
            self._check_intact()
            values = [read(part) for part in self._parts]
            return values[0] if len(values) == 1 else np.concatenate(values)
        finally:
            self._borrow.release_shared()

    def _channel(self, read: Callable[[marlune.ResonatorBank, int], T], i: SupportsIndex) -> T:
        self._borrow.shared()
        try:
            self._check_intact()
            index = _index(i, "i")
            if not 0 <= index < len(self._whole):
                # A bank's own error: OverflowError or PanicException, never a value.
                return read(self._whole, index)
            k = bisect.bisect_right(self._starts, index) - 1
            return read(self._parts[k], index - self._starts[k])
        finally:
            self._borrow.release_shared()

    def _run(self, call: Callable[[marlune.ResonatorBank], T], job: int) -> list[T]:
        """Runs `call` on every part and returns the results in part order, or raises."""
        parts = self._parts
        if len(parts) == 1:
            return [call(parts[0])]
        outcomes: list[Outcome] = [NOT_RUN] * len(parts)
        futures: list[Future[Outcome]] = []
        interrupt: BaseException | None = None
        try:
            if self._pool is not None and job * len(self._whole) >= SMALL_JOB:
                futures = [self._pool.submit(_attempt, call, part) for part in parts[1:]]
                outcomes[0] = UNKNOWN
                outcomes[0] = _attempt(call, parts[0])
            else:
                for k, part in enumerate(parts):
                    outcomes[k] = UNKNOWN
                    outcomes[k] = _attempt(call, part)
        except BaseException as exc:  # an interrupt from a signal handler, or a pool shut down at exit
            interrupt = exc
        # The parts run on whatever happened here; none may still be running when the call returns.
        for k, future in enumerate(futures, 1):
            while True:
                try:
                    outcomes[k] = future.result()
                    break
                except BaseException as exc:  # an interrupt while waiting: wait on
                    interrupt = exc
        return self._settle(outcomes, interrupt)

    def _settle(self, outcomes: list[Outcome], interrupt: BaseException | None) -> list[T]:
        """The results if every part succeeded; else raises the interrupt or the first failure,
        after marking the bank out of step if its parts did not all end alike."""
        alike = _alike(outcomes)
        if alike and interrupt is None and outcomes[0][0] == "ok":
            return cast("list[T]", [value for _, value in outcomes])
        failures = [value for status, value in outcomes if isinstance(value, BaseException)]
        error = interrupt or failures[0]
        if not alike:
            self._fault = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
            _note(error, "the parts of this ParallelBank ended differently; reset() it before further use")
        raise error


class _Borrow:
    """A bank's borrow flag: shared for readouts, exclusive for calls that change the channels.
    A conflicting call fails at once; the lock only makes the test and the change one step."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._count = 0  # -1: borrowed exclusively; n > 0: n readouts under way

    def exclusive(self) -> None:
        with self._lock:
            if self._count:
                raise RuntimeError("Already borrowed")
            self._count = -1

    def release_exclusive(self) -> None:
        self._count = 0

    def shared(self) -> None:
        with self._lock:
            if self._count < 0:
                raise RuntimeError("Already mutably borrowed")
            self._count += 1

    def release_shared(self) -> None:
        with self._lock:
            self._count -= 1


def _cut(
    values: npt.NDArray[np.float32] | None,
) -> Callable[[range], npt.NDArray[np.float32] | None]:
    """The values of a range of channels, or None for a default."""
    array = None if values is None else np.asarray(values)
    return lambda r: None if array is None else array[r.start:r.stop]


def _attempt(call: Callable[[marlune.ResonatorBank], object], part: marlune.ResonatorBank) -> Outcome:
    try:
        return ("ok", call(part))
    except BaseException as exc:  # handed to the calling thread, which raises it
        return ("failed", exc)


def _alike(outcomes: list[Outcome]) -> bool:
    """Every part ended the same known way: all succeeded, none ran, or all failed with the same
    type and arguments (an argument error, found before anything changed)."""
    status, value = outcomes[0]
    if status == "unknown":
        return False
    if status != "failed":
        return all(s == status for s, _ in outcomes)
    return all(s == "failed" and type(v) is type(value) and getattr(v, "args", None) == getattr(value, "args", None)
               for s, v in outcomes)


def _size(samples: object) -> int:
    """The number of samples in an array (no Python code of the object runs), or a size that
    counts as large for anything else, whose errors the parts report."""
    return samples.size if type(samples) is np.ndarray else SMALL_JOB


def _note(exc: BaseException, text: str) -> None:
    add_note = getattr(exc, "add_note", None)
    if add_note is not None:  # exception notes came with Python 3.11
        add_note(text)


def _index(value: SupportsIndex, name: str) -> int:
    """An integer argument read as a bank reads it (through __index__, once), as a plain int."""
    if type(value) is int:
        return value
    try:
        # int.__index__ strips an int subclass, whose comparisons could run code of its own.
        return int.__index__(operator.index(value))
    except BaseException as exc:
        _note(exc, f"while processing '{name}'")
        raise


# The interpreter's own float conversion, which a bank applies to float arguments.
_py_float_as_double = ctypes.pythonapi.PyFloat_AsDouble
_py_float_as_double.argtypes = [ctypes.py_object]
_py_float_as_double.restype = ctypes.c_double


def _as_double(value: SupportsFloat, name: str) -> float:
    """A float argument read as a bank reads it (through __float__ or __index__, once)."""
    if type(value) is float:
        return value
    try:
        return float(_py_float_as_double(value))
    except BaseException as exc:
        _note(exc, f"while processing '{name}'")
        raise
