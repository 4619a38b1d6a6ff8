"""Many files at once: one task per file, on local processes or on a Dask cluster.

Each task reads its file, builds its own bank (banks hold state and are deliberately not
picklable, so they never travel) and writes its outputs itself, whole or not at all; only the
small summary comes back. The work is the same on any process or machine, so the results are
the same bits either way. On a cluster, the workers must see the input and output paths (a
shared file system); paths are sent as absolute paths.

A run that stops early (a failed file, a lost worker, Ctrl-C) tells the tasks still running to
stop, waits for them (they look between blocks of audio and before renaming their outputs), and
removes any temporary file left behind, so that no output appears after `run_all` has returned.
"""

from __future__ import annotations

import dataclasses
import multiprocessing
import os
import secrets
import signal
import inspect
import socket
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from contextlib import ExitStack, contextmanager, suppress
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Protocol, Tuple, TypeVar, cast

import numpy as np
import numpy.typing as npt

from marlune_tools import audio, npz
from marlune_tools.analysis import analyse, analyse_file, check_file
from marlune_tools.errors import FileError
from marlune_tools.output import remove_leftovers, replacing
from marlune_tools.settings import Settings
from marlune_tools.spectrogram import Spectrogram
from marlune_tools.transcribe import NoteEvent, boxes, transcribe

if TYPE_CHECKING:
    from distributed import Client

# How long connecting to a scheduler may take, its first answer included: a host that does not
# answer, or a listener that is not a Dask scheduler, is reported after this many seconds.
CONNECT_SECONDS = 10.0
# How long a cluster run waits for its running tasks to stop after a failure or Ctrl-C.
STOP_SECONDS = 60.0


@dataclass(frozen=True)
class Job:
    path: str  # the audio file
    npz: str | None  # where the frames go, or None
    png: str | None = None  # where the picture goes, or None
    settings: Settings = Settings()
    channel: int | None = None  # one channel instead of the mono mix
    overlay: bool = False  # the detected notes outlined on the picture

    def outputs(self) -> list[str]:
        return [path for path in (self.npz, self.png) if path is not None]

    def absolute(self) -> Job:
        return dataclasses.replace(self, path=os.path.abspath(self.path), npz=_absolute(self.npz),
                                   png=_absolute(self.png))

    def run(self, stop: Callable[[], bool] | None = None) -> Summary:
        return run(self, stop=stop)


def _absolute(path: str | None) -> str | None:
    return None if path is None else os.path.abspath(path)


R = TypeVar("R", covariant=True)


class Task(Protocol[R]):
    """What `run_all` runs: one input file, the outputs it writes, and the work itself.

    A task is sent to other processes and machines as it is, so it must be picklable, and
    `run` must write its outputs whole or not at all and raise `Stopped` (writing nothing) once
    `stop` says yes.
    """

    @property
    def path(self) -> str: ...  # the input, named in errors

    def outputs(self) -> list[str]: ...

    def absolute(self) -> Task[R]: ...  # the same task with absolute paths

    def run(self, stop: Callable[[], bool] | None = None) -> R: ...


@dataclass(frozen=True)
class Summary:
    job: Job
    seconds: float  # length of the analysed audio
    frames: int
    channels: int
    notes: tuple[NoteEvent, ...]  # the notes played, in onset order


class Stopped(Exception):
    """A task told to stop before it finished; it wrote nothing."""


def run(job: Job, progress: bool = False, stop: Callable[[], bool] | None = None) -> Summary:
    """Analyses one file and writes its outputs; runs in whichever process gets the task.

    `stop`, if given, is asked between blocks and before the outputs are renamed; when it says
    yes the task raises `Stopped` and leaves no file.
    """
    if stop is None:
        spectrogram = analyse_file(job.path, job.settings, channel=job.channel, progress=progress)
    else:
        found = check_file(job.path, job.settings, channel=job.channel)
        blocks = until_stopped(stop, audio.blocks(job.path, channel=job.channel))
        spectrogram = analyse(blocks, found.sample_rate, job.settings, length=found.frames)
    return deliver(spectrogram, job, stop)


def until_stopped(stop: Callable[[], bool], blocks: Iterable[npt.NDArray[np.float32]]) -> Iterator[npt.NDArray[np.float32]]:
    """The blocks, or `Stopped` at the first block after `stop` says yes."""
    for block in blocks:
        if stop():
            raise Stopped
        yield block


def deliver(spectrogram: Spectrogram, job: Job, stop: Callable[[], bool] | None = None) -> Summary:
    """Writes a job's outputs from its spectrogram and sums it up with its notes (tracked on the
    spectrogram's own frames if the analysis did not track them).

    Both files are written under temporary names and renamed only once both are complete, so a
    failure or an interruption leaves neither.
    """
    events = spectrogram.events
    if events is None:
        events = tuple(transcribe(spectrogram.frames, spectrogram.scale.numbers, spectrogram.sample_rate,
                                  spectrogram.hop, threshold_db=job.settings.threshold_db,
                                  tuning=spectrogram.scale.tuning))
    with ExitStack() as outputs:
        if job.npz is not None:
            npz.write(spectrogram, outputs.enter_context(replacing(job.npz)))
        if job.png is not None:
            from marlune_tools.picture import figure

            drawing = figure(spectrogram, printable(os.path.basename(job.path)), boxes(events) if job.overlay else ())
            drawing.savefig(outputs.enter_context(replacing(job.png)), format="png")
        if stop is not None and stop():
            raise Stopped
    frames, channels = spectrogram.frames.shape
    return Summary(job, spectrogram.seconds, frames, channels, events)


def printable(text: str) -> str:
    """`text` with line breaks, other control characters and undecodable bytes escaped ("\\n", "\\xff")."""
    return "".join(c if c.isprintable() else _escaped(c) for c in text)


def _escaped(c: str) -> str:
    if 0xDC80 <= ord(c) <= 0xDCFF:  # a byte of a name that is not UTF-8, as os.fsdecode keeps it
        return f"\\x{ord(c) - 0xDC00:02x}"
    return c.encode("unicode_escape").decode("ascii")


def run_all(
    jobs: Sequence[Task[R]],
    *,
    scheduler: str | Client | None = None,
    workers: int | None = None,
    skipped: list[FileError] | None = None,
) -> Iterator[R]:
    """Runs the jobs (`Job`s, or any `Task`) and yields their results as they finish (not in order).

    Local processes (`workers` of them, one per core by default, this one among them) unless
    `scheduler` is a Dask client or the address of a Dask scheduler ("tcp://host:8786", see
    `connect`). The first failing job's exception (a `FileError` for a bad file) is raised at
    once, unless `skipped` is a list: then the `FileError` of each file that cannot be analysed
    is added to it and the run goes on. Jobs still running when the run stops (a failure,
    Ctrl-C, a lost worker) are stopped without leaving partial files; finished ones keep their
    outputs. A worker that dies raises `WorkerLost`.
    """
    if _called_from_a_worker_import():
        raise RuntimeError('run_all was called while a worker process imported the main script; '
                           'put the script\'s work under if __name__ == "__main__":')
    # Errors name the files as they were given, not as the workers saw them.
    moved = [job.absolute() for job in jobs]
    given = {new: old for job, far in zip(jobs, moved)
             for new, old in zip([far.path, *far.outputs()], [job.path, *job.outputs()])}
    jobs = moved
    before = {path: _identity(path) for job in jobs for path in job.outputs()}
    found: list[FileError] | None = None if skipped is None else []
    try:
        yield from _run_all(jobs, scheduler, workers, found)
    except FileError as exc:
        raise _as_given(exc, given) from None
    except _Lost:
        raise WorkerLost([given[job.path] for job in jobs if not _replaced(job, before)]) from None
    finally:
        if skipped is not None and found is not None:
            skipped += [_as_given(exc, given) for exc in found]


def _as_given(exc: FileError, given: dict[str, str]) -> FileError:
    if exc.path not in given:
        return exc
    return FileError(given[exc.path], exc.cause)


def _run_all(jobs: Sequence[Task[R]], scheduler: str | Client | None, workers: int | None,
             skipped: list[FileError] | None) -> Iterator[R]:
    if scheduler is not None:
        with ExitStack() as stack:
            client = scheduler if not isinstance(scheduler, str) else stack.enter_context(connect(scheduler))
            yield from _on_cluster(jobs, client, skipped)
        return
    count = min(len(jobs), workers or os.cpu_count() or 1)
    if count <= 1:
        for job in jobs:
            with _skipping(skipped):
                yield job.run()
        return
    yield from _on_processes(jobs, count, skipped)


def _called_from_a_worker_import() -> bool:
    """Whether the main script is being imported by a starting worker (as "__mp_main__"): an
    unguarded script then calls run_all again, in the worker, and the worker dies."""
    frame = inspect.currentframe()
    while frame is not None:
        if frame.f_globals.get("__name__") == "__mp_main__":
            return True
        frame = frame.f_back
    return False


_Identity = Optional[Tuple[int, int, int]]


def _identity(path: str) -> _Identity:
    try:
        found = os.stat(path)
    except OSError:
        return None
    return found.st_dev, found.st_ino, found.st_mtime_ns


def _replaced(job: Task[object], before: dict[str, _Identity]) -> bool:
    """Whether all of the job's outputs were written during the run (each rename makes a new file)."""
    return all(_identity(path) not in (None, before[path]) for path in job.outputs())


@contextmanager
def _skipping(skipped: list[FileError] | None) -> Iterator[None]:
    """Adds a `FileError` to `skipped` and goes on, or lets it through when there is no list."""
    try:
        yield
    except FileError as exc:
        if skipped is None:
            raise
        skipped.append(exc)


class _Lost(Exception):
    pass


class WorkerLost(RuntimeError):
    """A worker process ended in the middle of the work (killed, out of memory, crashed).

    ``paths`` are the files that were not analysed; those that were keep their outputs.
    """

    def __init__(self, paths: Sequence[str]) -> None:
        super().__init__(list(paths))
        self.paths = list(paths)

    def __str__(self) -> str:
        shown = ", ".join(printable(path) for path in self.paths[:3])
        more = f" and {len(self.paths) - 3} more" if len(self.paths) > 3 else ""
        return (f"a worker process ended abruptly (killed, out of memory, or a script without an "
                f"if __name__ == \"__main__\": guard?); not analysed: {shown or 'none'}{more}")


# --- local processes -------------------------------------------------------------------------

def _on_processes(jobs: Sequence[Task[R]], count: int, skipped: list[FileError] | None) -> Iterator[R]:
    # This process is one of the `count` workers and starts only the others. It has imported
    # what a job needs already, while a fresh interpreter spends about half a second of processor
    # time on its imports before its first file, and as much again on matplotlib's before its
    # first picture; with every worker started afresh, two cores did little more than one core
    # alone. Whoever starts a job first claims it in a shared table, and a worker handed a job
    # claimed already returns at once, so each job runs once and whoever is free takes the next.
    # (Taking a job back by cancelling its future is not safe: Python 3.9's executor fails in its
    # own thread when a worker dies while a cancelled future is still queued.)
    # Every process takes the longest file left (by size): the run ends when its last file does,
    # and a long file started last would keep one core busy while the others wait.
    jobs = sorted(jobs, key=_size, reverse=True)
    # A fresh interpreter per worker (spawn), so that no lock or thread of this one is inherited.
    # An executor rather than multiprocessing.Pool: a Pool whose worker dies (killed, out of
    # memory, crashed) waits for that worker's result for ever, the executor reports it.
    context = multiprocessing.get_context("spawn")
    stop = context.Event()
    claimed = context.Array("b", len(jobs))  # 1 once a process has started the job
    executor = ProcessPoolExecutor(count - 1, context, initializer=_worker_start, initargs=(stop, claimed))

    def stop_on_failure(future: Future[R | _Taken]) -> None:
        # This process's own job learns of a worker's failure only through the flag.
        if not future.cancelled() and _ends_the_run(future.exception(), skipped):
            stop.set()

    try:
        futures = [executor.submit(_run_in_worker, index, job) for index, job in enumerate(jobs)]
        for future in futures:
            future.add_done_callback(stop_on_failure)
        waiting = list(range(len(jobs)))  # jobs whose result has not been given yet, in order
        while waiting:
            for index in [i for i in waiting if futures[i].done()]:
                waiting.remove(index)
                with _skipping(skipped):
                    yield cast(R, futures[index].result())
            own = next((i for i in waiting if _claim(claimed, i)), None)
            if own is None:
                break
            waiting.remove(own)
            with _skipping(skipped), suppress(Stopped):
                # Stopped only because a worker's job failed: that failure is raised next round.
                yield jobs[own].run(stop.is_set)
        for future in as_completed([futures[i] for i in waiting]):
            with _skipping(skipped):
                yield cast(R, future.result())
    except BrokenProcessPool:
        raise _Lost from None
    finally:
        # After a failure or an interruption the workers still busy stop at their next look;
        # those not started find the flag set and return at once. A broken pool has ended its
        # workers itself. Either way, what a stopped or killed worker left is removed here.
        stop.set()
        executor.shutdown(wait=True, cancel_futures=True)
        for job in jobs:
            for path in job.outputs():
                remove_leftovers(path)


def _size(job: Task[object]) -> int:
    """The size of the job's input in bytes, which stands for its work; 0 if it cannot be read
    (the job itself then reports why)."""
    try:
        return os.stat(job.path).st_size
    except OSError:
        return 0


def _ends_the_run(exc: BaseException | None, skipped: list[FileError] | None) -> bool:
    return exc is not None and not (skipped is not None and isinstance(exc, FileError))


_stop_flag: Callable[[], bool] | None = None
_claimed: Any = None  # the table of started jobs, in a worker


class _Taken:
    """What a worker returns for a job that another process had started already."""


def _claim(claimed: Any, index: int) -> bool:
    """Claims job `index` for the calling process; False if a process has claimed it already."""
    with claimed.get_lock():
        if claimed[index]:
            return False
        claimed[index] = 1
        return True


def _worker_start(stop: multiprocessing.synchronize.Event, claimed: Any) -> None:
    global _stop_flag, _claimed
    _stop_flag, _claimed = stop.is_set, claimed
    # Ctrl-C reaches every process of the terminal; only the parent acts on it, by setting the flag.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _run_in_worker(index: int, job: Task[R]) -> R | _Taken:
    if not _claim(_claimed, index):
        return _Taken()
    return job.run(_stop_flag)


# --- a Dask cluster --------------------------------------------------------------------------

class SchedulerError(Exception):
    """A scheduler address that is malformed, unreachable, or not a Dask scheduler; one line."""


def connect(address: str, timeout: float = CONNECT_SECONDS) -> Client:
    """A Dask client of the scheduler at `address`, within `timeout` seconds, or `SchedulerError`.

    The scheduler is asked who it is first, on a connection of its own with one deadline for the
    whole exchange: a Client alone waits for ever on a listener that accepts and never answers
    (an HTTP server, say), and leaves a thread behind when it fails.
    """
    # Here, not at the top: asyncio is a twentieth of a second of every worker's start, and only a
    # cluster run needs it.
    import asyncio

    from distributed import Client

    if not address.strip():
        raise SchedulerError("the scheduler address is empty (expected e.g. tcp://host:8786)")
    from distributed.comm import resolve_address

    try:
        resolve_address(address)
    except (ValueError, TypeError, KeyError, OSError) as exc:
        raise SchedulerError(f"not a scheduler address: {address} ({_first_line(exc)})") from None
    try:
        reply = asyncio.run(asyncio.wait_for(_identity_of(address), timeout))
    except (asyncio.TimeoutError, OSError) as exc:
        cause = f" ({_first_line(exc)})" if str(exc) else ""
        raise SchedulerError(f"no Dask scheduler answers at {address} within {timeout:g} s{cause}") from None
    except (ValueError, TypeError) as exc:
        raise SchedulerError(f"cannot connect to {address} ({_first_line(exc)})") from None
    except Exception as exc:  # whatever reading a stranger's bytes as Dask's messages gives
        raise SchedulerError(f"{address} answers, but not as a Dask scheduler ({type(exc).__name__})") from None
    kind = reply.get("type") if isinstance(reply, dict) else None
    if kind != "Scheduler":
        raise SchedulerError(f"{address} answers, but it is not a Dask scheduler ({kind or 'unknown reply'})")
    try:
        return Client(address, timeout=f"{timeout}s", set_as_default=False)
    except (OSError, ValueError, TypeError) as exc:
        raise SchedulerError(f"cannot connect to the scheduler at {address} ({_first_line(exc)})") from None


async def _identity_of(address: str) -> object:
    from distributed.comm import connect

    comm = await connect(address)
    try:
        await comm.write({"op": "identity"})
        return await comm.read()
    finally:
        comm.abort()


def _first_line(exc: BaseException) -> str:
    return (str(exc).splitlines() or [type(exc).__name__])[0]


def _on_cluster(jobs: Sequence[Task[R]], client: Client, skipped: list[FileError] | None) -> Iterator[R]:
    from distributed import Event, as_completed, wait

    stop = Event(f"marlune-stop-{secrets.token_hex(8)}", client=client)
    # pure=False: two jobs with equal arguments still both run (each writes its own files).
    futures = client.map(_run_on_cluster, list(jobs), stop=stop.name, pure=False)
    try:
        for future in as_completed(futures, loop=client.loop):
            with _skipping(skipped):
                try:
                    yield future.result()
                except Exception as exc:
                    if type(exc).__name__ == "KilledWorker":
                        raise _Lost from None
                    raise
    finally:
        stop.set()
        with suppress(Exception), client.as_current():
            wait(futures, timeout=STOP_SECONDS)
        client.cancel(futures)
        # Also after a run that succeeded: a task retried after its worker died may have left
        # temporary files of its first attempt.
        for job in jobs:
            for path in job.outputs():
                remove_leftovers(path)


def _run_on_cluster(job: Task[R], stop: str) -> R:
    from distributed import Event

    flag = Event(stop)
    if flag.is_set():
        raise Stopped
    missing = [what for path, what in [(job.path, "the file"), *((os.path.dirname(p), f"the folder of {p}")
                                                                  for p in job.outputs())]
               if not os.path.exists(path)]
    if missing:
        raise FileError(job.path, f"{missing[0]} is not visible on the worker at {socket.gethostname()} "
                                  "(the workers need the same files at the same paths)")
    return job.run(flag.is_set)
