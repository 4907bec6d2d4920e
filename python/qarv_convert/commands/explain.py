"""`qarv-convert explain`: the configuration summary."""
from __future__ import annotations

import argparse
import errno

from qarv_convert.commands import add_command, load_failure
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    add_command(subparsers, "explain", "print the configuration summary: values, defaults and descriptions", run)


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert import _native
    from qarv_convert.source import UnreadableFile, display_name, module_path

    if streams.stdout_closed:
        return streams.stdout_failure("it is closed")
    # The summary goes straight to the file descriptor, after anything buffered.
    if (failed := streams.flush_stdout()) is not None:
        return streams.write_failed(failed)
    try:
        with module_path(options.config) as path:
            _native.explain_to(1, path)
    except _native.WriteError as error:
        if error.errno == errno.EPIPE:
            return ExitStatus.FAILED  # the reader went away (`| head`): end quietly, as filters do
        return streams.stdout_failure(f"{error.strerror} (os error {error.errno})")
    except (RuntimeError, UnreadableFile) as error:
        return load_failure(streams, display_name(options.config), error)
    return ExitStatus.OK
