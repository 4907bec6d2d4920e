"""The exit statuses of the command line."""
from __future__ import annotations

import enum
import signal

#: The signals that end a run as Ctrl-C does: a terminal's Ctrl-C, a service manager's or `kill`'s
#: request, and the hang-up of the terminal the run was started from.
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class ExitStatus(enum.IntEnum):
    """What `qarv-convert` exits with."""

    OK = 0
    #: A failed conversion, a configuration error, or output that could not be written.
    FAILED = 1
    #: A usage error (argparse exits with it itself).
    USAGE = 2
    #: Ctrl-C.
    INTERRUPTED = 130


def interrupted_note(number: int | None) -> str:
    """How the end of a run that the signal `number` stopped is told: `interrupted`, with the
    signal named unless it was Ctrl-C."""
    if number is None or number == signal.SIGINT:
        return "interrupted"
    return f"interrupted by {signal.Signals(number).name}"
