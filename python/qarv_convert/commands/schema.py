"""`qarv-convert schema`: the JSON Schema of configuration files."""
from __future__ import annotations

import argparse

from qarv_convert.commands import add_command
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    add_command(subparsers, "schema", "print the JSON Schema of configuration files", run, with_config=False)


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import json

    from qarv_convert.schema import configuration_schema

    return streams.emit(json.dumps(configuration_schema(), indent=2) + "\n")
