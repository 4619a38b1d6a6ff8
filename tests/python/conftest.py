"""Shared fixtures and helpers.

Fixtures: a bank factory, the internal-failure exception type, libm's float32 functions and the
shared borrow registry. Helpers, imported with `from conftest import ...`: the registry's record
and return codes, float32 comparison, the interpreter's own conversion errors and the notes on
them, NumPy's multiarray module and a fresh interpreter; for the tools: optional imports, the
console script, audio files, and for the live views the snapshots of a signal and a headless
browser. Also the profiles of the property-based tests.


console script, audio files and a terminal to run a program in and read (tmux). Also the
profiles of the property-based tests.
"""

import contextlib
import ctypes
import importlib
import math
import operator
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import types
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import marlune

# Property-based tests: a few thousand examples in the test command; `--hypothesis-profile=thorough`
# runs a hundred thousand. No example database: every run starts afresh and leaves nothing behind.
_common = dict(deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("default", max_examples=3000, **_common)
settings.register_profile("thorough", max_examples=100_000, **_common)
settings.load_profile("default")


def pytest_report_header(config):
    # The kernels session of noxfile.py builds the module for one kernel at a time and names it;
    # any other build uses the first kernel that the CPU supports, which the module does not say.
    kernel = os.environ.get("MARLUNE_TEST_KERNEL") or "the first this CPU supports (nox -s kernels runs each)"
    return f"marlune kernel: {kernel}"


def _leak_checks(session):
    """The modules among the selected tests' that start a check of their own (test_leaks.py)."""
    return {item.module for item in session.items if hasattr(getattr(item, "module", None), "start_check")}


def pytest_collection_finish(session):
    # The leak check runs in a process of its own for over a minute: started now, it overlaps the
    # tests that come before it instead of holding the run up when its tests are reached.
    for module in _leak_checks(session):
        module.start_check()


def pytest_sessionfinish(session):
    for module in _leak_checks(session):
        module.stop_check()


@pytest.fixture
def make_bank():
    """Builds a bank from plain Python sequences, passed on as float32 arrays."""

    def make(freqs, sample_rate=48000.0, **coefficients):
        arrays = {
            name: None if value is None else np.asarray(value, dtype=np.float32)
            for name, value in coefficients.items()
        }
        return marlune.ResonatorBank(np.asarray(freqs, dtype=np.float32), sample_rate, **arrays)

    return make


@pytest.fixture(scope="session")
def panic_exception():
    """The exception type of internal failures, obtained by reading past the end of an empty bank."""
    bank = marlune.ResonatorBank(np.zeros(0, dtype=np.float32), 48000.0)
    try:
        bank.magnitude(0)
    except BaseException as exc:  # the type is not importable; catching it is the only way to get it
        return type(exc)
    pytest.fail("reading channel 0 of an empty bank did not fail")


@pytest.fixture(scope="session")
def libm():
    """The C library's single-precision functions, taking and returning numpy.float32."""
    lib = ctypes.CDLL("libm.so.6")

    def wrap(name, arity):
        fn = getattr(lib, name)
        fn.restype = ctypes.c_float
        fn.argtypes = [ctypes.c_float] * arity
        return lambda *args: np.float32(fn(*(float(a) for a in args)))

    unary = ("expf", "exp2f", "logf", "log10f", "cosf", "sinf")
    return types.SimpleNamespace(atan2f=wrap("atan2f", 2), **{name: wrap(name, 1) for name in unary})


# NumPy's multiarray module, home of the C-API capsule and of the shared borrow registry; NumPy 2
# moved it.
MULTIARRAY = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"


# The shared borrow registry: its capsule and the return codes of its borrow functions.
CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
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
    """The borrow registry's record in its capsule, with the calls another module would make."""

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


@pytest.fixture(scope="session")
def registry():
    """The registry in use, created by the module's first array call if nobody had made one."""
    marlune.heuristic_alphas(np.ones(2, dtype=np.float32), 48000.0)
    return Registry(getattr(multiarray(), CAPSULE_NAME))


# Ways in which user code can change an array in place while a call holds it.
ARRAY_CHANGES = {
    "resized to zero dimensions": lambda a: a.resize((), refcheck=False),
    "reshaped to two dimensions": lambda a: setattr(a, "shape", (2, a.size // 2)),
    "retyped to int8": lambda a: setattr(a, "dtype", np.int8),
    "retyped to float64": lambda a: setattr(a, "dtype", np.float64),
    "byte order swapped": lambda a: setattr(a, "dtype", a.dtype.newbyteorder()),
    "strides set to zero": lambda a: setattr(a, "strides", (0,) * a.ndim),
    "resized to more elements": lambda a: a.resize((4 * a.size + 1,), refcheck=False),
}


def quietly(change, array):
    """Runs change(array) with NumPy 2's deprecation of setting shape, dtype or strides silenced."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        change(array)


def bank_state(bank):
    """Everything a bank shows without being changed: channel count, frequencies and smoothed values."""
    return len(bank), bank.frequencies().tobytes(), np.array([bank.complex(i) for i in range(len(bank))]).tobytes()


def sanitized():
    """Whether this interpreter runs with AddressSanitizer loaded (memory figures mean little then)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def same(got, want):
    """Equal as float32 values, signed zeros distinguished; any NaN matches any NaN."""
    want = float(want)
    if math.isnan(want):
        return math.isnan(got)
    return got == want and math.copysign(1.0, got) == math.copysign(1.0, want)


def to_double(value):
    """The interpreter's float conversion (PyFloat_AsDouble)."""
    fn = ctypes.pythonapi.PyFloat_AsDouble
    fn.argtypes, fn.restype = [ctypes.py_object], ctypes.c_double
    return fn(value)


def to_u64(value):
    """The interpreter's conversion to an unsigned 64-bit integer, after __index__ for non-ints."""
    fn = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    fn.argtypes, fn.restype = [ctypes.py_object], ctypes.c_ulonglong
    return fn(value if isinstance(value, int) else operator.index(value))


def interpreter_error(convert, value):
    """The exception that `convert` (to_double or to_u64) raises for value."""
    try:
        convert(value)
    except Exception as exc:
        return exc
    pytest.fail(f"{value!r} converts")


def assert_noted(exc, name):
    """Conversion errors carry the argument's name where the interpreter has exception notes."""
    if sys.version_info >= (3, 11):
        assert exc.__notes__ == [f"while processing '{name}'"]
    else:
        assert not hasattr(exc, "__notes__")


def run_python(code, cwd=None):
    """Runs `code` (dedented) in a new interpreter, which must succeed; returns what it printed."""
    # The limit only turns a hang into a failure; nothing here is timed.
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=cwd, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def unavailable(reason):
    """Something the test command installs is missing: the test fails under CI and skips elsewhere."""
    if os.environ.get("CI"):
        pytest.fail(reason)
    pytest.skip(reason)


def require(module):
    """Imports an optional test dependency; without it the test fails under CI and skips elsewhere."""
    try:
        return importlib.import_module(module)
    except ImportError:
        unavailable(f"{module} is not installed (scripts/run-tests installs it)")


def marlune_command(*args):
    """The console script's command line, with the arguments as strings (or bytes, kept as they are)."""
    return [str(Path(sys.executable).with_name("marlune")), *(a if isinstance(a, bytes) else str(a) for a in args)]


def run_marlune(*args, cwd=None, timeout=300):
    """Runs the console script with the current interpreter's environment; returns the finished process.

    `timeout` only turns a hang into a failure: nothing is timed.
    """
    return subprocess.run(marlune_command(*args), capture_output=True, text=True, errors="backslashreplace",
                          cwd=cwd, timeout=timeout)


def assert_refused(done, cause=""):
    """The command's contract for bad input: status 2, one line on standard error naming `cause`, no output."""
    assert (done.returncode, done.stdout) == (2, ""), done.stderr
    assert done.stderr.startswith("marlune: ") and done.stderr.count("\n") == 1, done.stderr
    assert cause in done.stderr


def tree(folder):
    """Everything under `folder`: each name with its kind, permissions, size and modification time."""
    found = {}
    for root, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(root, name)
            info = os.lstat(path)
            found[os.path.relpath(path, folder)] = (info.st_mode, info.st_size, info.st_mtime_ns, info.st_rdev)
    return found


def write_audio(path, samples, rate, subtype=None):
    """Writes float samples (frames or frames x channels) to an audio file with soundfile."""
    require("soundfile").write(str(path), samples, int(rate), subtype=subtype)
    return path


def broken_flac(path, frames, rate, fault):
    """A FLAC file of a tone that only fails once read past its start: "cut" in half, or "lying",
    its header giving ten times the samples that it holds."""
    tone = 0.5 * np.sin(2 * np.pi * 440 * np.arange(frames) / rate)
    data = bytearray(Path(write_audio(path, tone, rate)).read_bytes())
    if fault == "cut":
        del data[len(data) // 2:]
    else:
        # The sample count: the low 36 bits of the 8 bytes at 18, in the STREAMINFO block that
        # follows "fLaC" and the block's 4-byte header.
        field = int.from_bytes(data[18:26], "big")
        data[18:26] = (field & ~((1 << 36) - 1) | 10 * frames).to_bytes(8, "big")
    Path(path).write_bytes(bytes(data))
    return path


@pytest.fixture(scope="session")
def render(tmp_path_factory):
    """Renders a piece of renders.py to float32 samples, each piece once per session. Without
    fluidsynth and its soundfont the test fails under CI and skips elsewhere."""
    import renders

    require("mido")
    require("soundfile")
    missing = renders.available()
    if missing:
        unavailable(missing)
    cache = tmp_path_factory.mktemp("renders")
    return lambda piece: renders.render(piece, cache)


def live_snapshots(samples, sample_rate, numbers, hop, per=4):
    """What the analysis hands the live displays for `samples`: the `Setup`, and a `Snapshot` of
    every `per` frames, with levels in dB from a marlune bank and the notes of a `NoteTracker`."""
    from marlune_tools.live.snapshot import Setup, Snapshot, Status
    from marlune_tools.transcribe import FULL_SCALE, NoteTracker, bank_for

    numbers = np.asarray(numbers, dtype=np.float64)
    bank = bank_for(numbers, sample_rate)
    frames = bank.resonate(np.asarray(samples, dtype=np.float32), hop)
    with np.errstate(divide="ignore"):
        levels = (20 * np.log10(np.abs(frames) / FULL_SCALE)).astype(np.float32)
    tracker = NoteTracker(numbers, sample_rate, hop)
    frequencies = np.array([bank.freq(i) for i in range(len(bank))], dtype=np.float32)
    setup = Setup("test signal", float(sample_rate), hop, hop, numbers, frequencies, 0.0, tracker.delay_frames)
    snapshots = []
    for start in range(0, len(frames), per):
        chunk = slice(start, start + per)
        ended = tracker.push(frames[chunk])
        end = start + len(frames[chunk])
        status = Status(end * hop / sample_rate, 0.001, 0.002, 0.003, 0, 0.05)
        peak = float(np.abs(samples[start * hop:end * hop]).max(initial=0.0))
        peak_db = 20 * math.log10(peak) if peak > 0 else -math.inf
        snapshots.append(Snapshot(end * hop / sample_rate, levels[chunk], peak_db, tuple(tracker.sounding),
                                  tuple(ended), status))
    return setup, snapshots


@pytest.fixture(scope="module")
def browser():
    """Headless Chromium (browser.py). Without it, or without websockets, the test fails under CI
    and skips elsewhere."""
    import browser as headless

    require("websockets")
    missing = headless.available()
    if missing:
        unavailable(missing)
    chromium = headless.Browser()
    yield chromium
    chromium.close()


class Pulse:
    """A PulseAudio server of the test's own, with one null sink: what is played into the sink can
    be recorded from its monitor. `env` reaches it (and only it) from a child process."""

    SINK = "marlune_test"

    def __init__(self, folder):
        self.folder = Path(folder)
        runtime, home = self.folder / "runtime", self.folder / "home"
        runtime.mkdir(parents=True)
        home.mkdir()
        socket = runtime / "native"
        self.env = {**os.environ, "HOME": str(home), "PULSE_RUNTIME_PATH": str(runtime),
                    "XDG_RUNTIME_DIR": str(runtime), "PULSE_SERVER": f"unix:{socket}",
                    "PULSE_SOURCE": f"{self.SINK}.monitor", "PULSE_SINK": self.SINK}
        # The server and its tools are not under test: under the sanitizers' preloaded runtimes
        # pulseaudio and pactl hang, while the recording client runs with them.
        self.tools_env = {name: value for name, value in self.env.items() if name != "LD_PRELOAD"}
        # -n: no default script (no user or system configuration); no cookie needed on this socket.
        self.log = self.folder / "pulseaudio.log"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                 "--disable-shm=yes", "--log-target=stderr",
                 "-L", f"module-native-protocol-unix socket={socket} auth-anonymous=1",
                 "-L", f"module-null-sink sink_name={self.SINK}"],
                env=self.tools_env, stdout=subprocess.DEVNULL, stderr=log)
        self.wait_for(lambda: self.SINK in self.pactl("list", "short", "sinks"), "the null sink")

    def pactl(self, *args):
        done = subprocess.run(["pactl", *args], env=self.tools_env, capture_output=True, text=True, timeout=30)
        return done.stdout if done.returncode == 0 else ""

    def wait_for(self, ready, what):
        """Polls `ready` until it holds; the limit turns a server that never gets there into a failure."""
        for _ in range(300):
            if self.process.poll() is not None:
                pytest.fail(f"pulseaudio ended: {self.log.read_text(errors='replace')[-2000:]}")
            if ready():
                return
            time.sleep(0.05)
        pytest.fail(f"pulseaudio: no {what} after 15 s")

    def recording(self):
        """Whether a client is recording from the server with the stream that its sound comes from.

        PortAudio's ALSA layer prepares the device when it opens a stream and again when it starts
        it, and ALSA's pulse plugin connects a new recording stream at each prepare: the first
        (source output #0 on this fresh server) is gone before the program reads any sound.
        Playing as soon as that one appears races the second: the null sink hands its monitor
        what it plays in bursts of up to 2 s, and a burst handed out before the second stream is
        connected never reaches it, so that whole notes at the start of what is played go
        unheard."""
        outputs = self.pactl("list", "short", "source-outputs").splitlines()
        return any(int(line.split()[0]) >= 1 for line in outputs if line.strip())

    def play(self, path):
        subprocess.run(["paplay", "--device", self.SINK, str(path)], env=self.tools_env, check=True, timeout=60)

    def kill(self):
        self.process.kill()
        self.process.wait()

    def freeze(self):
        """The server hangs: it keeps its clients connected and sends them nothing."""
        self.process.send_signal(signal.SIGSTOP)


@pytest.fixture
def pulse(tmp_path):
    """A private PulseAudio server (see `Pulse`), stopped after the test. Without pulseaudio, paplay
    or PortAudio the test fails under CI and skips elsewhere."""
    for command in ("pulseaudio", "paplay", "pactl"):
        if shutil.which(command) is None:
            unavailable(f"{command} is not installed (scripts/run-tests installs it)")
    require("sounddevice")
    server = Pulse(tmp_path / "pulse")
    yield server
    server.kill()


class Tmux:
    """A terminal to run a program in and read: a tmux server on a socket of its own (a path in
    the test's folder, so that nothing is left behind), without any configuration, holding one
    detached terminal of the given size."""

    def __init__(self, socket, command, width, height):
        self.socket = str(socket)
        self.run("new-session", "-d", "-s", "main", "-x", str(width), "-y", str(height), command)

    def run(self, *args):
        done = subprocess.run(["tmux", "-S", self.socket, "-f", "/dev/null", *args], capture_output=True, text=True,
                              timeout=30)
        assert done.returncode == 0, done.stderr
        return done.stdout

    def screen(self, colours=False):
        """The visible rows, as text (with the SGR sequences if `colours`)."""
        return self.run("capture-pane", "-p", "-t", "main", *(["-e"] if colours else [])).split("\n")[:-1]

    def flags(self):
        """Whether the program is on the alternate screen, the cursor is shown and lines wrap."""
        names = ("alternate_on", "cursor_flag", "wrap_flag")
        values = self.run("display-message", "-p", "-t", "main", " ".join(f"#{{{n}}}" for n in names)).split()
        return dict(zip(names, map(int, values)))

    def wait_for(self, condition, what, limit=60.0):
        """Reads the screen until `condition(rows)` holds; returns the rows. The limit only turns
        a hang into a failure: nothing is timed."""
        end = time.monotonic() + limit
        while True:
            rows = self.screen()
            if condition(rows):
                return rows
            if time.monotonic() > end:
                pytest.fail(f"the screen never showed {what}:\n" + "\n".join(rows))
            time.sleep(0.1)

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True, check=False)


@pytest.fixture
def tmux(tmp_path):
    """Starts programs in terminals of their own: tmux(command, width, height). Without tmux the
    test fails under CI and skips elsewhere."""
    if shutil.which("tmux") is None:
        unavailable("tmux is not installed (scripts/run-tests installs it)")
    servers = []

    def start(command, width=80, height=24):
        servers.append(Tmux(tmp_path / f"tmux-{len(servers)}", command, width, height))
        return servers[-1]

    yield start
    for server in servers:
        server.close()
