"""`qarv-convert check`: warnings about keys and tables that the configuration ignores."""
from __future__ import annotations

import argparse

from qarv_convert.commands import add_command, load_failure, warn
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    check = add_command(subparsers, "check", "warn about keys and tables that the configuration ignores", run)
    check.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert import _native
    from qarv_convert.source import UnreadableFile, display_name, module_path

    name = display_name(options.config)
    try:
        with module_path(options.config) as path:
            warnings = _native.ignored_entries(path)
    except (RuntimeError, UnreadableFile) as error:
        return load_failure(streams, name, error)
    warn(streams, name, warnings)
    return ExitStatus.FAILED if options.strict and warnings else ExitStatus.OK
