"""Tools around the marlune resonator bank: streams, all cores for one bank, audio files, note
scales, pictures, corpora.

Only NumPy and marlune are needed to import this package and to use `FrameStream`,
`ParallelBank` and the note scales; reading audio files, drawing pictures, progress bars and
clusters need the extra ``pip install "marlune[tools]"`` (soundfile, matplotlib, tqdm,
dask.distributed), imported where they are used.
"""


from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from marlune_tools.errors import FileError
    from marlune_tools.parallel import ParallelBank
    from marlune_tools.stream import FrameStream

__all__ = ["FileError", "FrameStream", "ParallelBank"]

# Loaded on first use: importing the package itself (as the console script does first) loads
# neither NumPy nor marlune, so a Ctrl-C at start-up reaches code that can answer it.
_HOMES = {"FileError": "errors", "FrameStream": "stream", "ParallelBank": "parallel"}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'marlune_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f"marlune_tools.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})
