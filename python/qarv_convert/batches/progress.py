"""What a batch says while it runs: a line per finished job, and on a terminal a live line of counts under them."""
from __future__ import annotations

import time
from typing import Any, TextIO

from qarv_convert.batches.results import GOOD, UP_TO_DATE


def job_line(item: dict[str, Any]) -> str:
    from qarv_convert.text import printable

    status = item["status"] + (f" ({item['signal']})" if item.get("signal") else "")
    seconds = f" after {item['seconds']:.1f} s" if item.get("seconds") else ""
    failure = item.get("failure")
    reason = f": {printable(failure.strip().splitlines()[0])}" if failure and failure.strip() else ""
    return f"{printable(item['name'])}: {status}{seconds}{reason}"


class BatchProgress:
    """Plain lines: one per job as it ends. `live` adds the redrawn line of counts on a terminal;
    `quiet` says nothing."""

    def __init__(self, stream: TextIO | None, live: bool = False, quiet: bool = False) -> None:
        self._stream = None if quiet else stream
        self._live = live
        self._started = time.monotonic()
        self.counts = {"done": 0, "failed": 0, "up to date": 0}
        self.total = 0
        self._running = 0
        self._shown = False

    def _write(self, text: str) -> None:
        if self._stream is None:
            return
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            self._stream = None  # nobody reads it any more; the batch goes on

    def _live_text(self) -> str:
        from qarv_convert.text import clock

        done = sum(self.counts.values())
        return (f"[{done}/{self.total}] running {self._running}, succeeded {self.counts['done']}, "
                f"failed {self.counts['failed']}, up to date {self.counts['up to date']}, "
                f"{clock(time.monotonic() - self._started)}")

    def _clear(self) -> None:
        if self._shown:
            self._write("\r\x1b[K")
            self._shown = False

    def say(self, text: str) -> None:
        """A whole line, above the live one."""
        self._clear()
        self._write(text.rstrip("\n") + "\n")
        self.tick(self._running)

    def finished(self, item: dict[str, Any]) -> None:
        status = item["status"]
        self.counts["up to date" if status == UP_TO_DATE else "done" if status in GOOD else "failed"] += 1
        if status != UP_TO_DATE or not self._live:
            self.say(job_line(item))

    def tick(self, running: int) -> None:
        self._running = running
        if self._live and self._stream is not None:
            self._write("\r\x1b[K" + self._live_text())
            self._shown = True

    def close(self) -> None:
        self._clear()

