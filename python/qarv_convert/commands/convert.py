"""`qarv-convert convert`: check the file, then run the conversion on the toolkit, step by step."""
from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING

from qarv_convert.commands import add_command, load_failure, version, warn
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

if TYPE_CHECKING:
    from qarv_convert.display import Progress
    from qarv_convert.run_record import RunRecord


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    convert = add_command(subparsers, "convert", "check the file, then run the conversion on the toolkit, step by step",
                          run)
    convert.add_argument("-q", "--quiet", action="store_true", help="do not report the steps on stderr")
    convert.add_argument("--strict", action="store_true",
                         help="do not convert when the file has keys or tables that would be ignored")
    convert.add_argument("--record", metavar="FILE",
                         help="write a JSON record of the run to FILE, whether it succeeds or fails")


def _progress(options: argparse.Namespace) -> Progress:
    from qarv_convert.display import LiveProgress, NoProgress, PlainProgress

    if options.quiet or sys.stderr is None:
        return NoProgress()
    if sys.stderr.isatty():
        return LiveProgress(sys.stderr)
    return PlainProgress(sys.stderr)


def _toolkit_hint() -> str:
    return (f"{PROGRAM}: hint: the toolkit's package `qarv` is not importable by {sys.executable}; "
            "install the toolkit into this interpreter, or put the directory that holds `qarv` on PYTHONPATH")


def _run_conversion(options: argparse.Namespace, streams: Streams, name: str, record: RunRecord) -> ExitStatus:
    """Checks the file, then runs the conversion; every outcome ends up in `record`."""
    import time

    import qarv_convert_inner

    from qarv_convert import _native
    from qarv_convert.display import printable
    from qarv_convert.source import module_path, sha256
    from qarv_convert.toolkit_proxy import Step, timed_toolkit

    with module_path(options.config) as path:
        record.sha256 = sha256(path)
        try:
            warnings = _native.ignored_entries(path)
        except RuntimeError as error:
            record.failure = str(error)
            return load_failure(streams, name, error)
        if warnings:
            warn(streams, name, warnings)
            if options.strict:
                record.failure = f"not converted: {len(warnings)} warning(s) with --strict"
                streams.say(f"{PROGRAM}: {name}: not converting with --strict while there are warnings")
                return ExitStatus.FAILED
        progress = _progress(options)

        def finished(step: Step) -> None:
            record.steps.append(step)
            progress.finished(step)

        started = time.perf_counter()
        try:
            with progress.attached(), timed_toolkit(progress.started, finished) as toolkit:
                try:
                    qarv_convert_inner.rust_convert(path)
                finally:
                    progress.close()
                    toolkit_package = sys.modules.get("qarv")
                    if isinstance(getattr(toolkit_package, "__version__", None), str):
                        record.toolkit_version = toolkit_package.__version__  # type: ignore[union-attr]
        except RuntimeError as error:
            streams.check_interrupted()
            record.failure = str(error)
            streams.say(f"{PROGRAM}: {printable(str(error)).rstrip()}")
            # Only when the toolkit itself is missing: a module it needs is a matter for its installation.
            if isinstance(toolkit.error, ModuleNotFoundError) and toolkit.error.name in ("qarv", "qarv.api"):
                streams.say(_toolkit_hint())
            return ExitStatus.FAILED
    record.failure = None
    if not options.quiet:
        streams.say(f"conversion finished after {time.perf_counter() - started:.3f} s")
    return ExitStatus.OK


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import os

    from qarv_convert.run_record import RunRecord
    from qarv_convert.source import UnreadableFile, display_name

    name = display_name(options.config)
    record = RunRecord(display_name(os.path.abspath(options.config)), version())
    if options.record is not None:
        # Find out now, not after an hour of building, that the record has nowhere to go.
        directory = os.path.dirname(os.path.abspath(options.record))
        if not os.path.isdir(directory):
            streams.say(f"{PROGRAM}: {display_name(options.record)}: no such directory for the record")
            return ExitStatus.FAILED
    try:
        status = _run_conversion(options, streams, name, record)
    except UnreadableFile as error:
        record.failure = str(error)
        status = load_failure(streams, name, error)
    except BaseException as error:
        record.failure = "interrupted" if isinstance(error, KeyboardInterrupt) else f"{type(error).__qualname__}: {error}"
        _save_record(options, streams, record)
        raise
    return _save_record(options, streams, record) or status


def _save_record(options: argparse.Namespace, streams: Streams, record: RunRecord) -> ExitStatus:
    from qarv_convert.run_record import write_file
    from qarv_convert.source import display_name

    if options.record is None:
        return ExitStatus.OK
    try:
        write_file(options.record, record.to_json())
    except OSError as error:
        streams.say(f"{PROGRAM}: {display_name(options.record)}: cannot write the record: {error.strerror or error}")
        return ExitStatus.FAILED
    return ExitStatus.OK
