"""The record of one conversion run: what it was given, what it did, and its JSON."""
from __future__ import annotations

import contextlib
import json
import math
import os
import time

from qarv_convert.planning import jsonable
from qarv_convert.text import safe_repr

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from qarv_convert.preflight import Report
    from qarv_convert.steps import Step

#: The record's `status` values.
SUCCEEDED, FAILED, INTERRUPTED = "succeeded", "failed", "interrupted"

#: Where a run that did not convert stopped (`RunRecord.stopped_at`): the working directory or
#: the record's file could not be used (nothing ran), the file cannot be read or does not load,
#: the pre-flight found errors, or warnings under `strict`, or the toolkit failed.
DIRECTORY, RECORD, LOAD, PREFLIGHT, STRICT, TOOLKIT = "directory", "record", "load", "preflight", "strict", "toolkit"


def _number(value: Any) -> Any:
    """A step's result as JSON can hold it: numbers as they are, anything else as its repr."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, float) and math.isfinite(value):
        return value
    return None if value is None else safe_repr(value)


def _value(value: Any) -> Any:
    """A keyword value as the record keeps it: JSON as `plan --json` writes it, arrays by shape and
    dtype; what JSON cannot hold as its (safe) repr."""
    try:
        return jsonable(value)
    except Exception:
        return safe_repr(value)


class RunRecord:
    """What a conversion was given and what it did; `failure` stays None only for a success."""

    def __init__(self, configuration: str, version: str, command_line: list[str], overrides: list[str]) -> None:
        self.configuration = configuration
        self.version = version
        self.command_line = command_line
        self.overrides = overrides
        self.sha256: str | None = None
        self.toolkit_version: str | None = None
        self.steps: list[Step] = []
        #: (method, reason) of each step the conversion passed over.
        self.skipped: list[tuple[str, str]] = []
        self.failure: str | None = "did not finish"
        self.interrupted = False
        #: The number of the signal that interrupted the run, when one did.
        self.signal: int | None = None
        #: The full traceback of the toolkit exception that ended the run.
        self.traceback: str | None = None
        self.started_at = time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime())
        self._started = time.perf_counter()
        self.seconds: float | None = None
        # What the caller reads and the JSON leaves out:
        self.stopped_at: str | None = None  #: one of DIRECTORY ... TOOLKIT, None after a conversion
        self.report: Report | None = None  #: the pre-flight's, once it ran
        #: The exception that stopped the run at LOAD (a fault of the file) or TOOLKIT (the
        #: module's RuntimeError); for TOOLKIT, `toolkit_error` is what importing the toolkit raised.
        self.error: BaseException | None = None
        self.toolkit_error: BaseException | None = None
        self.toolkit_seconds: float | None = None  #: how long the toolkit's part took, once it ended
        self.save_error: OSError | None = None  #: why the record could not be written to its file

    def finish(self) -> None:
        """Notes the run's total time, once."""
        if self.seconds is None:
            self.seconds = time.perf_counter() - self._started

    @property
    def status(self) -> str:
        if self.interrupted:
            return INTERRUPTED
        return FAILED if self.failure is not None else SUCCEEDED

    def to_json(self) -> str:
        self.finish()
        document: dict[str, Any] = {
            "status": self.status,
            "configuration": {"path": self.configuration, "sha256": self.sha256},
            "command_line": self.command_line,
            "overrides": self.overrides,
            "qarv_convert_version": self.version,
        }
        if self.toolkit_version is not None:
            document["toolkit_version"] = self.toolkit_version
        document["started_at"] = self.started_at
        document["seconds"] = round(self.seconds or 0.0, 6)
        document["steps"] = [
            {"method": step.method, "args": [_value(arg) for arg in step.args],
             "keywords": {name: _value(value) for name, value in step.kwargs.items()},
             "result": _number(step.result),
             **({"raised": step.raised} if step.raised is not None else {}), "seconds": round(step.seconds, 6)}
            for step in self.steps
        ]
        document["skipped"] = [{"method": method, "reason": reason} for method, reason in self.skipped]
        document["failure"] = self.failure
        if self.interrupted:
            import signal

            document["signal"] = signal.Signals(self.signal or signal.SIGINT).name
        if self.traceback is not None:
            document["traceback"] = self.traceback
        return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


def unwritable(path: str) -> str | None:
    """Why a record could not be written to `path`, found out by trying, or None when it can."""
    import tempfile

    if os.path.isdir(path):
        return "is a directory"
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        return "no such directory for the record"
    try:
        descriptor, probe = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    except OSError as error:
        return f"cannot write the record there: {error.strerror or error}"
    os.close(descriptor)
    with contextlib.suppress(OSError):
        os.unlink(probe)
    return None
