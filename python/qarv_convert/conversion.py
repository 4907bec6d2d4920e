"""The conversion of one configuration, from the pre-flight to the last toolkit step, as every caller runs it."""
from __future__ import annotations

import contextlib
import os
import sys
import time

from qarv_convert.run_record import DIRECTORY, LOAD, PREFLIGHT, RECORD, STRICT, TOOLKIT, RunRecord
from qarv_convert.streams import PROGRAM

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Iterator, Sequence

    from qarv_convert.preflight import Report
    from qarv_convert.progress import Progress


def convert(config: str | os.PathLike[str], *, overrides: Sequence[str] = (),
            directory: str | os.PathLike[str] | None = None, preflight: bool = True, strict: bool = False,
            progress: Progress | None = None, record: str | os.PathLike[str] | Callable[[str], None] | None = None,
            checked: Callable[[Report], None] | None = None,
            command_line: Sequence[str] | None = None) -> RunRecord:
    """Checks the configuration at `config` (`-` is standard input) with the `SECTION.KEY=VALUE`
    `overrides` over it, then, unless the checks found errors (or warnings, with `strict`), runs
    its conversion on the toolkit, telling `progress` about each step.

    `directory` is where the run reads the file and its relative paths from (the process's own
    working directory when None); `preflight` False leaves the model and data out of the checks.
    `checked` is given the pre-flight's `Report` before any step runs (also for a file that does
    not load). `record` is a path to write the JSON record to, whatever the outcome, or a function
    given its text; `command_line` is what the record says the run was started with.

    Returns the run's record for every outcome but an interrupt: `status`, `failure` and
    `stopped_at` say how it went. KeyboardInterrupt passes through, once the record is kept.
    Safe to call from several threads: each run has its own record and toolkit objects."""
    from qarv_convert.source import display_name
    from qarv_convert.workdir import working_directory

    config = os.fspath(config)
    overrides = list(overrides)
    line = list(command_line or [PROGRAM, "convert", config])
    with contextlib.ExitStack() as entered:
        try:
            entered.enter_context(working_directory(directory))
        except OSError as error:
            run = RunRecord(_configuration_name(config), _version(), line, overrides)
            run.stopped_at = DIRECTORY
            run.failure = f"{display_name(os.fspath(directory))}: {error.strerror or error}"  # type: ignore[arg-type]
            return run
        run = RunRecord(_configuration_name(config), _version(), line, overrides)
        return _recorded(run, config, overrides, preflight, strict, progress, record, checked)


def _configuration_name(config: str) -> str:
    from qarv_convert.source import STDIN, display_name

    return display_name(config) if config == STDIN else display_name(os.path.abspath(config))


def _version() -> str:
    from qarv_convert._version import __version__

    return __version__


def _recorded(run: RunRecord, config: str, overrides: list[str], preflight: bool, strict: bool,
              progress: Progress | None, record: str | os.PathLike[str] | Callable[[str], None] | None,
              checked: Callable[[Report], None] | None) -> RunRecord:
    """The run, with its record kept however it ends."""
    from qarv_convert.run_record import unwritable
    from qarv_convert.status import interrupted_note

    target = None if record is None or callable(record) else os.fspath(record)
    if target is not None:
        # Find out now, not after an hour of building, that the record has nowhere to go.
        if (reason := unwritable(target)) is not None:
            run.stopped_at, run.failure = RECORD, reason
            return run
    with _interrupts_noted() as interrupted:
        try:
            _run(run, config, overrides, preflight, strict, progress, checked, interrupted)
        except BaseException as error:
            run.interrupted = isinstance(error, KeyboardInterrupt) or interrupted() is not None
            if run.interrupted:
                run.signal = interrupted()
                run.failure = interrupted_note(run.signal)
            else:
                run.failure = f"{type(error).__qualname__}: {error}"
            _keep(run, record, target)
            raise
    _keep(run, record, target)
    return run


def _keep(run: RunRecord, record: str | os.PathLike[str] | Callable[[str], None] | None, target: str | None) -> None:
    from qarv_convert.files import write_file

    if target is not None:
        try:
            write_file(target, run.to_json())
        except OSError as error:
            run.save_error = error
    elif record is not None:
        record(run.to_json())  # type: ignore[operator]


def _run(run: RunRecord, config: str, overrides: list[str], preflight: bool, strict: bool,
         progress: Progress | None, checked: Callable[[Report], None] | None,
         interrupted: Callable[[], int | None]) -> None:
    from qarv_convert import _native
    from qarv_convert.preflight import Diagnostic, Report, Severity, check_file
    from qarv_convert.progress import NoProgress
    from qarv_convert.source import UnreadableFile, module_path, sha256
    from qarv_convert.toolkit_proxy import timed_toolkit

    try:
        with module_path(config) as path:
            run.sha256 = sha256(path)
            # Everything the file, the model and the data can tell before the toolkit is imported.
            report = check_file(config, model_and_data=preflight, readable=path, overrides=overrides)
            if interrupted() is not None:
                raise KeyboardInterrupt
            _checked(run, report, checked)
            if report.load_error is not None:
                run.stopped_at, run.failure, run.error = LOAD, report.load_error, report.load_fault
                return
            if report.errors:
                run.stopped_at, run.failure = PREFLIGHT, f"not converted: {report.errors} pre-flight error(s)"
                return
            if report.warnings and strict:
                run.stopped_at, run.failure = STRICT, f"not converted: {report.warnings} warning(s) with --strict"
                return
            reasons = skip_reasons(report.values)
            shown = progress if progress is not None else NoProgress()
            started = time.perf_counter()
            toolkit = None
            try:
                with shown.attached(), timed_toolkit(shown) as toolkit:
                    toolkit.reasons = reasons
                    run.steps, run.skipped = toolkit.steps, toolkit.skipped
                    try:
                        _native.convert(path, overrides)
                    finally:
                        shown.close()
                        run.traceback = toolkit.traceback
                        version = getattr(sys.modules.get("qarv"), "__version__", None)
                        if isinstance(version, str):
                            run.toolkit_version = version
            except RuntimeError as error:
                if interrupted() is not None:
                    raise KeyboardInterrupt from None
                run.stopped_at, run.failure, run.error = TOOLKIT, str(error), error
                run.toolkit_error = toolkit.error if toolkit is not None else None
                return
            run.toolkit_seconds = time.perf_counter() - started
    except UnreadableFile as error:
        # Said as the pre-flight says a file it cannot read.
        failed = Report(config, "", [Diagnostic(Severity.ERROR, "", str(error))], load_fault=error)
        _checked(run, failed, checked)
        run.stopped_at, run.failure, run.error = LOAD, str(error), error
        return
    run.failure = None
    run.finish()


def _checked(run: RunRecord, report: Report, checked: Callable[[Report], None] | None) -> None:
    run.report = report
    if checked is not None:
        checked(report)


def skip_reasons(values: dict[str, Any]) -> dict[str, str]:
    """Why the conversion of a configuration with these `values` (the pre-flight's, by table)
    passes over a step, by the step's method: a step that runs only with entries in a list of its
    table, for a file without the table or the entries."""
    from qarv_convert import _native
    from qarv_convert.steps import METHODS

    reasons = {}
    for table, key in _native.RUNS_WITH.items():
        section = values.get(table)
        if section is None:
            reasons[METHODS[table]] = f"no [{table}] table"
        elif not section.get(key):
            reasons[METHODS[table]] = f"no {key}"
    return reasons


@contextlib.contextmanager
def _interrupts_noted() -> Iterator[Callable[[], int | None]]:
    """Yields which signal, if any, ended the block as Ctrl-C does: Ctrl-C itself, and SIGTERM or
    SIGHUP where the process has them raise KeyboardInterrupt too (the command line does). The
    module passes a KeyboardInterrupt on unchanged, but a toolkit may catch it and raise an error
    of its own, which arrives as a RuntimeError like any failed step; this note is what tells an
    interrupt apart then. The handlers in place before go on being called, and come back
    afterwards; a signal left to its default action or ignored stays so."""
    import signal
    import threading

    from qarv_convert.status import STOPPING

    noted: list[int] = []
    previous: dict[int, Any] = {}

    def on_signal(signum: int, frame: Any) -> None:
        noted.append(signum)
        handler = previous[signum]
        (handler if callable(handler) else signal.default_int_handler)(signum, frame)

    # Only the main thread may set handlers, and only it receives signals. A handler set outside
    # Python (None here) could not be put back.
    if threading.current_thread() is threading.main_thread():
        for number in STOPPING:
            handler = signal.getsignal(number)
            if callable(handler):
                previous[number] = signal.signal(number, on_signal)
    try:
        yield lambda: noted[-1] if noted else None
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
