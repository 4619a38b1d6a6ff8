"""One large bank on all cores: its channels run as several banks on a pool of threads.

Channels never influence each other, and `resonate` and `process_samples` release the
interpreter lock while they compute, so a bank cut into parts by channel runs its parts on
several threads at once and gives, bit for bit, what one bank gives.
"""

from __future__ import annotations

import bisect
import operator
import os
import threading
import weakref
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor, wait
from contextlib import contextmanager
from types import TracebackType
from typing import Callable, SupportsIndex, TypeVar, cast

import numpy as np
import numpy.typing as npt

import marlune

# Parts begin on multiples of this many channels: one 512-bit register of float32 (two of 256
# bits, four of 128), so that every part but the last fills its registers as the whole bank
# would. A kernel's time goes by the registers it fills, so parts cut on this grid stay even:
# 88 channels as 48 and 40 (three registers each), where a grid of 32 gave 32 and 56 (two and
# four) and ran 15% slower.
GROUP = 16
# Smaller banks run as one part on the calling thread.
MIN_CHANNELS = 64
# Calls on fewer channel-samples than this (about 0.3 ms on one core) run their parts in turn on
# the calling thread: waking a thread on an idle core of a virtual machine takes up to 0.1 ms, and
# a call needs two such wakes, so shorter calls would gain little or even lose.
SMALL_JOB = 1 << 21

T = TypeVar("T")
Call = Callable[[marlune.ResonatorBank, range], T]  # a call's work on one part and its channels


def default_workers() -> int:
    """The CPUs this process may run on (its affinity where the system has one), at least 1."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def split(channels: int, workers: int) -> list[range]:
    """Contiguous channel ranges, at most `workers` of them, as equal as boundaries on multiples
    of GROUP allow; one range for fewer than MIN_CHANNELS channels."""
    count = 1 if channels < MIN_CHANNELS else max(1, min(workers, channels // GROUP))
    # Part k ends at k * channels / count rounded to a multiple of GROUP; these are at least GROUP
    # apart, so they rise strictly, and the last part keeps at least GROUP // 2 channels.
    ends = [(k * channels // count + GROUP // 2) // GROUP * GROUP for k in range(1, count)]
    bounds = [0, *ends, channels]
    return [range(a, b) for a, b in zip(bounds, bounds[1:])]


class ParallelBank:
    """A bank whose channels run as several `marlune.ResonatorBank` parts, on a pool of threads.

    Built from a bank's arguments, it gives a bank's frames and leaves a bank's state, bit for
    bit, across any sequence of calls. The calling thread runs the first part, the pool the
    others. Parts begin on multiples of 16 channels; a bank of fewer than 64 channels is one part,
    and calls on fewer than 2**21 channel-samples run the parts in turn on the calling thread.
    workers: threads a call may use, the calling one included (default: the CPUs this process may
    run on); there are at most that many parts.

    >>> with ParallelBank(freqs, 48_000.0) as bank:
    ...     frames = bank.resonate(signal, 256)   # complex64, (len(signal) // 256, len(freqs))

    Errors are a bank's: the same exceptions and texts for bad arguments, which change nothing,
    and RuntimeError "Already borrowed" or "Already mutably borrowed" while another thread uses
    it (nothing waits). Numbers are read once, before any part starts. Should the parts of one
    call nevertheless end differently (one part out of memory; an interrupt such as Ctrl-C in the
    calling thread, which leaves unknown what its part heard), the call raises, and until
    `reset()` every call that feeds samples or reads the channels' values raises a RuntimeError
    that names the cause. `close()`, leaving a ``with`` block or dropping the bank stops the
    threads; readouts and `reset()` still work, feeding samples raises RuntimeError.
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
        workers = default_workers() if workers is None else operator.index(workers)
        if workers < 1:
            raise ValueError(f"workers must be at least 1, not {workers}")

        def whole(rate: object) -> marlune.ResonatorBank:
            return marlune.ResonatorBank(freqs, cast(float, rate), alphas=alphas, betas=betas)

        # Read once, so that every part has the same rate whatever the object's __float__ does.
        rate = _read(_float32, sample_rate, whole)
        # One bank of all the channels checks the arguments with a bank's own errors. It is never
        # fed samples: it answers for the frequencies and for channel indices out of range, and
        # it gives a bank's error for a number that cannot be read.
        self._whole = whole(rate)
        ranges = split(len(self._whole), workers)
        if len(ranges) == 1:
            parts = [self._whole]
        else:
            # The arguments passed, so they are one-dimensional float32 arrays of one length,
            # contiguous when not empty, and so are their slices.
            f, a, b = (None if v is None else np.asarray(v) for v in (freqs, alphas, betas))
            parts = [marlune.ResonatorBank(cast("npt.NDArray[np.float32]", f)[r.start:r.stop], rate,
                                           alphas=None if a is None else a[r.start:r.stop],
                                           betas=None if b is None else b[r.start:r.stop]) for r in ranges]
        self._parts: tuple[marlune.ResonatorBank, ...] = tuple(parts)
        self._ranges: tuple[range, ...] = tuple(ranges)
        self._starts = [r.start for r in ranges]
        self._workers = workers
        self._lock = threading.Lock()  # makes the borrow's test and change one step
        self._borrowers = 0  # -1: borrowed by a call that changes the channels; n > 0: n readouts
        self._fault: str | None = None
        self._pool = ThreadPoolExecutor(max(1, len(parts) - 1), thread_name_prefix="marlune-parallel")
        # Stops the threads when the bank is dropped unclosed.
        self._stop = weakref.finalize(self, self._pool.shutdown)

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
        return not self._stop.alive

    def __len__(self) -> int:
        """The number of channels."""
        return len(self._whole)

    def __repr__(self) -> str:
        return (f"<ParallelBank: {len(self)} channels in {len(self._parts)} parts, "
                f"{self._workers} workers{', closed' if self.closed else ''}>")

    def resonate(self, signal: npt.NDArray[np.float32], hop: int) -> npt.NDArray[np.complex64]:
        """Feeds `signal`, shape (n,), and returns every channel's value after each full hop.

        Returns complex64 of shape (n // hop, channels), as a bank's `resonate`: row k holds
        the channels' smoothed values after sample (k + 1) * hop; samples past the last full
        hop are not processed. hop is a number of samples; hop 0 raises a bank's PanicException.
        """
        with self._borrowed(exclusive=True):
            self._check()
            if len(self._parts) == 1:
                return self._parts[0].resonate(signal, hop)
            step = _read(_integer, hop, lambda value: self._whole.resonate(signal, cast(int, value)))
            if not 0 < step < 1 << 64:
                # A bank's own error (hop 0 is reported once on standard error, not once per part).
                return self._whole.resonate(signal, step)
            # Each part writes its columns of the result as soon as its frames are ready, on its
            # own thread. For anything but a float32 vector (an array subclass, or an argument that
            # the parts refuse) the parts return their frames instead, to be joined here.
            out: npt.NDArray[np.complex64] | None = None
            if type(signal) is np.ndarray and signal.ndim == 1 and signal.dtype == np.float32:
                out = np.empty((len(signal) // step, len(self)), dtype=np.complex64)

            def call(part: marlune.ResonatorBank, channels: range) -> npt.NDArray[np.complex64] | None:
                frames = part.resonate(signal, step)
                if out is None:
                    return frames
                out[:, channels.start:channels.stop] = frames
                return None

            results = self._run(call, _size(signal))
            return out if out is not None else np.concatenate(cast("list[npt.NDArray[np.complex64]]", results), axis=1)

    def process_samples(self, samples: npt.NDArray[np.float32]) -> None:
        """Feeds a block of samples, shape (n,), to every channel."""
        with self._borrowed(exclusive=True):
            self._check()
            self._run(lambda part, _: part.process_samples(samples), _size(samples))

    def process_sample(self, sample: float) -> None:
        """Feeds one sample to every channel, part after part on the calling thread (a bank of
        its own is quicker for this)."""
        with self._borrowed(exclusive=True):
            self._check()
            if len(self._parts) == 1:
                return self._parts[0].process_sample(sample)
            value = _read(_float32, sample, lambda value: self._whole.process_sample(cast(float, value)))
            self._run(lambda part, _: part.process_sample(value), 0)

    def reset(self) -> None:
        """Returns every channel to its initial state, also after a call whose parts ended
        differently; frequencies and coefficients stay."""
        with self._borrowed(exclusive=True):
            for part in self._parts:
                part.reset()
            self._fault = None

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

    def close(self) -> None:
        """Stops the threads. Readouts and reset() still work; feeding samples raises
        RuntimeError. Closing again does nothing."""
        with self._borrowed(exclusive=True):
            self._stop()

    def __enter__(self) -> ParallelBank:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    @contextmanager
    def _borrowed(self, exclusive: bool) -> Iterator[None]:
        """A bank's borrow flag: shared for readouts, exclusive for calls that change the
        channels; a conflicting call fails at once."""
        with self._lock:
            if self._borrowers < 0 or (exclusive and self._borrowers):
                raise RuntimeError("Already borrowed" if exclusive else "Already mutably borrowed")
            self._borrowers = -1 if exclusive else self._borrowers + 1
        try:
            yield
        finally:
            with self._lock:
                self._borrowers = 0 if exclusive else self._borrowers - 1

    def _check(self, feeding: bool = True) -> None:
        if feeding and self.closed:
            raise RuntimeError("this ParallelBank is closed: it takes no more samples")
        if self._fault is not None:
            raise RuntimeError(f"this ParallelBank's parts are out of step since a call failed in some of them "
                               f"({self._fault}); reset() it")

    def _gather(self, read: Callable[[marlune.ResonatorBank], npt.NDArray[np.float32]]) -> npt.NDArray[np.float32]:
        with self._borrowed(exclusive=False):
            self._check(feeding=False)
            values = [read(part) for part in self._parts]
            return values[0] if len(values) == 1 else np.concatenate(values)

    def _channel(self, read: Callable[[marlune.ResonatorBank, int], T], i: SupportsIndex) -> T:
        with self._borrowed(exclusive=False):
            self._check(feeding=False)
            index = _read(_integer, i, lambda value: read(self._whole, cast(int, value)))
            if not 0 <= index < len(self._whole):
                # A bank's own error: OverflowError or PanicException, never a value.
                return read(self._whole, index)
            k = bisect.bisect_right(self._starts, index) - 1
            return read(self._parts[k], index - self._starts[k])

    def _run(self, call: Call[T], job: int) -> list[T]:
        """Runs `call` on every part and returns the results in part order, or raises."""
        parts, ranges = self._parts, self._ranges
        if len(parts) == 1:
            return [call(parts[0], ranges[0])]
        # How each part's call ends: pending while not started, running while its end is unknown.
        ends: list[Future[T]] = [Future() for _ in parts]
        here = [0] if job * len(self) >= SMALL_JOB else list(range(len(parts)))  # run on this thread
        interrupt: BaseException | None = None
        try:
            for k in range(len(parts)):
                if k not in here:
                    self._pool.submit(_finish, ends[k], call, parts[k], ranges[k])
            for k in here:
                _finish(ends[k], call, parts[k], ranges[k])
        except BaseException as exc:  # an interrupt from a signal handler
            interrupt = exc
            for end in ends:
                end.cancel()  # a part not started yet never will be
        # The other parts run on whatever happened here; none may still run when the call returns.
        while True:
            try:
                wait([end for k, end in enumerate(ends) if k not in here])
                break
            except BaseException as exc:
                interrupt = exc
        if interrupt is None and all(end.done() and not end.cancelled() and end.exception() is None for end in ends):
            return [end.result() for end in ends]
        failures = [end.exception() for end in ends if end.done() and not end.cancelled()]
        first = next((failure for failure in failures if failure is not None), None)
        error = interrupt or first or RuntimeError("a part's thread could not tell how it ended")
        if not _alike(ends):
            self._fault = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
            add_note = getattr(error, "add_note", None)
            if add_note is not None:  # exception notes came with Python 3.11
                add_note("the parts of this ParallelBank ended differently; reset() it before further use")
        raise error


def _float32(value: object) -> float:
    """A number as a bank reads it: converted as a Python float, once, and rounded to float32.
    midi_to_hz of note 69 is its tuning times exp2f(0), which is 1: the rounded tuning itself."""
    return marlune.midi_to_hz(69.0, cast(float, value)) if type(value) is not float else value


def _integer(value: object) -> int:
    """An integer as a bank reads it (through __index__, once), as a plain int: int.__index__
    strips an int subclass, whose comparisons could run code of its own."""
    return value if type(value) is int else int.__index__(operator.index(cast(SupportsIndex, value)))


def _read(convert: Callable[[object], T], value: object, refuse: Callable[[object], object]) -> T:
    """`value` converted once; if it cannot be, `refuse` raises the bank's own error for it."""
    try:
        return convert(value)
    except Exception:
        pass
    refuse(value)
    return convert(value)  # an object that refused once and not twice: its own error, from here


def _finish(end: Future[T], call: Call[T], part: marlune.ResonatorBank, channels: range) -> None:
    """Runs one part's call, unless it was cancelled, and records how it ended."""
    if end.set_running_or_notify_cancel():
        try:
            end.set_result(call(part, channels))
        except BaseException as exc:  # handed to the calling thread, which raises it
            end.set_exception(exc)


def _alike(ends: list[Future[T]]) -> bool:
    """Every part ended the same known way: none ran, all succeeded, or all failed with the same
    type and arguments (an argument error, found before anything changed)."""
    if not all(end.done() for end in ends):
        return False  # a part whose call was interrupted on this thread
    if any(end.cancelled() for end in ends):
        return all(end.cancelled() for end in ends)
    first = ends[0].exception()
    return all(type(end.exception()) is type(first) and getattr(end.exception(), "args", None) ==
               getattr(first, "args", None) for end in ends)


def _size(samples: object) -> int:
    """The number of samples in an array (no Python code of the object runs), or a size that
    counts as large for anything else, whose errors the parts report."""
    return samples.size if type(samples) is np.ndarray else SMALL_JOB
