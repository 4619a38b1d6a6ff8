"""Progress of a long analysis on standard error, as a bar that counts seconds of audio."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Iterator

import numpy as np
import numpy.typing as npt


def counted(
    blocks: Iterable[npt.NDArray[np.float32]], total: int, sample_rate: float
) -> Iterator[npt.NDArray[np.float32]]:
    """The blocks, unchanged, while a bar on standard error counts their seconds of audio up to
    `total` samples: a listener can relate seconds to the file, not millions of samples."""
    from tqdm import tqdm

    bar_format = "{l_bar}{bar}| {n:.1f}/{total:.1f} s of audio [{elapsed}<{remaining}]"
    with tqdm(total=round(total / sample_rate, 1), unit="s", bar_format=bar_format, file=sys.stderr,
              leave=False) as bar:
        done = 0
        for block in blocks:
            yield block
            done += len(block)
            bar.update(round(done / sample_rate, 1) - bar.n)
