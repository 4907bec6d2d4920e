"""The exit statuses of the command line."""
from __future__ import annotations

# `signal` itself would import `enum` for its own enums, which every command's start would pay
# for; its C core holds the same numbers and functions, as plain ints.
import _signal

#: The signals that end a run as Ctrl-C does: a terminal's Ctrl-C, a service manager's or `kill`'s
#: request, and the hang-up of the terminal the run was started from.
STOPPING = (_signal.SIGINT, _signal.SIGTERM, _signal.SIGHUP)


class ExitStatus(int):
    """What `qarv-convert` exits with: ints with a name, as the members of an IntEnum are (an
    IntEnum would bring in `enum`, the largest import of a short command's start)."""

    name: str

    def __new__(cls, value: int, name: str) -> ExitStatus:
        member = super().__new__(cls, value)
        member.name = name
        return member

    def __repr__(self) -> str:
        return f"<ExitStatus.{self.name}: {int(self)}>"

    __str__ = int.__repr__

    OK: ExitStatus
    #: A failed conversion, a configuration error, or output that could not be written.
    FAILED: ExitStatus
    #: A usage error (argparse exits with it itself).
    USAGE: ExitStatus
    #: Ctrl-C.
    INTERRUPTED: ExitStatus


ExitStatus.OK = ExitStatus(0, "OK")
ExitStatus.FAILED = ExitStatus(1, "FAILED")
ExitStatus.USAGE = ExitStatus(2, "USAGE")
ExitStatus.INTERRUPTED = ExitStatus(130, "INTERRUPTED")


def interrupted_note(number: int | None) -> str:
    """How the end of a run that the signal `number` stopped is told: `interrupted`, with the
    signal named unless it was Ctrl-C."""
    if number is None or number == _signal.SIGINT:
        return "interrupted"
    import signal

    return f"interrupted by {signal.Signals(number).name}"
