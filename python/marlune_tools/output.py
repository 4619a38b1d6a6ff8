"""Output files that appear whole or not at all, and only ever as regular files.

An output is written under a temporary name beside it and renamed over it when complete. A name
that exists must be a regular file (or a symbolic link to one, which is followed: the file it
points to is replaced and the link stays); a folder, a device, a FIFO or a socket is refused, so
that `--png /dev/null` can never put a picture where the system's null device was. A replaced
file keeps its permissions (and its owner and group where the process may set them).
"""

from __future__ import annotations

import glob
import os
import secrets
import stat
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import BinaryIO

from marlune_tools.errors import FileError, StrPath, os_cause

_PART = ".part"
# The temporary name is "." + the name (cut short if need be) + "." + 8 hex digits + ".part".
_EXTRA = 1 + 1 + 8 + len(_PART)


def check_target(path: StrPath) -> str:
    """The file that writing `path` replaces (symbolic links followed), if it may be replaced.

    Raises `FileError` when `path` names something other than a regular file or a missing one.
    """
    name = os.fspath(path)
    target = os.path.realpath(name)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return target
    except OSError as exc:
        raise FileError(name, f"cannot be written ({os_cause(exc)})") from None
    if stat.S_ISREG(mode):
        return target
    return _refuse(name, mode)


def _refuse(name: str, mode: int) -> str:
    kinds = [(stat.S_ISDIR, "a folder"), (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device"),
             (stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISSOCK, "a socket")]
    kind = next((text for test, text in kinds if test(mode)), "not a regular file")
    raise FileError(name, f"is {kind}; an output must be a regular file")


def _temporary_stem(folder: str, name: str) -> str:
    """The name cut so that its temporary name fits the file system's limit on a name's length."""
    try:
        limit = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    encoded = os.fsencode(name)
    if len(encoded) + _EXTRA <= limit:
        return name
    # Cut in bytes; a cut through a character gives undecodable bytes, which the file system takes.
    return os.fsdecode(encoded[: max(1, limit - _EXTRA)])


@contextmanager
def replacing(path: StrPath) -> Iterator[BinaryIO]:
    """Opens a temporary file beside `path` for writing, and renames it to `path` at the end.

    If the body fails or is interrupted, the temporary file is removed and `path` is left as it
    was. Failing to create or rename the file, or a `path` that is not a regular file, raises
    `FileError`.
    """
    name = os.fspath(path)
    target = check_target(name)
    folder, base = os.path.split(target)
    temporary = os.path.join(folder, f".{_temporary_stem(folder, base)}.{secrets.token_hex(4)}{_PART}")
    try:
        # Never over an existing file; a new output gets the permissions that the umask gives.
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as exc:
        raise FileError(name, f"cannot be written ({os_cause(exc)})") from None
    try:
        with os.fdopen(descriptor, "wb") as f:
            _keep_mode(target, f.fileno())
            yield f
        # Checked again just before the rename: the name may have been taken by something else.
        check_target(name)
        os.replace(temporary, target)
    except BaseException as exc:
        with suppress(OSError):
            os.unlink(temporary)
        if isinstance(exc, OSError):
            raise FileError(name, f"cannot be written ({os_cause(exc)})") from None
        raise


def _keep_mode(target: str, descriptor: int) -> None:
    try:
        old = os.stat(target)
    except FileNotFoundError:
        return
    # Owner first: changing it clears set-user-id bits. Only a privileged user may give a file
    # away; anyone else keeps their own.
    with suppress(OSError):
        os.fchown(descriptor, old.st_uid, old.st_gid)
    os.fchmod(descriptor, stat.S_IMODE(old.st_mode))


def remove_leftovers(path: StrPath) -> None:
    """Removes the temporary files of `path` that a process stopped from outside left behind."""
    folder, base = os.path.split(os.path.realpath(os.fspath(path)))
    pattern = f".{glob.escape(_temporary_stem(folder, base))}.{'[0-9a-f]' * 8}{_PART}"
    for leftover in glob.glob(os.path.join(glob.escape(folder), pattern)):
        with suppress(OSError):
            os.unlink(leftover)
