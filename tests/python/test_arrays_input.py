"""Array arguments: which objects every array entry point accepts, and how it refuses the others."""

import array

import numpy as np
import pytest

import marlune
from conftest import assert_noted

SAMPLE_RATE = 48000.0
FREQS = np.array([110.0, 220.0, 440.0, 880.0, 1760.0], dtype=np.float32)
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def length_of(obj, default=4):
    """The element count of a one-dimensional array, else a stand-in so the other arrays exist."""
    return obj.shape[0] if isinstance(obj, np.ndarray) and obj.ndim == 1 else default


def impulse(n=8):
    signal = np.zeros(n, dtype=np.float32)
    signal[0] = 1.0
    return signal


def spaced_freqs(n):
    return np.linspace(100.0, 2000.0, n, dtype=np.float32)


def bank_state(bank):
    return np.array([bank.complex(i) for i in range(len(bank))], dtype=np.complex64)


# Each entry point runs with the array under test in one argument and returns a value that depends
# on every element of it, so that an accepted array can be compared with a plain contiguous copy.
def run_constructor_freqs(a):
    bank = marlune.ResonatorBank(a, SAMPLE_RATE)
    return bank.frequencies(), bank.resonate(impulse(), 1)


def run_constructor_alphas(a):
    bank = marlune.ResonatorBank(spaced_freqs(length_of(a)), SAMPLE_RATE, alphas=a)
    return bank.resonate(impulse(), 1)


def run_constructor_betas(a):
    bank = marlune.ResonatorBank(spaced_freqs(length_of(a)), SAMPLE_RATE, betas=a)
    return bank.resonate(impulse(), 1)


def run_process_samples(a):
    bank = marlune.ResonatorBank(FREQS, SAMPLE_RATE)
    assert bank.process_samples(a) is None
    return bank_state(bank)


def run_resonate(a):
    bank = marlune.ResonatorBank(FREQS, SAMPLE_RATE)
    return bank.resonate(a, 1), bank_state(bank)


def run_heuristic_alphas(a):
    return marlune.heuristic_alphas(a, SAMPLE_RATE)


ENTRY_POINTS = {
    "ResonatorBank-freqs": ("freqs", run_constructor_freqs),
    "ResonatorBank-alphas": ("alphas", run_constructor_alphas),
    "ResonatorBank-betas": ("betas", run_constructor_betas),
    "process_samples": ("samples", run_process_samples),
    "resonate": ("signal", run_resonate),
    "heuristic_alphas": ("freqs", run_heuristic_alphas),
}


@pytest.fixture(params=ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def entry_point(request):
    return request.param


def assert_same_results(got, expected):
    if isinstance(expected, tuple):
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            assert_same_results(g, e)
        return
    assert got.dtype == expected.dtype
    assert got.shape == expected.shape
    assert np.array_equal(got, expected)


class Subclass(np.ndarray):
    pass


def positive(n, dtype=np.float32):
    """n values in (0, 1), usable as frequencies, coefficients and samples alike."""
    return ((np.arange(n) + 1) / (n + 2)).astype(dtype)


# ---- refused objects ---------------------------------------------------------------------------

NOT_ARRAYS = {
    "list": ([0.25, 0.5], "'list' object is not an instance of 'ndarray'"),
    "tuple": ((0.25, 0.5), "'tuple' object is not an instance of 'ndarray'"),
    "float": (0.25, "'float' object is not an instance of 'ndarray'"),
    "array.array": (array.array("f", [0.25, 0.5]), "'array' object is not an instance of 'ndarray'"),
    "memoryview": (memoryview(positive(2)), "'memoryview' object is not an instance of 'ndarray'"),
}

WRONG_ARRAYS = {
    "float64": positive(4, np.float64),
    "float16": positive(4, np.float16),
    "int32": np.arange(4, dtype=np.int32),
    "complex64": positive(4, np.complex64),
    "two-dimensional": positive(4).reshape(2, 2),
    "two-dimensional single row": positive(4).reshape(1, 4),
    "zero-dimensional": np.array(0.5, dtype=np.float32),
    "byte-swapped": positive(4).astype(">f4"),
    "structured": np.zeros(4, dtype=[("x", np.float32)]),
}


@pytest.mark.parametrize(("obj", "message"), NOT_ARRAYS.values(), ids=NOT_ARRAYS.keys())
def test_non_arrays_are_refused(entry_point, obj, message):
    name, run = entry_point
    with pytest.raises(TypeError) as info:
        run(obj)
    assert str(info.value) == message
    assert_noted(info.value, name)


@pytest.mark.parametrize("obj", WRONG_ARRAYS.values(), ids=WRONG_ARRAYS.keys())
def test_arrays_of_another_kind_are_refused(entry_point, obj):
    name, run = entry_point
    with pytest.raises(TypeError) as info:
        run(obj)
    assert str(info.value) == "'ndarray' object is not an instance of 'ndarray'"
    assert_noted(info.value, name)


def test_subclass_of_another_kind_is_named_by_its_own_type(entry_point):
    name, run = entry_point
    with pytest.raises(TypeError) as info:
        run(positive(4, np.float64).view(Subclass))
    assert str(info.value) == "'Subclass' object is not an instance of 'ndarray'"
    assert_noted(info.value, name)


@pytest.mark.parametrize(
    "call",
    [
        lambda: marlune.ResonatorBank(None, SAMPLE_RATE),
        lambda: marlune.ResonatorBank(FREQS, SAMPLE_RATE).process_samples(None),
        lambda: marlune.ResonatorBank(FREQS, SAMPLE_RATE).resonate(None, 4),
        lambda: marlune.heuristic_alphas(None, SAMPLE_RATE),
    ],
    ids=["ResonatorBank-freqs", "process_samples", "resonate", "heuristic_alphas"],
)
def test_none_is_refused_where_an_array_is_required(call):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == "'None' is not an instance of 'ndarray'"


def test_none_coefficients_mean_not_given():
    default = marlune.ResonatorBank(FREQS, SAMPLE_RATE).resonate(impulse(), 1)
    explicit = marlune.ResonatorBank(FREQS, SAMPLE_RATE, alphas=None, betas=None).resonate(impulse(), 1)
    assert np.array_equal(default, explicit)


# ---- layout ------------------------------------------------------------------------------------

def misaligned(n):
    raw = bytearray(4 * n + 1)
    view = np.frombuffer(raw, dtype=np.float32, count=n, offset=1)
    view[...] = positive(n)
    assert not view.flags.aligned
    return view


BAD_LAYOUTS = {
    "every second of 3": lambda: positive(3)[::2],
    "every second of 10": lambda: positive(10)[::2],
    "every third": lambda: positive(12)[1::3],
    "reversed of 2": lambda: positive(2)[::-1],
    "reversed of 9": lambda: positive(9)[::-1],
    "column of a matrix": lambda: positive(12).reshape(4, 3)[:, 1],
    "misaligned": lambda: misaligned(5),
}


@pytest.mark.parametrize("make", BAD_LAYOUTS.values(), ids=BAD_LAYOUTS.keys())
def test_non_contiguous_or_misaligned_arrays_are_refused(entry_point, make):
    _, run = entry_point
    with pytest.raises(TypeError) as info:
        run(make())
    assert str(info.value) == NOT_CONTIGUOUS


def test_layout_is_tested_after_every_constructor_conversion():
    """A bad layout in freqs is reported only once alphas and betas have been converted."""
    with pytest.raises(TypeError) as info:
        marlune.ResonatorBank(positive(8)[::2], SAMPLE_RATE, alphas=positive(4), betas=[1.0])
    assert str(info.value) == "'list' object is not an instance of 'ndarray'"
    assert_noted(info.value, "betas")


@pytest.mark.parametrize("method", ["process_samples", "resonate"])
def test_refused_layout_leaves_the_bank_untouched(method):
    bank = marlune.ResonatorBank(FREQS, SAMPLE_RATE)
    bank.process_samples(positive(50))
    before = bank_state(bank)
    args = (positive(10)[::2],) + ((1,) if method == "resonate" else ())
    with pytest.raises(TypeError) as info:
        getattr(bank, method)(*args)
    assert str(info.value) == NOT_CONTIGUOUS
    assert np.array_equal(bank_state(bank), before)
    bank.reset()  # the exclusive borrow was given back


# ---- accepted arrays ---------------------------------------------------------------------------

def read_only(n):
    a = positive(n)
    a.flags.writeable = False
    return a


def strided_single():
    a = positive(6)[2::4]
    assert a.shape == (1,) and a.strides == (16,)
    return a


ACCEPTED = {
    "plain": lambda: positive(7),
    "single element": lambda: positive(1),
    "read-only": lambda: read_only(7),
    "subclass": lambda: positive(7).view(Subclass),
    "slice of a larger array": lambda: positive(20)[5:12],
    "one-element strided view": strided_single,
    "one-element reversed view": lambda: positive(3)[1:2][::-1],
    "row of a matrix": lambda: positive(12).reshape(3, 4)[1],
    "explicit little-endian dtype": lambda: positive(7).astype("<f4"),
    "dtype with metadata": lambda: positive(7).astype(np.dtype(np.float32, metadata={"unit": "Hz"})),
    "empty": lambda: np.zeros(0, dtype=np.float32),
    "empty strided": lambda: positive(10)[3:3:2],
    "empty reversed": lambda: positive(10)[4:4:-1],
    "empty of a broadcast": lambda: np.broadcast_to(np.float32(1.0), (0,)),
}


@pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted_arrays_read_like_a_contiguous_copy(entry_point, make):
    _, run = entry_point
    given = make()
    copy = np.array(given, dtype=np.float32, order="C", copy=True)
    expected = run(copy)
    assert_same_results(run(given), expected)


def test_input_arrays_are_not_written():
    given = positive(300)
    kept = given.copy()
    bank = marlune.ResonatorBank(given[:5], SAMPLE_RATE, alphas=given[5:10], betas=given[10:15])
    bank.process_samples(given)
    bank.resonate(given, 7)
    marlune.heuristic_alphas(given, SAMPLE_RATE)
    assert np.array_equal(given, kept)


def test_constructor_copies_its_arrays():
    freqs = FREQS.copy()
    bank = marlune.ResonatorBank(freqs, SAMPLE_RATE)
    freqs[:] = 1.0
    assert np.array_equal(bank.frequencies(), FREQS)
