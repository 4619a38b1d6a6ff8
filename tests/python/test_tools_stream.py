"""FrameStream: frames of a signal pushed in chunks equal one resonate call on the whole signal."""

import numpy as np
import pytest

from marlune_tools import FrameStream

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


@pytest.mark.parametrize(("hop", "chunk", "error"), [(0, [], ValueError), (4, np.zeros((2, 2)), ValueError)])
def test_bad_hop_or_chunk_is_refused(make_bank, hop, chunk, error):
    with pytest.raises(error):
        FrameStream(make_bank(FREQS), hop).push(chunk)
