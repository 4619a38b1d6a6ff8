"""The package's one exception type, and the status of a command ended by Ctrl-C."""

from __future__ import annotations

import os
from typing import Union

# The shells' status for a command ended by SIGINT (128 + 2). The console script gives it when a
# Ctrl-C comes while the command is still loading, and the command once loaded.
INTERRUPTED = 130

# A file name, as a string or a path object.
StrPath = Union[str, "os.PathLike[str]"]


class FileError(Exception):
    """A file that cannot be read or written, with the file and the cause in one line.

    ``str(error)`` is "<file>: <cause>", for example "take1.wav: empty file".
    """

    def __init__(self, path: StrPath, cause: str) -> None:
        # Both parts go to Exception so that the error pickles (it crosses process boundaries
        # when files are analysed on other processes or machines).
        super().__init__(os.fspath(path), cause)
        self.path = os.fspath(path)
        self.cause = cause

    def __str__(self) -> str:
        return f"{self.path}: {self.cause}"


def os_cause(exc: OSError) -> str:
    """The cause of an operating-system error in one lower-case phrase: "no such file or directory"."""
    return (exc.strerror or str(exc)).lower()
