"""The standard streams, descriptors and Ctrl-C of one command-line run, held in one object."""
from __future__ import annotations

import errno
import os
import sys

# `signal` without the enums it would import `enum` for (see status).
import _signal as signal

from qarv_convert.status import STOPPING, ExitStatus, interrupted_note

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

PROGRAM = "qarv-convert"


def _has_room(stream: Any) -> bool:
    """Whether `stream` takes text now; a terminal with its output stopped does not."""
    import select

    try:
        poller = select.poll()
        poller.register(stream.fileno(), select.POLLOUT)
        return bool(poller.poll(0))
    except (OSError, ValueError, AttributeError):
        return True  # not a descriptor: nothing to wait on


class Streams:
    """What a run knows about its standard streams and signals; every command is given it. Whatever
    it changes in the process (descriptors, the SIGINT handler) it puts back when the run ends."""

    def __init__(self) -> None:
        #: File descriptor 1 was closed when the run started (`qarv-convert plan x >&-`).
        self.stdout_closed = False
        # Set by the SIGINT handler. The module passes a KeyboardInterrupt on unchanged, but a
        # toolkit may catch it and raise an error of its own, which arrives as a RuntimeError like
        # any failed step; the handler's own note is what tells a Ctrl-C apart then.
        self.interrupted = False
        #: The signal that set `interrupted`: one of `STOPPING`.
        self.signal: int | None = None
        self._filled: list[int] = []

    def guarded(self) -> _Guarded:
        """A `with` block that puts /dev/null on standard descriptors that are closed, so that no
        file opened in the run takes their number (and a toolkit's prints land in it), and closes
        them again when it ends."""
        return _Guarded(self)

    def interrupts_noted(self, signals: tuple[int, ...] = (signal.SIGINT,)) -> _InterruptsNoted:
        """A `with` block in which each of `signals` (Ctrl-C's alone unless told, the command line
        gives `STOPPING`) raises KeyboardInterrupt, as Ctrl-C does by default, and is noted in
        `interrupted` and `signal`; the previous handlers come back when it ends. A signal
        ignored when the run starts (`nohup`, `trap '' INT`, a job started in the background)
        stays ignored: whoever started the run chose that."""
        return _InterruptsNoted(self, signals)

    def interrupted_status(self) -> int:
        """The exit status of a run a signal ended: 128 and its number, as a shell reports it."""
        return 128 + (self.signal or signal.SIGINT)

    def interrupted_note(self) -> str:
        """How the run's end is told: `interrupted`, with the signal named unless it was Ctrl-C."""
        return interrupted_note(self.signal)

    def check_interrupted(self) -> None:
        if self.interrupted:
            raise KeyboardInterrupt

    def say(self, *lines: str) -> None:
        """Writes `lines` to stderr. Nobody to tell, with stderr closed, is not a failure of its own."""
        if sys.stderr is None:
            return
        if self.interrupted and not _has_room(sys.stderr):
            return  # a terminal whose output is stopped (Ctrl-S) must not keep a signal from ending the run
        try:
            sys.stderr.write("".join(line + "\n" for line in lines))
            sys.stderr.flush()
        except (OSError, ValueError):
            pass

    def stdout_failure(self, reason: str) -> ExitStatus:
        self.say(f"{PROGRAM}: cannot write to standard output: {reason}")
        return ExitStatus.FAILED

    def drop_stdout_buffer(self) -> None:
        """Throws away what `sys.stdout` still holds after a failed write, which would only fail
        again when the interpreter flushes it at exit; file descriptor 1 itself stays as it was."""
        if sys.stdout is None:
            return
        saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, 1)
            try:
                sys.stdout.flush()
            except (OSError, ValueError):
                pass
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(null)

    def write_failed(self, error: OSError) -> ExitStatus:
        """Reports a failed write to stdout, except a reader that went away (`| head`): nothing more
        is said on a stream nobody reads."""
        self.drop_stdout_buffer()
        if error.errno == errno.EPIPE:
            return ExitStatus.FAILED
        return self.stdout_failure(error.strerror or str(error))

    def flush_stdout(self) -> OSError | None:
        """Flushes `sys.stdout` before something writes to file descriptor 1 directly."""
        try:
            if sys.stdout is not None:
                sys.stdout.flush()
        except OSError as error:
            return error
        return None

    def emit(self, text: str) -> ExitStatus:
        """Writes `text` to stdout and makes sure that it got there."""
        if self.stdout_closed or sys.stdout is None:
            return self.stdout_failure("it is closed")
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except OSError as error:
            return self.write_failed(error)
        return ExitStatus.OK


# The blocks of a run, classes rather than generators under contextlib.contextmanager: contextlib's
# own imports would cost most of a short command's start.

class _Guarded:
    """The block of `Streams.guarded`."""

    def __init__(self, streams: Streams) -> None:
        self._streams = streams

    def __enter__(self) -> None:
        streams = self._streams
        for descriptor in (0, 1, 2):
            try:
                os.fstat(descriptor)
            except OSError:
                null = os.open(os.devnull, os.O_RDWR)
                if null != descriptor:
                    os.dup2(null, descriptor)
                    os.close(null)
                streams._filled.append(descriptor)
                streams.stdout_closed = streams.stdout_closed or descriptor == 1

    def __exit__(self, *exception: Any) -> None:
        for descriptor in self._streams._filled:
            try:
                os.close(descriptor)
            except OSError:
                pass
        self._streams._filled.clear()


class _InterruptsNoted:
    """The block of `Streams.interrupts_noted`."""

    def __init__(self, streams: Streams, signals: tuple[int, ...]) -> None:
        self._streams = streams
        self._signals = signals
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> None:
        streams = self._streams
        streams.interrupted = False
        streams.signal = None

        def on_signal(signum: int, frame: Any) -> None:
            streams.interrupted = True
            streams.signal = signum
            signal.default_int_handler(signum, frame)

        try:
            for number in self._signals:
                if signal.getsignal(number) != signal.SIG_IGN:
                    self._previous[number] = signal.signal(number, on_signal)
        except ValueError:
            pass  # not the main thread: only it may set handlers, and only it receives signals

    def __exit__(self, *exception: Any) -> None:
        previous, self._previous = self._previous, {}
        for number, handler in previous.items():
            # None: a handler set outside Python, which cannot be put back; the default can.
            signal.signal(number, signal.SIG_DFL if handler is None else handler)
