"""One large bank on all cores: its channels run as several banks on threads of their own.

Channels never influence each other, and `resonate` and `process_samples` release the
interpreter lock while they compute, so a bank cut into parts by channel runs its parts on
several threads at once and gives, bit for bit, what one bank gives.
"""

from __future__ import annotations

import bisect
import ctypes
import itertools
import operator
import os
import queue
import threading
import weakref
from types import TracebackType
from typing import Callable, Optional, SupportsFloat, SupportsIndex, Tuple, TypeVar, cast

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
# What a call runs on each part: given the part and its channels, the part's result.
Call = Callable[[marlune.ResonatorBank, range], T]
# How one part's call ended: ("ok", its result) or ("failed", the exception it raised); and
# ("not run", None) for a part never started, ("unknown", None) while the calling thread runs one.
Outcome = Tuple[str, object]
NOT_RUN: Outcome = ("not run", None)
UNKNOWN: Outcome = ("unknown", None)
# A part's share of a call, as a thread gets it: a number, the call, the part and its channels.
Job = Tuple[int, Call[object], marlune.ResonatorBank, range]


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
    """A bank whose channels run as several `marlune.ResonatorBank` parts, on several threads.

    Built from the same arguments as a bank, it gives the same frames and leaves the same state,
    bit for bit, across any sequence of calls: frames of shape (n // hop, channels) joined in
    channel order. The calling thread runs the first part, and each other part has a thread of
    its own. Parts begin on multiples of 16 channels; a bank of fewer than 64 channels is one part,
    and calls on fewer than 2**21 channel-samples run the parts in turn without waking a thread.

    freqs: centre frequencies in Hz, float32 of shape (channels,).
    sample_rate: samples per second, in Hz.
    alphas, betas: smoothing coefficients per channel, float32 of shape (channels,); the defaults
        are a bank's (heuristic_alphas of the frequencies; betas: the alphas).
    workers: threads a call may use, the calling one included; default: the CPUs this process
        may run on. There are at most that many parts.

    >>> with ParallelBank(freqs, 48_000.0) as bank:
    ...     frames = bank.resonate(signal, 256)   # complex64, (len(signal) // 256, len(freqs))

    Errors are a bank's: the same exceptions and texts for bad arguments, which change nothing,
    and RuntimeError "Already borrowed" or "Already mutably borrowed" while another thread uses
    it (nothing waits). Arguments are read once before any part starts, so they fail in every
    part alike. Should the parts of one call nevertheless end differently (one part out of memory
    while the others finished; or an interrupt such as Ctrl-C in the calling thread, which leaves
    unknown what its part heard), the call raises, and until `reset()` every call that feeds
    samples or reads the channels' values raises a RuntimeError that names the cause, rather
    than going on with channels that have heard different samples.

    `close()`, or leaving a ``with`` block, stops the threads; readouts and `reset()` still work,
    feeding samples raises RuntimeError. Dropping the bank stops its threads too.
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
        self._borrow = _Borrow()
        self._fault: str | None = None
        self._threads = [_Worker(f"marlune-parallel-{k}") for k in range(1, len(parts))]
        # Stops the threads when the bank is dropped unclosed; they hold no reference to it.
        self._stop = weakref.finalize(self, _stop, self._threads)

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
        return not self._stop.alive

    def __len__(self) -> int:
        """The number of channels."""
        return len(self._whole)

    def __repr__(self) -> str:
        return (f"<ParallelBank: {len(self)} channels in {len(self._parts)} parts, "
                f"{self._workers} workers{', closed' if self.closed else ''}>")

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
            if len(self._parts) == 1:
                return self._parts[0].resonate(signal, hop)
            step = _index(hop, "hop")
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
        finally:
            self._borrow.release_exclusive()

    def process_samples(self, samples: npt.NDArray[np.float32]) -> None:
        """Feeds a block of samples, shape (n,), to every channel."""
        self._borrow.exclusive()
        try:
            self._check_feedable()
            self._run(lambda part, _: part.process_samples(samples), _size(samples))
        finally:
            self._borrow.release_exclusive()

    def process_sample(self, sample: float) -> None:
        """Feeds one sample to every channel, part after part on the calling thread (a bank of
        its own is quicker for this)."""
        self._borrow.exclusive()
        try:
            self._check_feedable()
            value = _as_double(sample, "sample")
            self._run(lambda part, _: part.process_sample(value), 0)
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
        """Stops the threads. Readouts and reset() still work; feeding samples raises
        RuntimeError. Closing again does nothing."""
        self._borrow.exclusive()
        try:
            self._stop()
        finally:
            self._borrow.release_exclusive()

    def __enter__(self) -> ParallelBank:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    # --- inside ----------------------------------------------------------------------------

    def _check_feedable(self) -> None:
        if self.closed:
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

    def _run(self, call: Call[T], job: int) -> list[T]:
        """Runs `call` on every part and returns the results in part order, or raises."""
        parts, ranges, threads = self._parts, self._ranges, self._threads
        if len(parts) == 1:
            return [call(parts[0], ranges[0])]
        outcomes: list[Outcome] = [NOT_RUN] * len(parts)
        interrupt: BaseException | None = None
        try:
            if job * len(self) >= SMALL_JOB:
                for k, thread in enumerate(threads, 1):
                    outcomes[k] = UNKNOWN
                    thread.start(call, parts[k], ranges[k])
                outcomes[0] = UNKNOWN
                outcomes[0] = _attempt(call, parts[0], ranges[0])
            else:
                for k, (part, channels) in enumerate(zip(parts, ranges)):
                    outcomes[k] = UNKNOWN
                    outcomes[k] = _attempt(call, part, channels)
        except BaseException as exc:  # an interrupt from a signal handler
            interrupt = exc
        # The parts run on whatever happened here; none may still be running when the call returns.
        for k, thread in enumerate(threads, 1):
            if thread.busy:
                outcomes[k], interrupted = thread.wait()
                interrupt = interrupted or interrupt
        return self._settle(outcomes, interrupt)

    def _settle(self, outcomes: list[Outcome], interrupt: BaseException | None) -> list[T]:
        """The results if every part succeeded; else raises the interrupt or the first failure,
        after marking the bank out of step if its parts did not all end alike."""
        alike = _alike(outcomes)
        if alike and interrupt is None and outcomes[0][0] == "ok":
            return cast("list[T]", [value for _, value in outcomes])
        failures = [value for _, value in outcomes if isinstance(value, BaseException)]
        error = interrupt or (failures[0] if failures else RuntimeError("a part's thread could not tell how it ended"))
        if not alike:
            self._fault = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
            _note(error, "the parts of this ParallelBank ended differently; reset() it before further use")
        raise error


class _Box:
    """What a thread and the calling thread share: the number and outcome of the last job done."""

    def __init__(self) -> None:
        self.done = 0
        self.outcome: Outcome = NOT_RUN


class _Worker:
    """A thread that runs one part's share of the calls it is given, one at a time.

    Jobs are numbered, so that a wait cut short by an interrupt can neither lose the end of a job
    nor take the end of an earlier one for it.
    """

    def __init__(self, name: str) -> None:
        self.jobs: queue.SimpleQueue[Optional[Job]] = queue.SimpleQueue()
        self._ends: queue.SimpleQueue[int] = queue.SimpleQueue()
        self._box = _Box()
        self._numbers = itertools.count(1)
        self._started = self._collected = 0
        # A daemon, so that it never holds up the interpreter's exit; it is stopped before that.
        self.thread = threading.Thread(target=_serve, args=(self.jobs, self._ends, self._box), name=name, daemon=True)
        self.thread.start()

    @property
    def busy(self) -> bool:
        """A job was started and its outcome not yet collected."""
        return self._started != self._collected

    def start(self, call: Call[object], part: marlune.ResonatorBank, channels: range) -> None:
        number = next(self._numbers)
        self.jobs.put((number, call, part, channels))
        self._started = number

    def wait(self) -> tuple[Outcome, BaseException | None]:
        """The outcome of the job started last, once it has ended, and any interrupt met meanwhile."""
        number, interrupt = self._started, None
        while True:
            try:
                while self._ends.get() != number:  # ends left behind by an interrupted wait
                    pass
                break
            except BaseException as exc:  # an interrupt while waiting: the part runs on, so wait on
                interrupt = exc
                if self._box.done == number:
                    break
        self._collected = number
        outcome, self._box.outcome = self._box.outcome, NOT_RUN  # results are not kept between calls
        return outcome, interrupt


def _serve(jobs: queue.SimpleQueue[Optional[Job]], ends: queue.SimpleQueue[int], box: _Box) -> None:
    while True:
        job = jobs.get()
        if job is None:
            return
        number, call, part, channels = job
        box.outcome = UNKNOWN
        try:
            box.outcome = _attempt(call, part, channels)
        except BaseException:  # no memory even for the outcome: UNKNOWN stops the bank, not this thread
            pass
        del job, call, part  # the call's arguments are not kept until the next one
        box.done = number
        ends.put(number)


def _stop(threads: list[_Worker]) -> None:
    for worker in threads:
        worker.jobs.put(None)
    for worker in threads:
        if worker.thread is not threading.current_thread():
            worker.thread.join()


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


def _cut(values: npt.NDArray[np.float32] | None) -> Callable[[range], npt.NDArray[np.float32] | None]:
    """The values of a range of channels, or None for a default."""
    array = None if values is None else np.asarray(values)
    return lambda r: None if array is None else array[r.start:r.stop]


def _attempt(call: Call[object], part: marlune.ResonatorBank, channels: range) -> Outcome:
    try:
        return ("ok", call(part, channels))
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
