"""Audio files read block by block as float32, so memory stays flat whatever the file's length.

Anything libsndfile reads through ``soundfile`` works: WAV (8-, 16-, 24-, 32-bit integer and
float), FLAC, OGG, AIFF, MP3 and more. Integer samples are scaled to [-1, 1). Several channels
are mixed to mono (their mean) unless one channel is chosen. Every failure to read is a
`FileError` that names the file and the cause.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from marlune_tools.errors import FileError, StrPath

if TYPE_CHECKING:
    import soundfile

# File name endings taken as audio when a folder is searched.
AUDIO_SUFFIXES = frozenset(
    ".wav .wave .flac .ogg .oga .opus .mp3 .aif .aiff .aifc .au .snd .caf .w64 .rf64".split()
)
BLOCK_FRAMES = 1 << 16


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
        size = os.stat(name).st_size
    except OSError as exc:
        raise FileError(name, (exc.strerror or str(exc)).lower()) from None
    if os.path.isdir(name):
        raise FileError(name, "is a folder, not an audio file")
    if size == 0:
        raise FileError(name, "empty file")
    try:
        return soundfile.SoundFile(name)
    except soundfile.LibsndfileError as exc:
        cause = exc.error_string.rstrip(".").lower() or "unreadable"
        raise FileError(name, f"not an audio file that libsndfile reads ({cause})") from None
    except (OSError, RuntimeError, TypeError, ValueError) as exc:
        raise FileError(name, f"cannot be read ({exc})") from None


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
    channel numbered `channel` (0 is the first).
    """
    import soundfile

    with _open(path) as f:
        _check(AudioInfo(os.fspath(path), float(f.samplerate), int(f.frames), int(f.channels)), channel)
        while True:
            try:
                block = f.read(block_frames, dtype="float32", always_2d=True)
            except (soundfile.SoundFileError, RuntimeError, ValueError) as exc:
                raise FileError(path, f"read failed after {f.tell()} samples ({exc})") from None
            if len(block) == 0:
                return
            if channel is not None:
                yield np.ascontiguousarray(block[:, channel])
            elif block.shape[1] == 1:
                yield np.ascontiguousarray(block[:, 0])
            else:
                yield block.mean(axis=1, dtype=np.float32)


def find_audio(folder: StrPath) -> list[str]:
    """The audio files directly inside `folder` (by name ending), sorted by name."""
    name = os.fspath(folder)
    try:
        entries = sorted(os.scandir(name), key=lambda entry: entry.name)
    except OSError as exc:
        raise FileError(name, (exc.strerror or str(exc)).lower()) from None
    return [
        entry.path
        for entry in entries
        if entry.is_file() and os.path.splitext(entry.name)[1].lower() in AUDIO_SUFFIXES
    ]
