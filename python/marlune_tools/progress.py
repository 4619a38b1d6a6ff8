"""Progress of a long analysis on standard error, as a bar that counts samples."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Iterator

import numpy as np
import numpy.typing as npt


def counted(blocks: Iterable[npt.NDArray[np.float32]], total: int) -> Iterator[npt.NDArray[np.float32]]:
    """The blocks, unchanged, while a bar on standard error counts their samples up to `total`."""
    from tqdm import tqdm

    with tqdm(total=total, unit="sample", unit_scale=True, file=sys.stderr, leave=False) as bar:
        for block in blocks:
            yield block
            bar.update(len(block))
