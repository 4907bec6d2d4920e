"""`qarv-convert plan`: the toolkit calls a conversion would make, without a toolkit."""
from __future__ import annotations

from qarv_convert.commands import add_command, add_overrides, report_load_failure, report_preflight
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    plan = add_command(subparsers, "plan", run)
    plan.add_argument("--json", action="store_true",
                      help="print the calls as a JSON array; with --set, an object of the overrides and the calls")
    plan.add_argument("--no-preflight", action="store_true",
                      help="leave the model and data out of the pre-flight checks")
    add_overrides(plan)


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert import _native
    from qarv_convert.planning import plan_json, plan_text
    from qarv_convert.preflight import check_file
    from qarv_convert.source import UnreadableFile, display_name, module_path
    from qarv_convert.steps import Call
    from qarv_convert.toolkit_proxy import recording_toolkit

    name = display_name(options.config)
    calls: list[Call] = []
    try:
        with module_path(options.config) as path:
            # The diagnostics go to stderr; with an error the conversion would make no call at all.
            report = check_file(options.config, model_and_data=not options.no_preflight, readable=path,
                                overrides=options.overrides)
            streams.check_interrupted()
            report_preflight(streams, report, quiet_when_clean=True, overrides=options.overrides)
            if report.errors:
                return ExitStatus.FAILED
            # The report holds the file's text and values: let them go before the file is loaded again.
            del report
            try:
                with recording_toolkit(calls):
                    _native.convert(path, options.overrides)
            except RuntimeError as error:
                return report_load_failure(streams, name, error, options.overrides)
    except UnreadableFile as error:
        return report_load_failure(streams, name, error)
    if options.json:
        return streams.emit(plan_json(calls, options.overrides))
    return streams.emit(plan_text(calls))
