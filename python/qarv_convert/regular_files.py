"""Opening the files a configuration names: regular files only, others refused by kind before a
read could wait on them."""
from __future__ import annotations

import errno
import os
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO

#: What each kind of file that is not regular is called in messages, by its `stat` test.
_KINDS = ((stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class NotRegularFile(OSError):
    """The path names a FIFO, a device or a socket: reading it could wait for a writer forever or
    never end. `strerror` says which kind it is."""

    def __init__(self, path: str, kind: str) -> None:
        super().__init__(None, f"it is {kind}, not a regular file", path)
        self.kind = kind


def _refuse_unless_regular(mode: int, path: str) -> None:
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(mode):
        kind = next((name for test, name in _KINDS if test(mode)), "a file of no known kind")
        raise NotRegularFile(path, kind)


def check_regular(path: str) -> None:
    """Raises `NotRegularFile` (or `IsADirectoryError`) unless `path` is a regular file, and
    `OSError` when it cannot be looked at; for files handed on to the toolkit unopened."""
    _refuse_unless_regular(os.stat(path).st_mode, path)


def open_regular(path: str, mode: str = "rb", *, encoding: str | None = None,
                 errors: str | None = None) -> IO:
    """`open(path, mode)` for reading a regular file. Anything else is refused as `check_regular`
    refuses it, before any read: the open itself does not wait for a FIFO's writer."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as error:
        if error.errno == errno.ENXIO:  # a socket cannot be opened: its kind says more
            check_regular(path)
        raise
    try:
        _refuse_unless_regular(os.fstat(descriptor).st_mode, path)
        os.set_blocking(descriptor, True)
        return open(descriptor, mode, encoding=encoding, errors=errors)
    except BaseException:
        os.close(descriptor)
        raise
