"""The Python API: a configuration's summary as text and HTML, its diagnostics, its plan and its conversion."""
from __future__ import annotations

import contextlib
import dataclasses
import html
import json
import os
from typing import TYPE_CHECKING, Any, Union

from qarv_convert.preflight import Diagnostic, Report, Severity
from qarv_convert.steps import Call
from qarv_convert.summary import cell_text

if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence

__all__ = ["Call", "ConfigurationError", "ConversionError", "Diagnostic", "Diagnostics", "Row", "Severity",
           "Summary", "batch", "check", "convert", "explain", "plan"]

#: A path as the API takes it.
PathLike = Union[str, "os.PathLike[str]"]


class ConfigurationError(RuntimeError):
    """The file cannot be read or does not load; the text is the report the command line prints."""


class ConversionError(RuntimeError):
    """A conversion that did not finish: the text is the failure, as the run record keeps it."""


@dataclasses.dataclass(frozen=True)
class Row:
    """One row of the summary: a key with the value in force and its default."""

    key: str
    value_json: str    #: the value in force as JSON text, as the summary compares it
    default_json: str  #: the default as JSON text
    set_by_user: bool  #: whether the value differs from the default: the summary's "Set by User?"
    description: str

    @property
    def value(self) -> Any:
        """The value in force as a Python value (None where the key is not set)."""
        return json.loads(self.value_json)

    @property
    def default(self) -> Any:
        return json.loads(self.default_json)

    @property
    def value_text(self) -> str:
        """The Value cell as the summary shows it: a string bare, anything else as compact JSON."""
        return cell_text(self.value_json)

    @property
    def default_text(self) -> str:
        """The Default cell as the summary shows it."""
        return cell_text(self.default_json)


class Summary:
    """The configuration summary of one file: `str()` is exactly the text `qarv-convert explain`
    prints; `sections` maps each table (in the summary's order) to its rows. In a notebook the
    summary shows in the cell, as that text and as an HTML table that marks the rows set by the file."""

    def __init__(self, path: str, text: str, sections: dict[str, list[Row]]) -> None:
        self.path = path
        self.text = text
        self.sections = sections

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        changed = sum(row.set_by_user for rows in self.sections.values() for row in rows)
        return f"<Summary of {self.path!r}: {changed} value{'s' * (changed != 1)} set by the file>"

    def rows(self) -> Iterator[tuple[str, Row]]:
        """Every row with its table's name, in the summary's order."""
        for section, rows in self.sections.items():
            for row in rows:
                yield section, row

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self.text)

    def _repr_html_(self) -> str:
        from qarv_convert.text import printable
        from qarv_convert.source import display_name

        def cell(text: str, tag: str = "td") -> str:
            return f'<{tag} style="text-align:left;white-space:pre-wrap">{html.escape(printable(text))}</{tag}>'

        head = "".join(cell(name, "th") for name in ("Key", "Value", "Default", "Set by User?", "Description"))
        parts = ['<table class="qarv-summary">',
                 f"<caption>Configuration summary of {html.escape(display_name(self.path))}</caption>"]
        for section, rows in self.sections.items():
            parts.append(f'<tbody><tr><th colspan="5" style="text-align:left">[{html.escape(section)}]</th></tr>')
            parts.append(f"<tr>{head}</tr>")
            for row in rows:
                cells = (row.key, row.value_text, row.default_text, "Yes" if row.set_by_user else "No",
                         row.description)
                marked = ' class="set-by-user" style="font-weight:bold;background:rgba(255,196,0,0.25)"' \
                    if row.set_by_user else ""
                parts.append(f"<tr{marked}>" + "".join(cell(text) for text in cells) + "</tr>")
            parts.append("</tbody>")
        parts.append("</table>")
        return "\n".join(parts)


class Diagnostics(list[Diagnostic]):
    """The diagnostics of one file, in the order of their place in it; `str()` and the notebook
    display give the report that `qarv-convert check` prints."""

    def __init__(self, report: Report) -> None:
        super().__init__(report.ordered())
        self.report = report

    @property
    def errors(self) -> list[Diagnostic]:
        return [d for d in self if d.severity is Severity.ERROR]

    @property
    def warnings(self) -> list[Diagnostic]:
        return [d for d in self if d.severity is Severity.WARNING]

    def __str__(self) -> str:
        return self.report.to_text()

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(self.report.to_text().rstrip("\n"))

    def _repr_html_(self) -> str:
        return f'<pre class="qarv-diagnostics">{html.escape(self.report.to_text())}</pre>'


def _loading_failed(name: str, error: BaseException) -> ConfigurationError:
    """The error a file that does not load raises, worded as the command line reports it."""
    from qarv_convert import _native
    from qarv_convert.text import printable

    text = printable(str(error)).rstrip("\n")
    if isinstance(error, _native.ConfigurationFault) and error.line is not None:
        return ConfigurationError(f"{name}: invalid configuration\n{text}")
    return ConfigurationError(f"{name}: {text}")


def _summary_text(path: str, overrides: list[str]) -> str:
    """The summary as the module writes it, caught in an anonymous file rather than on descriptor
    1: in a notebook kernel that is the kernel's terminal, which nobody reads, and redirecting it
    would take the prints of every other thread along."""
    import tempfile

    from qarv_convert import _native

    if hasattr(os, "memfd_create"):
        descriptor = os.memfd_create("qarv-summary", os.MFD_CLOEXEC)
        held = open(descriptor, "w+b")
    else:
        held = tempfile.TemporaryFile()
    with held:
        _native.explain_to(held.fileno(), path, overrides)
        held.seek(0)
        return held.read().decode("utf-8")


@contextlib.contextmanager
def _entered(directory: PathLike | None) -> Iterator[None]:
    """The block runs in `directory` (as `-C` does), its turn with the working directory taken."""
    from qarv_convert.source import display_name
    from qarv_convert.workdir import working_directory

    with contextlib.ExitStack() as entered:
        try:
            entered.enter_context(working_directory(directory))
        except OSError as error:
            raise ConfigurationError(f"{display_name(os.fspath(directory))}: {error.strerror or error}") from None  # type: ignore[arg-type]
        yield


def explain(path: PathLike, *, overrides: Sequence[str] = (), directory: PathLike | None = None) -> Summary:
    """The configuration summary of the file at `path`, as `qarv-convert explain` prints it, with
    the `SECTION.KEY=VALUE` texts of `overrides` over it (as `--set`), its relative paths read
    from `directory` (as `-C`) when given.

    Raises `ConfigurationError` when the file cannot be read or does not load."""
    from qarv_convert import _native
    from qarv_convert.source import UnreadableFile, display_name, module_path

    name = os.fspath(path)
    overrides = list(overrides)
    with _entered(directory):
        try:
            with module_path(name) as readable:
                text = _summary_text(readable, overrides)
                listed = _native.summary_rows(readable, overrides)
        except (RuntimeError, UnreadableFile) as error:
            raise _loading_failed(display_name(name), error) from None
    sections = {section: [Row(*row) for row in rows] for section, rows in listed}
    return Summary(name, text, sections)


def check(path: PathLike, *, overrides: Sequence[str] = (), directory: PathLike | None = None,
          preflight: bool = True) -> Diagnostics:
    """The pre-flight diagnostics of the file at `path`, as `qarv-convert check` reports them: a
    list of `Diagnostic` (a file that does not load gives one error), never raising for a fault
    of the file. `overrides` and `directory` are as for `explain`; `preflight` False leaves the
    model and data out, as `--no-preflight` does.

    Raises `ConfigurationError` only when `directory` cannot be entered."""
    from qarv_convert.preflight import check_file

    with _entered(directory):
        return Diagnostics(check_file(os.fspath(path), model_and_data=preflight, overrides=list(overrides)))


def plan(path: PathLike, *, overrides: Sequence[str] = (), directory: PathLike | None = None,
         preflight: bool = True) -> list[Call]:
    """The toolkit calls a conversion of the file at `path` would make, made on a recording
    toolkit: nothing is converted and no toolkit is needed. The pre-flight runs first, as for
    `qarv-convert plan` (`preflight` False leaves the model and data out of it); `overrides` and
    `directory` are as for `explain`.

    Raises `ConfigurationError` when the file cannot be read or does not load, or the pre-flight
    finds an error."""
    from qarv_convert import _native
    from qarv_convert.preflight import check_file
    from qarv_convert.source import UnreadableFile, display_name, module_path
    from qarv_convert.toolkit_proxy import recording_toolkit

    name = os.fspath(path)
    overrides = list(overrides)
    calls: list[Call] = []
    with _entered(directory):
        try:
            with module_path(name) as readable:
                report = check_file(name, model_and_data=preflight, readable=readable, overrides=overrides)
                if report.load_error is None and not report.errors:
                    with recording_toolkit(calls):
                        _native.convert(readable, overrides)
        except (RuntimeError, UnreadableFile) as error:
            raise _loading_failed(display_name(name), error) from None
    if report.load_fault is not None:
        raise _loading_failed(display_name(name), report.load_fault)
    if report.errors:
        raise ConfigurationError(report.to_text().rstrip("\n"))
    return calls


def convert(path: PathLike, *, record: PathLike | None = None, overrides: Sequence[str] = (),
            directory: PathLike | None = None) -> dict[str, Any]:
    """Runs the conversion of the file at `path` on the toolkit as `qarv-convert convert` does,
    with its progress lines on standard error, and returns the run's record (the JSON that
    `--record` writes, as a dict); `record` also keeps it in that file, whatever the outcome.
    `overrides` and `directory` are as for `explain` (a relative `record` is taken from `directory`).
    Runs in several threads at once each keep their own record; those whose progress is live on
    a terminal take turns.

    Raises `ConfigurationError` when the file does not load or the pre-flight finds an error
    (before any step runs), and `ConversionError` with the failure when the run does not finish."""
    import sys

    from qarv_convert import run_record
    from qarv_convert.conversion import convert as run_conversion
    from qarv_convert.progress import progress_for
    from qarv_convert.source import display_name
    from qarv_convert.streams import PROGRAM

    name = os.fspath(path)
    target = os.fspath(record) if record is not None else None
    arguments = [*(["-C", os.fspath(directory)] if directory is not None else []),
                 *(word for override in overrides for word in ("--set", override)),
                 *(["--record", target] if target is not None else []), name]

    def checked(report: Report) -> None:
        # The warnings of a run that goes on, as the command prints them; errors are raised.
        if report.diagnostics and not report.errors:
            _say(report.to_text())

    outcome = run_conversion(name, overrides=overrides, directory=directory, progress=progress_for(sys.stderr),
                             record=target, checked=checked, command_line=[PROGRAM, "convert", *arguments])
    if outcome.stopped_at in (run_record.LOAD, run_record.PREFLIGHT) and outcome.report is not None:
        raise ConfigurationError(outcome.report.to_text().rstrip("\n"))
    if outcome.stopped_at == run_record.DIRECTORY:
        raise ConfigurationError(outcome.failure)
    if outcome.stopped_at == run_record.RECORD:
        raise ConversionError(f"{display_name(target)}: {outcome.failure}")  # type: ignore[arg-type]
    if outcome.save_error is not None:
        raise ConversionError(f"{display_name(target)}: cannot write the record: "  # type: ignore[arg-type]
                              f"{outcome.save_error.strerror or outcome.save_error}")
    if outcome.failure is not None:
        raise ConversionError(outcome.failure)
    return json.loads(outcome.to_json())


def _say(text: str) -> None:
    import sys

    try:
        if sys.stderr is not None:
            sys.stderr.write(text)
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


def batch(configs: PathLike | list[PathLike], *, vary: dict[str, list[Any]] | None = None,
          overrides: list[str] | tuple[str, ...] = (), jobs: int | None = None, out: PathLike = "runs",
          timeout: float | None = None, memory_limit: int | str | None = None, force: bool = False,
          engine: str = "local", address: str | None = None) -> list[dict[str, Any]]:
    """Runs the conversions of `configs` as `qarv-convert batch` does, each in a process of its
    own, once per combination of the values in `vary` (`SECTION.KEY` -> list of values), with a
    line per finished job on standard error. Returns the results, the objects of
    `OUT/results.json` (in a notebook, a table).

    Raises `ValueError` (`qarv_convert.batches.jobs.UsageError`) before any job runs for a key, value or
    option that cannot be, `RuntimeError` when the engine cannot run at all, and
    KeyboardInterrupt after the running jobs were stopped and the results written."""
    import sys

    from qarv_convert.batches.run import Options, run_batch
    from qarv_convert.batches.jobs import toml_value
    from qarv_convert.batches.progress import BatchProgress

    listed = [configs] if isinstance(configs, (str, os.PathLike)) else list(configs)
    from qarv_convert.batches.jobs import UsageError

    try:
        varied = [f"{key}={toml_value(list(values))}" for key, values in (vary or {}).items()]
    except TypeError as error:
        raise UsageError(f"vary: {error}") from None
    options = Options([os.fspath(path) for path in listed], varied, list(overrides), jobs, os.fspath(out), timeout,
                      memory_limit, force, engine=engine, address=address)
    progress = BatchProgress(sys.stderr)
    outcome = run_batch(options, progress, progress.say)
    if outcome.interrupted:
        raise KeyboardInterrupt
    return outcome.results
