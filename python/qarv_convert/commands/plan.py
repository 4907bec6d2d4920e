"""`qarv-convert plan`: the toolkit calls a conversion would make, without a toolkit."""
from __future__ import annotations

import argparse

from qarv_convert.commands import add_command, load_failure
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    plan = add_command(subparsers, "plan", "print the toolkit calls a conversion would make, without a toolkit", run)
    plan.add_argument("--json", action="store_true", help="print the calls as a JSON array")


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import qarv_convert_inner

    from qarv_convert.planning import plan_json, plan_text
    from qarv_convert.source import UnreadableFile, display_name, module_path
    from qarv_convert.toolkit_proxy import Call, recording_toolkit

    calls: list[Call] = []
    try:
        with module_path(options.config) as path, recording_toolkit(calls):
            qarv_convert_inner.rust_convert(path)
    except (RuntimeError, UnreadableFile) as error:
        return load_failure(streams, display_name(options.config), error)
    return streams.emit(plan_json(calls) if options.json else plan_text(calls))
