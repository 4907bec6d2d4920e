"""`qarv-convert check`: the pre-flight checks of configuration files against their models, data and limits."""
from __future__ import annotations

import argparse

from qarv_convert.commands import add_directory_option, report_preflight
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    help = "check configuration files against their models, data and limits, without running anything"
    check = subparsers.add_parser("check", help=help, description=help)
    check.add_argument("config", metavar="CONFIG", nargs="+", help="path of a TOML configuration file")
    add_directory_option(check)
    check.add_argument("--strict", action="store_true", help="exit with status 1 on warnings too")
    check.add_argument("--format", choices=("text", "json"), default="text",
                       help="text (FILE:LINE:COLUMN lines on stderr, the default) or a JSON array on stdout")
    check.set_defaults(run=run)


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import json

    from qarv_convert.preflight import check_file

    failed = False
    reports = []
    for path in options.config:
        report = check_file(path)
        streams.check_interrupted()
        failed = failed or report.errors > 0 or (options.strict and report.warnings > 0)
        if options.format == "json":
            reports.append(report.to_json())
        else:
            report_preflight(streams, report)
    if options.format == "json":
        from qarv_convert.display import printable

        status = streams.emit(printable(json.dumps(reports, indent=2, ensure_ascii=False)) + "\n")
        if status is not ExitStatus.OK:
            return status
    return ExitStatus.FAILED if failed else ExitStatus.OK
