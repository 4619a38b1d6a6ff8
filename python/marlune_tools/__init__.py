"""Tools around the marlune resonator bank: streams, all cores for one bank, audio files, note
scales, pictures, corpora.

Only NumPy and marlune are needed to import this package and to use `FrameStream`,
`ParallelBank` and the note scales; reading audio files, drawing pictures, progress bars and
clusters need the extra ``pip install "marlune[tools]"`` (soundfile, matplotlib, tqdm,
dask.distributed), imported where they are used.
"""

from marlune_tools.errors import FileError
from marlune_tools.parallel import ParallelBank
from marlune_tools.stream import FrameStream

__all__ = ["FileError", "FrameStream", "ParallelBank"]
