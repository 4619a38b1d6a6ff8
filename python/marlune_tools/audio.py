"""Audio files read block by block as float32, so memory stays flat whatever the file's length.

Anything libsndfile reads through ``soundfile`` works: WAV (8-, 16-, 24-, 32-bit integer and
float), FLAC, OGG, AIFF, MP3 and more. Integer samples are scaled to [-1, 1). Several channels
are mixed to mono (their mean) unless one channel is chosen. Every failure to read is a
`FileError` that names the file and the cause, and so is a sample that is not a finite number
(a float file can hold NaN or infinity, which would make every later frame NaN).
"""

from __future__ import annotations

import os
import stat
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from marlune_tools.errors import FileError, StrPath, os_cause

if TYPE_CHECKING:
    import soundfile

# File name endings taken as audio when a folder is searched.
AUDIO_SUFFIXES = frozenset(
    ".wav .wave .flac .ogg .oga .opus .mp3 .aif .aiff .aifc .au .snd .caf .w64 .rf64".split()
)
# Samples read at a time: 5.5 s at 48 kHz, 1 MiB of mono float32. Each block costs the analysis
# and the note tracker a fixed number of calls: blocks of 2**18 samples made a file's analysis
# about a fifth cheaper than blocks of 2**16.
BLOCK_FRAMES = 1 << 18


@dataclass(frozen=True)
class AudioInfo:
    path: str
    sample_rate: float  # Hz
    frames: int  # samples per channel
    channels: int

    @property
    def seconds(self) -> float:
        return self.frames / self.sample_rate


def _open(path: StrPath) -> soundfile.SoundFile:
    import soundfile

    name = os.fspath(path)
    try:
        found = os.stat(name)
    except OSError as exc:
        raise FileError(name, os_cause(exc)) from None
    # Checked before opening: opening a FIFO would wait for a writer, a device may never end.
    if not stat.S_ISREG(found.st_mode):
        raise FileError(name, f"is {_kind(found.st_mode)}, not an audio file")
    if found.st_size == 0:
        raise FileError(name, "empty file")
    try:
        # As bytes, so that a name that is not valid UTF-8 reaches the file system unchanged.
        return soundfile.SoundFile(os.fsencode(name))
    except soundfile.LibsndfileError as exc:
        cause = exc.error_string.rstrip(".").lower() or "unreadable"
        raise FileError(name, f"not an audio file that libsndfile reads ({cause})") from None
    except (OSError, RuntimeError, TypeError, ValueError) as exc:
        raise FileError(name, f"cannot be read ({exc})") from None


def _kind(mode: int) -> str:
    kinds = [(stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISCHR, "a device"),
             (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket")]
    return next((text for test, text in kinds if test(mode)), "not a regular file")


def info(path: StrPath, *, channel: int | None = None) -> AudioInfo:
    """The sample rate, length and channel count of an audio file with at least one sample."""
    with _open(path) as f:
        result = AudioInfo(os.fspath(path), float(f.samplerate), int(f.frames), int(f.channels))
    _check(result, channel)
    return result


def _check(found: AudioInfo, channel: int | None) -> None:
    if found.frames <= 0:
        raise FileError(found.path, "contains no samples")
    if channel is not None and not 0 <= channel < found.channels:
        raise FileError(found.path, f"has {found.channels} channel(s), no channel {channel}")


def blocks(
    path: StrPath, *, channel: int | None = None, block_frames: int = BLOCK_FRAMES
) -> Iterator[npt.NDArray[np.float32]]:
    """Yields the file's samples in order, `block_frames` at a time (the last block shorter).

    Each block is a one-dimensional contiguous float32 array: the mean of the channels, or the
    channel numbered `channel` (0 is the first). A sample that is NaN or infinite raises
    `FileError` with its time.
    """
    import soundfile

    with _open(path) as f:
        _check(AudioInfo(os.fspath(path), float(f.samplerate), int(f.frames), int(f.channels)), channel)
        done = 0
        while True:
            try:
                block = f.read(block_frames, dtype="float32", always_2d=True)
            except (soundfile.SoundFileError, RuntimeError, ValueError) as exc:
                # Where the decoder stopped; after a failed seek (a header that claims more samples
                # than the file holds) libsndfile's position is -1, and the samples read so far say it.
                where = f.tell()
                raise FileError(path, f"read failed after {where if where >= 0 else done} samples ({exc})") from None
            if len(block) == 0:
                return
            if not np.isfinite(block).all():
                first = done + int(np.flatnonzero(~np.isfinite(block).all(axis=1))[0])
                raise FileError(path, f"sample {first} (at {clock(first / f.samplerate)}) is not a finite number")
            done += len(block)
            if channel is not None:
                yield np.ascontiguousarray(block[:, channel])
            elif block.shape[1] == 1:
                yield np.ascontiguousarray(block[:, 0])
            else:
                yield _mix(block)


def _mix(block: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """The mean of the channels. Summed in float32, channels near the float32 limit (a float file
    may hold values far above full scale) overflow to infinity; those blocks are summed in float64."""
    with np.errstate(over="ignore", invalid="ignore"):
        mixed: npt.NDArray[np.float32] = block.mean(axis=1, dtype=np.float32)
    if not np.isfinite(mixed).all():
        mixed = block.mean(axis=1, dtype=np.float64).astype(np.float32)
    return mixed


def scan(path: StrPath, *, channel: int | None = None) -> None:
    """Reads the whole file once, so that a non-finite sample is found before any work is done.

    Only files of floating-point samples can hold one; others are not read.
    """
    with _open(path) as f:
        floating = f.subtype in ("FLOAT", "DOUBLE")
    if floating:
        for _ in blocks(path, channel=channel):
            pass


def clock(seconds: float) -> str:
    """A time as "12.345 s" below a minute and "m:ss.sss" from one minute on."""
    if seconds < 60:
        return f"{seconds:.3f} s"
    minutes, rest = divmod(seconds, 60)
    return f"{int(minutes)}:{rest:06.3f}"


def find_audio(folder: StrPath) -> list[str]:
    """The audio files directly inside `folder` (by name ending), sorted by name.

    Entries that cannot be examined (a symbolic link in a loop, say) are left out, as are names
    that are not regular files: a FIFO or a device named .wav is not audio.
    """
    name = os.fspath(folder)
    try:
        entries = sorted(os.scandir(name), key=lambda entry: entry.name)
    except OSError as exc:
        raise FileError(name, os_cause(exc)) from None
    found = []
    for entry in entries:
        if os.path.splitext(entry.name)[1].lower() not in AUDIO_SUFFIXES:
            continue
        try:
            regular = entry.is_file()
        except OSError:
            continue
        if regular:
            found.append(entry.path)
    return found
