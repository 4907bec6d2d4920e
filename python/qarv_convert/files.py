"""Writing files so that no reader ever sees half of one."""
from __future__ import annotations

import contextlib
import errno
import os


def write_file(path: str, text: str, *, replace: bool = True) -> None:
    """Writes `text` to a temporary file beside `path` and then puts it in place in one step, so
    that `path` holds either its old content or all of `text`. Without `replace`, an existing
    `path` is left alone and FileExistsError raised. A device or FIFO at `path` (`/dev/stdout`,
    `/dev/null`, a named pipe) is written into, never replaced by a file; a symbolic link is
    followed, as a shell's redirection follows it."""
    import stat
    import tempfile

    try:
        kind = os.stat(path).st_mode
    except FileNotFoundError:
        kind = None
    if kind is not None and not stat.S_ISREG(kind) and not stat.S_ISDIR(kind):
        if not replace:
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), path)
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
        return
    path = os.path.realpath(path)
    directory = os.path.dirname(path)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # as an ordinary new file, not mkstemp's 0600
        if replace:
            os.replace(temporary, path)
            return
        try:
            os.link(temporary, path)  # fails if `path` exists, without a window between test and write
        except OSError as error:
            if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP):
                raise
            # A file system without hard links: exclusive creation, then a plain write.
            with open(path, "x", encoding="utf-8") as out:
                out.write(text)
    finally:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
