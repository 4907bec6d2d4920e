"""`qarv-convert check`: the pre-flight of configuration files, run before any conversion."""
from __future__ import annotations

import argparse

from qarv_convert.commands import CONFIG_HELP, add_directory_option, add_overrides, report_preflight
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    help = "check configuration files against their models, data and limits, without running anything"
    check = subparsers.add_parser("check", help=help, description=help)
    check.add_argument("config", metavar="CONFIG", nargs="+", help=CONFIG_HELP)
    add_directory_option(check)
    check.add_argument("--strict", action="store_true", help="exit with status 1 on warnings too")
    check.add_argument("--no-preflight", action="store_true",
                       help="leave the model and data out of the checks; the file's own checks stay")
    check.add_argument("--format", choices=("text", "json"), default="text",
                       help="text (FILE:LINE:COLUMN lines on stderr, the default) or a JSON array on stdout")
    add_overrides(check)
    check.set_defaults(run=run)


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import json

    from qarv_convert.preflight import check_file

    failed = False
    reports = []
    for path in options.config:
        report = check_file(path, model_and_data=not options.no_preflight, overrides=options.overrides)
        streams.check_interrupted()
        failed = failed or report.errors > 0 or (options.strict and report.warnings > 0)
        if options.format == "json":
            reports.append(report.to_json())
        else:
            report_preflight(streams, report, overrides=options.overrides)
    if options.format == "json":
        from qarv_convert.text import printable

        status = streams.emit(printable(json.dumps(reports, indent=2, ensure_ascii=False)) + "\n")
        if status is not ExitStatus.OK:
            return status
    return ExitStatus.FAILED if failed else ExitStatus.OK
