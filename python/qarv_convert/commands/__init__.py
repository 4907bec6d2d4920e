"""The commands of `qarv-convert`, one module each, and what their reports share."""
from __future__ import annotations

from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any, Callable, Sequence

    from qarv_convert.preflight import Report

    Run = Callable[[argparse.Namespace, Streams], ExitStatus]

#: The commands, each with its line in `--help` (also the opening of its own page), in the order
#: `--help` lists them; each is the module of that name here. The list alone needs none of them
#: imported, so a run imports only the command it runs.
COMMANDS = {
    "init": "write a starter configuration with every key described",
    "convert": "check the file, then run the conversion on the toolkit, step by step",
    "batch": "run many conversions, each in a process of its own: several files, and sweeps over values with --vary",
    "explain": "print the configuration summary: values, defaults and descriptions",
    "plan": "print the toolkit calls a conversion would make, without a toolkit",
    "check": "check configuration files against their models, data and limits, without running anything",
    "schema": "print the JSON Schema of configuration files",
    "env": "print the versions of this package, its module, Python, the platform, NumPy and the toolkit, for bug "
           "reports",
}
NAMES = tuple(COMMANDS)

#: What CONFIG's help says.
CONFIG_HELP = "path of the TOML configuration file; - reads it from standard input"


def add_command(subparsers: argparse._SubParsersAction, name: str, run: Run,
                with_config: bool = True) -> argparse.ArgumentParser:
    """The subcommand `name`, which calls `run(options, streams)`, with the CONFIG argument unless
    told not to."""
    sub = subparsers.add_parser(name, help=COMMANDS[name], description=COMMANDS[name])
    if with_config:
        sub.add_argument("config", metavar="CONFIG", help=CONFIG_HELP)
        add_directory_option(sub)
    sub.set_defaults(run=run)
    return sub


def add_directory_option(parser: argparse.ArgumentParser) -> None:
    """`-C DIR`: run as if started in DIR, where the toolkit resolves the file's relative paths."""
    parser.add_argument("-C", dest="directory", metavar="DIR",
                        help="run as if started in DIR: the configuration and the relative paths in it are read from there")


def in_directory(options: argparse.Namespace, streams: Streams) -> _InDirectory:
    """A `with` block in the `-C` directory for the command, back where it was afterwards; it
    gives False, having said why, when the directory cannot be entered (else True)."""
    return _InDirectory(getattr(options, "directory", None), streams)


class _InDirectory:
    """The block of `in_directory`. (A class rather than a generator under
    contextlib.contextmanager: contextlib's imports would cost most of a short command's start.)"""

    def __init__(self, directory: str | None, streams: Streams) -> None:
        self._directory = directory
        self._streams = streams
        self._entered: Any = None

    def __enter__(self) -> bool:
        if self._directory is None:
            return True
        from qarv_convert.source import display_name
        from qarv_convert.workdir import working_directory

        block = working_directory(self._directory)
        try:
            block.__enter__()
        except OSError as error:
            self._streams.say(f"{PROGRAM}: -C {display_name(self._directory)}: {error.strerror or error}")
            return False
        self._entered = block
        return True

    def __exit__(self, *exception: Any) -> bool | None:
        block, self._entered = self._entered, None
        return None if block is None else block.__exit__(*exception)


def report_preflight(streams: Streams, report: Report, quiet_when_clean: bool = False,
                     overrides: Sequence[str] = ()) -> None:
    """The pre-flight diagnostics on stderr, each with its excerpt, then the count; a file that
    does not load gets loading's own report, with its hints and note."""
    from qarv_convert.source import display_name

    if report.load_fault is not None:
        report_load_failure(streams, display_name(report.path), report.load_fault, overrides)
        return
    if quiet_when_clean and not report.diagnostics:
        return
    streams.say(report.to_text().rstrip("\n"))


def _override(text: str) -> str:
    if "\n" in text or "\r" in text:
        raise usage_error("an override is one line: SECTION.KEY=VALUE")
    if "=" not in text:
        raise usage_error(f"{text!r} is not SECTION.KEY=VALUE")
    return text


def usage_error(message: str) -> Exception:
    """The error an option's type function raises for argparse to report as a usage error; argparse
    is imported only then, as a run whose options parse well does without it."""
    import argparse

    return argparse.ArgumentTypeError(message)


def add_overrides(parser: argparse.ArgumentParser) -> None:
    """`--set SECTION.KEY=VALUE`, repeatable, into `options.overrides`."""
    parser.add_argument("--set", dest="overrides", metavar="SECTION.KEY=VALUE", action="append", default=[],
                        type=_override,
                        help="set a key for this run over the file's value (VALUE in TOML syntax, "
                             "for example --set 'build.dataset=\"calib.txt\"'); repeatable")


def report_load_failure(streams: Streams, name: str, error: BaseException, overrides: Sequence[str] = ()) -> ExitStatus:
    """Reports a file that did not load: a fault without a position (a read failure) on one line,
    one with a position as loading's report under a line that names the file (or the override at
    fault), with plain-words hints below it, and where the faulty key stands when the report
    points at its table."""
    from qarv_convert import _native
    from qarv_convert.hints import hints
    from qarv_convert.preflight.diagnostics import fault_lines
    from qarv_convert.text import cut, printable

    streams.check_interrupted()
    if not isinstance(error, _native.ConfigurationFault) or error.line is None:
        text = printable(str(error)).rstrip("\n")
        streams.say(f"{PROGRAM}: {name}: {text}")
        return ExitStatus.FAILED
    if error.override is not None:
        override, length = cut(error.override)
        heading = f"{PROGRAM}: --set {printable(override)}{length}: invalid override"
    else:
        heading = f"{PROGRAM}: {name}: invalid configuration"
    extra = hints(error)
    if error.note is not None and error.key is not None:
        section, _, key = error.key.partition(".")
        extra += [f"note: `{printable(key)}` in [{section}] is at line {error.note_line}, column {error.note_column}",
                  printable(error.note).rstrip("\n")]
    streams.say(heading, *fault_lines(error), *extra)
    return ExitStatus.FAILED


def version() -> str:
    from qarv_convert._version import __version__

    return __version__
