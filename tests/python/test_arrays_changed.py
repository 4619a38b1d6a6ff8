"""Array arguments changed by user code (a later argument's __float__ or __index__) during a call."""

import numpy as np
import pytest

import marlune
from conftest import ARRAY_CHANGES, assert_noted, bank_state, quietly

SAMPLE_RATE = 48000.0
NOT_AN_ARRAY = "'ndarray' object is not an instance of 'ndarray'"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."

# How a call ends when a hook has changed its array (8 float32 values that own their memory).
OUTCOMES = {
    "resized to zero dimensions": NOT_AN_ARRAY,
    "reshaped to two dimensions": NOT_AN_ARRAY,
    "retyped to int8": NOT_AN_ARRAY,
    "retyped to float64": NOT_AN_ARRAY,
    "byte order swapped": NOT_AN_ARRAY,
    "strides set to zero": NOT_CONTIGUOUS,
    "resized to more elements": None,
}
CHANGES = {name: (ARRAY_CHANGES[name], outcome) for name, outcome in OUTCOMES.items()}


class Changing:
    """A sample rate or hop whose conversion changes `array`, then returns or raises."""

    def __init__(self, array, change, error=None):
        self.array, self.change, self.error = array, change, error

    def convert(self, value):
        quietly(self.change, self.array)
        if self.error is not None:
            raise self.error
        return value

    def __float__(self):
        return self.convert(SAMPLE_RATE)

    def __index__(self):
        return self.convert(1)


def make_bank():
    bank = marlune.ResonatorBank(np.array([300.0, 3000.0], dtype=np.float32), SAMPLE_RATE)
    bank.process_sample(0.25)
    return bank


# Each call takes the array first and a hook after it; the argument names the array.
CALLS = {
    "ResonatorBank": ("freqs", lambda bank, a, hook: marlune.ResonatorBank(a, hook).frequencies()),
    "heuristic_alphas": ("freqs", lambda bank, a, hook: marlune.heuristic_alphas(a, hook)),
    "resonate": ("signal", lambda bank, a, hook: bank.resonate(a, hook)),
}


@pytest.mark.parametrize(("change", "message"), CHANGES.values(), ids=CHANGES.keys())
@pytest.mark.parametrize(("name", "call"), CALLS.values(), ids=CALLS.keys())
def test_array_is_read_as_it_is_after_the_last_conversion(registry, name, call, change, message):
    bank = make_bank()
    before = bank_state(bank)
    array = np.linspace(0.125, 1.0, 8, dtype=np.float32)
    if message is None:
        got = call(bank, array, Changing(array, change))
        plain = 1 if name == "signal" else SAMPLE_RATE
        assert got.tobytes() == call(make_bank(), array.copy(), plain).tobytes()
        # Resizing moved the data: the borrow followed it and was given back.
        registry.assert_free(array)
        return
    with pytest.raises(TypeError) as info:
        call(bank, array, Changing(array, change))
    assert str(info.value) == message
    if message == NOT_AN_ARRAY:
        assert_noted(info.value, name)
    assert bank_state(bank) == before
    registry.assert_free(array)


@pytest.mark.parametrize("change", [c for c, _ in CHANGES.values()], ids=CHANGES.keys())
@pytest.mark.parametrize(("name", "call"), CALLS.values(), ids=CALLS.keys())
def test_failing_call_gives_back_the_borrow_it_took(registry, name, call, change):
    array = np.linspace(0.125, 1.0, 8, dtype=np.float32)
    with pytest.raises(ZeroDivisionError):
        call(make_bank(), array, Changing(array, change, ZeroDivisionError()))
    registry.assert_free(array)
