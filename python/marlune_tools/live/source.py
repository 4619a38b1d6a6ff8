"""Where live audio comes from: an input device through PortAudio, or a file replayed at its own
speed. Both hand their blocks to the analysis the same way.

The audio side writes each block, mixed to mono, into a slot of a pool allocated once, notes its
arrival time, and puts the slot's number on a bounded queue; the analysis thread takes numbers
off the queue and reads the slots. PortAudio's callback does nothing else: no allocation of
arrays, no waiting (a full queue drops the block and counts it), nothing that holds the
interpreter for long. The pool has two slots more than the queue: one being read by the analysis,
one being written, so a slot is never overwritten while it is in use.
"""

from __future__ import annotations

import queue
import threading
import time
from contextlib import suppress
from typing import Any

import numpy as np
import numpy.typing as npt

from marlune_tools import audio
from marlune_tools.errors import FileError

QUEUE_BLOCKS = 64  # blocks that may wait for the analysis: above a second at the usual block lengths
END = -1  # put on the queue after the last block
DEVICE_CHANNELS = 2  # at most this many input channels are opened and mixed down
# A device whose stream still claims to run but has delivered no block for this long has stalled
# (a sound server that hangs): the run ends as if the device had gone.
STALL_SECONDS = 3.0
# Closing a stalled stream can wait for ever inside PortAudio; the command waits this long for it
# and goes on without it, so that Ctrl-C still ends the run and writes what was heard.
CLOSE_SECONDS = 2.0


class Source:
    """Blocks of `block` samples at `sample_rate`, delivered through `blocks` (a queue of slot
    numbers, `END` last) into `pool`, with their arrival times (`time.perf_counter`) in
    `arrivals` and their lengths in `lengths` (the last block of a file may be short)."""

    def __init__(self, name: str, sample_rate: float, block: int, input_latency: float = 0.0) -> None:
        self.name = name
        self.sample_rate = sample_rate
        self.block = block
        self.input_latency = input_latency
        self.blocks: queue.Queue[int] = queue.Queue(QUEUE_BLOCKS)
        self.pool = np.zeros((QUEUE_BLOCKS + 2, block), dtype=np.float32)
        self.arrivals = np.zeros(QUEUE_BLOCKS + 2)
        self.lengths = np.zeros(QUEUE_BLOCKS + 2, dtype=np.int64)
        self.dropped = 0  # blocks lost: the queue was full, or the device overflowed
        self.lost: str | None = None  # why the source ended before it was stopped, if it did
        self._next = 0  # the slot the next block goes to
        self._ended = False

    def arrive(self, samples: npt.NDArray[np.float32]) -> None:
        """Takes one block, (frames, channels) with frames <= block: mixed into the next slot and
        queued, or dropped if the analysis is a whole queue behind."""
        if self.blocks.full():
            self.dropped += 1
            return
        slot = self._next
        channels = samples.shape[1]
        frames = min(len(samples), self.block)  # PortAudio keeps to the block length asked for
        row = self.pool[slot, :frames]
        np.copyto(row, samples[:frames, 0])
        for c in range(1, channels):
            np.add(row, samples[:frames, c], out=row)
        if channels > 1:
            np.multiply(row, np.float32(1.0 / channels), out=row)
        self.lengths[slot] = frames
        self.arrivals[slot] = time.perf_counter()
        self._next = (slot + 1) % len(self.pool)
        try:
            self.blocks.put_nowait(slot)
        except queue.Full:  # only the analysis takes from the queue, so this cannot happen
            self.dropped += 1

    @property
    def ended(self) -> bool:
        """Whether the last block has been queued."""
        return self._ended

    def end(self, lost: str | None = None) -> None:
        """Marks the end of the blocks; `lost` says why, when the source went away."""
        if lost is not None and self.lost is None:
            self.lost = lost
        if self._ended:
            return
        self._ended = True
        # Never waits: on a full queue the analysis sees `ended` once it has drained it.
        with suppress(queue.Full):
            self.blocks.put_nowait(END)

    def start(self) -> None:
        raise NotImplementedError

    def stop(self) -> None:
        """Stops the blocks; the analysis then drains the queue up to `END`."""
        raise NotImplementedError


class FileSource(Source):
    """An audio file replayed at its own speed: block k is delivered when its last sample would
    have arrived from a device, on an absolute schedule of the monotonic clock, so the replay does
    not drift however late a block was."""

    def __init__(self, path: str, block: int) -> None:
        found = audio.info(path)
        super().__init__(path, found.sample_rate, block)
        self.seconds = found.seconds
        audio.scan(path)  # a sample that is not a finite number is refused now, not halfway
        self._path = path
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._replay, name="marlune live replay", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        self.end()

    def _replay(self) -> None:
        lost = None
        try:
            start = time.monotonic()
            done = 0
            for samples in audio.blocks(self._path, block_frames=self.block):
                done += len(samples)
                if self._stop.wait(max(0.0, start + done / self.sample_rate - time.monotonic())):
                    break
                self.arrive(samples[:, None])
        except FileError as exc:  # the file changed or went away since it was checked
            lost = str(exc)
        self.end(lost)


def _sounddevice() -> Any:
    try:
        import sounddevice
    except OSError as exc:  # the module is there, the PortAudio library is not
        raise FileError("PortAudio", f"cannot be loaded ({exc}); install libportaudio2") from None
    return sounddevice


class DeviceSource(Source):
    """An input device through PortAudio, at its default sample rate, in blocks of `block_seconds`."""

    def __init__(self, device: str | int | None, block_seconds: float) -> None:
        sd = self._sd = _sounddevice()
        try:
            found = sd.query_devices(device, "input")
        except (ValueError, sd.PortAudioError) as exc:
            raise FileError(str(device) if device is not None else "default input", f"no such input device ({exc})") from None
        rate = float(found["default_samplerate"])
        block = max(1, round(rate * block_seconds))
        channels = max(1, min(DEVICE_CHANNELS, int(found["max_input_channels"])))
        super().__init__(found["name"], rate, block)
        self._stopping = False
        # Set once the stream's start has returned: before that, the stream is not active yet and
        # no block is due, however long PortAudio takes to start it (it prepares the device
        # again, and may wait for a sound server), so it cannot be taken for stopped or stalled.
        self._running = False
        self._heard = 0.0  # `time.perf_counter` at the start and at the latest block
        try:
            self._stream = sd.InputStream(
                device=found["index"], samplerate=rate, blocksize=block, channels=channels, dtype="float32",
                latency="low", callback=self._callback, finished_callback=self._finished,
            )
        except sd.PortAudioError as exc:
            raise FileError(found["name"], f"cannot be opened ({exc})") from None
        self.input_latency = float(self._stream.latency)

    def _callback(self, indata: npt.NDArray[np.float32], frames: int, when: Any, status: Any) -> None:
        self._heard = time.perf_counter()
        if status.input_overflow:
            self.dropped += 1
        self.arrive(indata)

    def _finished(self) -> None:
        # PortAudio calls this when the stream stops: because it was asked to, or because the
        # device went away.
        self.end(None if self._stopping else f"{self.name}: the input device stopped")

    def start(self) -> None:
        self._heard = time.perf_counter()
        try:
            self._stream.start()
        except self._sd.PortAudioError as exc:
            raise FileError(self.name, f"cannot be started ({exc})") from None
        self._heard = time.perf_counter()
        self._running = True

    def stop(self) -> None:
        self._stopping = True
        try:
            closing = threading.Thread(target=self._stream.close, kwargs={"ignore_errors": True},
                                       name="marlune live close", daemon=True)
            closing.start()
            closing.join(CLOSE_SECONDS)
        finally:
            self.end()

    def check(self) -> None:
        """Ends the source if its stream has stopped without saying so (a server gone away), or
        has stalled: no block for `STALL_SECONDS` beyond the device's latency."""
        if self._stopping or not self._running:
            return
        if not self._stream.active:
            self.end(f"{self.name}: the input device stopped")
        elif time.perf_counter() - self._heard > STALL_SECONDS + self.input_latency:
            self.end(f"{self.name}: the input device stopped sending sound ({STALL_SECONDS:g} s without a block)")


def list_devices() -> list[str]:
    """One line per input device: its number, name, host API, channels and default rate."""
    sd = _sounddevice()
    apis = sd.query_hostapis()
    lines = []
    for found in sd.query_devices():
        if found["max_input_channels"] > 0:
            default = "*" if found["index"] == sd.default.device[0] else " "
            lines.append(f"{default}{found['index']:3d}  {found['name']}  ({apis[found['hostapi']]['name']}, "
                         f"{found['max_input_channels']} ch, {found['default_samplerate']:g} Hz)")
    return lines
