"""ParallelBank: one bank's channels on a thread pool give one bank's frames, state and errors."""

import gc
import os
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import marlune
from marlune_tools import FrameStream, ParallelBank, parallel

RATE = 48000.0
SIGNAL = (0.3 * np.random.default_rng(8).standard_normal(6000)).astype(np.float32)


class Subclass(np.ndarray):
    """An array type of its own, which a bank takes like any float32 array."""


def freqs(n):
    return np.geomspace(30.0, 15000.0, n).astype(np.float32)


def both(channels, workers=2, coefficients="default"):
    """A ParallelBank and one bank, built from the same arguments."""
    given = np.random.default_rng(channels).uniform(0.001, 0.5, (2, channels)).astype(np.float32)
    kwargs = {"default": {}, "given": {"alphas": given[0], "betas": given[1]}}
    args = (freqs(channels), RATE)
    return (ParallelBank(*args, workers=workers, **kwargs[coefficients]),
            marlune.ResonatorBank(*args, **kwargs[coefficients]))


def readouts(bank, per_channel=False):
    """What a bank reports, as bytes (signed zeros told apart)."""
    got = [a.tobytes() for a in (bank.frequencies(), bank.magnitudes(), bank.phases(), bank.powers())]
    if per_channel:
        values = [(bank.freq(i), bank.magnitude(i), bank.phase(i), bank.power(i), bank.complex(i).real,
                   bank.complex(i).imag) for i in range(len(bank))]
        got.append(np.array(values, dtype=np.float64).tobytes())
    return got


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def assert_same_error(got, want):
    assert type(got) is type(want) and str(got) == str(want)
    assert getattr(got, "__notes__", None) == getattr(want, "__notes__", None)


def test_parts_fill_as_many_registers_each():
    # A part's time goes by the 16-channel registers it fills: 88 channels as 3 and 3, not 2 and 4.
    assert [len(part) for part in parallel.split(88, 2)] == [48, 40]


@pytest.mark.parametrize("coefficients", ["default", "given"])
@pytest.mark.parametrize("hop", [1, 7, 256])
@pytest.mark.parametrize("workers", [1, 2, 3, 8])
@pytest.mark.parametrize("channels", [0, 1, 31, 32, 33, 64, 88, 300])
def test_frames_and_state_are_one_banks(channels, workers, hop, coefficients, monkeypatch):
    # The calls of 1000 samples or more run the parts on their threads, the others in turn.
    monkeypatch.setattr(parallel, "SMALL_JOB", 500 * channels)
    pool, bank = both(channels, workers, coefficients)
    assert len(pool) == channels and len(pool.parts) <= workers
    assert [c for part in pool.parts for c in part] == list(range(channels))
    assert all(part.start % 16 == 0 for part in pool.parts)
    # Successive calls, across renormalisation at every 256th sample, continue from the state
    # that the previous one left in every part.
    steps = [lambda b: b.resonate(SIGNAL[:1000], hop), lambda b: b.process_samples(SIGNAL[1000:1300]),
             lambda b: b.process_sample(SIGNAL[1300]), lambda b: b.resonate(SIGNAL[1301:].view(Subclass), hop)]
    for step in steps:
        got, want = step(pool), step(bank)
        if want is not None:
            assert got.dtype == want.dtype and got.shape == want.shape
            assert got.tobytes() == want.tobytes()
        assert readouts(pool) == readouts(bank)
    assert readouts(pool, per_channel=True) == readouts(bank, per_channel=True)
    pool.reset()
    bank.reset()
    assert pool.resonate(SIGNAL, hop).tobytes() == bank.resonate(SIGNAL, hop).tobytes()


@pytest.mark.parametrize("call", [
    ("resonate", SIGNAL.astype(np.float64), 4), ("resonate", SIGNAL.reshape(2, -1), 4),
    ("resonate", SIGNAL[::2], 4), ("resonate", list(SIGNAL[:8]), 4), ("resonate", SIGNAL, -1),
    ("resonate", SIGNAL, 1 << 64), ("resonate", SIGNAL, 4.0), ("resonate", SIGNAL, 0),
    ("resonate", SIGNAL.astype(np.float64), 0), ("process_samples", SIGNAL.astype(np.float64)),
    ("process_samples", SIGNAL[::2]), ("process_sample", "0.5"),
    ("magnitude", 300), ("phase", -1), ("complex", 1.5), ("freq", 300),
])
def test_argument_errors_are_a_banks_and_change_nothing(call):
    pool, bank = both(300)
    assert pool.resonate(SIGNAL, 16).tobytes() == bank.resonate(SIGNAL, 16).tobytes()
    name, *args = call
    assert_same_error(error_of(lambda: getattr(pool, name)(*args)), error_of(lambda: getattr(bank, name)(*args)))
    assert pool.resonate(SIGNAL, 16).tobytes() == bank.resonate(SIGNAL, 16).tobytes()
    assert readouts(pool) == readouts(bank)


def test_a_stream_of_chunks_gives_one_banks_frames():
    pool, bank = both(300)
    stream = FrameStream(pool, 480)
    got = np.concatenate([stream.push(chunk) for chunk in np.array_split(SIGNAL, 7)])
    assert got.tobytes() == bank.resonate(SIGNAL, 480).tobytes()


class Changing:
    """A number that reads `first` once and something else after that."""

    def __init__(self, first, then):
        self.values = [first, then]
        self.reads = 0

    def _read(self):
        self.reads += 1
        return self.values[min(self.reads, 2) - 1]

    __index__ = __float__ = _read


def test_arguments_are_read_once():
    rate, hop, sample = Changing(RATE, 44100.0), Changing(16, 17), Changing(0.25, 0.5)
    pool = ParallelBank(freqs(300), rate)
    bank = marlune.ResonatorBank(freqs(300), RATE)
    assert pool.resonate(SIGNAL, hop).tobytes() == bank.resonate(SIGNAL, 16).tobytes()
    pool.process_sample(sample)
    bank.process_sample(0.25)
    assert (rate.reads, hop.reads, sample.reads) == (1, 1, 1)
    assert readouts(pool, per_channel=True) == readouts(bank, per_channel=True)


def refusal(call):
    """How `call` failed ("RuntimeError: Already borrowed"), or None if it returned."""
    try:
        call()
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"
    return None


def test_a_second_thread_is_refused_at_once():
    bad = SIGNAL.astype(np.float64)  # should the long call end meanwhile, these fail and change nothing
    intruders = [lambda p: p.resonate(bad, 4), lambda p: p.process_samples(bad), lambda p: p.process_sample("x"),
                 lambda p: p.magnitudes(), lambda p: p.power(0)]
    for length in (1 << 18, 1 << 20, 1 << 22):
        signal = np.resize(SIGNAL, length)
        pool, bank = both(1024)
        with ThreadPoolExecutor(1) as thread:
            long_call = thread.submit(pool.resonate, signal, 4096)
            while not long_call.done() and refusal(pool.magnitudes) is None:
                pass
            seen = [refusal(lambda: intrude(pool)) for intrude in intruders]
            overlapped = not long_call.done()
        if overlapped:
            frames = long_call.result()
            break
        # Refused itself if it began while this thread was in the middle of a readout.
        assert long_call.exception() is None or str(long_call.exception()) == "Already borrowed"
    else:
        pytest.fail("the long call always ended before another thread could call")
    assert seen == ["RuntimeError: Already borrowed"] * 3 + ["RuntimeError: Already mutably borrowed"] * 2
    assert frames.tobytes() == bank.resonate(signal, 4096).tobytes()
    assert readouts(pool) == readouts(bank)


class Failing:
    """A part that runs out of memory when fed; everything else goes to the real part."""

    def __init__(self, part):
        self.part = part

    def __getattr__(self, name):
        return getattr(self.part, name)

    def resonate(self, signal, hop):
        raise MemoryError

    process_samples = resonate


@pytest.mark.parametrize("length", [100, len(SIGNAL)])
@pytest.mark.parametrize("failing", [{0}, {1}, {0, 1}])
def test_parts_that_end_differently_stop_the_bank_until_reset(failing, length, monkeypatch):
    monkeypatch.setattr(parallel, "SMALL_JOB", 1000 * 300)  # the long signal on threads, the short one in turn
    pool, bank = both(300)
    healthy = pool._parts
    pool._parts = tuple(Failing(p) if k in failing else p for k, p in enumerate(healthy))
    with pytest.raises(MemoryError):
        pool.resonate(SIGNAL[:length], 4)
    pool._parts = healthy
    if len(failing) == len(healthy):  # every part failed alike before it changed: the bank carries on
        assert pool.resonate(SIGNAL, 4).tobytes() == bank.resonate(SIGNAL, 4).tobytes()
        return
    for refused in (lambda: pool.resonate(SIGNAL, 4), lambda: pool.process_samples(SIGNAL), pool.magnitudes,
                    lambda: pool.complex(0)):
        with pytest.raises(RuntimeError, match=r"out of step .*\(MemoryError\); reset\(\) it"):
            refused()
    pool.reset()
    assert pool.resonate(SIGNAL, 4).tobytes() == bank.resonate(SIGNAL, 4).tobytes()


def pool_threads():
    return {t for t in threading.enumerate() if t.name.startswith("marlune-parallel")}


def test_threads_end_on_close_and_when_the_bank_is_dropped(monkeypatch):
    monkeypatch.setattr(parallel, "SMALL_JOB", 0)  # every call on the threads, which start on demand
    assert ParallelBank(freqs(300), RATE).workers == len(os.sched_getaffinity(0))
    before = pool_threads()
    with ParallelBank(freqs(300), RATE, workers=3) as pool:
        pool.resonate(SIGNAL, 16)
        started = pool_threads() - before
        assert 1 <= len(started) <= 2
    assert pool.closed and not any(t.is_alive() for t in started)
    with pytest.raises(RuntimeError, match="closed"):
        pool.process_samples(SIGNAL)
    pool.reset()
    pool.magnitudes()

    pool = ParallelBank(freqs(300), RATE, workers=3)
    pool.resonate(SIGNAL, 16)
    started = pool_threads() - before
    del pool
    gc.collect()
    for thread in started:
        thread.join(timeout=60)
    assert started and not any(t.is_alive() for t in started)
