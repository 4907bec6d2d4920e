"""The exit statuses of the command line."""
from __future__ import annotations

import enum


class ExitStatus(enum.IntEnum):
    """What `qarv-convert` exits with."""

    OK = 0
    #: A failed conversion, a configuration error, or output that could not be written.
    FAILED = 1
    #: A usage error (argparse exits with it itself).
    USAGE = 2
    #: Ctrl-C.
    INTERRUPTED = 130
