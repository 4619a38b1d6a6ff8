"""Many files at once: one task per file, on local processes or on a Dask cluster.

Each task reads its file, builds its own bank (banks hold state and are deliberately not
picklable, so they never travel) and writes its outputs itself, whole or not at all; only the
small summary comes back. The work is the same on any process or machine, so the results are
the same bits either way. On a cluster, the workers must see the input and output paths (a
shared file system).
"""

from __future__ import annotations

import multiprocessing
import os
import signal
from collections.abc import Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from contextlib import ExitStack
from dataclasses import dataclass

from marlune_tools import npz
from marlune_tools.analysis import analyse_file
from marlune_tools.output import remove_leftovers, replacing
from marlune_tools.settings import Settings
from marlune_tools.spectrogram import Segment, Spectrogram


@dataclass(frozen=True)
class Job:
    path: str  # the audio file
    npz: str | None  # where the frames go, or None
    png: str | None = None  # where the picture goes, or None
    settings: Settings = Settings()
    channel: int | None = None  # one channel instead of the mono mix


@dataclass(frozen=True)
class Summary:
    job: Job
    seconds: float  # length of the analysed audio
    frames: int
    channels: int
    sounding: tuple[Segment, ...]  # which notes sound, window by window


def run(job: Job, progress: bool = False) -> Summary:
    """Analyses one file and writes its outputs; runs in whichever process gets the task."""
    spectrogram = analyse_file(job.path, job.settings, channel=job.channel, progress=progress)
    return deliver(spectrogram, job)


def deliver(spectrogram: Spectrogram, job: Job) -> Summary:
    """Writes a job's outputs from its spectrogram and sums it up.

    Both files are written under temporary names and renamed only once both are complete, so a
    failure or an interruption leaves neither.
    """
    with ExitStack() as outputs:
        if job.npz is not None:
            npz.write(spectrogram, outputs.enter_context(replacing(job.npz)))
        if job.png is not None:
            from marlune_tools.picture import figure

            drawing = figure(spectrogram, os.path.basename(job.path))
            drawing.savefig(outputs.enter_context(replacing(job.png)), format="png")
    frames, channels = spectrogram.frames.shape
    # Windows of 0.1 s, longer for long files so that a summary stays within about 200 lines.
    window = max(0.1, spectrogram.seconds / 200)
    return Summary(job, spectrogram.seconds, frames, channels, tuple(spectrogram.sounding(window)))


def run_all(
    jobs: Sequence[Job], *, scheduler: str | None = None, workers: int | None = None
) -> Iterator[Summary]:
    """Runs the jobs and yields their summaries as they finish (not in order).

    Local processes (`workers` of them, one per core by default) unless `scheduler` gives the
    address of a Dask scheduler ("tcp://host:8786"). The first failing job's exception (a
    `FileError` for a bad file) is raised at once; local jobs still running are stopped, without
    leaving partial files, and finished ones keep their outputs. An interruption (Ctrl-C) stops
    the local workers the same way.
    """
    if scheduler is not None:
        yield from _on_cluster(jobs, scheduler)
        return
    count = min(len(jobs), workers or os.cpu_count() or 1)
    if count <= 1:
        for job in jobs:
            yield run(job)
        return
    # A fresh interpreter per worker (spawn), so that no lock or thread of this one is inherited.
    # An executor rather than multiprocessing.Pool: a Pool whose worker dies (killed, out of
    # memory, crashed) waits for that worker's result for ever, the executor reports it.
    executor = ProcessPoolExecutor(count, multiprocessing.get_context("spawn"), initializer=_worker_signals)
    futures: dict[Future[Summary], Job] = {}
    finished = False
    try:
        try:
            for job in jobs:
                futures[executor.submit(_run_in_worker, job)] = job
            for future in as_completed(futures):
                yield future.result()
        except BrokenProcessPool:
            done = {id(job) for f, job in futures.items() if f.done() and f.exception() is None}
            raise WorkerLost([job.path for job in jobs if id(job) not in done]) from None
        finished = True
    finally:
        if finished:
            executor.shutdown(wait=True)
        else:
            # Stops the workers still busy (after a failure or an interruption). Each removes
            # its temporary files on the way out, unless the signal caught it just between
            # creating a file and taking charge of it; what is left then is removed here.
            _stop(executor)
            for job in jobs:
                for path in (job.npz, job.png):
                    if path is not None:
                        remove_leftovers(path)


class WorkerLost(RuntimeError):
    """A worker process ended in the middle of the work (killed, out of memory, crashed).

    ``paths`` are the files that were not analysed; those that were keep their outputs.
    """

    def __init__(self, paths: Sequence[str]) -> None:
        super().__init__(list(paths))
        self.paths = list(paths)

    def __str__(self) -> str:
        shown = ", ".join(self.paths[:3]) + (f" and {len(self.paths) - 3} more" if len(self.paths) > 3 else "")
        return f"a worker process ended abruptly (killed, or out of memory?); not analysed: {shown}"


def _run_in_worker(job: Job) -> Summary:
    try:
        return run(job)
    except SystemExit as stop:
        # Stopped from the parent (SIGTERM): the job has unwound and removed its temporary
        # files; the process ends here, not in the executor's loop, which would take the next job.
        os._exit(stop.code if isinstance(stop.code, int) else 1)


def _stop(executor: ProcessPoolExecutor) -> None:
    # The workers still alive are told to stop (SIGTERM). Python 3.14 has a method for it;
    # before, the executor's own table of its processes is the only handle on them.
    terminate = getattr(executor, "terminate_workers", None)
    if terminate is not None:
        terminate()
    else:
        for process in list((getattr(executor, "_processes", None) or {}).values()):
            if process.exitcode is None:
                process.terminate()
    executor.shutdown(wait=True, cancel_futures=True)


def _worker_signals() -> None:
    # Ctrl-C reaches every process of the terminal; only the parent acts on it, and it stops the
    # workers with SIGTERM, which unwinds a worker like an exception so that its files are cleaned.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _exit_on_terminate)


def _exit_on_terminate(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def _on_cluster(jobs: Sequence[Job], scheduler: str) -> Iterator[Summary]:
    from distributed import Client, as_completed

    with Client(scheduler) as client:
        # pure=False: two jobs with equal arguments still both run (each writes its own files).
        futures = client.map(run, list(jobs), pure=False)
        try:
            for future in as_completed(futures):
                yield future.result()
        finally:
            client.cancel(futures)
