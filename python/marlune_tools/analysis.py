"""From samples to a spectrogram: a signal in blocks, or an audio file read block by block."""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import numpy.typing as npt

from marlune_tools import audio
from marlune_tools.errors import FileError, StrPath
from marlune_tools.progress import counted
from marlune_tools.settings import Settings
from marlune_tools.spectrogram import Spectrogram
from marlune_tools.stream import FrameStream

PROGRESS_SECONDS = 10.0  # files longer than this get a progress bar when one is wanted


def analyse(
    blocks: Iterable[npt.ArrayLike], sample_rate: float, settings: Settings, *, length: int | None = None
) -> Spectrogram:
    """The spectrogram of a signal given in blocks of any lengths (one array is one block).

    `length`, the number of samples when it is known beforehand, lets the frames be written into
    one array of their final size as they come, so that memory holds them once, not twice.
    """
    hop = settings.hop(sample_rate)
    stream = FrameStream(settings.bank(sample_rate), hop)
    frames = np.empty(((length or 0) // hop, len(settings.scale)), dtype=np.complex64)
    filled = 0
    beyond: list[npt.NDArray[np.complex64]] = []  # frames past `length`, should the blocks run on
    for block in blocks:
        part = stream.push(np.ascontiguousarray(block, dtype=np.float32))
        taken = min(len(part), len(frames) - filled)
        frames[filled : filled + taken] = part[:taken]
        filled += taken
        if taken < len(part):
            beyond.append(part[taken:])
    if beyond:
        whole = beyond[0] if filled == 0 and len(beyond) == 1 else np.concatenate([frames[:filled], *beyond])
    else:
        whole = frames[:filled]
    return Spectrogram(whole, settings.scale, float(sample_rate), hop)


def check_file(path: StrPath, settings: Settings, *, channel: int | None = None) -> audio.AudioInfo:
    """The file's facts if it can be analysed: readable, and at least one hop long (a shorter
    file would give no frame at all); otherwise a `FileError`."""
    found = audio.info(path, channel=channel)
    hop = settings.hop(found.sample_rate)
    if found.frames < hop:
        raise FileError(path, f"shorter than one hop ({found.frames} samples, hop {hop})")
    return found


def analyse_file(
    path: StrPath, settings: Settings, *, channel: int | None = None, progress: bool = False
) -> Spectrogram:
    """The spectrogram of an audio file, read block by block.

    With `progress`, files longer than `PROGRESS_SECONDS` show a progress bar on standard error.
    Files that `check_file` refuses raise its `FileError`.
    """
    found = check_file(path, settings, channel=channel)
    blocks: Iterable[npt.NDArray[np.float32]] = audio.blocks(path, channel=channel)
    if progress and found.seconds > PROGRESS_SECONDS:
        blocks = counted(blocks, found.frames, found.sample_rate)
    return analyse(blocks, found.sample_rate, settings, length=found.frames)
