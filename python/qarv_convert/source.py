"""Configuration files as the user names them and as the module reads them."""
from __future__ import annotations

import os
import stat

from qarv_convert.text import printable

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

#: The CONFIG that names standard input.
STDIN = "-"

#: How much of a pipe or device `module_path` holds in memory. Configuration files are a few
#: kilobytes; this only stops an endless stream from filling memory.
STREAM_LIMIT = 64 * 2**20


class UnreadableFile(Exception):
    """The file cannot be opened or read here; the text reads like the module's own."""


def display_name(path: str) -> str:
    """`path` as messages show it: bytes that are not UTF-8 as `\\xff`, control characters escaped;
    `-` as `<stdin>`."""
    if path == STDIN:
        return "<stdin>"
    return printable(os.fsencode(path).decode("utf-8", "backslashreplace"))


def _os_message(error: OSError) -> str:
    # The module words its read failures this way; a file opened here reads the same.
    return f"{error.strerror} (os error {error.errno})"


def _is_utf8(path: str) -> bool:
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:  # undecodable bytes arrive as lone surrogates
        return False
    return True


def _is_stream(path: str) -> bool:
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False  # the module reports it
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def _copy_to_memory(source: int) -> int:
    """The rest of `source` in an anonymous file of its own, which the module can open by name.
    The stream is read by the module's own file reader, as it reads every file."""
    import errno

    from qarv_convert import _native

    try:
        text = _native.read_stream(source, STREAM_LIMIT)
    except OSError as error:
        if error.errno == errno.EFBIG:
            raise UnreadableFile(f"not a regular file and longer than {STREAM_LIMIT >> 20} MiB") from None
        raise UnreadableFile(_os_message(error)) from None
    if hasattr(os, "memfd_create"):
        copy = os.memfd_create("qarv-convert configuration", os.MFD_CLOEXEC)
    else:
        import tempfile

        copy = os.dup(tempfile.TemporaryFile().fileno())
    try:
        with open(copy, "wb", closefd=False) as out:
            out.write(text)
    except OSError as error:
        os.close(copy)
        raise UnreadableFile(_os_message(error)) from None
    except BaseException:
        os.close(copy)
        raise
    return copy


def module_path(path: str) -> _ModulePath:
    """A `with` block with a name under which the module reads what `path` holds. A regular file (or a directory, for
    the module's own message) with a UTF-8 name is passed as it is, so that the module reports its
    faults itself. `-` stands for standard input. Anything else is opened here and passed as `/dev/fd/N`: a name that is not
    UTF-8, which the module cannot take, and a pipe or device, which is read here once, where an
    interrupt can stop the wait for a writer or an endless stream, and so that every later read
    (checking, then converting) sees the same text."""
    return _ModulePath(path)


class _ModulePath:
    """The block of `module_path`, which holds the descriptor it opened until the block ends. (A
    class rather than a generator under contextlib.contextmanager, as are the other blocks a
    command starts with: contextlib's own imports would cost most of a short command's start.)"""

    def __init__(self, path: str) -> None:
        self._path = path
        self._descriptor: int | None = None

    def __enter__(self) -> str:
        path = "/dev/stdin" if self._path == STDIN else self._path
        if _is_utf8(path) and not _is_stream(path):
            return path
        try:
            # Standard input is read through the descriptor it is: a socket cannot be opened again by name.
            descriptor = os.dup(0) if path == "/dev/stdin" else os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as error:
            raise UnreadableFile(_os_message(error)) from None
        try:
            mode = os.fstat(descriptor).st_mode
            if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
                copy = _copy_to_memory(descriptor)
                os.close(descriptor)
                descriptor = copy
        except BaseException:
            os.close(descriptor)
            raise
        self._descriptor = descriptor
        return f"/dev/fd/{descriptor}"

    def __exit__(self, *exception: Any) -> None:
        if self._descriptor is not None:
            descriptor, self._descriptor = self._descriptor, None
            os.close(descriptor)


def sha256(path: str) -> str | None:
    """The SHA-256 of the file's bytes in hex, or None when it cannot be read."""
    import hashlib

    try:
        with open(path, "rb") as source:
            return hashlib.file_digest(source, "sha256").hexdigest()
    except OSError:
        return None
