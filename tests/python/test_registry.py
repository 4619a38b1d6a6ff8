"""The shared borrow registry on NumPy's multiarray module, driven as another extension would."""

import ctypes
import itertools
import threading

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import marlune
from conftest import ALREADY_BORROWED, CAPSULE_NAME, GRANTED, NOT_WRITEABLE, multiarray

SAMPLE_RATE = 48000.0


@pytest.fixture
def x():
    return np.arange(16, dtype=np.float32)


# ---- the capsule -------------------------------------------------------------------------------

def test_capsule_is_published_and_reused(registry):
    module = multiarray()
    capsule = getattr(module, CAPSULE_NAME)
    assert type(capsule).__name__ == "PyCapsule"
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.restype = ctypes.c_int
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert is_valid(capsule, CAPSULE_NAME.encode()) == 1
    assert registry.record.version == 1

    bank = marlune.ResonatorBank(np.ones(3, dtype=np.float32), SAMPLE_RATE)
    bank.process_samples(np.ones(5, dtype=np.float32))
    bank.resonate(np.ones(5, dtype=np.float32), 2)
    assert getattr(module, CAPSULE_NAME) is capsule


# ---- registry rules ----------------------------------------------------------------------------

def test_overlapping_shared_borrows(registry, x):
    with registry.holding("shared", x[0:4]), registry.holding("shared", x[2:6]):
        assert registry.shared(x) == GRANTED
        registry.return_shared(x)
    registry.assert_free(x)


def test_exclusive_refused_while_an_overlapping_shared_is_held(registry, x):
    with registry.holding("shared", x[0:4]):
        assert registry.exclusive(x[2:6]) == ALREADY_BORROWED
        assert registry.exclusive(x[0:4]) == ALREADY_BORROWED
        assert registry.exclusive(x) == ALREADY_BORROWED
        # Same memory through another chain of views.
        assert registry.exclusive(x[1:10][2:4]) == ALREADY_BORROWED
        # Overlap in the last element only: the span ends one element size past the last address.
        assert registry.exclusive(x[3:8]) == ALREADY_BORROWED
    with registry.holding("shared", x[1:2]):
        # An 8-byte element at offset 0 covers the 4-byte element at offset 4.
        assert registry.exclusive(x.view(np.float64)[0:1]) == ALREADY_BORROWED
        assert registry.exclusive(x[0:1]) == GRANTED
        registry.return_exclusive(x[0:1])
        # Disjoint ranges of the same buffer are free.
        with registry.holding("exclusive", x[4:8]):
            pass
    registry.assert_free(x[2:6])


def test_shared_refused_while_an_exclusive_is_held(registry, x):
    with registry.holding("exclusive", x[2:6]):
        assert registry.shared(x[2:6]) == ALREADY_BORROWED
        assert registry.shared(x[0:4]) == ALREADY_BORROWED
        assert registry.exclusive(x[2:6]) == ALREADY_BORROWED
        with registry.holding("shared", x[6:10]):
            pass
    registry.assert_free(x)


def test_interleaved_views_do_not_conflict(registry, x):
    with registry.holding("exclusive", x[0::2]), registry.holding("exclusive", x[1::2]):
        assert registry.exclusive(x[2::2]) == ALREADY_BORROWED
        assert registry.shared(x[3:4]) == ALREADY_BORROWED
    registry.assert_free(x)


def test_columns_of_a_matrix(registry):
    m = np.zeros((4, 4), dtype=np.float32)
    with registry.holding("exclusive", m[:, 0]), registry.holding("exclusive", m[:, 1]):
        assert registry.shared(m[0]) == ALREADY_BORROWED
        assert registry.shared(m[:, 0:2]) == ALREADY_BORROWED
        with registry.holding("shared", m[:, 2]):
            pass
    registry.assert_free(m)


# Views of one buffer whose elements differ in size, or start between the other's elements.
MEETING_VIEWS = {
    "float64 over every second float32": (lambda x: x.view(np.float64), lambda x: x[1::2]),
    "bytes inside every float32": (lambda x: x.view(np.uint8)[1::4], lambda x: x),
    "float32 two bytes off the grid": (lambda x: x.view(np.uint8)[2:34].view(np.float32), lambda x: x[::2]),
    "zero-dimensional element": (lambda x: x[3:4].reshape(()), lambda x: x[3:5]),
}


@pytest.mark.parametrize(("first", "second"), MEETING_VIEWS.values(), ids=MEETING_VIEWS.keys())
def test_views_that_share_bytes_conflict(registry, x, first, second):
    for held, asked in ((first, second), (second, first)):
        with registry.holding("shared", held(x)):
            assert registry.exclusive(asked(x)) == ALREADY_BORROWED
        with registry.holding("exclusive", held(x)):
            assert registry.shared(asked(x)) == ALREADY_BORROWED
    # Bytes that lie between each other's elements do not.
    with registry.holding("exclusive", x.view(np.uint8)[1::4]), registry.holding("exclusive", x.view(np.uint8)[2::4]):
        pass
    registry.assert_free(x)


def test_module_sees_a_writer_of_single_bytes(registry, panic_exception, x):
    with registry.holding("exclusive", x.view(np.uint8)[1::4]):
        with pytest.raises(panic_exception, match="AlreadyBorrowed$"):
            marlune.heuristic_alphas(x, SAMPLE_RATE)
    registry.assert_free(x)


BUFFER_BYTES = 48


@st.composite
def layouts(draw):
    """(element size, shape, strides, offset) of a view that fits in BUFFER_BYTES bytes."""
    size = draw(st.sampled_from([1, 2, 3, 4, 8]))
    ndim = draw(st.integers(0, 2))
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
    strides = tuple(draw(st.lists(st.integers(-12, 12), min_size=ndim, max_size=ndim)))
    low = high = 0
    if 0 not in shape:
        low = sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
        high = sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) + size
    assume(high - low <= BUFFER_BYTES)
    return size, shape, strides, draw(st.integers(-low, BUFFER_BYTES - high))


def view_of(buffer, layout):
    size, shape, strides, offset = layout
    return np.ndarray(shape, dtype=f"V{size}", buffer=buffer, offset=offset, strides=strides)


def bytes_of(layout):
    size, shape, strides, offset = layout
    starts = (offset + sum(i * s for i, s in zip(index, strides)) for index in itertools.product(*map(range, shape)))
    return {start + b for start in starts for b in range(size)}


# A fifth of the examples of the property test over the whole surface: the space is far smaller.
@settings(max_examples=settings().max_examples // 5)
@given(held=layouts(), asked=layouts(), kind=st.sampled_from(["shared", "exclusive"]))
def test_conflict_rule_never_misses_a_shared_byte(registry, held, asked, kind):
    buffer = np.zeros(BUFFER_BYTES, dtype=np.uint8)
    with registry.holding(kind, view_of(buffer, held)):
        view = view_of(buffer, asked)
        code = registry.exclusive(view)
        if code == GRANTED:
            registry.return_exclusive(view)
        if bytes_of(held) & bytes_of(asked):
            assert code == ALREADY_BORROWED
    registry.assert_free(buffer)


def test_read_only_arrays_cannot_be_borrowed_exclusively(registry, x):
    x.flags.writeable = False
    assert registry.exclusive(x) == NOT_WRITEABLE
    assert registry.exclusive(x[2:4]) == NOT_WRITEABLE
    with registry.holding("shared", x):
        assert registry.exclusive(x) == NOT_WRITEABLE


def test_distinct_buffers_never_conflict(registry, x):
    y = x.copy()
    with registry.holding("exclusive", x), registry.holding("exclusive", y):
        pass


def test_shared_borrows_are_counted(registry, x):
    view = x[3:9]
    for _ in range(3):
        assert registry.shared(view) == GRANTED
    for _ in range(3):
        assert registry.exclusive(view) == ALREADY_BORROWED
        registry.return_shared(view)
    registry.assert_free(view)


def test_borrows_given_back_in_any_order(registry, x):
    views = [x[0:4], x[2:6], x[8:12], x[0::2], x]
    for view in views:
        assert registry.shared(view) == GRANTED
    for view in reversed(views[1:]):
        registry.return_shared(view)
        assert registry.exclusive(x) == ALREADY_BORROWED
    registry.return_shared(views[0])
    registry.assert_free(x)


def broadcast(x, start, shape):
    """A writeable view that repeats x[start] (every stride 0), with x as its base."""
    view = np.ndarray(shape=shape, dtype=np.float32, buffer=x, offset=4 * start, strides=(0,) * len(shape))
    assert view.base is x and view.flags.writeable
    return view


@pytest.mark.parametrize(
    ("first", "second", "conflict"),
    [
        ((3, (4,)), (3, (4,)), True),
        ((3, (4,)), (3, (2, 5)), True),
        ((3, (4,)), (5, (4,)), False),
        ((3, (4,)), (4, (2, 5)), False),
    ],
)
def test_broadcast_views(registry, x, first, second, conflict):
    with registry.holding("exclusive", broadcast(x, *first)):
        with registry.holding("shared", broadcast(x, 8, (3,))):
            pass
        if conflict:
            assert registry.exclusive(broadcast(x, *second)) == ALREADY_BORROWED
        else:
            with registry.holding("exclusive", broadcast(x, *second)):
                pass
        assert registry.exclusive(x) == ALREADY_BORROWED
    registry.assert_free(x)


def test_giving_back_what_was_not_borrowed_is_harmless(registry, x):
    registry.return_shared(np.zeros(3, dtype=np.float32))
    registry.return_exclusive(np.zeros(3, dtype=np.float32))
    with registry.holding("shared", x[0:4]):
        registry.return_shared(x[8:12])
        registry.return_exclusive(x[8:12])
        registry.return_exclusive(x[0:4])
        # The shared borrow is still registered.
        assert registry.exclusive(x[2:6]) == ALREADY_BORROWED
    with registry.holding("exclusive", x[0:4]):
        registry.return_shared(x[0:4])
        assert registry.shared(x[0:4]) == ALREADY_BORROWED
    registry.assert_free(x)


# ---- the module's own borrows ------------------------------------------------------------------

def test_module_calls_give_their_borrows_back(registry, x):
    bank = marlune.ResonatorBank(x, SAMPLE_RATE, alphas=x, betas=x)  # three shared borrows of x
    bank.process_samples(x)
    bank.resonate(x, 4)
    marlune.heuristic_alphas(x, SAMPLE_RATE)
    registry.assert_free(x)


@pytest.mark.parametrize(
    "call",
    [
        lambda x: marlune.ResonatorBank(x[:4], SAMPLE_RATE, alphas=x[:4], betas=x[::2]),
        lambda x: marlune.ResonatorBank(x[:4], SAMPLE_RATE, alphas=x[:4], betas=x[:5]),
        lambda x: marlune.ResonatorBank(x[:4], SAMPLE_RATE, alphas=x[:4], betas=x.astype(np.float64)),
        lambda x: marlune.ResonatorBank(x[:4], SAMPLE_RATE).process_samples(x[::2]),
        lambda x: marlune.ResonatorBank(x[:4], SAMPLE_RATE).resonate(x, -1),
        lambda x: marlune.ResonatorBank(x[:4], SAMPLE_RATE).resonate(x, 0),
    ],
    ids=["layout", "lengths", "conversion", "process_samples layout", "hop conversion", "hop zero"],
)
def test_failed_calls_give_their_borrows_back(registry, panic_exception, x, call):
    with pytest.raises((TypeError, ValueError, OverflowError, panic_exception)):
        call(x)
    registry.assert_free(x)


def test_module_reads_alongside_other_readers(registry, x):
    with registry.holding("shared", x):
        assert marlune.heuristic_alphas(x, SAMPLE_RATE).shape == (16,)
    registry.assert_free(x)


@pytest.mark.parametrize(
    "call",
    [
        lambda a: marlune.heuristic_alphas(a, SAMPLE_RATE),
        lambda a: marlune.ResonatorBank(a, SAMPLE_RATE),
        lambda a: marlune.ResonatorBank(np.ones(len(a), dtype=np.float32), SAMPLE_RATE, betas=a),
        lambda a: marlune.ResonatorBank(np.ones(2, dtype=np.float32), SAMPLE_RATE).process_samples(a),
        lambda a: marlune.ResonatorBank(np.ones(2, dtype=np.float32), SAMPLE_RATE).resonate(a, 2),
    ],
    ids=["heuristic_alphas", "freqs", "betas", "process_samples", "resonate"],
)
@pytest.mark.parametrize("held", ["whole", "part"])
def test_module_refuses_arrays_written_elsewhere(registry, panic_exception, x, call, held):
    with registry.holding("exclusive", x if held == "whole" else x[5:7]):
        with pytest.raises(panic_exception) as info:
            call(x)
        assert str(info.value).endswith("AlreadyBorrowed")
        # A part that the other module does not hold is readable.
        if held == "part":
            call(x[8:])
    registry.assert_free(x)


def test_input_stays_borrowed_while_the_numeric_loop_runs(registry, panic_exception):
    """While resonate runs without the interpreter lock, its signal cannot be written elsewhere."""
    bank = marlune.ResonatorBank(np.linspace(50.0, 8000.0, 64, dtype=np.float32), SAMPLE_RATE)
    length = 1 << 20
    for _ in range(6):
        signal = np.ones(length, dtype=np.float32)
        outcome = {}

        def run():
            try:
                outcome["frames"] = bank.resonate(signal, 4096)
            except panic_exception as exc:
                outcome["error"] = str(exc)

        thread = threading.Thread(target=run)
        thread.start()
        refused = False
        while thread.is_alive() and not refused:
            code = registry.exclusive(signal)
            if code == GRANTED:
                # Taken before the call borrowed its input: give it back and look again.
                registry.return_exclusive(signal)
            else:
                assert code == ALREADY_BORROWED
                refused = True
        thread.join()
        if refused:
            assert outcome["frames"].shape == (length // 4096, 64)
            registry.assert_free(signal)
            return
        # The call may have met the exclusive borrow taken above; then it failed cleanly.
        assert outcome.get("error", "AlreadyBorrowed").endswith("AlreadyBorrowed")
        length *= 4
    pytest.fail("the call always ended before its borrow could be observed")
