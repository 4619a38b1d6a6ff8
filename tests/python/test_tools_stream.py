"""FrameStream: frames of a signal pushed in chunks equal one resonate call on the whole signal."""

import numpy as np
import pytest

from conftest import bank_state

from marlune_tools import FrameStream, ParallelBank

FREQS = [55.0, 440.0, 1000.0, 3520.0, 11025.0]


def chunk_lengths(rng, total, hop):
    """Random cut points, with empty and one-sample chunks, chunks around the hop and longer ones."""
    lengths = []
    while sum(lengths) < total:
        lengths.append(int(rng.choice([0, 1, hop - 1, hop, hop + 1, rng.integers(0, 5 * hop)])))
    lengths[-1] -= sum(lengths) - total
    return lengths


@pytest.mark.parametrize("hop", [1, 7, 256, 480])
@pytest.mark.parametrize("seed", range(4))
def test_any_chunking_gives_the_frames_of_one_call(make_bank, hop, seed):
    rng = np.random.default_rng(seed)
    signal = rng.standard_normal(3000 + seed * 997).astype(np.float32)
    expected = make_bank(FREQS).resonate(signal, hop)

    stream = FrameStream(make_bank(FREQS), hop)
    parts, start = [], 0
    for length in chunk_lengths(rng, len(signal), hop):
        parts.append(stream.push(signal[start : start + length]))
        start += length
        assert parts[-1].dtype == np.complex64 and parts[-1].shape[1] == len(FREQS)
        assert stream.pending == start % hop
    got = np.concatenate(parts)
    assert got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()


def test_held_samples_are_processed_by_the_next_push(make_bank):
    # Seven chunks of a one-second signal: resonate on each chunk alone would give 98 frames.
    signal = np.sin(np.arange(48_000, dtype=np.float32) * np.float32(0.05)).astype(np.float32)
    stream = FrameStream(make_bank(FREQS), 480)
    frames = [stream.push(chunk) for chunk in np.array_split(signal, 7)]
    assert sum(len(f) for f in frames) == 100 and stream.pending == 0


def error_of(call, *args):
    try:
        call(*args)
    except BaseException as exc:
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize("hop", [1.5, None, "4", -1, 2**64])
def test_a_hop_is_refused_as_resonate_refuses_it(make_bank, hop):
    bank = make_bank(FREQS)
    expected = error_of(bank.resonate, np.zeros(0, np.float32), hop)
    assert expected is not None and error_of(FrameStream, bank, hop) == expected


def test_hop_zero_is_refused_without_an_internal_failure(make_bank):
    with pytest.raises(ValueError, match="at least 1"):
        FrameStream(make_bank(FREQS), 0)


@pytest.mark.parametrize("chunk", [None, [0.5, 0.5], np.zeros(5), np.zeros((2, 2), np.float32),
                                   np.zeros(10, np.float32)[::2], "abc", 1.0])
def test_a_chunk_is_refused_as_resonate_refuses_it_and_changes_nothing(make_bank, chunk):
    stream = FrameStream(make_bank(FREQS), 4)
    stream.push(np.ones(3, np.float32))
    before = bank_state(stream.bank)
    expected = error_of(make_bank(FREQS).resonate, chunk, 4)
    assert expected is not None and error_of(stream.push, chunk) == expected
    assert stream.pending == 3 and bank_state(stream.bank) == before


class FailingBank:
    """A bank whose resonate fails, now and then, as a full memory would."""

    def __init__(self, bank, fails):
        self.bank, self.fails = bank, fails

    def resonate(self, signal, hop):
        if self.fails():
            raise MemoryError
        return self.bank.resonate(signal, hop)


def failing_allocations(monkeypatch, fails):
    """NumPy's np.empty (the stream's own buffers) fails now and then."""
    real = np.empty

    def empty(*args, **kwargs):
        if fails():
            raise MemoryError
        return real(*args, **kwargs)

    monkeypatch.setattr(np, "empty", empty)


@pytest.mark.parametrize("where", ["bank", "allocation"])
@pytest.mark.parametrize("seed", range(3))
def test_a_failed_push_changes_nothing_and_can_be_retried(make_bank, monkeypatch, where, seed):
    rng = np.random.default_rng(seed)
    fails = lambda: rng.random() < 0.3  # noqa: E731
    signal = rng.standard_normal(6000).astype(np.float32)
    hop = 480
    expected = make_bank(FREQS).resonate(signal, hop)
    inner = make_bank(FREQS)
    stream = FrameStream(FailingBank(inner, fails) if where == "bank" else inner, hop)
    lengths = chunk_lengths(rng, len(signal), hop)
    if where == "allocation":
        failing_allocations(monkeypatch, fails)
    parts, start, failures = [], 0, 0
    for length in lengths:
        chunk = signal[start : start + length]
        while True:
            before = (stream.pending, bank_state(inner))
            try:
                parts.append(stream.push(chunk))
                break
            except MemoryError:
                failures += 1
                assert (stream.pending, bank_state(inner)) == before
        start += length
    monkeypatch.undo()
    assert failures > 0 and np.concatenate(parts).tobytes() == expected.tobytes()


def test_a_push_to_a_closed_parallel_bank_holds_nothing_more():
    pool = ParallelBank(np.asarray(FREQS, np.float32), 48000.0)
    stream = FrameStream(pool, 40)
    stream.push(np.ones(10, np.float32))
    pool.close()
    for _ in range(3):
        with pytest.raises(RuntimeError, match="closed"):
            stream.push(np.ones(10, np.float32))
        assert stream.pending == 10


def test_reset_resets_the_bank_and_drops_held_samples(make_bank):
    signal = np.sin(np.arange(2000, dtype=np.float32) * np.float32(0.3)).astype(np.float32)
    stream = FrameStream(make_bank(FREQS), 64)
    stream.push(np.ones(1000, np.float32))
    stream.reset()
    assert stream.pending == 0
    assert stream.push(signal).tobytes() == make_bank(FREQS).resonate(signal, 64).tobytes()
