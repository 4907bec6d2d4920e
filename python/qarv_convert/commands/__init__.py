"""The commands of `qarv-convert`, one module each, and what their reports share."""
from __future__ import annotations

import argparse
import contextlib
from typing import TYPE_CHECKING, Callable, Iterator

from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

if TYPE_CHECKING:
    from qarv_convert.preflight import Report

    Run = Callable[[argparse.Namespace, Streams], ExitStatus]

#: The command modules, in the order `--help` lists them.
NAMES = ("init", "convert", "explain", "plan", "check", "schema")


def add_command(subparsers: argparse._SubParsersAction, name: str, help: str, run: Run,
                with_config: bool = True) -> argparse.ArgumentParser:
    """A subcommand that calls `run(options, streams)`, with the CONFIG argument unless told not to."""
    sub = subparsers.add_parser(name, help=help, description=help)
    if with_config:
        sub.add_argument("config", metavar="CONFIG", help="path of the TOML configuration file")
        add_directory_option(sub)
    sub.set_defaults(run=run)
    return sub


def add_directory_option(parser: argparse.ArgumentParser) -> None:
    """`-C DIR`: run as if started in DIR, where the toolkit resolves the file's relative paths."""
    parser.add_argument("-C", dest="directory", metavar="DIR",
                        help="run as if started in DIR: the configuration and the relative paths in it are read from there")


@contextlib.contextmanager
def in_directory(options: argparse.Namespace, streams: Streams) -> Iterator[bool]:
    """Changes to the `-C` directory for the command and back afterwards; yields False, having
    said why, when it cannot."""
    directory = getattr(options, "directory", None)
    if directory is None:
        yield True
        return
    import os

    from qarv_convert.source import display_name

    try:
        previous = os.getcwd()
    except OSError:
        previous = None
    try:
        os.chdir(directory)
    except OSError as error:
        streams.say(f"{PROGRAM}: -C {display_name(directory)}: {error.strerror or error}")
        yield False
        return
    try:
        yield True
    finally:
        if previous is not None:
            os.chdir(previous)


def report_preflight(streams: Streams, report: Report, quiet_when_clean: bool = False) -> None:
    """The pre-flight diagnostics on stderr, each with its excerpt, then the count; a file that
    does not load gets loading's own report."""
    from qarv_convert.source import display_name

    if report.load_error is not None:
        load_failure(streams, display_name(report.path), RuntimeError(report.load_error))
        return
    if quiet_when_clean and not report.diagnostics:
        return
    streams.say(report.to_text().rstrip("\n"))


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
