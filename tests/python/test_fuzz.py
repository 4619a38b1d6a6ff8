"""Every entry point called with arbitrary arguments, keywords, arrays and hostile conversion hooks.

Each example builds a bank and a twin built the same way, makes one call and then checks that
only documented exceptions came out, that a failed call left the bank as it was (its readouts,
and its hidden state by running the same probe through bank and twin) and that no array of the
call is still borrowed in the registry. Hooks (__float__, __index__) raise, call the bank again or
change one of the call's arrays in place.
"""

import re
import warnings
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import marlune
from conftest import ARRAY_CHANGES, GRANTED, bank_state, quietly

pytestmark = pytest.mark.heavy

SAMPLE_RATE = 48000.0
FREQS = np.array([110.0, 1000.0, 7000.0], dtype=np.float32)
PROBE = np.linspace(-1.0, 1.0, 9, dtype=np.float32)

# name: (parameters, call(bank, args, kwargs))
ENTRY_POINTS = {
    name: (params, lambda bank, a, k, f=getattr(marlune, name): f(*a, **k))
    for name, params in [
        ("midi_to_hz", ("midi", "tuning")),
        ("alpha_from_tau", ("tau", "sample_rate")),
        ("tau_from_alpha", ("alpha", "sample_rate")),
        ("heuristic_alpha", ("freq", "sample_rate")),
        ("heuristic_alphas", ("freqs", "sample_rate")),
        ("ResonatorBank", ("freqs", "sample_rate", "alphas", "betas")),
    ]
}
METHODS = {
    "process_sample": ("sample",), "process_samples": ("samples",), "resonate": ("signal", "hop"),
    "reset": (), "freq": ("i",), "magnitude": ("i",), "phase": ("i",), "power": ("i",), "complex": ("i",),
    "frequencies": (), "magnitudes": (), "phases": (), "powers": (),
}
ENTRY_POINTS.update({
    name: (params, lambda bank, a, k, name=name: getattr(bank, name)(*a, **k)) for name, params in METHODS.items()
})
ENTRY_POINTS["len"] = ((), lambda bank, a, k: len(bank))
OTHER_KEYWORDS = ("x", "self", "i", "hop", "sample", "alphas")

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
PANICS = re.compile(r"index out of bounds: the len is \d+ but the index is \d+|attempt to divide by zero|capacity overflow")
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)


class HookError(Exception):
    """What a hook raises of its own accord; it must come out of the call unchanged."""


# ---- recipes: plain data that hypothesis draws, shrinks and prints -------------------------------

DTYPES = ["<f4", ">f4", "<f8", "<f2", "i1", "<i4", "u1", "<c8", "?", "V4", "x-struct"]


@dataclass(frozen=True)
class ArrayRecipe:
    dtype: str
    shape: tuple
    step: int  # between neighbouring elements of the last axis, in elements
    misalign: int  # bytes added to the start
    owner: bool  # owns its memory (contiguous), else a view into a larger buffer
    writeable: bool
    subclass: bool
    fill: int  # seeds the bytes


@dataclass(frozen=True)
class HookRecipe:
    action: str  # "none", "raise", "call again" or "change"
    which: int  # which call again, or which array to change
    change: str
    swallow: bool  # a failed call again is caught inside the hook
    result: object  # what __float__ or __index__ returns


class Subclass(np.ndarray):
    pass


def dtype_of(name):
    return np.dtype([("x", "<f4")]) if name == "x-struct" else np.dtype(name)


def make_array(r):
    """Returns the array and the buffer that owns its memory (writeable, for the registry check)."""
    dtype = dtype_of(r.dtype)
    rng = np.random.default_rng(r.fill)
    strides, extent = [], dtype.itemsize * r.step
    for n in reversed(r.shape):
        strides.insert(0, extent)
        extent *= max(n, 1)
    low = sum(min(0, (n - 1) * s) for n, s in zip(r.shape, strides) if n)
    high = sum(max(0, (n - 1) * s) for n, s in zip(r.shape, strides) if n) + dtype.itemsize
    buffer = rng.integers(0, 256, high - low + r.misalign, dtype=np.uint8)
    array = np.ndarray(r.shape, dtype, buffer=buffer, offset=r.misalign - low, strides=strides)
    if r.owner:
        array = buffer = np.array(array, order="C", copy=True)
    if r.subclass:
        array = array.view(Subclass)
    array.flags.writeable = r.writeable
    return array, buffer


def array_recipes(dtype=st.sampled_from(DTYPES), step=st.sampled_from([1, 1, 1, 2, -1, -3]),
                  misalign=st.sampled_from([0, 0, 0, 1, 2, 4]),
                  shape=st.one_of(st.tuples(st.integers(0, 12)), st.tuples(st.sampled_from([255, 256, 257, 1024])),
                                  st.tuples(), st.tuples(st.integers(0, 3), st.integers(0, 3)))):
    return st.builds(ArrayRecipe, dtype=dtype, shape=shape, step=step, misalign=misalign, owner=st.booleans(),
                     writeable=st.booleans(), subclass=st.booleans(), fill=st.integers(0, 2**16))


def hook_recipes(result):
    return st.builds(HookRecipe, action=st.sampled_from(["none", "raise", "call again", "change", "change"]),
                     which=st.integers(0, 7), change=st.sampled_from(sorted(ARRAY_CHANGES)),
                     swallow=st.booleans(), result=result)


numbers = st.one_of(
    st.sampled_from([0, 1, 2, 3, 0.5, 69.0, 440.0, SAMPLE_RATE, -1, 2**64]),
    st.integers(),
    st.floats(),
)
values = st.one_of(
    numbers,
    st.none(),
    st.booleans(),
    st.complex_numbers(),
    st.text(max_size=3),
    st.lists(st.floats(width=32), max_size=3),
    st.builds(np.float32, st.floats(width=32)),
    array_recipes(),
    hook_recipes(st.one_of(numbers, st.just("text"))),
)

# Values that a parameter accepts, so that calls get past their conversions often.
ARRAY_PARAMETERS = ("freqs", "samples", "signal", "alphas", "betas")
INDEX_PARAMETERS = ("i", "hop")
vectors = array_recipes(dtype=st.just("<f4"), step=st.just(1), misalign=st.just(0),
                        shape=st.tuples(st.sampled_from([0, 1, 3, 3, 8, 257])))
indices = st.integers(0, 4)
floats = st.one_of(st.floats(-1e5, 1e5), st.sampled_from([0.5, 69.0, 440.0, SAMPLE_RATE]))


@st.composite
def fitting(draw, param):
    """Mostly a value that fits the parameter or a hook returning one; sometimes anything."""
    choice = draw(st.integers(0, 4))
    if choice == 0:
        return draw(values)
    if param in ARRAY_PARAMETERS:
        return draw(vectors)
    good = indices if param in INDEX_PARAMETERS else floats
    return draw(hook_recipes(good) if choice <= 2 else good)


@dataclass(frozen=True)
class CallRecipe:
    entry: str
    positional: tuple
    keywords: tuple  # (name, value) pairs, repeats allowed
    foreign_self: object  # None, or a value to call the method on through the class


@st.composite
def calls(draw):
    """Mostly the right parameters, by position or keyword, with values that may fit; else anything."""
    entry = draw(st.sampled_from(sorted(ENTRY_POINTS)))
    params = ENTRY_POINTS[entry][0]
    if draw(st.integers(0, 3)) == 0:
        positional = tuple(draw(st.lists(values, max_size=len(params) + 1)))
        names = st.sampled_from(params + OTHER_KEYWORDS)
        keywords = tuple(draw(st.lists(st.tuples(names, values), max_size=3)))
    else:
        required = params[:2] if entry == "ResonatorBank" else params
        by_position = draw(st.integers(0, len(required)))
        positional = tuple(draw(fitting(p)) for p in required[:by_position])
        named = list(required[by_position:]) + [p for p in params[len(required):] if draw(st.booleans())]
        keywords = tuple((p, draw(fitting(p))) for p in named)
    foreign = entry in METHODS and draw(st.integers(0, 19)) == 0
    return CallRecipe(entry, positional, keywords, draw(values) if foreign else None)


# ---- running a recipe --------------------------------------------------------------------------

def make_bank():
    bank = marlune.ResonatorBank(FREQS, SAMPLE_RATE)
    bank.process_samples(PROBE)
    return bank


class Context:
    """The bank and its twin, and the arrays of the call with the buffers that own them."""

    def __init__(self):
        self.bank, self.twin = make_bank(), make_bank()
        self.arrays, self.owners = [], []


# Calls a hook makes while the outer call runs. Every one that succeeds on the bank is repeated on
# the twin, so that the two stay alike.
CALLS_AGAIN = [
    lambda bank, ctx: bank.process_sample(0.5),
    lambda bank, ctx: bank.reset(),
    lambda bank, ctx: bank.resonate(PROBE, 2),
    lambda bank, ctx: bank.magnitudes(),
    lambda bank, ctx: len(bank),
    lambda bank, ctx: bank.freq(99),
    lambda bank, ctx: [marlune.heuristic_alphas(a, SAMPLE_RATE) for a in ctx.arrays[:1]],
    lambda bank, ctx: marlune.ResonatorBank(FREQS, SAMPLE_RATE),
]


class Hook:
    def __init__(self, recipe, ctx):
        self.recipe, self.ctx = recipe, ctx

    def act(self):
        r, ctx = self.recipe, self.ctx
        if r.action == "raise":
            raise HookError
        if r.action == "change" and ctx.arrays:
            try:
                quietly(ARRAY_CHANGES[r.change], ctx.arrays[r.which % len(ctx.arrays)])
            except (ValueError, TypeError, AttributeError):
                pass  # NumPy refused this change for this array
        if r.action == "call again":
            call = CALLS_AGAIN[r.which % len(CALLS_AGAIN)]
            try:
                call(ctx.bank, ctx)
            except BaseException:
                if not r.swallow:
                    raise
            else:
                call(ctx.twin, ctx)
        return r.result

    __float__ = __index__ = act


def materialise(value, ctx):
    if isinstance(value, ArrayRecipe):
        array, owner = make_array(value)
        ctx.arrays.append(array)
        ctx.owners.append(owner)
        return array
    if isinstance(value, HookRecipe):
        return Hook(value, ctx)
    return value


def check_exception(exc, panic_exception):
    if isinstance(exc, HookError):
        return
    if type(exc) is RuntimeError:
        assert str(exc) in BORROW_ERRORS
    elif type(exc) is panic_exception:
        assert PANICS.fullmatch(str(exc)), str(exc)
    else:
        assert type(exc) in DOCUMENTED, repr(exc)


def same_hidden_state(bank, twin):
    """The same probe through both gives the same frames, bit for bit, only if their state matches."""
    return bank.resonate(PROBE, 1).tobytes() == twin.resonate(PROBE, 1).tobytes()


@given(recipe=calls())
def test_any_call_fails_cleanly(registry, panic_exception, recipe):
    ctx = Context()
    args = [materialise(v, ctx) for v in recipe.positional]
    kwargs = {}
    for name, value in recipe.keywords:
        kwargs[name] = materialise(value, ctx)
    call = ENTRY_POINTS[recipe.entry][1]
    if recipe.foreign_self is not None:
        method = getattr(marlune.ResonatorBank, recipe.entry)
        call = lambda bank, a, k: method(materialise(recipe.foreign_self, ctx), *a, **k)  # noqa: E731
    before = bank_state(ctx.bank)

    failure = None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NumPy's, from conversions of its scalars and arrays
        try:
            call(ctx.bank, args, kwargs)
        except BaseException as exc:
            failure = exc
    event(f"{recipe.entry}: {'ok' if failure is None else type(failure).__name__}")
    if failure is not None:
        check_exception(failure, panic_exception)

    bank_was_called = (recipe.entry in METHODS or recipe.entry == "len") and recipe.foreign_self is None
    if failure is not None and bank_was_called:
        assert bank_state(ctx.bank) == before
    if failure is not None or not bank_was_called:
        assert bank_state(ctx.bank) == bank_state(ctx.twin)
        assert same_hidden_state(ctx.bank, ctx.twin)
    for owner in ctx.owners:
        owner.flags.writeable = True
        assert registry.exclusive(owner) == GRANTED, recipe
        registry.return_exclusive(owner)
