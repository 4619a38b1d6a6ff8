"""Output files that appear whole or not at all."""

from __future__ import annotations

import glob
import os
import secrets
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import BinaryIO

from marlune_tools.errors import FileError, StrPath

_PART = ".part"


@contextmanager
def replacing(path: StrPath) -> Iterator[BinaryIO]:
    """Opens a temporary file beside `path` for writing, and renames it to `path` at the end.

    If the body fails or is interrupted, the temporary file is removed and `path` is left as it
    was. Failing to create or rename the file raises `FileError`.
    """
    target = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}{_PART}")
    try:
        # Created like any new file (permissions from the umask), never over an existing one.
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as exc:
        raise FileError(target, f"cannot be written ({(exc.strerror or str(exc)).lower()})") from None
    try:
        with os.fdopen(descriptor, "wb") as f:
            yield f
        os.replace(temporary, target)
    except BaseException as exc:
        with suppress(OSError):
            os.unlink(temporary)
        if isinstance(exc, OSError):
            raise FileError(target, f"cannot be written ({(exc.strerror or str(exc)).lower()})") from None
        raise


def remove_leftovers(path: StrPath) -> None:
    """Removes the temporary files of `path` that a process stopped from outside left behind."""
    folder, name = os.path.split(os.path.abspath(os.fspath(path)))
    for leftover in glob.glob(os.path.join(glob.escape(folder), f".{glob.escape(name)}.*{_PART}")):
        with suppress(OSError):
            os.unlink(leftover)
