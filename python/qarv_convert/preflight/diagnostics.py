"""Pre-flight diagnostics: what is wrong, how badly, under which key and where in the file."""
from __future__ import annotations

from qarv_convert.text import line_window, printable
from qarv_convert.tuples import named_tuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterator

    from qarv_convert._native import ConfigurationFault


class _Members(type):
    """The class side of an Enum that `Severity` answers: its members in order, by name, by value."""

    _order: tuple[Severity, ...]

    def __iter__(cls) -> Iterator[Severity]:
        return iter(cls._order)

    def __len__(cls) -> int:
        return len(cls._order)

    def __getitem__(cls, name: str) -> Severity:
        return cls.__members__[name]

    def __contains__(cls, member: object) -> bool:
        return member in cls._order

    @property
    def __members__(cls) -> dict[str, Severity]:
        return {member.name: member for member in cls._order}


class Severity(metaclass=_Members):
    """How bad a diagnostic is. Members compare by identity, pickle by name, and are looked up by
    value (`Severity("error")`), as an Enum's are; an Enum would bring in `enum`, the largest
    import of `check`'s start."""

    __slots__ = ("name", "value")
    name: str
    value: str
    ERROR: Severity
    WARNING: Severity

    def __new__(cls, value: str) -> Severity:
        for member in cls._order:
            if member.value == value:
                return member
        raise ValueError(f"{value!r} is not a valid Severity")

    @classmethod
    def _member(cls, name: str, value: str) -> Severity:
        member = object.__new__(cls)
        member.name, member.value = name, value
        return member

    def __repr__(self) -> str:
        return f"<Severity.{self.name}: {self.value!r}>"

    def __str__(self) -> str:
        return f"Severity.{self.name}"

    def __reduce__(self) -> str:
        return f"Severity.{self.name}"


Severity.ERROR = Severity._member("ERROR", "error")
Severity.WARNING = Severity._member("WARNING", "warning")
Severity._order = (Severity.ERROR, Severity.WARNING)


@named_tuple
class Diagnostic:
    severity: Severity
    key: str          #: dotted, as `load.inputs`; empty for the file as a whole
    message: str
    line: int | None = None    #: 1-based, of the key's value (of the table header for a table)
    column: int | None = None  #: 1-based, in characters
    carets: int = 1            #: how many characters of the line the excerpt marks

    def to_json(self) -> dict[str, Any]:
        return {"severity": self.severity.value, "key": self.key, "line": self.line, "column": self.column,
                "message": self.message}


class Report:
    """The diagnostics of one configuration file, in the order of their place in the file."""

    def __init__(self, path: str, text: str, diagnostics: list[Diagnostic] | None = None,
                 load_fault: BaseException | None = None) -> None:
        self.path = path  #: as the user named it
        self.text = text  #: the file's text, for excerpts; empty when it could not be read
        self.diagnostics = diagnostics if diagnostics is not None else []
        #: What loading raised when the file does not load: a `ConfigurationFault` with its parts,
        #: or an `OSError` or `UnreadableFile` for a file that could not be opened here.
        self.load_fault = load_fault
        #: What the calibration samples read hold (`preflight.samples.Contents`), when they were read.
        self.contents: Any = None
        #: The float model's run on them (`preflight.float_run.FloatRun`), when it ran; else why not.
        self.run: Any = None
        self.run_reason: str | None = None
        #: What the checks could not look at, and why, in a line each: no diagnostic, but said.
        self.notes: list[str] = []
        #: The configuration in force (overrides applied) by table, None for a table the file
        #: leaves out; empty when the file does not load.
        self.values: dict[str, Any] = {}

    @property
    def load_error(self) -> str | None:
        """The text loading failed with, as the module words it, when the file does not load."""
        return None if self.load_fault is None else str(self.load_fault)

    @property
    def errors(self) -> int:
        return sum(d.severity is Severity.ERROR for d in self.diagnostics)

    @property
    def warnings(self) -> int:
        return sum(d.severity is Severity.WARNING for d in self.diagnostics)

    def ordered(self) -> list[Diagnostic]:
        # Unplaced ones (the file as a whole, a key the file leaves out) first; the sort is stable.
        return sorted(self.diagnostics, key=lambda d: (d.line or 0, d.column or 0))

    def to_json(self) -> dict[str, Any]:
        from qarv_convert.source import display_name

        result = {"path": display_name(self.path), "errors": self.errors, "warnings": self.warnings,
                  "diagnostics": [d.to_json() for d in self.ordered()]}
        if self.notes:
            result["notes"] = self.notes
        if self.contents is not None:
            result["samples"] = {"total": self.contents.total, "read": self.contents.read,
                                 "distinct": self.contents.distinct}
        if self.run is not None or self.run_reason is not None:
            result["run"] = {"ran": 0, "skipped": 0, "seconds": 0.0, "not_run": self.run_reason} if self.run is None \
                else {"ran": self.run.ran, "skipped": self.run.skipped, "seconds": round(self.run.seconds, 6),
                      "not_run": None}
        return result

    def run_line(self) -> str | None:
        """What the float model's run did, in a line: on how many samples, in how long, or why not."""
        if self.run is None:
            return None if self.run_reason is None else f"the model was not run: {self.run_reason}"
        if self.run.load_failure is not None:
            return "the model was not run: onnxruntime cannot load it"
        skipped = f" ({self.run.skipped} that do not fit the sizes passed over)" if self.run.skipped else ""
        stopped = f", stopping at line {self.run.failure.line}" if self.run.failure is not None else ""
        return (f"ran `{self.run.model}` with onnxruntime on {_count(self.run.ran, 'sample')}{skipped}{stopped} "
                f"in {self.run.seconds:.2f} s")

    def to_text(self) -> str:
        """`FILE:LINE:COLUMN: error: message` with the excerpt and carets below each, then a count."""
        from qarv_convert.source import display_name

        name = display_name(self.path)
        ordered = self.ordered()
        lines = lines_at(self.text, {d.line for d in ordered if d.line})
        out = []
        for diagnostic in ordered:
            place = f"{name}:{diagnostic.line}:{diagnostic.column}" if diagnostic.line else name
            out.append(f"{place}: {diagnostic.severity.value}: {printable(diagnostic.message)}")
            if diagnostic.line and diagnostic.line in lines:
                out += excerpt(lines[diagnostic.line], diagnostic.line, diagnostic.column or 1, diagnostic.carets)
        out += [f"{name}: {printable(note)}" for note in self.notes]
        if (ran := self.run_line()) is not None:
            out.append(f"{name}: {ran}")
        counts = []
        if self.errors:
            counts.append(_count(self.errors, "error"))
        if self.warnings:
            counts.append(_count(self.warnings, "warning"))
        out.append(f"{name}: {', '.join(counts) if counts else 'ok'}")
        return "".join(line + "\n" for line in out)


def numbered_lines(text: str, last: int | None = None) -> Iterator[tuple[int, str]]:
    """The lines of `text` with their 1-based numbers, up to line `last`, one at a time: a file
    of millions of lines is not split into millions of strings at once."""
    start, number = 0, 1
    while last is None or number <= last:
        end = text.find("\n", start)
        yield number, text[start:] if end < 0 else text[start:end]
        if end < 0:
            return
        start, number = end + 1, number + 1


def lines_at(text: str, numbers: set[int]) -> dict[int, str]:
    """The lines of `text` numbered in `numbers` (from 1) that it has."""
    if not numbers:
        return {}
    return {number: line for number, line in numbered_lines(text, max(numbers)) if number in numbers}


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'s' if number != 1 else ''}"


def excerpt(source_line: str, line: int, column: int, carets: int) -> list[str]:
    """The three lines under a heading that loading's own reports print: gutter, source, carets.
    A long line shows as a window around `column`, as loading shows it."""
    number = str(line)
    gutter = " " * (len(number) + 1)
    shown, column, carets = line_window(source_line, column, carets)
    return [f"{gutter}|", f"{number} | {printable(shown)}", f"{gutter}|{' ' * column}{'^' * max(1, carets)}"]


def fault_lines(fault: ConfigurationFault) -> list[str]:
    """The report of a configuration fault with a position, as loading renders it (heading,
    excerpt, message), safe to print, without the carriage return that ends a quoted line of a
    file with CRLF line ends."""
    assert fault.line is not None and fault.column is not None and fault.line_text is not None
    return [f"TOML parse error at line {fault.line}, column {fault.column}",
            *excerpt(fault.line_text.removesuffix("\r"), fault.line, fault.column, fault.width),
            printable(fault.message)]


def unloaded_report(path: str, fault: BaseException) -> Report:
    """The report of a file that does not load: one error at the fault's position, with the line
    loading quoted as the excerpt's text (no second read of the file), or at none."""
    line = getattr(fault, "line", None)
    if line is None:
        return Report(path, "", [Diagnostic(Severity.ERROR, "", str(fault).strip())], load_fault=fault)
    diagnostic = Diagnostic(Severity.ERROR, "", fault.message, line, fault.column, fault.width)  # type: ignore[attr-defined]
    return Report(path, "\n" * (line - 1) + fault.line_text, [diagnostic], load_fault=fault)  # type: ignore[attr-defined]
