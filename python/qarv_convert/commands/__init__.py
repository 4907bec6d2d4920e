"""The commands of `qarv-convert`, one module each, and what their reports share."""
from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Callable

from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

if TYPE_CHECKING:
    Run = Callable[[argparse.Namespace, Streams], ExitStatus]

#: The command modules, in the order `--help` lists them.
NAMES = ("init", "convert", "explain", "plan", "check", "schema")


def add_command(subparsers: argparse._SubParsersAction, name: str, help: str, run: Run,
                with_config: bool = True) -> argparse.ArgumentParser:
    """A subcommand that calls `run(options, streams)`, with the CONFIG argument unless told not to."""
    sub = subparsers.add_parser(name, help=help, description=help)
    if with_config:
        sub.add_argument("config", metavar="CONFIG", help="path of the TOML configuration file")
    sub.set_defaults(run=run)
    return sub


def load_failure(streams: Streams, name: str, error: BaseException) -> ExitStatus:
    """Reports a file that did not load: a read failure on one line, a configuration report under
    a line that names the file."""
    from qarv_convert.display import printable

    streams.check_interrupted()
    text = printable(str(error)).rstrip("\n")
    if text.startswith("TOML parse error at line "):
        streams.say(f"{PROGRAM}: {name}: invalid configuration", text)
    else:
        streams.say(f"{PROGRAM}: {name}: {text}")
    return ExitStatus.FAILED


def warn(streams: Streams, name: str, warnings: list[str]) -> None:
    """The warnings about ignored keys and tables, then a line that counts them (or says ok)."""
    from qarv_convert.display import printable

    for warning in warnings:
        streams.say(printable(warning))
    count = len(warnings)
    streams.say(f"{name}: {count} warning{'s' if count != 1 else ''}" if count else f"{name}: ok")


def version() -> str:
    from qarv_convert._version import __version__

    return __version__
