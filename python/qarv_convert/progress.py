"""How a conversion's progress is shown: nothing, a line per step event, or a live line on a terminal."""
from __future__ import annotations

import contextlib
import sys
import threading
import time
from typing import Protocol

from qarv_convert.steps import Step, arguments_text, step_label
from qarv_convert.text import clock, printable, safe_repr

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterator, TextIO


class Progress(Protocol):
    """Told when each toolkit step starts and ends or is passed over (with the reason, or an empty
    one); `close` ends whatever it still shows, and `attached` is the stretch in which the toolkit
    runs and other output may share its terminal."""

    def started(self, step: Step) -> None: ...
    def finished(self, step: Step) -> None: ...
    def skipped(self, method: str, reason: str) -> None: ...
    def close(self) -> None: ...
    def attached(self) -> contextlib.AbstractContextManager[None]: ...


#: Held by a live run while it has file descriptors 1 and 2 (or `sys.stdout` and `sys.stderr`) in
#: hand: those belong to the whole process, so such runs take turns.
_TERMINAL = threading.Lock()


def skipped_line(method: str, reason: str) -> str:
    return f"{step_label(method)} skipped" + (f": {reason}" if reason else "")


def finished_line(step: Step) -> str:
    outcome = f"returned {safe_repr(step.result)}" if step.raised is None else f"raised {step.raised}"
    return f"{step.label} {outcome} after {step.seconds:.3f} s"


def call_line(step: Step) -> str:
    """The step's call as `-v` shows it before the step runs: its label and arguments."""
    return printable(f"{step.label}({arguments_text(step.args, step.kwargs)})")


def plain_terminal(stream: TextIO, environment: dict[str, str]) -> bool:
    """Whether `stream` gets plain lines: not a terminal, a terminal without cursor control
    (TERM=dumb), or a user who asked for no escapes (NO_COLOR)."""
    return not stream.isatty() or environment.get("TERM") == "dumb" or "NO_COLOR" in environment


def progress_for(stream: TextIO | None, quiet: bool = False, verbose: bool = False) -> Progress:
    """The progress `convert` shows on `stream`: none when `quiet` or without a stream, plain
    lines where `plain_terminal` says so, else the live line; `verbose` adds each step's call."""
    import os

    if quiet or stream is None:
        return NoProgress()
    if plain_terminal(stream, dict(os.environ)):
        return PlainProgress(stream, verbose)
    return LiveProgress(stream, verbose)


class NoProgress:
    """`--quiet`: nothing at all."""

    def attached(self) -> contextlib.AbstractContextManager[None]:
        return contextlib.nullcontext()

    def started(self, step: Step) -> None:
        pass

    def finished(self, step: Step) -> None:
        pass

    def skipped(self, method: str, reason: str) -> None:
        pass

    def close(self) -> None:
        pass


class PlainProgress:
    """One line when a step starts and one when it ends, for logs and pipes."""

    def __init__(self, stream: TextIO, verbose: bool = False) -> None:
        self._stream = stream
        self._verbose = verbose

    def _line(self, text: str) -> None:
        try:
            self._stream.write(text + "\n")
            self._stream.flush()
        except (OSError, ValueError):
            pass  # a report nobody can read is no reason to stop a conversion

    def attached(self) -> contextlib.AbstractContextManager[None]:
        return contextlib.nullcontext()

    def started(self, step: Step) -> None:
        if self._verbose:
            self._line(call_line(step))
        self._line(f"{step.label} ...")

    def finished(self, step: Step) -> None:
        self._line(finished_line(step))

    def skipped(self, method: str, reason: str) -> None:
        self._line(skipped_line(method, reason))

    def close(self) -> None:
        pass


class LiveProgress:
    """On a terminal: the running step with its elapsed time on one line, redrawn every second
    by a thread of its own, replaced by the finished line when the step ends. While `attached`,
    what the toolkit writes to file descriptors 1 and 2 (where they are terminals) goes above that
    line, line by line, passed by the native side's own thread; where that cannot be set up,
    what it prints through `sys.stdout` and `sys.stderr` still does."""

    def __init__(self, stream: TextIO, verbose: bool = False) -> None:
        self._stream = stream
        self._verbose = verbose
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._label = ""
        self._since = 0.0
        self._shown = False  # the live line is on the screen
        self._foreign_line = False  # someone else's line is unfinished: no redraw until it ends
        self._passthrough: Any = None  # the native module while it passes the descriptors' output
        self._failure: BaseException | None = None  # what ended the redrawing thread

    def _write(self, text: str) -> bool:
        try:
            self._stream.write(text)
            self._stream.flush()
            return True
        except (OSError, ValueError):
            return False

    def _live_text(self) -> str:
        return f"{self._label}  {clock(time.monotonic() - self._since)}"

    def _in_place(self, text: str) -> None:
        """Writes `text` where the live line is, through the passthrough: it clears the line first."""
        try:
            self._passthrough.passthrough_write(text)
        except (OSError, ValueError):
            pass

    def _draw(self) -> bool:
        with self._lock:
            passthrough = self._passthrough  # read once: the teardown may clear it meanwhile
            if passthrough is not None:
                passthrough.passthrough_show(self._live_text())
                self._shown = True
                return True
            if self._foreign_line:
                return True
            self._shown = True
            return self._write(f"\r{self._live_text()}\x1b[K")

    def _redraw(self) -> None:
        try:
            # Wake just after each whole second of the step, so that the counter never skips one.
            while not self._stop.wait(1.0 - (time.monotonic() - self._since) % 1.0 + 0.01):
                if not self._draw():
                    return
        except BaseException as error:
            # Left to the thread, it would print a traceback across the live line while the run
            # went on without a word; the main thread raises it when it stops this thread.
            self._failure = error

    def _passing(self, inner: TextIO, text: str) -> int:
        """Writes `text` to `inner` (another stream on the terminal) in place of the live line,
        and draws the line again under it once the text ends a line."""
        with self._lock:
            if self._shown and text:
                self._write("\r\x1b[K")
                self._shown = False
            written = inner.write(text)
            inner.flush()
            if text:
                self._foreign_line = not text.endswith("\n")
        if self._thread is not None and text.endswith("\n"):
            self._draw()
        return written

    @contextlib.contextmanager
    def attached(self) -> Iterator[None]:
        import os

        from qarv_convert import _native

        # Whatever stops the block, and whatever fails on the way out, the live line ends, the
        # redrawing thread ends (again, for a `close` cut short) and the streams come back: each
        # undo runs, last registered first, even when one before it raised; the terminal goes to
        # the next run last.
        with _TERMINAL, contextlib.ExitStack() as undo:
            _flush_standard_streams()
            try:
                terminal = self._stream.fileno()
            except (OSError, ValueError):
                terminal = -1
            descriptors = [fd for fd in (1, 2) if os.isatty(fd)]
            if terminal >= 0 and descriptors and _native.passthrough_start(terminal, descriptors):
                # A toolkit's output otherwise went on into pipes that nobody reads once the
                # process leaves this block.
                undo.callback(_native.passthrough_stop)
                undo.callback(setattr, self, "_passthrough", None)
                undo.callback(self._stop_redrawing)
                undo.callback(self._close_and_flush)
                self._passthrough = _native
            else:
                saved = sys.stdout, sys.stderr
                sys.stdout, sys.stderr = (_AboveLiveLine(stream, self) if stream is not None and stream.isatty()
                                          else stream for stream in saved)
                undo.callback(self._restore_streams, saved)
                undo.callback(self._stop_redrawing)
                undo.callback(self.close)
            yield

    def _close_and_flush(self) -> None:
        self.close()
        _flush_standard_streams()

    @staticmethod
    def _restore_streams(saved: tuple[Any, Any]) -> None:
        sys.stdout, sys.stderr = saved

    def _whole_line(self, text: str) -> None:
        """A line of its own between steps, while no live line is shown."""
        with self._lock:
            if self._passthrough is not None:
                self._in_place(f"{text}\n")
                self._shown = False
                return
            start = "\n" if self._foreign_line else ""
            self._write(f"{start}{text}\n")
            self._foreign_line = False

    def skipped(self, method: str, reason: str) -> None:
        self._whole_line(skipped_line(method, reason))

    def started(self, step: Step) -> None:
        self._halt()
        if self._verbose:
            self._whole_line(call_line(step))
        self._label, self._since = step.label, time.monotonic()
        self._stop.clear()
        self._draw()
        self._thread = threading.Thread(target=self._redraw, name="qarv-convert progress", daemon=True)
        self._thread.start()

    def finished(self, step: Step) -> None:
        self._halt()
        with self._lock:
            if self._passthrough is not None:
                self._in_place(f"{finished_line(step)}\x1b[K\n")
                self._shown = False
                return
            start = "\r" if self._shown else "\n" if self._foreign_line else ""
            self._write(f"{start}{finished_line(step)}\x1b[K\n")
            self._shown = self._foreign_line = False

    def _stop_redrawing(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()  # cut short by Ctrl-C, it is left for the next call to join

    def _halt(self) -> None:
        """Ends the redrawing thread, and raises what ended it early, if anything did."""
        self._stop_redrawing()
        if self._thread is None:
            return
        self._thread = None
        failure, self._failure = self._failure, None
        if failure is not None:
            raise failure

    def close(self) -> None:
        """Stops the redrawing and ends its line, so that a message after it starts on its own;
        safe to call at any time and more than once, and the line is ended also when stopping
        the thread fails (or the step's own line could not be made)."""
        try:
            self._halt()
        finally:
            with self._lock:
                if self._shown:
                    if self._passthrough is not None:
                        self._in_place(f"{self._live_text()}\n")  # the line stays, ended
                    else:
                        self._write("\n")
                    self._shown = False


def _flush_standard_streams() -> None:
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass


class _AboveLiveLine:
    """A stream on the same terminal as a live line, whose writes go above that line."""

    def __init__(self, inner: TextIO, progress: LiveProgress) -> None:
        self._inner = inner
        self._progress = progress

    def write(self, text: str) -> int:
        return self._progress._passing(self._inner, text)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._inner, name)
