"""The `qarv-convert` command line: its parser, and the run of one command with its streams."""
from __future__ import annotations

import argparse
import importlib
import sys

from qarv_convert.commands import NAMES, in_directory, version
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, STOPPING, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Sequence


def _columns() -> int:
    """The terminal's width as argparse finds it (COLUMNS, then standard output's terminal, then
    80), without the cost of importing shutil for it."""
    import os

    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns if columns > 0 else 80


class _Formatter(argparse.HelpFormatter):
    """argparse's own layout, with the terminal's width asked once per run instead of once for
    every argument that is added."""

    width: int | None = None

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        if width is None:
            if _Formatter.width is None:
                _Formatter.width = _columns() - 2
            width = _Formatter.width
        super().__init__(prog, indent_increment, max_help_position, width)


class _Parser(argparse.ArgumentParser):
    """argparse's parser, except that a failed write of --help or --version to stdout is raised
    (argparse passes over it and exits 0) for the run to report."""

    def _print_message(self, message: str, file: object = None) -> None:
        if message and file is sys.stdout and sys.stdout is not None:
            sys.stdout.write(message)
            return
        super()._print_message(message, file)  # type: ignore[arg-type]


class _SubcommandParser(_Parser):
    def __init__(self, **keywords: object) -> None:
        keywords.setdefault("formatter_class", _Formatter)
        super().__init__(**keywords)  # type: ignore[arg-type]


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The whole command line's parser; with `command`, one that knows that command alone, which
    is all a run of it needs (the other commands' modules are not imported)."""
    _Formatter.width = None
    parser = _Parser(
        prog=PROGRAM,
        formatter_class=_Formatter,
        description="Convert a model on the QARV toolkit as a TOML configuration file describes it.",
        epilog="Exit status: 0 success, 1 a failed conversion or a configuration error, 2 a usage error, "
               "130 interrupted (Ctrl-C), 143 and 129 ended by SIGTERM and SIGHUP.",
    )
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_SubcommandParser)
    for name in (command,) if command in NAMES else NAMES:
        importlib.import_module(f"qarv_convert.commands.{name}").add_parser(commands)
    return parser


def _is_panic(error: BaseException) -> bool:
    """The modules' internal-failure exception, a BaseException subclass known only by name."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ in ("qarv_convert_inner", "qarv_convert._native")


def run(options: argparse.Namespace, streams: Streams) -> int:
    """Runs the chosen command; Ctrl-C and internal failures end it with their own status."""
    from qarv_convert.text import printable
    from qarv_convert.source import display_name

    try:
        try:
            with in_directory(options, streams) as entered:
                return options.run(options, streams) if entered else ExitStatus.FAILED
        except BaseException as error:
            if not _is_panic(error):
                raise
            streams.check_interrupted()
            where = f" {display_name(options.config)}:" if getattr(options, "config", None) else ""
            streams.say(f"{PROGRAM}:{where} internal failure: {printable(str(error))}")
            return ExitStatus.FAILED
    except KeyboardInterrupt:
        streams.say(f"{PROGRAM}: {streams.interrupted_note()}")
        return streams.interrupted_status()


def main(argv: Sequence[str] | None = None) -> int:
    streams = Streams()
    arguments = list(sys.argv[1:] if argv is None else argv)
    with streams.guarded():
        try:
            options = build_parser(arguments[0] if arguments else None).parse_args(arguments)
        except OSError as error:  # --help or --version could not be written
            return int(streams.write_failed(error))
        except SystemExit as leaving:
            # --help and --version print, then leave: what they printed must have got there.
            if leaving.code == 0:
                if streams.stdout_closed:
                    return int(streams.stdout_failure("it is closed"))
                if (failed := streams.flush_stdout()) is not None:
                    return int(streams.write_failed(failed))
            raise
        options.argv = arguments
        with streams.interrupts_noted(STOPPING):
            return int(run(options, streams))


if __name__ == "__main__":
    sys.exit(main())
