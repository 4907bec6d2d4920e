"""`qarv-convert explain`: the configuration summary, as the module prints it or as Markdown or JSON."""
from __future__ import annotations

import errno

from qarv_convert.commands import add_command, add_overrides, report_load_failure
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    explain = add_command(subparsers, "explain", run)
    explain.add_argument("--changed", action="store_true", help="only the rows whose value differs from the default")
    explain.add_argument("--format", choices=("table", "markdown", "json"), default="table",
                         help="table (the default): the summary's console tables; markdown: a table per "
                              "section for documents; json: one object per row for scripts")
    add_overrides(explain)


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert import _native
    from qarv_convert.source import UnreadableFile, display_name, module_path

    if options.format != "table":
        return _rows(options, streams)
    if streams.stdout_closed:
        return streams.stdout_failure("it is closed")
    # The summary goes straight to the file descriptor, after anything buffered.
    if (failed := streams.flush_stdout()) is not None:
        return streams.write_failed(failed)
    name = display_name(options.config)
    try:
        with module_path(options.config) as path:
            try:
                _native.explain_to(1, path, options.overrides, options.changed)
            except RuntimeError as error:
                return report_load_failure(streams, name, error, options.overrides)
    except _native.WriteError as error:
        if error.errno == errno.EPIPE:
            return ExitStatus.FAILED  # the reader went away (`| head`): end quietly, as filters do
        return streams.stdout_failure(f"{error.strerror} (os error {error.errno})")
    except UnreadableFile as error:
        return report_load_failure(streams, name, error)
    return ExitStatus.OK


def _rows(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert import _native
    from qarv_convert.source import UnreadableFile, display_name, module_path

    name = display_name(options.config)
    try:
        with module_path(options.config) as path:
            try:
                sections = _native.summary_rows(path, options.overrides)
            except RuntimeError as error:
                return report_load_failure(streams, name, error, options.overrides)
    except UnreadableFile as error:
        return report_load_failure(streams, name, error)
    if options.changed:
        sections = [(section, [row for row in rows if row[3]]) for section, rows in sections]
        sections = [(section, rows) for section, rows in sections if rows]
    from qarv_convert.summary import json_rows, markdown_tables

    return streams.emit(markdown_tables(sections) if options.format == "markdown" else json_rows(sections))
