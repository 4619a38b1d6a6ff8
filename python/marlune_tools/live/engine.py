"""The analysis thread: blocks from a source become frames, levels and notes.

Two banks hear every block, as in `marlune spectrogram`: the display's (the settings' channels
and hop) and the note tracker's own (one channel per piano key, channels that settle fast enough
to place onsets), both at the settings' hop so that one frame count serves both. For each block
the thread measures the delay from the block's arrival to its frames and note decisions, and
gathers what the next `Snapshot` shows under a lock held only to swap a few lists.
"""

from __future__ import annotations

import math
import queue
import threading
import time
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from marlune_tools.analysis import note_tracking
from marlune_tools.live.snapshot import Setup, Snapshot, Status
from marlune_tools.live.source import END, Source
from marlune_tools.settings import Settings
from marlune_tools.stream import FrameStream
from marlune_tools.spectrogram import decibels
from marlune_tools.transcribe import NoteEvent, Sounding

POLL_SECONDS = 0.25  # how often a silent source is asked whether it is still there
STATUS_SECONDS = 0.2  # the status (percentiles over every block so far) is worked out this often


@dataclass(frozen=True)
class Keep:
    """What the outputs need kept for the end: the display bank's frames (for --npz), the notes
    (for any output). A run without outputs keeps neither, however long it lasts."""

    frames: bool = False
    events: bool = False


class Engine:
    """Runs the analysis of `source`'s blocks on a thread of its own from `start` until the
    source's `END`; `snapshot` may be called from any other thread meanwhile."""

    def __init__(self, source: Source, settings: Settings, keep: Keep = Keep()) -> None:
        rate = source.sample_rate
        self.source = source
        self.settings = settings
        hop = settings.hop(rate)
        self._tracker, self._notes = note_tracking(settings, rate, hop)
        self._display = FrameStream(settings.bank(rate), hop)
        self.setup = Setup(
            source=source.name, sample_rate=rate, block=source.block, hop=hop, numbers=settings.scale.numbers,
            frequencies=settings.scale.frequencies, input_latency=source.input_latency,
            delay_frames=self._tracker.delay_frames,
        )
        self._keep = keep
        self.frames: list[npt.NDArray[np.complex64]] = []  # the display's frames, with keep.frames
        self.events: list[NoteEvent] = []  # every note that ended, in the order they ended, with keep.events
        self._delays: npt.NDArray[np.float64] = np.zeros(1024)  # s, one per block analysed; grows by doubling
        # s of this thread's processor time per block: the delay less the waits for a core
        self._work: npt.NDArray[np.float64] = np.zeros(1024)
        self._count = 0
        self._frame_count = 0
        self._lock = threading.Lock()
        # What the next snapshot shows, swapped out under the lock.
        self._levels: list[npt.NDArray[np.float32]] = []
        self._peak = 0.0
        self._ended: list[NoteEvent] = []
        self._sounding: tuple[Sounding, ...] = ()
        self._started = time.perf_counter()
        self._cpu_started = time.process_time()
        self._status_cache: tuple[float, Status] | None = None
        self.failure: BaseException | None = None
        self.done = threading.Event()
        self.started = False
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="marlune live analysis", daemon=True)

    def start(self) -> None:
        self._started = time.perf_counter()
        self._cpu_started = time.process_time()
        self._thread.start()
        self.started = True
        self.source.start()

    def stop(self) -> None:
        """Stops the source and waits until every block delivered is analysed and the notes still
        sounding are ended."""
        if not self._stopped:
            self._stopped = True
            self.source.stop()
        self._thread.join()

    def _run(self) -> None:
        try:
            while True:
                try:
                    slot = self.source.blocks.get(timeout=POLL_SECONDS)
                except queue.Empty:
                    if self.source.ended and self.source.blocks.empty():
                        break  # the end did not fit on a full queue; every block before it is done
                    check = getattr(self.source, "check", None)
                    if check is not None:
                        check()
                    continue
                if slot == END:
                    break
                self._analyse(slot)
            ended = self._tracker.finish()
            with self._lock:
                if self._keep.events:
                    self.events += ended
                self._ended += ended
                self._sounding = ()
        except BaseException as exc:  # reported by the display thread, which owns the exit
            self.failure = exc
            self.source.end(f"the analysis failed ({exc!r})")
        finally:
            self.done.set()

    def _analyse(self, slot: int) -> None:
        started = time.thread_time()
        source = self.source
        block = source.pool[slot, : source.lengths[slot]]
        arrival = float(source.arrivals[slot])
        frames = self._display.push(block)
        ended = self._tracker.push(self._notes.push(block))
        sounding = tuple(self._tracker.sounding)
        delay = time.perf_counter() - arrival
        levels = decibels(np.abs(frames))
        peak = float(np.abs(block).max(initial=0.0))
        if self._keep.frames:
            self.frames.append(frames)
        if self._count == len(self._delays):
            self._delays = np.concatenate([self._delays, np.zeros(len(self._delays))])
            self._work = np.concatenate([self._work, np.zeros(len(self._work))])
        self._work[self._count] = time.thread_time() - started
        with self._lock:
            self._delays[self._count] = delay
            self._count += 1
            self._frame_count += len(frames)
            self._levels.append(levels)
            self._peak = max(self._peak, peak)
            self._ended += ended
            self._sounding = sounding
            if self._keep.events:
                self.events += ended

    def snapshot(self) -> Snapshot:
        """What happened since the previous snapshot, and the status of the run."""
        with self._lock:
            levels, self._levels = self._levels, []
            ended, self._ended = self._ended, []
            peak, self._peak = self._peak, 0.0
            sounding = self._sounding
            frame_count = self._frame_count
        channels = len(self.setup.numbers)
        rows = np.concatenate(levels) if levels else np.zeros((0, channels), dtype=np.float32)
        hop_seconds = self.setup.hop / self.setup.sample_rate
        return Snapshot(
            time=frame_count * hop_seconds,
            levels=rows,
            peak_db=20.0 * math.log10(peak) if peak > 0 else -math.inf,
            sounding=sounding,
            ended=tuple(sorted(ended)),
            status=self._recent_status(),
        )

    def _status(self, delays: npt.NDArray[np.float64], heard: float) -> Status:
        wall = time.perf_counter() - self._started
        cpu = (time.process_time() - self._cpu_started) / wall if wall > 0 else 0.0
        if len(delays):
            median, p999 = np.percentile(delays, [50.0, 99.9])
            longest = float(delays.max())
        else:
            median = p999 = longest = 0.0
        return Status(heard=heard, delay_median=float(median), delay_p999=float(p999), longest=longest,
                      dropped=self.source.dropped, cpu=cpu)

    def _recent_status(self) -> Status:
        now = time.perf_counter()
        if self._status_cache is None or now - self._status_cache[0] >= STATUS_SECONDS or self.done.is_set():
            self._status_cache = (now, self.status())
        return self._status_cache[1]

    def work(self) -> tuple[float, float]:
        """The analysis thread's processor time per block so far (s): median and 99.9th percentile."""
        with self._lock:
            work = self._work[: self._count].copy()
        if not len(work):
            return 0.0, 0.0
        median, p999 = np.percentile(work, [50.0, 99.9])
        return float(median), float(p999)

    def status(self) -> Status:
        """The status of the whole run, without taking what the next snapshot shows."""
        with self._lock:
            delays = self._delays[: self._count].copy()
            frame_count = self._frame_count
        return self._status(delays, frame_count * self.setup.hop / self.setup.sample_rate)
