"""`qarv-convert convert`: check the file, then run the conversion on the toolkit, step by step."""
from __future__ import annotations

import argparse
import sys

from qarv_convert.commands import add_command, add_overrides, load_failure, report_preflight, version
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    from qarv_convert.display import Progress
    from qarv_convert.run_record import RunRecord
    from qarv_convert.toolkit_proxy import Step

#: `--record` to standard output.
STDOUT = "-"


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    convert = add_command(subparsers, "convert", "check the file, then run the conversion on the toolkit, step by step",
                          run)
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


def _progress(options: argparse.Namespace, reasons: dict[str, str]) -> Progress:
    import os

    from qarv_convert.display import LiveProgress, NoProgress, PlainProgress, plain_terminal

    if options.quiet or sys.stderr is None:
        return NoProgress()
    if plain_terminal(sys.stderr, dict(os.environ)):
        return PlainProgress(sys.stderr, options.verbose, reasons)
    return LiveProgress(sys.stderr, options.verbose, reasons)


def _skip_reasons(path: str, overrides: list[str]) -> dict[str, str]:
    """Why the conversion of this configuration passes over a step, by the step's method."""
    import json

    from qarv_convert import _native

    sections = dict(_native.summary_rows(path, overrides))
    analysis = sections.get("accuracy_analysis")
    if analysis is None:
        return {"accuracy_analysis": "no [accuracy_analysis] table"}
    inputs = next((json.loads(value) for key, value, *_ in analysis if key == "inputs"), [])
    return {} if inputs else {"accuracy_analysis": "no inputs"}


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

    export = next((step for step in record.steps if step.method == "export_qarv"), None)
    target = export.args[0] if export is not None and export.args else None
    if not isinstance(target, str):
        return "no export path set"
    try:
        return f"wrote {display_name(target)} ({_size(os.path.getsize(target))})"
    except OSError:
        return f"{display_name(target)} not found"


def _run_conversion(options: argparse.Namespace, streams: Streams, name: str, record: RunRecord) -> ExitStatus:
    """Checks the file, then runs the conversion; every outcome ends up in `record`."""
    import time
    import types

    from qarv_convert import _native
    from qarv_convert.display import printable
    from qarv_convert.preflight import check_file
    from qarv_convert.source import module_path, sha256
    from qarv_convert.toolkit_proxy import timed_toolkit

    overrides = options.overrides
    with module_path(options.config) as path:
        record.sha256 = sha256(path)
        # Everything the file, the model and the data can tell before the toolkit is imported.
        report = check_file(options.config, model_and_data=not options.no_preflight, readable=path,
                            overrides=overrides)
        streams.check_interrupted()
        report_preflight(streams, report, quiet_when_clean=True, overrides=overrides)
        if report.load_error is not None:
            record.failure = report.load_error
            return ExitStatus.FAILED
        if report.errors:
            record.failure = f"not converted: {report.errors} pre-flight error(s)"
            streams.say(f"{PROGRAM}: {name}: not converting: the pre-flight checks found errors")
            return ExitStatus.FAILED
        if report.warnings and options.strict:
            record.failure = f"not converted: {report.warnings} warning(s) with --strict"
            streams.say(f"{PROGRAM}: {name}: not converting with --strict while there are warnings")
            return ExitStatus.FAILED
        reasons = _skip_reasons(path, overrides)
        progress = _progress(options, reasons)

        def finished(step: Step) -> None:
            record.steps.append(step)
            progress.finished(step)

        def skipped(method: str) -> None:
            record.skipped.append((method, reasons.get(method, "")))
            progress.skipped(method)

        watcher = types.SimpleNamespace(started=progress.started, finished=finished, skipped=skipped)

        started = time.perf_counter()
        try:
            with progress.attached(), timed_toolkit(watcher) as toolkit:
                try:
                    _native.convert(path, overrides)
                finally:
                    progress.close()
                    record.traceback = toolkit.traceback
                    toolkit_package = sys.modules.get("qarv")
                    if isinstance(getattr(toolkit_package, "__version__", None), str):
                        record.toolkit_version = toolkit_package.__version__  # type: ignore[union-attr]
        except RuntimeError as error:
            streams.check_interrupted()
            record.failure = str(error)
            streams.say(f"{PROGRAM}: {name}: {printable(str(error)).rstrip()}")
            if options.traceback and toolkit.traceback:
                streams.say(printable(toolkit.traceback).rstrip("\n"))
            # Only when the toolkit itself is missing: a module it needs is a matter for its installation.
            if isinstance(toolkit.error, ModuleNotFoundError) and toolkit.error.name in ("qarv", "qarv.api"):
                streams.say(_toolkit_hint())
            return ExitStatus.FAILED
    record.failure = None
    record.finish()
    if not options.quiet:
        streams.say(f"conversion finished after {time.perf_counter() - started:.3f} s: {_artifact(record)}")
    return ExitStatus.OK


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import os

    from qarv_convert.run_record import RunRecord, unwritable
    from qarv_convert.source import STDIN, UnreadableFile, display_name

    name = display_name(options.config)
    configuration = name if options.config == STDIN else display_name(os.path.abspath(options.config))
    record = RunRecord(configuration, version(), [PROGRAM, *options.argv], list(options.overrides))
    if options.record is not None and options.record != STDOUT:
        # Find out now, not after an hour of building, that the record has nowhere to go.
        if (reason := unwritable(options.record)) is not None:
            streams.say(f"{PROGRAM}: {display_name(options.record)}: {reason}")
            return ExitStatus.FAILED
    try:
        status = _run_conversion(options, streams, name, record)
    except UnreadableFile as error:
        record.failure = str(error)
        status = load_failure(streams, name, error)
    except BaseException as error:
        record.interrupted = isinstance(error, KeyboardInterrupt) or streams.interrupted
        if record.interrupted:
            record.failure = streams.interrupted_note()
            record.signal = streams.signal
        else:
            record.failure = f"{type(error).__qualname__}: {error}"
        _save_record(options, streams, record)
        raise
    return _save_record(options, streams, record) or status


def _save_record(options: argparse.Namespace, streams: Streams, record: RunRecord) -> ExitStatus:
    from qarv_convert.run_record import write_file
    from qarv_convert.source import display_name

    if options.record is None:
        return ExitStatus.OK
    if options.record == STDOUT:
        return streams.emit(record.to_json())
    try:
        write_file(options.record, record.to_json())
    except OSError as error:
        streams.say(f"{PROGRAM}: {display_name(options.record)}: cannot write the record: {error.strerror or error}")
        return ExitStatus.FAILED
    return ExitStatus.OK
