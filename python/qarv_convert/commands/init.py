"""`qarv-convert init`: a starter configuration with every key described."""
from __future__ import annotations

import argparse

from qarv_convert.commands import add_command, version
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    init = add_command(subparsers, "init", "write a starter configuration with every key described", run,
                       with_config=False)
    init.add_argument("path", metavar="PATH", nargs="?", default="-",
                      help="file to create; - (the default) writes to stdout")
    init.add_argument("--force", action="store_true", help="replace PATH if it exists")


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert.run_record import write_file
    from qarv_convert.source import display_name
    from qarv_convert.starter import starter_configuration

    text = starter_configuration(version())
    if options.path == "-":
        return streams.emit(text)
    name = display_name(options.path)
    try:
        write_file(options.path, text, replace=options.force)
    except FileExistsError:
        streams.say(f"{PROGRAM}: {name}: already exists; use --force to replace it")
        return ExitStatus.FAILED
    except OSError as error:
        streams.say(f"{PROGRAM}: {name}: {error.strerror or error}")
        return ExitStatus.FAILED
    streams.say(f"{PROGRAM}: wrote {name}; set the values marked CHOOSE, then run: {PROGRAM} check --strict {name}")
    return ExitStatus.OK
