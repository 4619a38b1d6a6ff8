"""The shared borrow registry on NumPy's multiarray module, driven as another extension would."""

import contextlib
import ctypes
import importlib
import threading

import numpy as np
import pytest

import marlune
from conftest import MULTIARRAY

CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
SAMPLE_RATE = 48000.0

GRANTED, ALREADY_BORROWED, NOT_WRITEABLE = 0, -1, -2

# The registry's functions expect the interpreter lock to be held: PYFUNCTYPE keeps it.
BorrowFn = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
ReturnFn = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Record(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("borrow_shared", BorrowFn),
        ("borrow_exclusive", BorrowFn),
        ("return_shared", ReturnFn),
        ("return_exclusive", ReturnFn),
    ]


def multiarray():
    return importlib.import_module(MULTIARRAY)


class Registry:
    """The record in the capsule, with the calls another module would make."""

    def __init__(self, capsule):
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        self.capsule = capsule
        self.record = Record.from_address(get_pointer(capsule, CAPSULE_NAME.encode()))

    def shared(self, a):
        return self.record.borrow_shared(self.record.state, a)

    def exclusive(self, a):
        return self.record.borrow_exclusive(self.record.state, a)

    def return_shared(self, a):
        self.record.return_shared(self.record.state, a)

    def return_exclusive(self, a):
        self.record.return_exclusive(self.record.state, a)

    @contextlib.contextmanager
    def holding(self, kind, a):
        """Takes a borrow that must be granted and gives it back afterwards."""
        assert getattr(self, kind)(a) == GRANTED
        try:
            yield
        finally:
            getattr(self, "return_" + kind)(a)

    def assert_free(self, a):
        """Nothing of `a` is borrowed any more: an exclusive borrow of it is granted."""
        assert self.exclusive(a) == GRANTED
        self.return_exclusive(a)


@pytest.fixture(scope="module")
def registry():
    marlune.heuristic_alphas(np.ones(2, dtype=np.float32), SAMPLE_RATE)  # the first array call
    return Registry(getattr(multiarray(), CAPSULE_NAME))


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
