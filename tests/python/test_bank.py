"""Construction, per-sample processing, readouts and reset, checked against a float32 model.

The model repeats the per-sample update in numpy.float32 arithmetic: every product and sum is
rounded on its own, the four accumulations are fused multiply-adds rounded once (computed exactly
with fractions), and cosf, sinf, atan2f come from libm, so readouts must agree bit for bit.
"""

import math
import random
from fractions import Fraction

import numpy as np
import pytest

import marlune
from conftest import same

F = np.float32
TWO_PI_DOWN = F(-6.2831855)


def round_to_f32(q):
    """The float32 nearest to the non-zero rational q, ties to even."""
    negative, q = q < 0, abs(q)
    n, d = q.numerator, q.denominator
    e = n.bit_length() - d.bit_length()
    if (n << max(0, -e)) < (d << max(0, e)):
        e -= 1  # now 2**e <= q < 2**(e + 1)
    shift = max(e, -126) - 23  # weight of the last significand bit, subnormals included
    num, den = (n, d << shift) if shift >= 0 else (n << -shift, d)
    m, r = divmod(num, den)
    if 2 * r > den or (2 * r == den and m & 1):
        m += 1
    with np.errstate(over="ignore"):
        return F(math.ldexp(-m if negative else m, shift))


def fma(a, b, c):
    """a * b + c for float32 operands, rounded once to float32."""
    a, b, c = float(a), float(b), float(c)
    s = a * b + c  # the product of two float32 values is exact in double
    if s == 0 or not math.isfinite(s):
        return F(s)  # zeros keep the sign of the exact sum; NaN and infinities propagate
    return round_to_f32(Fraction(a) * Fraction(b) + Fraction(c))


class Model:
    """One float32 resonator bank, stepped sample by sample."""

    def __init__(self, freqs, sample_rate, libm, alphas=None, betas=None):
        with np.errstate(all="ignore"):
            sr = F(float(sample_rate))
            self.freqs = [F(f) for f in freqs]
            k = F(-1) / sr
            defaults = [F(1) - libm.expf((k * f) / libm.log10f(f + F(1))) for f in self.freqs]
            self.alphas = defaults if alphas is None else [F(a) for a in alphas]
            self.betas = list(self.alphas) if betas is None else [F(b) for b in betas]
            thetas = [(f * TWO_PI_DOWN) / sr for f in self.freqs]
        self.rotation = [(libm.cosf(t), libm.sinf(t)) for t in thetas]
        self.libm = libm
        self.reset()

    def reset(self):
        n = len(self.freqs)
        self.phasor = [(F(1), F(0))] * n
        self.accum = [(F(0), F(0))] * n
        self.smooth = [(F(0), F(0))] * n
        self.counter = 0

    def feed(self, sample):
        with np.errstate(all="ignore"):
            x = F(float(sample))
            for j, (a, b) in enumerate(zip(self.alphas, self.betas)):
                (pr, pi), (rr, ri) = self.phasor[j], self.rotation[j]
                ax, ca, cb = a * x, F(1) - a, F(1) - b
                accum = (fma(ca, self.accum[j][0], ax * pr), fma(ca, self.accum[j][1], ax * pi))
                self.accum[j] = accum
                self.smooth[j] = (fma(cb, self.smooth[j][0], b * accum[0]), fma(cb, self.smooth[j][1], b * accum[1]))
                self.phasor[j] = (pr * rr - pi * ri, pr * ri + pi * rr)
            self.counter += 1
            if self.counter % 256 == 0:
                for j, (re, im) in enumerate(self.phasor):
                    s = F(1) / np.sqrt(re * re + im * im)
                    self.phasor[j] = (re * s, im * s)

    def readouts(self, j):
        re, im = self.smooth[j]
        with np.errstate(all="ignore"):
            power = re * re + im * im
            # A channel at zero (parts of either sign) reads phase +0.
            phase = F(0) if re == 0 and im == 0 else self.libm.atan2f(im, re)
            return {"complex": (re, im), "power": power, "magnitude": np.sqrt(power), "phase": phase}


def mismatches(bank, model, when):
    """Every readout of bank that differs from the model's, with where it happened."""
    found = []
    arrays = {"magnitude": bank.magnitudes(), "phase": bank.phases(), "power": bank.powers()}
    for j in range(len(model.freqs)):
        want = model.readouts(j)
        value = bank.complex(j)
        if not (same(value.real, want["complex"][0]) and same(value.imag, want["complex"][1])):
            found.append((when, j, "complex", value, want["complex"]))
        for name in ("magnitude", "phase", "power"):
            got = getattr(bank, name)(j)
            if not (same(got, want[name]) and same(float(arrays[name][j]), want[name])):
                found.append((when, j, name, got, float(arrays[name][j]), float(want[name])))
    return found


def run(bank, model, samples, checkpoints):
    found = []
    for count, x in enumerate(samples, start=1):
        assert bank.process_sample(x) is None
        model.feed(x)
        if count in checkpoints:
            found += mismatches(bank, model, count)
    return found


def signal(seed, length):
    rng = random.Random(seed)
    return [rng.gauss(0.0, 0.5) if k % 7 else rng.randint(-2, 2) for k in range(length)]


CHECKPOINTS = {1, 2, 3, 100, 255, 256, 257, 511, 512, 513, 600}
FREQS = [0.0, 20.0, 440.1, 1000.0, 12000.0, 23999.5, 24000.0, -300.0]


@pytest.mark.parametrize("sample_rate", [48000, 44100.0, 8000.25, -48000.0, 0.0])
@pytest.mark.parametrize(
    "coefficients",
    [
        {},
        {"alphas": [0.0, 1.0, 0.5, 0.01, 1.5, 0.001, 0.2, 0.3]},
        {"betas": [1.0, 0.0, 0.5, 0.02, 0.7, 0.003, 1.0, 0.1]},
        {"alphas": [0.25] * 8, "betas": [1.0, 0.5, 0.1, 0.0, 0.01, 0.9, 0.05, 0.3]},
    ],
    ids=["defaults", "alphas", "betas", "both"],
)
def test_per_sample_update_matches_float32_model(sample_rate, coefficients, make_bank, libm):
    bank = make_bank(FREQS, sample_rate, **coefficients)
    model = Model(FREQS, sample_rate, libm, **coefficients)
    assert run(bank, model, signal(7, 600), CHECKPOINTS) == []


def test_wide_bank_matches_float32_model(make_bank, libm):
    # Enough channels for the four-lane path, with a tail, and two identical channels.
    rng = random.Random(3)
    freqs = [rng.uniform(0, 24000) for _ in range(29)] + [440.0, 440.0]
    alphas = [rng.uniform(0, 0.2) for _ in range(29)] + [0.05, 0.05]
    bank = make_bank(freqs, 48000.0, alphas=alphas)
    model = Model(freqs, 48000.0, libm, alphas=alphas)
    assert run(bank, model, signal(11, 520), {1, 17, 256, 257, 520}) == []
    assert bank.complex(29) == bank.complex(30)


def test_first_sample_response(make_bank, libm):
    # One sample meets the phasor 1 + 0i: smooth = beta * (alpha * x) exactly, imaginary part +0.
    alphas, betas = [0.5, 0.1, 1e-3, 0.75], [0.3, 1.0, 0.2, 0.9]
    bank = make_bank([100.0, 200.0, 300.0, 400.0], alphas=alphas, betas=betas)
    x = 0.3
    bank.process_sample(x)
    for j, (a, b) in enumerate(zip(alphas, betas)):
        value = bank.complex(j)
        assert value.real == float(F(b) * (F(a) * F(x)))
        assert same(value.imag, 0.0)


@pytest.mark.parametrize("channels", [0, 2])
def test_fresh_bank_reads_zero(channels, make_bank):
    bank = make_bank([300.0, 7000.0][:channels])
    for j in range(channels):
        assert same(bank.magnitude(j), 0.0) and same(bank.power(j), 0.0) and same(bank.phase(j), 0.0)
        value = bank.complex(j)
        assert same(value.real, 0.0) and same(value.imag, 0.0)
    for readout in (bank.magnitudes, bank.phases, bank.powers):
        values = readout()
        assert values.dtype == np.float32 and values.shape == (channels,)
        assert all(same(float(v), 0.0) for v in values)


def test_reset_starts_over(make_bank):
    freqs = [20.0, 440.1, 1000.0, 12000.0, 23999.5, 24000.0]
    bank = make_bank(freqs, 48000.0)
    samples = signal(5, 300)  # longer than one renormalisation period

    def readouts():
        return [(bank.complex(j), bank.magnitude(j), bank.phase(j), bank.power(j)) for j in range(len(bank))]

    for x in samples:
        bank.process_sample(x)
    first = readouts()
    assert bank.reset() is None
    assert readouts() == [(0j, 0.0, 0.0, 0.0)] * len(bank)
    assert bank.frequencies().tolist() == [float(F(f)) for f in freqs]
    for x in samples:
        bank.process_sample(x)
    assert readouts() == first


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), float("-inf")])
def test_non_finite_sample_spoils_every_channel_until_reset(bad, make_bank, libm):
    freqs, alphas = [100.0, 200.0, 300.0], [0.0, 0.5, 1.0]
    bank = make_bank(freqs, alphas=alphas)
    model = Model(freqs, 48000.0, libm, alphas=alphas)
    assert run(bank, model, [0.5, bad, 0.25, 0.25, 0.25], {2, 5}) == []
    # Even the channel whose alpha is 0 is hit: 0 times a non-finite sample is NaN.
    assert not any(math.isfinite(bank.power(j)) for j in range(3))
    bank.reset()
    model.reset()
    assert run(bank, model, [0.5, -0.25], {1, 2}) == []


@pytest.mark.parametrize("freq", [440.1, 0.0, -0.0, -12.5, 1e-45, 3.5e38, float("inf"), float("nan")])
def test_frequency_reads_back_as_stored(freq, make_bank):
    with np.errstate(over="ignore"):
        stored = np.array([1.0, freq]).astype(np.float32)
    bank = make_bank(stored)
    assert same(bank.freq(1), stored[1])
    assert same(float(bank.frequencies()[1]), stored[1])


def test_frequency_is_rounded_to_float32():
    bank = marlune.ResonatorBank(np.array([440.1], dtype=np.float32), 48000)
    assert bank.freq(0) == 440.1000061035156


def test_bank_keeps_its_own_copy_of_the_inputs(make_bank, libm):
    freqs = np.array([100.0, 200.0], dtype=np.float32)
    alphas = np.array([0.5, 0.25], dtype=np.float32)
    bank = marlune.ResonatorBank(freqs, 48000.0, alphas=alphas)
    freqs[:] = 5.0
    alphas[:] = 0.0
    assert bank.frequencies().tolist() == [100.0, 200.0]
    model = Model([100.0, 200.0], 48000.0, libm, alphas=[0.5, 0.25])
    assert run(bank, model, [1.0, 0.5], {2}) == []


@pytest.mark.parametrize("path", ["resonate", "process_samples", "process_sample"])
def test_silence_decays_to_exact_zero(path, make_bank):
    """Subnormals are flushed inside the update: after a tone and a long digital silence every
    channel is exactly zero (IEEE arithmetic would leave them stuck at a subnormal value) and
    reads magnitude 0 and phase +0."""
    bank = make_bank([110.0, 440.0, 3000.0], alphas=[1e-3, 2e-3, 1e-2], betas=[1e-3, 0.5, 1.0])
    tone = (0.5 * np.sin(np.arange(4800) * 0.0576)).astype(np.float32)
    signal = np.concatenate([tone, np.zeros(120_000, dtype=np.float32)])
    if path == "resonate":
        assert not np.any(bank.resonate(signal, 1000)[-1])
    elif path == "process_samples":
        bank.process_samples(signal)
    else:
        for x in signal.tolist():
            bank.process_sample(x)
    for j in range(len(bank)):
        value = bank.complex(j)
        assert value.real == 0 and value.imag == 0
        assert same(bank.magnitude(j), 0.0) and same(bank.phase(j), 0.0)
    assert all(same(float(p), 0.0) for p in bank.phases())


@pytest.mark.parametrize("channels", [0, 1, 3])
@pytest.mark.parametrize("method", ["freq", "magnitude", "phase", "power", "complex"])
@pytest.mark.parametrize("offset", [0, 1, 2**64 - 1])
def test_index_out_of_range(channels, method, offset, make_bank, panic_exception):
    bank = make_bank([50.0] * channels)
    index = min(channels + offset, 2**64 - 1)
    with pytest.raises(panic_exception) as info:
        getattr(bank, method)(index)
    assert str(info.value) == f"index out of bounds: the len is {channels} but the index is {index}"


@pytest.mark.parametrize("index", [-1, 2**64])
def test_index_outside_unsigned_64_bits_fails_in_conversion(index, make_bank):
    with pytest.raises(OverflowError):
        make_bank([50.0, 60.0, 70.0]).phase(index)


def test_bank_without_channels(make_bank, panic_exception):
    bank = make_bank([])
    assert len(bank) == 0 and not bank
    for k in range(300):
        assert bank.process_sample(k / 300) is None
    assert bank.frequencies().shape == (0,)
    with pytest.raises(panic_exception, match="^index out of bounds: the len is 0 but the index is 0$"):
        bank.magnitude(0)


@pytest.mark.parametrize(
    ("freqs", "coefficients"),
    [
        ([1.0, 2.0, 3.0], {"alphas": [0.1, 0.2]}),
        ([1.0, 2.0, 3.0], {"betas": [0.1, 0.2, 0.3, 0.4]}),
        ([1.0, 2.0, 3.0], {"alphas": [0.1, 0.2, 0.3], "betas": [0.1, 0.2]}),
        ([1.0, 2.0, 3.0], {"alphas": [0.1, 0.2], "betas": [0.1, 0.2, 0.3]}),
        ([1.0, 2.0, 3.0], {"betas": []}),
        ([], {"alphas": [0.5]}),
        ([], {"betas": [0.5], "alphas": None}),
    ],
)
def test_coefficient_count_must_match_channel_count(freqs, coefficients, make_bank):
    with pytest.raises(ValueError) as info:
        make_bank(freqs, **coefficients)
    assert type(info.value) is ValueError
    assert str(info.value) == "freqs, alphas, and betas must have the same length"


@pytest.mark.parametrize("sample_rate", [48000, 48000.0, True, np.float32(48000)], ids=repr)
def test_sample_rate_is_any_number(sample_rate, make_bank, libm):
    bank = make_bank([440.0, 5000.0], sample_rate)
    model = Model([440.0, 5000.0], float(sample_rate), libm)
    assert run(bank, model, [0.5, -0.5, 0.25], {1, 3}) == []
