"""What the command line shows on a terminal: escaped text from files, elapsed times and step progress."""
from __future__ import annotations

import re
import threading
import time
from typing import TYPE_CHECKING, Protocol, TextIO

if TYPE_CHECKING:
    from qarv_convert.recording import Step

# C0 controls other than tab and newline, DEL and the C1 controls: any of them in a key name or a
# quoted source line could move the cursor, recolour or retitle the terminal.
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def printable(text: str) -> str:
    """`text` with every control character except tab and newline written as `\\u001b`."""
    return _CONTROL.sub(lambda match: f"\\u{ord(match[0]):04x}", text)


def clock(seconds: float) -> str:
    """Elapsed time as `mm:ss`, or `h:mm:ss` from an hour on."""
    minutes, second = divmod(int(seconds), 60)
    hours, minute = divmod(minutes, 60)
    return f"{hours}:{minute:02}:{second:02}" if hours else f"{minute:02}:{second:02}"


def finished_line(step: Step) -> str:
    outcome = f"returned {step.result!r}" if step.raised is None else f"raised {step.raised}"
    return f"{step.label} {outcome} after {step.seconds:.3f} s"


class Progress(Protocol):
    """Told when each toolkit step starts and ends; `close` ends whatever it still shows."""

    def started(self, step: Step) -> None: ...
    def finished(self, step: Step) -> None: ...
    def close(self) -> None: ...


class NoProgress:
    """`--quiet`: nothing at all."""

    def started(self, step: Step) -> None:
        pass

    def finished(self, step: Step) -> None:
        pass

    def close(self) -> None:
        pass


class PlainProgress:
    """One line when a step starts and one when it ends, for logs and pipes."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def _line(self, text: str) -> None:
        try:
            self._stream.write(text + "\n")
            self._stream.flush()
        except (OSError, ValueError):
            pass  # a report nobody can read is no reason to stop a conversion

    def started(self, step: Step) -> None:
        self._line(f"{step.label} ...")

    def finished(self, step: Step) -> None:
        self._line(finished_line(step))

    def close(self) -> None:
        pass


class LiveProgress:
    """On a terminal: the running step with its elapsed time on one line, redrawn every second
    by a thread of its own, replaced by the finished line when the step ends."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._label = ""
        self._since = 0.0

    def _write(self, text: str) -> bool:
        try:
            self._stream.write(text)
            self._stream.flush()
            return True
        except (OSError, ValueError):
            return False

    def _draw(self) -> bool:
        with self._lock:
            return self._write(f"\r{self._label}  {clock(time.monotonic() - self._since)}\x1b[K")

    def _redraw(self) -> None:
        # Wake just after each whole second of the step, so that the counter never skips one.
        while not self._stop.wait(1.0 - (time.monotonic() - self._since) % 1.0 + 0.01):
            if not self._draw():
                return

    def started(self, step: Step) -> None:
        self._halt()
        self._label, self._since = step.label, time.monotonic()
        self._stop.clear()
        self._draw()
        self._thread = threading.Thread(target=self._redraw, name="qarv-convert progress", daemon=True)
        self._thread.start()

    def finished(self, step: Step) -> None:
        self._halt()
        with self._lock:
            self._write(f"\r{finished_line(step)}\x1b[K\n")

    def _halt(self) -> bool:
        self._stop.set()
        if self._thread is None:
            return False
        self._thread.join()
        self._thread = None
        return True

    def close(self) -> None:
        """Stops the redrawing and ends its line, so that a message after it starts on its own;
        safe to call at any time and more than once."""
        if self._halt():
            self._write("\n")
