"""`qarv-convert schema`: the JSON Schema of configuration files."""
from __future__ import annotations

from qarv_convert.commands import add_command
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    schema = add_command(subparsers, "schema", run, with_config=False)
    schema.add_argument("--output", metavar="FILE", help="write the schema to FILE instead of stdout")


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import json

    from qarv_convert.schema import configuration_schema

    text = json.dumps(configuration_schema(), indent=2) + "\n"
    if options.output is None:
        return streams.emit(text)
    from qarv_convert.files import write_file
    from qarv_convert.source import display_name

    try:
        write_file(options.output, text)
    except OSError as error:
        streams.say(f"{PROGRAM}: {display_name(options.output)}: {error.strerror or error}")
        return ExitStatus.FAILED
    return ExitStatus.OK
