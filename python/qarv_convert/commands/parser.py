"""The command line's argparse parser, for the runs that need it: help, usage errors, and any
options the plain reading leaves to it."""
from __future__ import annotations

import argparse
import importlib
import sys

from qarv_convert.commands import COMMANDS, NAMES, version
from qarv_convert.streams import PROGRAM


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


def build_parser(arguments: list[str] | None = None) -> argparse.ArgumentParser:
    """The command line's parser for a run given `arguments`, with each command's options where
    they can matter: all of them by default; only the command given first when one is (the others'
    modules are not imported); none when no command is given at all, so that nothing but the
    commands' names and lines (for --help and for the errors) can be asked of them."""
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
    given = set(NAMES).intersection(arguments) if arguments is not None else set(NAMES)
    if arguments and arguments[0] in NAMES:
        given = {arguments[0]}
    for name in NAMES:
        if name in given:
            importlib.import_module(f"qarv_convert.commands.{name}").add_parser(commands)
        else:
            commands.add_parser(name, help=COMMANDS[name])
    return parser
