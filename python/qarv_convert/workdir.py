"""The process's working directory, which a configuration's relative paths are read from, shared by runs in threads."""
from __future__ import annotations

import contextlib
import os
import threading

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterator


class _Turns:
    """Runs that read relative paths share the working directory; one that changes it has it
    alone (the thread that has it may start further runs inside)."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._readers = 0
        self._owner: int | None = None  # the thread that has the directory alone
        self._depth = 0

    @contextlib.contextmanager
    def shared(self) -> Iterator[None]:
        me = threading.get_ident()
        with self._changed:
            if self._owner == me:
                self._depth += 1
            else:
                while self._owner is not None:
                    self._changed.wait()
                self._readers += 1
        try:
            yield
        finally:
            with self._changed:
                if self._owner == me:
                    self._depth -= 1
                else:
                    self._readers -= 1
                self._changed.notify_all()

    @contextlib.contextmanager
    def alone(self) -> Iterator[None]:
        me = threading.get_ident()
        with self._changed:
            if self._owner == me:
                self._depth += 1
            else:
                while self._owner is not None or self._readers:
                    self._changed.wait()
                self._owner, self._depth = me, 1
        try:
            yield
        finally:
            with self._changed:
                self._depth -= 1
                if self._depth == 0:
                    self._owner = None
                self._changed.notify_all()


_TURNS = _Turns()


@contextlib.contextmanager
def working_directory(directory: str | os.PathLike[str] | None) -> Iterator[None]:
    """The block runs in `directory` (None: where the process is), and no other run in this
    process reads relative paths meanwhile; the directory the process was in comes back
    afterwards. Raises OSError when `directory` cannot be entered."""
    if directory is None:
        with _TURNS.shared():
            yield
        return
    with _TURNS.alone():
        try:
            previous: str | None = os.getcwd()
        except OSError:
            previous = None
        os.chdir(directory)
        try:
            yield
        finally:
            if previous is not None:
                os.chdir(previous)
