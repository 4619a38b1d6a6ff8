"""How calls reach the bank: argument matching, conversions, the per-bank borrow, internal failures."""


import numpy as np
import pytest

import marlune
from conftest import assert_noted, interpreter_error, run_python, to_double, to_u64


def target(name, bank):
    """A function of the module, a method of bank, or the class itself."""
    if name.startswith("bank."):
        return getattr(bank, name[len("bank."):])
    return getattr(marlune, name)


# Unconvertible values stand where the call never gets as far as converting: argument matching
# comes first and must report its own error.
@pytest.mark.parametrize(
    ("name", "args", "kwargs", "message"),
    [
        ("bank.freq", (), {}, "ResonatorBank.freq() missing 1 required positional argument: 'i'"),
        ("bank.freq", ("x", 1), {}, "ResonatorBank.freq() takes 1 positional arguments but 2 were given"),
        ("bank.freq", ("x",), {"i": 0}, "ResonatorBank.freq() got multiple values for argument 'i'"),
        ("bank.freq", (), {"j": 0}, "ResonatorBank.freq() got an unexpected keyword argument 'j'"),
        ("bank.power", (), {"i": "x", "j": 0}, "ResonatorBank.power() got an unexpected keyword argument 'j'"),
        ("bank.complex", (0, 1, 2), {}, "ResonatorBank.complex() takes 1 positional arguments but 3 were given"),
        ("bank.phase", (), {}, "ResonatorBank.phase() missing 1 required positional argument: 'i'"),
        ("bank.magnitude", (), {"I": 0}, "ResonatorBank.magnitude() got an unexpected keyword argument 'I'"),
        ("bank.process_sample", (), {}, "ResonatorBank.process_sample() missing 1 required positional argument: 'sample'"),
        ("bank.process_samples", (None, None), {}, "ResonatorBank.process_samples() takes 1 positional arguments but 2 were given"),
        ("bank.resonate", (), {}, "ResonatorBank.resonate() missing 2 required positional arguments: 'signal' and 'hop'"),
        ("bank.resonate", (None,), {}, "ResonatorBank.resonate() missing 1 required positional argument: 'hop'"),
        ("bank.resonate", (), {"hop": "x"}, "ResonatorBank.resonate() missing 1 required positional argument: 'signal'"),
        ("bank.resonate", (None,), {"signal": None, "hop": 1}, "ResonatorBank.resonate() got multiple values for argument 'signal'"),
        ("midi_to_hz", (), {}, "midi_to_hz() missing 2 required positional arguments: 'midi' and 'tuning'"),
        ("midi_to_hz", ("a", "b", "c"), {}, "midi_to_hz() takes 2 positional arguments but 3 were given"),
        ("midi_to_hz", ("a", "b"), {"tuning": 1}, "midi_to_hz() got multiple values for argument 'tuning'"),
        ("alpha_from_tau", (), {"sample_rate": "x"}, "alpha_from_tau() missing 1 required positional argument: 'tau'"),
        ("tau_from_alpha", (), {"alpha": 1, "tau": 2}, "tau_from_alpha() got an unexpected keyword argument 'tau'"),
        # Keywords are checked in the order given: whichever problem comes first is reported.
        ("heuristic_alpha", ("x",), {"bogus": 1, "freq": 2}, "heuristic_alpha() got an unexpected keyword argument 'bogus'"),
        ("heuristic_alpha", ("x",), {"freq": 2, "bogus": 1}, "heuristic_alpha() got multiple values for argument 'freq'"),
        ("heuristic_alphas", (), {"fréq": 1}, "heuristic_alphas() got an unexpected keyword argument 'fréq'"),
        ("ResonatorBank", (), {}, "ResonatorBank.__new__() missing 2 required positional arguments: 'freqs' and 'sample_rate'"),
        ("ResonatorBank", (), {"alphas": None}, "ResonatorBank.__new__() missing 2 required positional arguments: 'freqs' and 'sample_rate'"),
        ("ResonatorBank", (None, None, None), {}, "ResonatorBank.__new__() takes 2 positional arguments but 3 were given"),
        ("ResonatorBank", (1, 2, 3, 4), {}, "ResonatorBank.__new__() takes 2 positional arguments but 4 were given"),
        ("ResonatorBank", (None,), {"freqs": None}, "ResonatorBank.__new__() got multiple values for argument 'freqs'"),
        ("ResonatorBank", (None, None), {"gammas": None}, "ResonatorBank.__new__() got an unexpected keyword argument 'gammas'"),
        ("ResonatorBank", (), {"sample_rate": 1}, "ResonatorBank.__new__() missing 1 required positional argument: 'freqs'"),
        ("ResonatorBank", (None,), {"alphas": None, "betas": None}, "ResonatorBank.__new__() missing 1 required positional argument: 'sample_rate'"),
    ],
)
def test_argument_matching_errors(name, args, kwargs, message, make_bank):
    bank = make_bank([440.0])
    with pytest.raises(TypeError) as info:
        target(name, bank)(*args, **kwargs)
    assert str(info.value) == message
    bank.reset()  # nothing was left borrowed


def test_arguments_by_keyword(make_bank):
    freqs = np.array([440.0, 880.0], dtype=np.float32)
    bank = marlune.ResonatorBank(sample_rate=48000, betas=None, freqs=freqs, alphas=None)
    assert len(bank) == 2
    assert bank.freq(i=1) == 880.0
    assert bank.process_sample(sample=0.25) is None
    assert bank.resonate(hop=2, signal=np.zeros(5, dtype=np.float32)).shape == (2, 2)
    assert marlune.midi_to_hz(69.0, tuning=440.0) == 440.0
    assert marlune.midi_to_hz(tuning=440, midi=57) == 220.0
    assert marlune.alpha_from_tau(sample_rate=48000, tau=0) == 1.0
    assert marlune.heuristic_alphas(sample_rate=48000, freqs=freqs).shape == (2,)


class Raising:
    """A number whose conversion fails with an error of its own."""

    def __index__(self):
        raise LookupError("no index today")

    def __float__(self):
        raise LookupError("no float today")

    def __repr__(self):
        return "Raising()"


BAD_INDICES = [-1, 2**64, -(2**70), 1.5, "0", None, np.float64(1.0), Raising()]
BAD_FLOATS = ["0.5", None, 1j, 10**400, Raising()]
SIGNAL = np.zeros(4, dtype=np.float32)
CONVERSIONS = [
    pytest.param(method, before, parameter, convert, bad, id=f"{method}-{bad!r}")
    for method, before, parameter, convert, bads in [
        *[(method, (), "i", to_u64, BAD_INDICES) for method in ("freq", "magnitude", "phase", "power", "complex")],
        ("resonate", (SIGNAL,), "hop", to_u64, BAD_INDICES),
        ("process_sample", (), "sample", to_double, BAD_FLOATS),
    ]
    for bad in bads
]


@pytest.mark.parametrize(("method", "before", "parameter", "convert", "bad"), CONVERSIONS)
def test_conversion_errors_are_the_interpreters_own(method, before, parameter, convert, bad, make_bank):
    bank = make_bank([440.0, 880.0])
    bank.process_sample(0.75)
    state = bank.complex(0)
    expected = interpreter_error(convert, bad)
    with pytest.raises(type(expected)) as info:
        getattr(bank, method)(*before, bad)
    assert type(info.value) is type(expected)
    assert str(info.value) == str(expected)
    assert_noted(info.value, parameter)
    assert bank.complex(0) == state  # a failed call changes nothing
    bank.reset()  # and leaves nothing borrowed


def test_constructor_sample_rate_conversion_error(make_bank):
    with pytest.raises(TypeError) as info:
        make_bank([440.0], "fast")
    assert str(info.value) == str(interpreter_error(to_double, "fast"))
    assert_noted(info.value, "sample_rate")


class Int(int):
    pass


class Index:
    def __index__(self):
        return 1


@pytest.mark.parametrize("index", [1, True, Int(1), np.int64(1), np.uint8(1), Index()], ids=repr)
def test_index_arguments_accept_integers_and_index_objects(index, make_bank):
    bank = make_bank([440.0, 440.1])
    assert bank.freq(index) == 440.1000061035156


class Reentrant:
    """Calls into a bank while that bank converts this object, and keeps the outcome."""

    def __init__(self, call):
        self.call = call
        self.outcome = None

    def run(self):
        try:
            self.outcome = self.call()
        except RuntimeError as exc:
            self.outcome = exc

    def __index__(self):
        self.run()
        return 1

    def __float__(self):
        self.run()
        return 0.5


MUTABLY_BORROWED = RuntimeError("Already mutably borrowed")
BORROWED = RuntimeError("Already borrowed")


@pytest.mark.parametrize(
    ("outer", "inner", "expected"),
    [
        # Readers hold a shared borrow while converting: writers are refused, readers are not.
        (lambda b, x: b.freq(x), lambda b: b.reset(), BORROWED),
        (lambda b, x: b.freq(x), lambda b: b.process_sample(1.0), BORROWED),
        (lambda b, x: b.phase(x), lambda b: b.resonate(SIGNAL, 2), BORROWED),
        (lambda b, x: b.magnitude(x), lambda b: b.power(0), 0.0),
        (lambda b, x: b.complex(x), lambda b: len(b), 2),
        # Writers hold the exclusive borrow: everything else is refused.
        (lambda b, x: b.process_sample(x), lambda b: b.freq(0), MUTABLY_BORROWED),
        (lambda b, x: b.process_sample(x), lambda b: len(b), MUTABLY_BORROWED),
        (lambda b, x: b.process_sample(x), lambda b: b.reset(), BORROWED),
        (lambda b, x: b.resonate(SIGNAL, x), lambda b: b.magnitudes(), MUTABLY_BORROWED),
        (lambda b, x: b.resonate(SIGNAL, x), lambda b: b.process_sample(0.0), BORROWED),
    ],
)
def test_nested_calls_on_the_same_bank(outer, inner, expected, make_bank):
    bank = make_bank([440.0, 880.0])
    nested = Reentrant(lambda: inner(bank))
    outer(bank, nested)
    if isinstance(expected, RuntimeError):
        assert type(nested.outcome) is RuntimeError
        assert str(nested.outcome) == str(expected)
    else:
        assert nested.outcome == expected
    bank.reset()
    assert len(bank) == 2


def test_borrow_error_escaping_a_conversion_is_noted(make_bank):
    bank = make_bank([440.0])

    class Escaping:
        def __index__(self):
            bank.reset()
            return 0

    with pytest.raises(RuntimeError) as info:
        bank.freq(Escaping())
    assert str(info.value) == "Already borrowed"
    assert_noted(info.value, "i")
    bank.reset()


def test_panic_exception_type(panic_exception):
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__name__ == "PanicException"
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__doc__


@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("method", ["freq", "magnitude", "phase", "power", "complex"])
def test_index_past_the_end_panics(channels, method, make_bank, panic_exception, capfd):
    bank = make_bank([100.0] * channels)
    message = f"index out of bounds: the len is {channels} but the index is {channels}"
    with pytest.raises(panic_exception) as info:
        try:
            getattr(bank, method)(channels)
        except Exception:  # an internal failure must get past ordinary handlers
            pytest.fail("caught by 'except Exception'")
    assert type(info.value) is panic_exception
    assert info.value.args == (message,)
    assert str(info.value) == message
    assert message in capfd.readouterr().err  # reported before it is raised
    bank.reset()
    bank.process_sample(1.0)
    assert bank.freq(channels - 1) == 100.0


@pytest.mark.parametrize("length", [0, 5])
def test_hop_of_zero_panics(length, make_bank, panic_exception, capfd):
    bank = make_bank([440.0, 1000.0])
    bank.process_sample(0.5)
    state = bank.complex(1)
    with pytest.raises(panic_exception, match="^attempt to divide by zero$"):
        bank.resonate(np.ones(length, dtype=np.float32), 0)
    assert "attempt to divide by zero" in capfd.readouterr().err
    assert bank.complex(1) == state
    bank.reset()


@pytest.mark.parametrize(
    "outer",
    [lambda b, x: b.freq(x), lambda b, x: b.process_sample(x), lambda b, x: b.resonate(SIGNAL, x)],
    ids=["index", "float", "hop"],
)
def test_panic_inside_a_conversion_fails_the_outer_call(outer, make_bank, panic_exception, capfd):
    bank, other = make_bank([440.0]), make_bank([220.0])
    message = "index out of bounds: the len is 1 but the index is 99"
    inner = []

    class Panicking:
        def convert(self):
            try:
                other.freq(99)
            except BaseException as exc:
                inner.append(exc)
                raise

        __index__ = __float__ = lambda self: self.convert()

    with pytest.raises(panic_exception) as info:
        outer(bank, Panicking())
    assert str(info.value) == message
    assert len(inner) == 1 and info.value is not inner[0]
    err = capfd.readouterr().err
    # The nested failure's report, the nested exception as printed by the interpreter, and the
    # outer failure's report.
    assert f"pyo3_runtime.PanicException: {message}" in err
    assert err.count(message) >= 3
    bank.reset()
    other.reset()


def test_nested_panic_that_is_also_system_exit_does_not_exit():
    """The report of a nested failure prints the exception; it must not act on SystemExit."""
    out = run_python(
        """
        import numpy as np
        import marlune
        try:
            marlune.ResonatorBank(np.zeros(0, dtype=np.float32), 48000.0).freq(0)
        except BaseException as exc:
            Panic = type(exc)

        class Both(SystemExit, Panic):
            pass

        class Exiting:
            def __float__(self):
                raise Both("stop")

        try:
            try:
                marlune.midi_to_hz(Exiting(), 440.0)
            finally:
                print("finally")
        except Panic as exc:
            print(type(exc) is Panic, exc)
        print("carried on")
        """
    )
    assert out == "finally\nTrue stop\ncarried on\n"
