"""The `qarv-convert` command line: convert, explain, plan, check and schema."""
from __future__ import annotations

import argparse
import json
import os
import signal
import sys
from typing import Any, Sequence

import qarv_convert_inner

from qarv_convert import _native
from qarv_convert.recording import Call, recording_toolkit, timed_toolkit
from qarv_convert.schema import configuration_schema


def _fail(message: str) -> int:
    print(message.rstrip("\n"), file=sys.stderr)
    return 1


def _convert(options: argparse.Namespace) -> int:
    def report(line: str) -> None:
        if not options.quiet:
            print(line, file=sys.stderr, flush=True)

    try:
        with timed_toolkit(report):
            qarv_convert_inner.rust_convert(options.config)
    except RuntimeError as error:
        return _fail(str(error))
    report("conversion finished")
    return 0


def _explain(options: argparse.Namespace) -> int:
    sys.stdout.flush()  # the summary goes straight to the file descriptor, after anything buffered
    if hasattr(signal, "SIGPIPE"):
        # Like other filters, end quietly when the reader goes away (`explain CONFIG | head`);
        # Python's default turns that into an error report from the module instead.
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    try:
        qarv_convert_inner.rust_explain(options.config)
    except RuntimeError as error:
        return _fail(str(error))
    return 0


def _describe(value: Any) -> str:
    """A value as a call listing shows it; arrays by shape and type, not by content."""
    shape, dtype = getattr(value, "shape", None), getattr(value, "dtype", None)
    if shape is not None and dtype is not None:
        return f"<array shape={tuple(shape)} dtype={dtype}>"
    if isinstance(value, list):
        return "[" + ", ".join(_describe(item) for item in value) + "]"
    return repr(value)


def format_call(number: int, call: Call) -> str:
    arguments = [_describe(arg) for arg in call.args]
    arguments += [f"{name}={_describe(value)}" for name, value in call.kwargs.items()]
    return f"{number}. {call.method}({', '.join(arguments)})"


def _plan(options: argparse.Namespace) -> int:
    calls: list[Call] = []
    try:
        with recording_toolkit(calls):
            qarv_convert_inner.rust_convert(options.config)
    except RuntimeError as error:
        return _fail(str(error))
    for number, call in enumerate(calls, start=1):
        print(format_call(number, call))
    return 0


def _check(options: argparse.Namespace) -> int:
    try:
        warnings = _native.ignored_entries(options.config)
    except RuntimeError as error:
        return _fail(str(error))
    for warning in warnings:
        print(warning, file=sys.stderr)
    count = len(warnings)
    print(f"{options.config}: {count} warning{'s' if count != 1 else ''}" if count else f"{options.config}: ok",
          file=sys.stderr)
    return 1 if options.strict and warnings else 0


def _schema(options: argparse.Namespace) -> int:
    print(json.dumps(configuration_schema(), indent=2))
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qarv-convert",
        description="Convert a model on the QARV toolkit as a TOML configuration file describes it.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, run: Any, with_config: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        if with_config:
            sub.add_argument("config", metavar="CONFIG", help="path of the TOML configuration file")
        sub.set_defaults(run=run)
        return sub

    convert = command("convert", "run the conversion on the toolkit, reporting each step's duration", _convert)
    convert.add_argument("-q", "--quiet", action="store_true", help="do not report the steps on stderr")
    command("explain", "print the configuration summary: values, defaults and descriptions", _explain)
    command("plan", "print the toolkit calls a conversion would make, without a toolkit", _plan)
    check = command("check", "warn about keys and tables that the configuration ignores", _check)
    check.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")
    command("schema", "print the JSON Schema of configuration files", _schema, with_config=False)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    options = build_parser().parse_args(argv)
    try:
        return int(options.run(options))
    except BrokenPipeError:
        # The reader went away (`| head`); say nothing more on a stream nobody reads.
        sys.stdout = open(os.devnull, "w")
        return 1


if __name__ == "__main__":
    sys.exit(main())
