"""The `qarv-convert` command line: its parser, and the run of one command with its streams."""
from __future__ import annotations

import argparse
import importlib
import sys
from typing import Sequence

from qarv_convert.commands import NAMES, version
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Convert a model on the QARV toolkit as a TOML configuration file describes it.",
        epilog="Exit status: 0 success, 1 a failed conversion or a configuration error, 2 a usage error, "
               "130 interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in NAMES:
        importlib.import_module(f"qarv_convert.commands.{name}").add_parser(commands)
    return parser


def _is_panic(error: BaseException) -> bool:
    """The modules' internal-failure exception, a BaseException subclass known only by name."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ in ("qarv_convert_inner", "qarv_convert._native")


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    """Runs the chosen command; Ctrl-C and internal failures end it with their own status."""
    from qarv_convert.display import printable

    try:
        try:
            return options.run(options, streams)
        except BaseException as error:
            if not _is_panic(error):
                raise
            streams.check_interrupted()
            streams.say(f"{PROGRAM}: internal failure: {printable(str(error))}")
            return ExitStatus.FAILED
    except KeyboardInterrupt:
        streams.say(f"{PROGRAM}: interrupted")
        return ExitStatus.INTERRUPTED


def main(argv: Sequence[str] | None = None) -> int:
    streams = Streams()
    with streams.guarded():
        options = build_parser().parse_args(argv)
        with streams.interrupts_noted():
            return int(run(options, streams))


if __name__ == "__main__":
    sys.exit(main())
