"""Result arrays: layout, ownership by PySliceContainer, lifetime, and the frames of resonate."""

import gc
import sys

import numpy as np
import pytest

import marlune

SAMPLE_RATE = 48000.0


def freqs(n):
    return np.linspace(60.0, 6000.0, n, dtype=np.float32)


def noise(n, seed=1):
    return np.random.default_rng(seed).uniform(-1.0, 1.0, n).astype(np.float32)


def fed_bank(n_channels, n_samples=300):
    bank = marlune.ResonatorBank(freqs(n_channels), SAMPLE_RATE)
    bank.process_samples(noise(n_samples))
    return bank


def container_of(arr):
    """Follows `base` from an array to the first object that is not an array."""
    base = arr.base
    while isinstance(base, np.ndarray):
        base = base.base
    return base


FLOAT32_RESULTS = {
    "frequencies": lambda bank: bank.frequencies(),
    "magnitudes": lambda bank: bank.magnitudes(),
    "phases": lambda bank: bank.phases(),
    "powers": lambda bank: bank.powers(),
    "heuristic_alphas": lambda bank: marlune.heuristic_alphas(bank.frequencies(), SAMPLE_RATE),
}

PER_CHANNEL = {
    "frequencies": "freq",
    "magnitudes": "magnitude",
    "phases": "phase",
    "powers": "power",
}


@pytest.fixture(params=FLOAT32_RESULTS.values(), ids=FLOAT32_RESULTS.keys())
def float32_result(request):
    return request.param


# ---- float32 results ---------------------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 1, 5, 12, 13, 33])
def test_float32_result_layout(float32_result, n):
    arr = float32_result(fed_bank(n))
    assert type(arr) is np.ndarray
    assert arr.dtype == np.float32 and arr.dtype.isnative
    assert arr.shape == (n,)
    assert arr.strides == (4,)
    assert arr.flags.writeable
    assert arr.flags.c_contiguous and arr.flags.aligned
    assert not arr.flags.owndata
    assert type(arr.base).__name__ == "PySliceContainer"


def test_empty_result_has_a_real_aligned_address(float32_result):
    arr = float32_result(fed_bank(0))
    address = arr.__array_interface__["data"][0]
    assert address != 0 and address % 4 == 0
    assert type(arr.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize(("method", "reader"), PER_CHANNEL.items())
def test_float32_results_hold_the_per_channel_values(method, reader):
    bank = fed_bank(13)
    values = getattr(bank, method)()
    expected = [getattr(bank, reader)(i) for i in range(13)]
    # Exact: a 32-bit result widened to a Python float converts back to the same float32.
    assert values.tolist() == expected


def test_results_are_independent_buffers(float32_result):
    bank = fed_bank(6)
    first, second = float32_result(bank), float32_result(bank)
    assert first.base is not second.base
    assert not np.shares_memory(first, second)
    kept = second.copy()
    first[:] = -7.0
    assert np.array_equal(second, kept)
    assert np.array_equal(float32_result(bank), kept)


def test_writing_a_result_leaves_the_bank_alone():
    bank = fed_bank(4)
    expected = [bank.freq(i) for i in range(4)]
    bank.frequencies()[:] = 0.0
    assert [bank.freq(i) for i in range(4)] == expected


# ---- the container -----------------------------------------------------------------------------

def test_container_type():
    bank = fed_bank(3)
    container = bank.frequencies().base
    cls = type(container)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "PySliceContainer"
    assert cls.__bases__ == (object,)
    assert isinstance(cls.__doc__, str) and cls.__doc__
    # One type for every result of the process.
    assert type(bank.resonate(noise(8), 2).base.base) is cls
    assert type(marlune.heuristic_alphas(freqs(2), SAMPLE_RATE).base) is cls


@pytest.mark.parametrize(("args", "kwargs"), [((), {}), ((1, 2), {}), ((), {"data": 1})])
def test_container_cannot_be_instantiated(args, kwargs):
    cls = type(fed_bank(1).frequencies().base)
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == "cannot create 'builtins.PySliceContainer' instances"


def test_container_has_no_attributes():
    container = fed_bank(1).frequencies().base
    with pytest.raises(AttributeError):
        container.data = 1
    assert not hasattr(container, "__dict__")


def test_each_container_is_held_by_its_array_alone():
    holder = [object()]
    held_once = sys.getrefcount(holder[0])  # an object with exactly one owner, read the same way
    bank = fed_bank(2)
    flat = bank.frequencies()
    frames = bank.resonate(noise(8), 2)
    # Counted outside the assertions, which keep their operands alive for the report.
    counts = [sys.getrefcount(flat.base), sys.getrefcount(frames.base), sys.getrefcount(frames.base.base)]
    assert counts == [held_once] * 3


# ---- lifetime ----------------------------------------------------------------------------------

def test_results_outlive_the_bank():
    bank = fed_bank(9, 1000)
    mags = bank.magnitudes()
    frames = bank.resonate(noise(100, seed=5), 10)
    expected_mags, expected_frames = mags.copy(), frames.copy()
    del bank
    gc.collect()
    # Allocate and fill memory so that freed buffers would be overwritten.
    scratch = [np.full(4096, 3.0, dtype=np.float32) for _ in range(64)]
    assert np.array_equal(mags, expected_mags)
    assert np.array_equal(frames, expected_frames)
    del scratch


def test_views_keep_the_buffer_alive():
    bank = fed_bank(9, 1000)
    frames = bank.resonate(noise(100, seed=6), 10)
    expected = frames[3:, 2].copy()
    column = frames[3:, 2]
    del frames, bank
    gc.collect()
    scratch = [np.full(4096, 3.0, dtype=np.float32) for _ in range(64)]
    assert np.array_equal(column, expected)
    assert type(container_of(column)).__name__ == "PySliceContainer"
    del scratch


# ---- resonate ----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    ("length", "hop"),
    [(10, 4), (10, 1), (10, 10), (10, 11), (0, 3), (1, 1), (256, 256), (700, 64), (5, 2**64 - 1)],
)
@pytest.mark.parametrize("n_channels", [1, 3, 12, 17])
def test_resonate_shape_and_layout(length, hop, n_channels):
    bank = marlune.ResonatorBank(freqs(n_channels), SAMPLE_RATE)
    frames = bank.resonate(noise(length), hop)
    assert type(frames) is np.ndarray
    assert frames.dtype == np.complex64 and frames.dtype.isnative
    assert frames.shape == (length // hop, n_channels)
    assert frames.strides == (8 * n_channels, 8)
    assert frames.flags.c_contiguous and frames.flags.writeable and frames.flags.aligned
    assert not frames.flags.owndata
    assert type(container_of(frames)).__name__ == "PySliceContainer"


@pytest.mark.parametrize(("length", "hop", "rows"), [(10, 3, 3), (10, 1, 10), (0, 1, 0), (5, 6, 0)])
def test_resonate_without_channels(length, hop, rows):
    bank = marlune.ResonatorBank(np.zeros(0, dtype=np.float32), SAMPLE_RATE)
    frames = bank.resonate(noise(length), hop)
    assert frames.dtype == np.complex64
    assert frames.shape == (rows, 0)
    assert frames.flags.c_contiguous and frames.flags.writeable
    assert type(container_of(frames)).__name__ == "PySliceContainer"


def one_by_one(bank, signal, hop):
    """The frames of resonate, built from process_sample and complex."""
    frames = []
    for k in range(len(signal) // hop):
        for x in signal[k * hop:(k + 1) * hop]:
            bank.process_sample(float(x))
        frames.append([bank.complex(j) for j in range(len(bank))])
    return np.array(frames, dtype=np.complex64).reshape(len(signal) // hop, len(bank))


@pytest.mark.parametrize(("length", "hop"), [(255, 5), (256, 256), (520, 1), (700, 64), (301, 300)])
@pytest.mark.parametrize("n_channels", [1, 5, 12, 13, 19])
def test_resonate_matches_single_samples_bit_for_bit(length, hop, n_channels):
    signal = noise(length, seed=length + n_channels)
    warm_up = noise(37, seed=99)
    framed = marlune.ResonatorBank(freqs(n_channels), SAMPLE_RATE)
    single = marlune.ResonatorBank(freqs(n_channels), SAMPLE_RATE)
    # Start from a state that is not the initial one, so the phasor counter is mid-period.
    framed.process_samples(warm_up)
    for x in warm_up:
        single.process_sample(float(x))

    frames = framed.resonate(signal, hop)
    expected = one_by_one(single, signal, hop)

    assert frames.shape == expected.shape
    assert np.array_equal(frames.real, expected.real)
    assert np.array_equal(frames.imag, expected.imag)
    # The remainder past the last full hop never reached the bank.
    assert [framed.complex(j) for j in range(n_channels)] == [single.complex(j) for j in range(n_channels)]


def test_writing_frames_leaves_the_bank_alone():
    bank = fed_bank(4)
    frames = bank.resonate(noise(16), 4)
    state = [bank.complex(j) for j in range(4)]
    assert [complex(v) for v in frames[-1]] == state
    frames[:] = 0
    assert [bank.complex(j) for j in range(4)] == state
