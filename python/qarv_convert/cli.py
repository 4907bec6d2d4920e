"""The `qarv-convert` command line: init, convert, explain, plan, check and schema."""
from __future__ import annotations

import argparse
import contextlib
import errno
import json
import math
import os
import signal
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Iterator, Sequence

import qarv_convert_inner

from qarv_convert import _native
from qarv_convert.display import LiveProgress, NoProgress, PlainProgress, Progress, printable
from qarv_convert.record import RunRecord, write_file
from qarv_convert.recording import Call, Step, recording_toolkit, timed_toolkit
from qarv_convert.schema import configuration_schema
from qarv_convert.source import UnreadableFile, display_name, module_path, sha256
from qarv_convert.starter import starter_configuration

PROGRAM = "qarv-convert"

#: The exit status after Ctrl-C. Besides it: 0 success, 1 a failed conversion or a configuration
#: error, and 2 a usage error (from argparse).
INTERRUPTED = 130

# Set by the SIGINT handler. The module passes a KeyboardInterrupt on unchanged, but a toolkit
# may catch it and raise an error of its own, which arrives as a RuntimeError like any failed
# step; the handler's own note is what tells a Ctrl-C apart then.
_interrupted = threading.Event()
# Whether file descriptor 1 was closed when the command started (`qarv-convert plan x >&-`).
_stdout_closed = False


def version() -> str:
    from qarv_convert._version import __version__

    return __version__


def _say(*lines: str) -> None:
    """Writes `lines` to stderr. Nobody to tell, with stderr closed, is not a failure of its own."""
    if sys.stderr is None:
        return
    try:
        sys.stderr.write("".join(line + "\n" for line in lines))
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def _is_panic(error: BaseException) -> bool:
    """The module's internal-failure exception, a BaseException subclass known only by name."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "qarv_convert_inner"


def _check_interrupted() -> None:
    if _interrupted.is_set():
        raise KeyboardInterrupt


def _load_failure(name: str, error: BaseException) -> int:
    """Reports a file that did not load: a read failure on one line, a configuration report under
    a line that names the file."""
    _check_interrupted()
    text = printable(str(error)).rstrip("\n")
    if text.startswith("TOML parse error at line "):
        _say(f"{PROGRAM}: {name}: invalid configuration", text)
    else:
        _say(f"{PROGRAM}: {name}: {text}")
    return 1


def _stdout_failure(reason: str) -> int:
    _say(f"{PROGRAM}: cannot write to standard output: {reason}")
    return 1


def _silence_stdout() -> None:
    # What is still buffered would fail again when the interpreter flushes it at exit.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)


def _emit(text: str) -> int:
    """Writes `text` to stdout and makes sure that it got there."""
    if _stdout_closed or sys.stdout is None:
        return _stdout_failure("it is closed")
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
        return 1  # the reader went away (`| head`); say nothing more on a stream nobody reads
    except OSError as error:
        _silence_stdout()
        return _stdout_failure(error.strerror or str(error))
    return 0


def _warn(name: str, warnings: list[str]) -> None:
    for warning in warnings:
        _say(printable(warning))
    count = len(warnings)
    _say(f"{name}: {count} warning{'s' if count != 1 else ''}" if count else f"{name}: ok")


def _init(options: argparse.Namespace) -> int:
    text = starter_configuration(version())
    if options.path == "-":
        return _emit(text)
    name = display_name(options.path)
    try:
        write_file(options.path, text, replace=options.force)
    except FileExistsError:
        _say(f"{PROGRAM}: {name}: already exists; use --force to replace it")
        return 1
    except OSError as error:
        _say(f"{PROGRAM}: {name}: {error.strerror or error}")
        return 1
    _say(f"{PROGRAM}: wrote {name}; set the values marked CHOOSE, then run: {PROGRAM} check --strict {name}")
    return 0


def _conversion_progress(options: argparse.Namespace) -> Progress:
    if options.quiet or sys.stderr is None:
        return NoProgress()
    if sys.stderr.isatty():
        return LiveProgress(sys.stderr)
    return PlainProgress(sys.stderr)


def _toolkit_hint() -> str:
    return (f"{PROGRAM}: hint: the toolkit's package `qarv` is not importable by {sys.executable}; "
            "install the toolkit into this interpreter, or put the directory that holds `qarv` on PYTHONPATH")


def _run_conversion(options: argparse.Namespace, name: str, record: RunRecord) -> int:
    """Checks the file, then runs the conversion; every outcome ends up in `record`."""
    with module_path(options.config) as path:
        record.sha256 = sha256(path)
        try:
            warnings = _native.ignored_entries(path)
        except RuntimeError as error:
            record.failure = str(error)
            return _load_failure(name, error)
        if warnings:
            _warn(name, warnings)
            if options.strict:
                record.failure = f"not converted: {len(warnings)} warning(s) with --strict"
                _say(f"{PROGRAM}: {name}: not converting with --strict while there are warnings")
                return 1
        progress = _conversion_progress(options)

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
            _check_interrupted()
            record.failure = str(error)
            _say(f"{PROGRAM}: {printable(str(error)).rstrip()}")
            # Only when the toolkit itself is missing: a module it needs is a matter for its installation.
            if isinstance(toolkit.error, ModuleNotFoundError) and toolkit.error.name in ("qarv", "qarv.api"):
                _say(_toolkit_hint())
            return 1
    record.failure = None
    if not options.quiet:
        _say(f"conversion finished after {time.perf_counter() - started:.3f} s")
    return 0


def _convert(options: argparse.Namespace) -> int:
    name = display_name(options.config)
    record = RunRecord(display_name(os.path.abspath(options.config)), version())
    if options.record is not None:
        # Find out now, not after an hour of building, that the record has nowhere to go.
        directory = os.path.dirname(os.path.abspath(options.record))
        if not os.path.isdir(directory):
            _say(f"{PROGRAM}: {display_name(options.record)}: no such directory for the record")
            return 1
    try:
        status = _run_conversion(options, name, record)
    except UnreadableFile as error:
        record.failure = str(error)
        status = _load_failure(name, error)
    except BaseException as error:
        record.failure = "interrupted" if isinstance(error, KeyboardInterrupt) else f"{type(error).__qualname__}: {error}"
        _save_record(options, record)
        raise
    return _save_record(options, record) or status


def _save_record(options: argparse.Namespace, record: RunRecord) -> int:
    if options.record is None:
        return 0
    try:
        write_file(options.record, record.to_json())
    except OSError as error:
        _say(f"{PROGRAM}: {display_name(options.record)}: cannot write the record: {error.strerror or error}")
        return 1
    return 0


@contextlib.contextmanager
def _held_stderr() -> Iterator[Callable[[], None]]:
    """Holds back what is written to file descriptor 2 in the block and passes it on at the end,
    unless the yielded function was called to drop it."""
    if sys.stderr is not None:
        sys.stderr.flush()
    try:
        held = tempfile.TemporaryFile()
    except OSError:
        yield lambda: None  # nowhere to hold it: let it through
        return
    saved = os.dup(2)
    dropped = False

    def drop() -> None:
        nonlocal dropped
        dropped = True

    try:
        os.dup2(held.fileno(), 2)
        yield drop
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        if not dropped:
            held.seek(0)
            with contextlib.suppress(OSError):
                os.write(2, held.read())
        held.close()


def _explain(options: argparse.Namespace) -> int:
    if _stdout_closed:
        return _stdout_failure("it is closed")
    name = display_name(options.config)
    try:
        sys.stdout.flush()  # the summary goes straight to the file descriptor, after anything buffered
    except OSError as error:
        return _stdout_failure(error.strerror or str(error))
    if hasattr(signal, "SIGPIPE"):
        # Like other filters, end quietly when the reader goes away (`explain CONFIG | head`);
        # Python's default turns that into an error report from the module instead.
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    try:
        # The module reports a failed write on stderr before raising it; here one line says it.
        with module_path(options.config) as path, _held_stderr() as drop_module_report:
            try:
                qarv_convert_inner.rust_explain(path)
            except BaseException as error:
                if _output_failure(error) is not None:
                    drop_module_report()
                raise
    except (RuntimeError, UnreadableFile) as error:
        return _load_failure(name, error)
    except BaseException as error:
        reason = _output_failure(error)
        if reason is not None:
            return _stdout_failure(reason)
        if isinstance(error, OSError):
            return _load_failure(name, error)
        raise
    return 0


# Write failures of the summary. The module raises them as an internal failure with this prefix;
# an OSError carrying one of these numbers is the same news in another form.
_PRINTING_FAILED = "failed printing to stdout: "
_WRITE_ERRNOS = frozenset({errno.EPIPE, errno.ENOSPC, errno.EBADF, errno.EDQUOT, errno.EFBIG, errno.EIO})


def _output_failure(error: BaseException) -> str | None:
    """Why the summary could not be written, when `error` says that; otherwise None."""
    if _is_panic(error) and str(error).startswith(_PRINTING_FAILED):
        return str(error)[len(_PRINTING_FAILED):]
    if isinstance(error, OSError) and (error.errno in _WRITE_ERRNOS or "stdout" in str(error)):
        return error.strerror or str(error)
    return None


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


def jsonable(value: Any) -> Any:
    """A value as `plan --json` shows it: arrays as their shape and dtype, never their data;
    a number JSON cannot hold (infinity, NaN) as null."""
    shape, dtype = getattr(value, "shape", None), getattr(value, "dtype", None)
    if shape is not None and dtype is not None:
        return {"shape": [int(n) for n in shape], "dtype": str(dtype)}
    if isinstance(value, (list, tuple)):
        return [jsonable(item) for item in value]
    if isinstance(value, dict):
        return {str(key): jsonable(item) for key, item in value.items()}
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return repr(value)


def _plan(options: argparse.Namespace) -> int:
    calls: list[Call] = []
    try:
        with module_path(options.config) as path, recording_toolkit(calls):
            qarv_convert_inner.rust_convert(path)
    except (RuntimeError, UnreadableFile) as error:
        return _load_failure(display_name(options.config), error)
    if options.json:
        listed = [{"method": c.method, "args": jsonable(list(c.args)), "kwargs": jsonable(c.kwargs)} for c in calls]
        # JSON leaves DEL and the C1 controls raw; as \u escapes they read the same to a parser.
        return _emit(printable(json.dumps(listed, indent=2, ensure_ascii=False)) + "\n")
    return _emit("".join(format_call(number, call) + "\n" for number, call in enumerate(calls, start=1)))


def _check(options: argparse.Namespace) -> int:
    name = display_name(options.config)
    try:
        with module_path(options.config) as path:
            warnings = _native.ignored_entries(path)
    except (RuntimeError, UnreadableFile) as error:
        return _load_failure(name, error)
    _warn(name, warnings)
    return 1 if options.strict and warnings else 0


def _schema(options: argparse.Namespace) -> int:
    return _emit(json.dumps(configuration_schema(), indent=2) + "\n")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Convert a model on the QARV toolkit as a TOML configuration file describes it.",
        epilog="Exit status: 0 success, 1 a failed conversion or a configuration error, 2 a usage error, "
               "130 interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, run: Any, with_config: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        if with_config:
            sub.add_argument("config", metavar="CONFIG", help="path of the TOML configuration file")
        sub.set_defaults(run=run)
        return sub

    init = command("init", "write a starter configuration with every key described", _init, with_config=False)
    init.add_argument("path", metavar="PATH", nargs="?", default="-",
                      help="file to create; - (the default) writes to stdout")
    init.add_argument("--force", action="store_true", help="replace PATH if it exists")
    convert = command("convert", "check the file, then run the conversion on the toolkit, step by step", _convert)
    convert.add_argument("-q", "--quiet", action="store_true", help="do not report the steps on stderr")
    convert.add_argument("--strict", action="store_true",
                         help="do not convert when the file has keys or tables that would be ignored")
    convert.add_argument("--record", metavar="FILE",
                         help="write a JSON record of the run to FILE, whether it succeeds or fails")
    command("explain", "print the configuration summary: values, defaults and descriptions", _explain)
    plan = command("plan", "print the toolkit calls a conversion would make, without a toolkit", _plan)
    plan.add_argument("--json", action="store_true", help="print the calls as a JSON array")
    check = command("check", "warn about keys and tables that the configuration ignores", _check)
    check.add_argument("--strict", action="store_true", help="exit with status 1 when there are warnings")
    command("schema", "print the JSON Schema of configuration files", _schema, with_config=False)
    return parser


def _guard_standard_streams() -> None:
    """Puts /dev/null on standard descriptors that were closed, so that no file opened later takes
    their number (and a toolkit's prints land in it), and remembers a closed stdout."""
    global _stdout_closed
    for descriptor in (0, 1, 2):
        try:
            os.fstat(descriptor)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != descriptor:
                os.dup2(null, descriptor)
                os.close(null)
            _stdout_closed = _stdout_closed or descriptor == 1


def _on_interrupt(signum: int, frame: Any) -> None:
    _interrupted.set()
    signal.default_int_handler(signum, frame)


def main(argv: Sequence[str] | None = None) -> int:
    _guard_standard_streams()
    options = build_parser().parse_args(argv)
    _interrupted.clear()
    in_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, _on_interrupt) if in_main_thread else None
    try:
        try:
            return int(options.run(options))
        except BaseException as error:
            if not _is_panic(error):
                raise
            _check_interrupted()
            _say(f"{PROGRAM}: internal failure: {printable(str(error))}")
            return 1
    except KeyboardInterrupt:
        _say(f"{PROGRAM}: interrupted")
        return INTERRUPTED
    finally:
        if in_main_thread:
            signal.signal(signal.SIGINT, previous)


if __name__ == "__main__":
    sys.exit(main())
