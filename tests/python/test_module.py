"""The module's Python surface: names, signatures, the class's plain-object behaviour, import."""

import copy
import importlib.util
import inspect
import pickle
import sys
import weakref

import pytest

import marlune
from conftest import run_python

FUNCTIONS = {
    "midi_to_hz": "(midi, tuning)",
    "alpha_from_tau": "(tau, sample_rate)",
    "tau_from_alpha": "(alpha, sample_rate)",
    "heuristic_alpha": "(freq, sample_rate)",
    "heuristic_alphas": "(freqs, sample_rate)",
}

METHODS = {
    "process_sample": "(sample)",
    "process_samples": "(samples)",
    "resonate": "(signal, hop)",
    "reset": "()",
    "freq": "(i)",
    "magnitude": "(i)",
    "phase": "(i)",
    "power": "(i)",
    "complex": "(i)",
    "frequencies": "()",
    "magnitudes": "()",
    "phases": "()",
    "powers": "()",
}


def test_public_names_and_docstring():
    assert marlune.__all__ == [
        "ResonatorBank", "heuristic_alpha", "heuristic_alphas", "alpha_from_tau", "tau_from_alpha", "midi_to_hz",
    ]
    assert marlune.__doc__ == ""
    public = {name for name in vars(marlune) if not name.startswith("_")}
    assert public == set(marlune.__all__)


@pytest.mark.parametrize(("name", "signature"), FUNCTIONS.items())
def test_function_surface(name, signature):
    function = getattr(marlune, name)
    assert str(inspect.signature(function)) == signature
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__self__ is None
    assert function.__module__ == "marlune"
    assert function.__name__ == function.__qualname__ == name


def test_class_surface():
    cls = marlune.ResonatorBank
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "ResonatorBank"
    assert repr(cls) == "<class 'builtins.ResonatorBank'>"
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == ""  # the docstring is the text signature alone


@pytest.mark.skipif(
    sys.version_info < (3, 10), reason="CPython 3.9's PyType_FromSpec drops the signature from a class docstring"
)
def test_class_signature():
    assert str(inspect.signature(marlune.ResonatorBank)) == "(freqs, sample_rate, *, alphas=None, betas=None)"


@pytest.mark.parametrize(("name", "signature"), METHODS.items())
def test_method_surface(name, signature, make_bank):
    bound = getattr(make_bank([440.0]), name)
    assert str(inspect.signature(bound)) == signature
    descriptor = vars(marlune.ResonatorBank)[name]
    unbound_parameters = signature[1:-1]
    assert descriptor.__text_signature__ == "($self" + (", " + unbound_parameters if unbound_parameters else "") + ")"
    assert descriptor.__doc__ is None


def test_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (marlune.ResonatorBank,), {})


def test_instances_have_no_dict_and_no_weak_references(make_bank):
    bank = make_bank([440.0])
    with pytest.raises(AttributeError):
        bank.label = "piano"
    with pytest.raises(AttributeError):
        bank.reset = None
    assert not hasattr(bank, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(bank)


def test_plain_object_defaults(make_bank):
    bank, other = make_bank([440.0]), make_bank([440.0])
    assert repr(bank) == str(bank) == object.__repr__(bank)
    assert hash(bank) == object.__hash__(bank)
    assert bank == bank and bank != other


@pytest.mark.parametrize(
    "operation",
    [
        lambda bank: bank[0],
        lambda bank: iter(bank),
        lambda bank: pickle.dumps(bank),
        lambda bank: copy.copy(bank),
        lambda bank: bank < bank,
    ],
    ids=["item", "iter", "pickle", "copy", "order"],
)
def test_unsupported_object_protocols_fail(operation, make_bank):
    # The length is only a mapping length: a bank is neither a sequence nor picklable state.
    with pytest.raises(TypeError):
        operation(make_bank([440.0, 880.0]))


@pytest.mark.parametrize("channels", [0, 1, 3])
def test_length_and_truth_value(channels, make_bank):
    bank = make_bank([110.0 * (k + 1) for k in range(channels)])
    assert len(bank) == channels
    assert bool(bank) is (channels > 0)


@pytest.mark.parametrize("name", ["reset", "frequencies", "magnitudes", "phases", "powers"])
def test_methods_without_parameters_reject_arguments_like_builtins(name, make_bank):
    method = getattr(make_bank([440.0]), name)
    with pytest.raises(TypeError, match=rf"^(ResonatorBank\.)?{name}\(\) takes no arguments \(1 given\)$"):
        method(1)
    with pytest.raises(TypeError, match=rf"^(ResonatorBank\.)?{name}\(\) takes no keyword arguments$"):
        method(i=1)


@pytest.mark.parametrize(("name", "args"), [("reset", ()), ("freq", (0,)), ("process_sample", (1.0,))])
def test_methods_called_on_a_foreign_object_fail(name, args):
    with pytest.raises(TypeError, match="doesn't apply to a 'object' object"):
        getattr(marlune.ResonatorBank, name)(object(), *args)


def test_fresh_import_shares_the_class():
    out = run_python(
        """
        import importlib, sys
        import marlune as first
        del sys.modules["marlune"]
        second = importlib.import_module("marlune")
        assert second is not first
        assert second.ResonatorBank is first.ResonatorBank
        assert second.midi_to_hz is not first.midi_to_hz
        assert second.midi_to_hz(57, 440) == 220.0
        assert second.__all__ == first.__all__ and len(second.__all__) == 6
        print("ok")
        """
    )
    assert out == "ok\n"


@pytest.mark.skipif(
    not any(importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters")),
    reason="this interpreter cannot create subinterpreters from Python",
)
def test_import_in_a_subinterpreter_is_refused():
    # The class and the internal-failure type are shared by the whole process, so a second
    # interpreter must not get them.
    out = run_python(
        f"""
        import marlune
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        code = '''
        import os, sys
        sys.path[:] = {sys.path!r}
        try:
            import marlune
        except ImportError:
            os.write(1, b"refused\\\\n")
        else:
            os.write(1, b"imported\\\\n")
        '''
        try:
            interp = interpreters.create("legacy")  # shares the main interpreter's lock, as before 3.12
        except TypeError:
            interp = interpreters.create()
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)
        print(marlune.midi_to_hz(81, 440))
        """
    )
    assert out == "refused\n880.0\n"


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None,
                    reason="this interpreter was built without the _testcapi test module")
def test_a_subinterpreter_importing_first_does_not_lock_out_the_main_one():
    out = run_python(
        f"""
        import _testcapi
        code = '''
        import os, sys
        sys.path[:] = {sys.path!r}
        try:
            import marlune
        except ImportError as exc:
            os.write(1, b"refused: " + str(exc).encode() + b"\\\\n")
        '''
        _testcapi.run_in_subinterp(code)
        import marlune
        print(marlune.midi_to_hz(81, 440))
        """
    )
    assert out == ("refused: marlune can only be imported in the main interpreter: its class and "
                   "exception types are shared by the whole process\n880.0\n")
