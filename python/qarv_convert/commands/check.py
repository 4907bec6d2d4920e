"""`qarv-convert check`: warnings about keys and tables that the configuration ignores."""
from __future__ import annotations

import argparse

from qarv_convert.commands import add_command, add_overrides, ignored_entries, load_failure, load_note, warn
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    check = add_command(subparsers, "check", "warn about keys and tables that the configuration ignores", run)
    check.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")
    add_overrides(check)


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert.source import UnreadableFile, display_name, module_path

    name = display_name(options.config)
    try:
        with module_path(options.config) as path:
            try:
                warnings = ignored_entries(path, options.overrides)
            except RuntimeError as error:
                return load_failure(streams, name, error, options.overrides, load_note(path, options.overrides))
    except UnreadableFile as error:
        return load_failure(streams, name, error)
    warn(streams, name, warnings)
    return ExitStatus.FAILED if options.strict and warnings else ExitStatus.OK
