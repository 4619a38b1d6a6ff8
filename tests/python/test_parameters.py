"""Exact values of the parameter functions: every step is one float32 operation or one libm call.

The reference below repeats each formula step by step in numpy.float32 arithmetic and libm's
single-precision functions, so the comparisons are bit for bit (NaN payloads aside).
"""

import decimal
import fractions
import math
import random

import numpy as np
import pytest

import marlune
from conftest import assert_noted, interpreter_error, same, to_double

F = np.float32


def f32(value):
    """A Python number rounded to float32 the way the module rounds its arguments."""
    with np.errstate(all="ignore"):
        return F(float(value))


def reference(name, libm):
    def midi_to_hz(midi, tuning):
        e = (f32(midi) - F(69)) / F(12)
        return libm.exp2f(e) * f32(tuning)

    def alpha_from_tau(tau, sample_rate):
        q = (F(-1) / f32(sample_rate)) / f32(tau)
        return F(1) - libm.expf(q)

    def tau_from_alpha(alpha, sample_rate):
        k = F(-1) / f32(sample_rate)
        return k / libm.logf(F(1) - f32(alpha))

    def heuristic_alpha(freq, sample_rate):
        f = f32(freq)
        u = (F(-1) / f32(sample_rate)) * f
        return F(1) - libm.expf(u / libm.log10f(f + F(1)))

    formula = locals()[name]

    def evaluate(a, b):
        with np.errstate(all="ignore"):
            return formula(a, b)

    return evaluate


# Values at the edges of float32: exact ties (1 + 2**-24 rounds down to 1, 1 + 3 * 2**-24 up), the
# largest float32, the tie just above it (rounds to infinity), overflow, underflow to zero and to
# subnormals, signed zeros, infinities, NaN, integers, and a huge integer.
SPECIAL = [
    0, 1, -1, 69, 0.0, -0.0, 0.5, 1.0 + 2.0**-24, 1.0 + 3 * 2.0**-24, 440.1, -3.75,
    3.4028234663852886e38, 3.4028235677973366e38, 1e39, -1e300, 1e-46, 1e-40, -2.0**-149,
    math.inf, -math.inf, math.nan, 10**30, True,
]

# Realistic ranges for each function's two arguments.
REALISTIC = {
    "midi_to_hz": (lambda r: r.uniform(-20, 140), lambda r: r.uniform(400, 480)),
    "alpha_from_tau": (lambda r: 10 ** r.uniform(-5, 2), lambda r: r.choice([8000, 44100, 48000.0, 96e3])),
    "tau_from_alpha": (lambda r: r.uniform(0, 1.2), lambda r: r.uniform(8000, 192000)),
    "heuristic_alpha": (lambda r: r.uniform(0, 24000), lambda r: r.choice([16000, 44100.0, 48000])),
}


def wild(rng):
    kind = rng.randrange(4)
    if kind == 0:
        return rng.randint(-300, 300)
    if kind == 1:
        return rng.uniform(-1000, 1000)
    if kind == 2:
        return rng.choice([-1, 1]) * 10 ** rng.uniform(-50, 50)
    return rng.choice(SPECIAL)


def argument_pairs(name, seed):
    rng = random.Random(seed)
    first, second = REALISTIC[name]
    pairs = [(a, b) for a in SPECIAL for b in SPECIAL]
    pairs += [(first(rng), second(rng)) for _ in range(400)]
    pairs += [(wild(rng), second(rng)) for _ in range(150)]
    pairs += [(first(rng), wild(rng)) for _ in range(150)]
    pairs += [(wild(rng), wild(rng)) for _ in range(150)]
    return pairs


@pytest.mark.parametrize("name", sorted(REALISTIC))
def test_scalar_functions_match_float32_formula_bit_for_bit(name, libm):
    function = getattr(marlune, name)
    ref = reference(name, libm)
    mismatches = []
    for a, b in argument_pairs(name, seed=sum(map(ord, name))):
        got, want = function(a, b), ref(a, b)
        if not same(got, want):
            mismatches.append((a, b, got, float(want)))
    assert mismatches == []


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: marlune.midi_to_hz(69, 440), 440.0),
        (lambda: marlune.midi_to_hz(57, 440), 220.0),
        (lambda: marlune.midi_to_hz(81, 440), 880.0),
        (lambda: marlune.midi_to_hz(69, 432), 432.0),
        # The float32 result widened, not the double-precision 261.6255653...
        (lambda: marlune.midi_to_hz(60, 440), 261.62554931640625),
        (lambda: marlune.alpha_from_tau(0, 48000), 1.0),
        (lambda: marlune.alpha_from_tau(0.0, 8000.0), 1.0),
        (lambda: marlune.tau_from_alpha(0, 48000), -math.inf),
        (lambda: marlune.tau_from_alpha(1, 48000), 0.0),
        (lambda: marlune.tau_from_alpha(1.5, 48000), math.nan),
        (lambda: marlune.heuristic_alpha(0, 48000), math.nan),
    ],
)
def test_documented_values(call, expected):
    assert same(call(), expected)


@pytest.mark.parametrize("sample_rate", [8000, 48000.0, 192000.0])
@pytest.mark.parametrize("tau", [1e-4, 1e-3, 0.02, 0.1])
def test_tau_alpha_round_trip(tau, sample_rate):
    alpha = marlune.alpha_from_tau(tau, sample_rate)
    back = marlune.tau_from_alpha(alpha, sample_rate)
    # 1 - alpha recovers exp(-1/(sr*tau)) exactly; the log of a number that close to 1 loses
    # about sr*tau float32 units in relative terms.
    assert math.isclose(back, tau, rel_tol=8 * 2.0**-24 * (1 + sample_rate * tau))


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


@pytest.mark.parametrize(
    "midi",
    [
        69,
        True,
        10**20,
        FloatLike(60.5),
        IndexLike(72),
        fractions.Fraction(121, 2),
        decimal.Decimal("64.1"),
        np.float32(61.25),
        np.float64(59.9),
        np.int64(-3),
    ],
    ids=repr,
)
def test_arguments_accept_what_the_float_conversion_accepts(midi, libm):
    assert same(marlune.midi_to_hz(midi, FloatLike(440.0)), reference("midi_to_hz", libm)(float(midi), 440.0))


class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("no value here")

    def __repr__(self):
        return "BadFloat()"


class WrongFloat:
    def __float__(self):
        return 1

    def __repr__(self):
        return "WrongFloat()"


@pytest.mark.parametrize("bad", ["69", None, 1j, [69.0], 10**400, BadFloat(), WrongFloat()], ids=repr)
@pytest.mark.parametrize(
    ("name", "position", "parameter"),
    [
        ("midi_to_hz", 0, "midi"),
        ("midi_to_hz", 1, "tuning"),
        ("alpha_from_tau", 0, "tau"),
        ("alpha_from_tau", 1, "sample_rate"),
        ("tau_from_alpha", 0, "alpha"),
        ("tau_from_alpha", 1, "sample_rate"),
        ("heuristic_alpha", 0, "freq"),
        ("heuristic_alpha", 1, "sample_rate"),
    ],
)
def test_unconvertible_argument_keeps_the_interpreters_error(name, position, parameter, bad):
    args = [1.0, 48000.0]
    args[position] = bad
    expected = interpreter_error(to_double, bad)
    with pytest.raises(type(expected)) as info:
        getattr(marlune, name)(*args)
    assert type(info.value) is type(expected)
    assert str(info.value) == str(expected)
    assert_noted(info.value, parameter)


@pytest.mark.parametrize("name", ["midi_to_hz", "alpha_from_tau", "tau_from_alpha", "heuristic_alpha"])
def test_first_argument_is_converted_first(name):
    # The second argument would fail with ZeroDivisionError if it were converted first.
    with pytest.raises(TypeError):
        getattr(marlune, name)("first", BadFloat())


@pytest.mark.parametrize("length", [0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100])
@pytest.mark.parametrize("sample_rate", [48000, 44100.0, -8000.0, 0.0])
def test_heuristic_alphas_is_heuristic_alpha_elementwise(length, sample_rate, libm):
    rng = np.random.default_rng(length)
    freqs = rng.uniform(-100, 30000, length).astype(np.float32)
    specials = np.array([0.0, -0.0, np.nan, np.inf, -1.0, 1e-30, 3e38], dtype=np.float32)
    freqs[: len(specials)] = specials[:length]
    result = marlune.heuristic_alphas(freqs, sample_rate)
    assert result.dtype == np.float32 and result.shape == (length,)
    ref = reference("heuristic_alpha", libm)
    for f, alpha in zip(freqs, result):
        assert same(float(alpha), marlune.heuristic_alpha(float(f), sample_rate))
        assert same(float(alpha), ref(float(f), sample_rate))
