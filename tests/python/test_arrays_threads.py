"""Calls from other threads while resonate or process_samples runs without the interpreter lock."""

import threading

import numpy as np
import pytest

import marlune

SAMPLE_RATE = 48000.0
# Every long call reads the same 4 MiB input; it is made slower by giving the bank more channels,
# four times more per attempt, so no attempt needs more memory than the last (at most 32 MiB of
# frames). The last attempt runs for about half a second with the AVX-512 kernel.
SIGNAL = np.random.default_rng(1).uniform(-1, 1, 1 << 20).astype(np.float32)
CHANNEL_COUNTS = (64, 256, 1024, 4096)


def freqs(n):
    return np.linspace(50.0, 8000.0, n, dtype=np.float32)


class LongCall:
    """Runs one long call on a bank in a thread and records how it ended."""

    def __init__(self, call):
        self.result = None
        self.error = None
        self.thread = threading.Thread(target=self._run, args=(call,))

    def _run(self, call):
        try:
            self.result = call()
        except BaseException as exc:  # reported by the test, not lost in the thread
            self.error = exc

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc_info):
        self.thread.join()
        assert self.error is None, repr(self.error)

    def running(self):
        return self.thread.is_alive()


def refusal(call):
    """The RuntimeError message `call` fails with, or None if it succeeds."""
    try:
        call()
    except RuntimeError as exc:
        return str(exc)
    return None


def observe_while_running(make_call, probe):
    """Starts ever slower calls until `probe` has seen one of them running.

    `make_call(bank)` gives the long call on a bank; `probe(bank)` is called repeatedly while it
    runs and returns a result once it has observed what it looks for, or None to be called again.
    Returns what it saw, the bank and the long call, which has finished by then.
    """
    for channels in CHANNEL_COUNTS:
        bank = marlune.ResonatorBank(freqs(channels), SAMPLE_RATE)
        with LongCall(make_call(bank)) as long_call:
            while long_call.running():
                seen = probe(bank)
                if seen is not None:
                    return seen, bank, long_call
    pytest.fail("the long call always ended before another thread could observe it")


@pytest.mark.parametrize("method", ["resonate", "process_samples"])
def test_same_bank_is_refused_at_once_and_other_banks_proceed(method):
    other = marlune.ResonatorBank(freqs(3), SAMPLE_RATE)
    other_signal = np.ones(64, dtype=np.float32)

    def make_call(bank):
        if method == "resonate":
            return lambda: bank.resonate(SIGNAL, 1024)
        return lambda: bank.process_samples(SIGNAL)

    def probe(bank):
        reader = refusal(lambda: bank.power(0))
        if reader is None:
            return None
        # The bank is held: every other call on it fails at once, calls on other banks run.
        seen = {
            "power": reader,
            "frequencies": refusal(bank.frequencies),
            "len": refusal(lambda: len(bank)),
            "reset": refusal(bank.reset),
            "process_sample": refusal(lambda: bank.process_sample(1.0)),
            "resonate": refusal(lambda: bank.resonate(other_signal, 8)),
            "other": other.resonate(other_signal, 8).shape,
            "other read": other.magnitudes().shape,
        }
        # Still held after the calls on the other bank returned: they ran while it was busy.
        return seen if refusal(lambda: bank.power(0)) is not None else None

    seen, bank, long_call = observe_while_running(make_call, probe)
    assert seen == {
        "power": "Already mutably borrowed",
        "frequencies": "Already mutably borrowed",
        "len": "Already mutably borrowed",
        "reset": "Already borrowed",
        "process_sample": "Already borrowed",
        "resonate": "Already borrowed",
        "other": (8, 3),
        "other read": (3,),
    }
    long_call.thread.join()
    # The long call finished normally and gave the bank back.
    bank.reset()
    assert bank.power(0) == 0.0


def test_other_threads_read_the_same_input_meanwhile():
    """The long call's borrow of its input is shared: other calls may read that array too."""

    def make_call(bank):
        return lambda: bank.resonate(SIGNAL, 4096)

    def probe(bank):
        # A cheap test that the long call holds the bank (a call that got through must not
        # cost much).
        if refusal(lambda: bank.power(0)) != "Already mutably borrowed":
            return None
        shape = marlune.heuristic_alphas(SIGNAL[:5], SAMPLE_RATE).shape
        # Still held afterwards: the input was read while the long call held it.
        return shape if refusal(lambda: bank.power(0)) is not None else None

    seen, bank, long_call = observe_while_running(make_call, probe)
    assert seen == (5,)
    long_call.thread.join()
    frames = long_call.result
    assert frames.shape == (SIGNAL.shape[0] // 4096, len(bank))
