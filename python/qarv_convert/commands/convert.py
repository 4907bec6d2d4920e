"""`qarv-convert convert`: check the file, then run the conversion on the toolkit, step by step."""
from __future__ import annotations

import sys

from qarv_convert.commands import add_command, add_overrides, report_preflight
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    from qarv_convert.run_record import RunRecord

#: `--record` to standard output.
STDOUT = "-"


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    convert = add_command(subparsers, "convert", run)
    convert.add_argument("-q", "--quiet", action="store_true", help="do not report the steps on stderr")
    convert.add_argument("-v", "--verbose", action="store_true",
                         help="show each step's call with its effective arguments before making it")
    convert.add_argument("--strict", action="store_true",
                         help="do not convert when the pre-flight checks warn")
    convert.add_argument("--no-preflight", action="store_true",
                         help="leave the model and data out of the pre-flight checks")
    convert.add_argument("--record", metavar="FILE",
                         help="write a JSON record of the run to FILE (- for stdout), whether it succeeds or fails")
    convert.add_argument("--traceback", action="store_true",
                         help="print the full traceback of an exception the toolkit raised")
    add_overrides(convert)


def _toolkit_hint() -> str:
    return (f"{PROGRAM}: hint: the toolkit's package `qarv` is not importable by {sys.executable}; "
            "install the toolkit into this interpreter, or put the directory that holds `qarv` on PYTHONPATH")


def _size(count: int) -> str:
    if count < 1024:
        return f"{count} B"
    for unit in ("KiB", "MiB", "GiB"):
        count /= 1024  # type: ignore[assignment]
        if count < 1024 or unit == "GiB":
            return f"{count:.1f} {unit}"
    raise AssertionError


def _artifact(record: RunRecord) -> str:
    """What the final line says about the exported file."""
    import os

    from qarv_convert.source import display_name
    from qarv_convert.steps import METHODS

    export = next((step for step in record.steps if step.method == METHODS["export"]), None)
    target = export.args[0] if export is not None and export.args else None
    if not isinstance(target, str):
        return "no export path set"
    try:
        return f"wrote {display_name(target)} ({_size(os.path.getsize(target))})"
    except OSError:
        return f"{display_name(target)} not found"


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert import run_record
    from qarv_convert.conversion import convert
    from qarv_convert.progress import progress_for
    from qarv_convert.source import display_name
    from qarv_convert.text import printable

    name = display_name(options.config)
    kept: list[str] = []  # the record for standard output, written once every line about the run is out
    try:
        record = convert(options.config, overrides=options.overrides, preflight=not options.no_preflight,
                         strict=options.strict, progress=progress_for(sys.stderr, options.quiet, options.verbose),
                         record=kept.append if options.record == STDOUT else options.record,
                         checked=lambda report: report_preflight(streams, report, quiet_when_clean=True,
                                                                 overrides=options.overrides),
                         command_line=[PROGRAM, *options.argv])
    except BaseException:
        _emit(streams, kept)
        raise
    stopped = record.stopped_at
    if stopped == run_record.RECORD:
        streams.say(f"{PROGRAM}: {display_name(options.record)}: {record.failure}")
        return ExitStatus.FAILED
    if stopped == run_record.PREFLIGHT:
        streams.say(f"{PROGRAM}: {name}: not converting: the pre-flight checks found errors")
    elif stopped == run_record.STRICT:
        streams.say(f"{PROGRAM}: {name}: not converting with --strict while there are warnings")
    elif stopped == run_record.TOOLKIT:
        streams.say(f"{PROGRAM}: {name}: {printable(str(record.error)).rstrip()}")
        if options.traceback and record.traceback:
            streams.say(printable(record.traceback).rstrip("\n"))
        # Only when the toolkit itself is missing: a module it needs is a matter for its installation.
        error = record.toolkit_error
        if isinstance(error, ModuleNotFoundError) and error.name in ("qarv", "qarv.api"):
            streams.say(_toolkit_hint())
    elif stopped is None and not options.quiet:
        streams.say(f"conversion finished after {record.toolkit_seconds:.3f} s: {_artifact(record)}")
    status = ExitStatus.OK if stopped is None else ExitStatus.FAILED
    if record.save_error is not None:
        error = record.save_error
        streams.say(f"{PROGRAM}: {display_name(options.record)}: cannot write the record: {error.strerror or error}")
        return ExitStatus.FAILED
    return _emit(streams, kept) or status


def _emit(streams: Streams, kept: list[str]) -> ExitStatus:
    return streams.emit(kept[0]) if kept else ExitStatus.OK
