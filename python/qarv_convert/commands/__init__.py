"""The commands of `qarv-convert`, one module each, and what their reports share."""
from __future__ import annotations

import argparse
import contextlib

from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Iterator, Sequence

    from qarv_convert.preflight import Report

    Run = Callable[[argparse.Namespace, Streams], ExitStatus]

#: The command modules, in the order `--help` lists them.
NAMES = ("init", "convert", "batch", "explain", "plan", "check", "schema", "env")

#: What CONFIG's help says.
CONFIG_HELP = "path of the TOML configuration file; - reads it from standard input"


def add_command(subparsers: argparse._SubParsersAction, name: str, help: str, run: Run,
                with_config: bool = True) -> argparse.ArgumentParser:
    """A subcommand that calls `run(options, streams)`, with the CONFIG argument unless told not to."""
    sub = subparsers.add_parser(name, help=help, description=help)
    if with_config:
        sub.add_argument("config", metavar="CONFIG", help=CONFIG_HELP)
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


def report_preflight(streams: Streams, report: Report, quiet_when_clean: bool = False,
                     overrides: Sequence[str] = ()) -> None:
    """The pre-flight diagnostics on stderr, each with its excerpt, then the count; a file that
    does not load gets loading's own report, with its hints and note."""
    from qarv_convert.source import display_name

    if report.load_error is not None:
        # Standard input cannot be read a second time for the note.
        note = load_note(report.path, overrides) if report.path != "-" else None
        load_failure(streams, display_name(report.path), RuntimeError(report.load_error), overrides, note)
        return
    if quiet_when_clean and not report.diagnostics:
        return
    streams.say(report.to_text().rstrip("\n"))


def _override(text: str) -> str:
    if "\n" in text or "\r" in text:
        raise argparse.ArgumentTypeError("an override is one line: SECTION.KEY=VALUE")
    if "=" not in text:
        raise argparse.ArgumentTypeError(f"{text!r} is not SECTION.KEY=VALUE")
    return text


def add_overrides(parser: argparse.ArgumentParser) -> None:
    """`--set SECTION.KEY=VALUE`, repeatable, into `options.overrides`."""
    parser.add_argument("--set", dest="overrides", metavar="SECTION.KEY=VALUE", action="append", default=[],
                        type=_override,
                        help="set a key for this run over the file's value (VALUE in TOML syntax, "
                             "for example --set 'build.dataset=\"calib.txt\"'); repeatable")


def _override_named(report: str, overrides: Sequence[str]) -> str | None:
    """The override a report quotes: its excerpt is that override's one line."""
    lines = report.split("\n")
    if len(lines) > 2 and lines[0].startswith("TOML parse error at line 1,"):
        quoted = lines[2]
        for override in reversed(overrides):
            if quoted == f"1 | {override}":
                return override
    return None


def load_failure(streams: Streams, name: str, error: BaseException, overrides: Sequence[str] = (),
                 note: Callable[[], str | None] | None = None) -> ExitStatus:
    """Reports a file that did not load: a read failure on one line, a configuration report under
    a line that names the file (or the override at fault), with plain-words hints below it; `note`
    gives where the faulty key stands when the report points elsewhere."""
    from qarv_convert.display import printable
    from qarv_convert.hints import hints, without_carriage_returns

    streams.check_interrupted()
    text = printable(str(error)).rstrip("\n")
    if not text.startswith("TOML parse error at line "):
        streams.say(f"{PROGRAM}: {name}: {text}")
        return ExitStatus.FAILED
    override = _override_named(text, overrides)
    heading = f"{PROGRAM}: --set {printable(override)}: invalid override" if override is not None \
        else f"{PROGRAM}: {name}: invalid configuration"
    extra = hints(text)
    if override is None and note is not None:
        if with_note := note():
            # The excerpt of a report at the key's value, whose message names the key.
            first, *excerpt, key = printable(with_note).rstrip("\n").split("\n")
            extra += [f"note: {key} is at {first.removeprefix('note at ')}", *excerpt]
    streams.say(heading, without_carriage_returns(text), *extra)
    return ExitStatus.FAILED


def warn(streams: Streams, name: str, warnings: list[str]) -> None:
    """The warnings about ignored keys and tables, then a line that counts them (or says ok)."""
    from qarv_convert.display import printable

    for warning in warnings:
        streams.say(printable(warning))
    count = len(warnings)
    streams.say(f"{name}: {count} warning{'s' if count != 1 else ''}" if count else f"{name}: ok")


def ignored_entries(path: str, overrides: Sequence[str]) -> list[str]:
    """The warnings of `check`; loading faults raise RuntimeError with the module's text."""
    from qarv_convert import _native

    return _native.ignored_entries_with(path, list(overrides)) if overrides else _native.ignored_entries(path)


def load_note(path: str, overrides: Sequence[str]) -> Callable[[], str | None]:
    """Where a faulty `[load]` key stands in the file at `path`, asked only when a report needs it."""

    def note() -> str | None:
        from qarv_convert import _native

        try:
            return _native.load_note(path, list(overrides))
        except (RuntimeError, OSError):
            return None

    return note


def version() -> str:
    from qarv_convert._version import __version__

    return __version__
