"""Loading NumPy at the first array call, its version tests, and finding the borrow registry.

Each case runs in a fresh interpreter, because NumPy access and the registry are looked up once
per process and kept.
"""

import json
import textwrap

import pytest

from conftest import MULTIARRAY, run_python

NUMPY_PREFIX = "Failed to access NumPy array API capsule: "
REGISTRY_PREFIX = "Internal borrow checking API error: "
PANIC = "pyo3_runtime.PanicException"

PRELUDE = '''
import ctypes, importlib, json, sys

def outcome(call):
    try:
        value = call()
    except BaseException as exc:
        return {"error": type(exc).__module__ + "." + type(exc).__qualname__, "message": str(exc)}
    return {"error": None, "value": value}
'''


def run(script, tmp_path):
    """Runs `script` after PRELUDE in a new interpreter; returns the JSON it prints last."""
    out = run_python(PRELUDE + textwrap.dedent(script), cwd=tmp_path)
    return json.loads(out.strip().splitlines()[-1])


def assert_panic(result, prefix, *parts):
    assert result["error"] == PANIC, result
    assert result["message"].startswith(prefix), result["message"]
    for part in parts:
        assert part in result["message"], result["message"]


def rendering(type_name, message):
    """The start of the rendering of an error raised by native code (no traceback)."""
    return f"PyErr {{ type: <class '{type_name}'>, value: {type_name}({message!r}), traceback: None }}"


# ---- NumPy missing -----------------------------------------------------------------------------

def test_without_numpy_scalars_work_and_arrays_fail_until_numpy_imports(tmp_path):
    result = run('''
        sys.modules["numpy"] = None
        import marlune
        r = {
            "midi_to_hz": outcome(lambda: marlune.midi_to_hz(69.0, 440.0)),
            "heuristic_alpha": outcome(lambda: marlune.heuristic_alpha(440.0, 48000.0)),
            "heuristic_alphas": outcome(lambda: marlune.heuristic_alphas([440.0], 48000.0)),
            "constructor": outcome(lambda: marlune.ResonatorBank([440.0], 48000.0)),
            "again": outcome(lambda: marlune.heuristic_alphas([440.0], 48000.0)),
        }
        del sys.modules["numpy"]
        import numpy as np
        freqs = np.array([440.0], dtype=np.float32)
        r["later"] = outcome(lambda: marlune.heuristic_alphas(freqs, 48000.0).tolist())
        r["later list"] = outcome(lambda: marlune.heuristic_alphas([440.0], 48000.0))
        print(json.dumps(r))
    ''', tmp_path)
    assert result["midi_to_hz"] == {"error": None, "value": 440.0}
    assert result["heuristic_alpha"]["error"] is None
    for key in ["heuristic_alphas", "constructor", "again"]:
        assert_panic(result[key], NUMPY_PREFIX, "PyErr { type: <class 'ModuleNotFoundError'>")
    # Nothing was kept from the failed attempts.
    assert result["later"]["error"] is None and len(result["later"]["value"]) == 1
    assert result["later list"]["error"] == "builtins.TypeError"
    assert result["later list"]["message"] == "'list' object is not an instance of 'ndarray'"


# ---- a stand-in NumPy with a chosen version, ABI, feature level and byte order -------------------

MULTIARRAY_STUB = '''
import ctypes

_keep = []

def _returning(restype, value):
    function = ctypes.CFUNCTYPE(restype)(lambda: value)
    _keep.append(function)
    return ctypes.cast(function, ctypes.c_void_p).value

# Only the slots read before the tests decide are filled: every stub fails one of the tests.
_table = (ctypes.c_void_p * 300)()
_table[0] = _returning(ctypes.c_uint, {abi})
_table[210] = _returning(ctypes.c_int, {endianness})
_table[211] = _returning(ctypes.c_uint, {feature})
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = {capsule}
'''


def stub_numpy(root, version="2.1.0", major="2", core="_core", abi=0x2000000, feature=0x13, endianness=1,
               capsule="_new(ctypes.addressof(_table), None, None)", extra=""):
    package = root / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / core).mkdir()
    (package / "__init__.py").write_text(f"__version__ = {version!r}\n")
    (package / "lib" / "__init__.py").write_text(extra + textwrap.dedent(f'''
        class NumpyVersion:
            def __init__(self, vstring):
                assert vstring == {version!r}
                self.major = {major}
    '''))
    (package / core / "__init__.py").write_text("")
    (package / core / "multiarray.py").write_text(
        MULTIARRAY_STUB.format(abi=abi, feature=feature, endianness=endianness, capsule=capsule))


STUBS = {
    "abi too new": (
        {"version": "1.26.4", "major": "1", "core": "core", "abi": 0x2000001, "feature": 0x11},
        rendering("RuntimeError",
                  "module compiled against ABI version 0x2000000 but this version of numpy is 0x2000001"),
    ),
    "feature level too old": (
        {"version": "2.1.0", "major": "2", "core": "_core", "feature": 0xB},
        rendering("RuntimeError", "module was compiled against NumPy C-API version 0xc (NumPy 1.15) "
                                  "but the running NumPy has C-API version 0xb"),
    ),
    "feature level zero": (
        {"version": "1.15.0", "major": "1", "core": "core", "abi": 0x1000009, "feature": 0},
        rendering("RuntimeError", "module was compiled against NumPy C-API version 0xc (NumPy 1.15) "
                                  "but the running NumPy has C-API version 0x0"),
    ),
    "big endian": (
        {"version": "1.15.0", "major": "1", "core": "core", "abi": 0x1000009, "feature": 0xC, "endianness": 2},
        rendering("RuntimeError", "module compiled as little endian, but detected different endianness at runtime"),
    ),
    "table not a capsule": (
        {"capsule": "5"},
        rendering("TypeError", "'int' object is not an instance of 'PyCapsule'"),
    ),
    "capsule with a name": (
        {"capsule": "_new(ctypes.addressof(_table), b'other', None)"},
        rendering("ValueError", "PyCapsule_GetPointer called with incorrect name"),
    ),
    "major through __index__": (
        {"major": "Index()", "extra": "class Index:\n    def __index__(self):\n        return 3\n", "feature": 0xB},
        rendering("RuntimeError", "module was compiled against NumPy C-API version 0xc (NumPy 1.15) "
                                  "but the running NumPy has C-API version 0xb"),
    ),
    "major too large": (
        {"major": "256"},
        rendering("OverflowError", "out of range integral type conversion attempted"),
    ),
    "major negative": (
        {"major": "-1"},
        rendering("OverflowError", "out of range integral type conversion attempted"),
    ),
    "major not an integer": (
        {"major": "'2'"},
        rendering("TypeError", "'str' object cannot be interpreted as an integer"),
    ),
    "NumPy 1 without numpy.core": (
        {"version": "1.26.4", "major": "1", "core": "_core"},
        "PyErr { type: <class 'ModuleNotFoundError'>, value: ModuleNotFoundError(\"No module named 'numpy.core'\")",
    ),
    "NumPy 2 without numpy._core": (
        {"version": "2.0.0", "major": "2", "core": "core"},
        "PyErr { type: <class 'ModuleNotFoundError'>, value: ModuleNotFoundError(\"No module named 'numpy._core'\")",
    ),
}


@pytest.mark.parametrize(("stub", "expected"), STUBS.values(), ids=STUBS.keys())
def test_numpy_that_fails_a_test_is_refused(tmp_path, stub, expected):
    stub_numpy(tmp_path / "stub", **stub)
    result = run(f'''
        sys.path.insert(0, {str(tmp_path / "stub")!r})
        import marlune
        print(json.dumps({{
            "first": outcome(lambda: marlune.heuristic_alphas([1.0], 48000.0)),
            "second": outcome(lambda: marlune.ResonatorBank([1.0], 48000.0)),
            "scalar": outcome(lambda: marlune.alpha_from_tau(0.5, 48000.0)),
            "numpy": sys.modules["numpy"].__file__,
        }}))
    ''', tmp_path)
    assert result["numpy"].startswith(str(tmp_path / "stub"))
    assert_panic(result["first"], NUMPY_PREFIX + expected)
    assert_panic(result["second"], NUMPY_PREFIX + expected)
    assert result["scalar"]["error"] is None


# ---- finding the registry ----------------------------------------------------------------------

FOREIGN_RECORD = '''
Borrow = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
Return = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("borrow_shared", Borrow), ("borrow_exclusive", Borrow),
                ("return_shared", Return), ("return_exclusive", Return)]

calls = []

def borrow_shared(state, array):
    calls.append(("borrow_shared", state, array))
    return SHARED_CODE

def borrow_exclusive(state, array):
    calls.append(("borrow_exclusive", state, array))
    return 0

def return_shared(state, array):
    calls.append(("return_shared", state, array))

def return_exclusive(state, array):
    calls.append(("return_exclusive", state, array))

record = Record(VERSION, 12345, Borrow(borrow_shared), Borrow(borrow_exclusive),
                Return(return_shared), Return(return_exclusive))
name = ctypes.create_string_buffer(NAME)
new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
capsule = new(ctypes.addressof(record), ctypes.addressof(name), None)
'''


def registry_script(value_setup, after=""):
    return f'''
        import numpy as np
        module = importlib.import_module({MULTIARRAY!r})
        {value_setup}
        import marlune
        x = np.arange(4, dtype=np.float32)
        r = {{
            "first": outcome(lambda: marlune.heuristic_alphas(x, 48000.0).tolist()),
            "second": outcome(lambda: marlune.ResonatorBank(x, 48000.0, alphas=x) and None),
            "scalar": outcome(lambda: marlune.midi_to_hz(60.0, 440.0)),
        }}
        {after}
        print(json.dumps(r))
    '''


def foreign(version=1, shared_code=0, name="_RUST_NUMPY_BORROW_CHECKING_API"):
    setup = FOREIGN_RECORD.replace("SHARED_CODE", str(shared_code)).replace("VERSION", str(version))
    setup = setup.replace("NAME", repr(name.encode()))
    return setup + "setattr(module, '_RUST_NUMPY_BORROW_CHECKING_API', capsule)\n"


BROKEN = {
    "not a capsule": (
        "setattr(module, '_RUST_NUMPY_BORROW_CHECKING_API', 42)",
        rendering("TypeError", "'int' object is not an instance of 'PyCapsule'"),
    ),
    "capsule of another name": (
        "setattr(module, '_RUST_NUMPY_BORROW_CHECKING_API', module._ARRAY_API)",
        rendering("ValueError", "PyCapsule_GetPointer called with incorrect name"),
    ),
    "renamed foreign record": (
        foreign(name="other"),
        rendering("ValueError", "PyCapsule_GetPointer called with incorrect name"),
    ),
    "version 0": (
        foreign(version=0),
        rendering("TypeError", "Version 0 of borrow checking API is not supported by this version of marlune"),
    ),
}


@pytest.mark.parametrize(("setup", "expected"), BROKEN.values(), ids=BROKEN.keys())
def test_broken_registry_attribute(tmp_path, setup, expected):
    result = run(registry_script(textwrap.indent(setup, " " * 8).strip(), '''
        delattr(module, "_RUST_NUMPY_BORROW_CHECKING_API")
        r["repaired"] = outcome(lambda: marlune.heuristic_alphas(x, 48000.0).tolist())
        r["created"] = repr(getattr(module, "_RUST_NUMPY_BORROW_CHECKING_API"))
    '''), tmp_path)
    assert_panic(result["first"], REGISTRY_PREFIX + expected)
    assert_panic(result["second"], REGISTRY_PREFIX + expected)
    assert result["scalar"]["error"] is None
    # Nothing was kept: with the attribute gone, the module creates and publishes a registry.
    assert result["repaired"]["error"] is None
    assert result["created"].startswith('<capsule object "_RUST_NUMPY_BORROW_CHECKING_API" at ')


def foreign_script(shared_code, version=1):
    setup = textwrap.indent(foreign(version=version, shared_code=shared_code), " " * 8).strip()
    return registry_script(setup, '''
        r["calls"] = [(kind, state, array is x) for kind, state, array in calls]
        r["same capsule"] = getattr(module, "_RUST_NUMPY_BORROW_CHECKING_API") is capsule
    ''')


@pytest.mark.parametrize("version", [1, 2, 2**64 - 1])
def test_a_registry_made_elsewhere_is_used(tmp_path, version):
    result = run(foreign_script(0, version), tmp_path)
    assert result["first"]["error"] is None
    assert result["second"]["error"] is None
    assert result["same capsule"]
    assert result["calls"] == [
        ["borrow_shared", 12345, True], ["return_shared", 12345, True],  # heuristic_alphas
        ["borrow_shared", 12345, True], ["borrow_shared", 12345, True],  # constructor
        ["return_shared", 12345, True], ["return_shared", 12345, True],
    ]


@pytest.mark.parametrize(
    ("code", "ending"),
    [
        (-1, "AlreadyBorrowed"),
        (-2, "Unexpected return code -2 from borrow checking API"),
        (1, "Unexpected return code 1 from borrow checking API"),
        (2**31 - 1, f"Unexpected return code {2**31 - 1} from borrow checking API"),
    ],
)
def test_refusals_of_a_registry_made_elsewhere(tmp_path, code, ending):
    result = run(foreign_script(code), tmp_path)
    for key in ["first", "second"]:
        assert result[key]["error"] == PANIC
        assert result[key]["message"].endswith(ending)
    if code != -1:
        assert result["first"]["message"] == ending
    # A refused borrow is not given back; the constructor stops at its first array.
    assert result["calls"] == [["borrow_shared", 12345, True]] * 2


# ---- first use from many threads at once -------------------------------------------------------

def test_first_array_calls_from_many_threads(tmp_path):
    result = run(f'''
        import threading
        import numpy as np
        import marlune
        barrier = threading.Barrier(8)
        results = [None] * 8

        def work(k):
            x = np.full(100 + k, 1.0, dtype=np.float32)
            barrier.wait()
            try:
                bank = marlune.ResonatorBank(x[:3], 48000.0)
                results[k] = [marlune.heuristic_alphas(x, 48000.0).shape[0],
                              list(bank.resonate(x, 10).shape), type(bank.powers().base).__name__]
            except BaseException as exc:
                results[k] = repr(exc)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        module = importlib.import_module({MULTIARRAY!r})
        print(json.dumps({{"results": results,
                          "capsule": repr(getattr(module, "_RUST_NUMPY_BORROW_CHECKING_API"))}}))
    ''', tmp_path)
    assert result["results"] == [[100 + k, [(100 + k) // 10, 3], "PySliceContainer"] for k in range(8)]
    assert result["capsule"].startswith('<capsule object "_RUST_NUMPY_BORROW_CHECKING_API"')
