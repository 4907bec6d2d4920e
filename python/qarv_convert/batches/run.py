"""A batch from start to end: the options checked, the jobs planned, keyed and pre-flighted, run on an engine, the results kept."""
from __future__ import annotations

import dataclasses
import json
import math
import os
import re
from typing import Any, Callable, Sequence

from qarv_convert.batches.jobs import LOG, RECORD, BatchError, Job, UsageError, declared_keys, make_jobs, parse_set, parse_vary, relocate
from qarv_convert.batches.local import Interrupts, LocalEngine, Task
from qarv_convert.batches.progress import BatchProgress
from qarv_convert.batches.choices import ENGINES
from qarv_convert.batches.results import (GOOD, INTERRUPTED, NOT_RUN, SUCCEEDED, UP_TO_DATE, Ending, Results,
                                        batch_record, classify, read_record, result)

#: What `results.json` is called under OUT.
RESULTS = "results.json"


@dataclasses.dataclass
class Options:
    """A batch as asked, before checking: the command line gives texts, the API values."""

    configs: Sequence[str]
    vary: Sequence[str] = ()                 #: SECTION.KEY=VALUES texts
    overrides: Sequence[str] = ()            #: SECTION.KEY=VALUE texts
    jobs: int | str | None = None
    out: str = "runs"
    timeout: float | str | None = None
    memory_limit: int | str | None = None
    force: bool = False
    strict: bool = False
    preflight: bool = True
    engine: str = "local"
    address: str | None = None
    cpus_per_job: float | str = 1


@dataclasses.dataclass
class Checked:
    jobs: list[Job]
    workers: int
    timeout: float | None
    memory_limit: int | None
    cpus_per_job: float


_SIZE = re.compile(r"\s*(\d+(?:\.\d+)?)\s*([KMGT]?)(?:i?B)?\s*", re.IGNORECASE)


def parse_size(text: int | str) -> int:
    """`512M`, `8G`, `1.5G`, or a count of bytes, in powers of 1024."""
    if isinstance(text, int) and not isinstance(text, bool):
        if text <= 0:
            raise UsageError(f"--memory-limit {text}: not a positive size")
        return text
    match = _SIZE.fullmatch(str(text))
    if not match:
        raise UsageError(f"--memory-limit {text!r}: not a size such as 512M or 8G")
    value = float(match[1]) * 1024 ** " KMGT".index((match[2] or " ").upper())
    if value < 1:
        raise UsageError(f"--memory-limit {text!r}: not a positive size")
    return int(value)


def _number(option: str, value: Any, kind: type, allow_zero: bool = False) -> Any:
    try:
        number = kind(value)
    except (TypeError, ValueError):
        raise UsageError(f"{option} {value!r}: not a {'whole ' if kind is int else ''}number") from None
    if isinstance(value, bool) or not math.isfinite(number) or number < 0 or (number == 0 and not allow_zero):
        raise UsageError(f"{option} {value!r}: must be more than 0")
    return number


def check_options(options: Options) -> Checked:
    """Everything about the batch that can be wrong before a job runs but its configurations'
    own values: raises UsageError with the one line to print."""
    if options.engine not in ENGINES:
        raise UsageError(f"--engine {options.engine!r}: choose from {', '.join(ENGINES)}")
    workers = _number("--jobs", options.jobs, int) if options.jobs is not None else (os.cpu_count() or 1)
    timeout = _number("--timeout", options.timeout, float) if options.timeout is not None else None
    memory = parse_size(options.memory_limit) if options.memory_limit is not None else None
    cpus = _number("--cpus-per-job", options.cpus_per_job, float)
    if options.address is not None and options.engine != "ray":
        raise UsageError("--address is for --engine ray")
    declared = declared_keys()
    overrides = [parse_set(text, declared) for text in options.overrides]
    varies = [parse_vary(text, declared) for text in options.vary]
    return Checked(make_jobs(list(options.configs), varies, overrides, options.out), workers, timeout, memory, cpus)


class Batch:
    """One batch run: the jobs, their results as they come, the records in their folders."""

    def __init__(self, options: Options, checked: Checked, progress: BatchProgress,
                 diagnostics: Callable[[str], None]) -> None:
        from qarv_convert.batches.keys import FileDigests
        from qarv_convert._version import __version__

        self.options = options
        self.checked = checked
        self.jobs = checked.jobs
        self.progress = progress
        self.diagnostics = diagnostics
        self.version = __version__
        self.results: list[dict[str, Any] | None] = [None] * len(self.jobs)
        self.keys: list[str | None] = [None] * len(self.jobs)
        self.digests = FileDigests()
        self.interrupted = False

    # --- before any job runs ----------------------------------------------------------------

    def _finish(self, index: int, status: str, **fields: Any) -> None:
        item = result(self.jobs[index], status, key=self.keys[index], **fields)
        self.results[index] = item
        self.progress.finished(item)

    def _settle_record(self, index: int, status: str, signal: str | None, failure: str | None,
                       seconds: float | None, record: dict[str, Any] | None) -> None:
        """The job's record as its results say: the child's, with the key and, where the batch
        knows better how it ended, the status; the batch's own where the child left none."""
        from qarv_convert.files import write_file

        job = self.jobs[index]
        if record is None:
            record = batch_record(job, status, signal, failure, seconds, self.version)
        elif record.get("status") != status:
            record["status"], record["signal"] = status, signal
        record["key"] = self.keys[index]
        try:
            write_file(os.path.join(job.folder, RECORD), json.dumps(record, indent=2, ensure_ascii=False) + "\n")
        except OSError as error:
            self.diagnostics(f"{job.name}: cannot write its record: {error.strerror or error}")

    def prepare(self, interrupts: Interrupts) -> list[int]:
        """Keys every job, lists those up to date, pre-flights the rest; the indices left to run."""
        from qarv_convert import _native
        from qarv_convert.batches.keys import job_key, toolkit_version
        from qarv_convert.preflight import check_file
        from qarv_convert.source import UnreadableFile

        versions = {"qarv_convert": self.version, "toolkit": toolkit_version()}
        runnable = []
        for index, job in enumerate(self.jobs):
            if interrupts.count:
                self._not_started(index)
                continue
            try:
                os.makedirs(job.folder, exist_ok=True)
            except OSError as error:
                raise BatchError(f"cannot make the job folder {job.folder}: {error.strerror or error}") from None
            try:
                relocate(job, _native.load_details(job.config, job.overrides)["values"])
                values = _native.load_details(job.config, job.effective)["values"]
            except (RuntimeError, UnreadableFile, OSError):
                values = None  # the pre-flight below reports it
            if values is not None:
                self.keys[index] = job_key(values, self.digests, versions)
                if not self.options.force and self._up_to_date(index):
                    self._finish(index, UP_TO_DATE)
                    continue
            report = check_file(job.config, model_and_data=self.options.preflight,
                                overrides=job.effective or job.overrides)
            blocking = [d for d in report.ordered()
                        if d.severity.value == "error" or (self.options.strict and d.severity.value == "warning")]
            if report.load_error is not None or blocking:
                self.diagnostics(f"{job.name}: not run:\n" + report.to_text().rstrip("\n"))
                failure = report.load_error or f"pre-flight {blocking[0].severity.value}: {blocking[0].message}"
                self._settle_record(index, NOT_RUN, None, failure, None, None)
                self._finish(index, NOT_RUN, failure=failure)
                continue
            runnable.append(index)
        return runnable

    def _up_to_date(self, index: int) -> bool:
        job = self.jobs[index]
        record = read_record(job.folder)
        return (record is not None and record.get("status") == SUCCEEDED and record.get("key") == self.keys[index]
                and job.export is not None and os.path.isfile(job.export))

    def _not_started(self, index: int) -> None:
        self._settle_record(index, INTERRUPTED, None, "interrupted before it started", None, None)
        self._finish(index, INTERRUPTED, failure="interrupted before it started")

    # --- running ------------------------------------------------------------------------------

    def task(self, index: int) -> Task:
        job = self.jobs[index]
        # A record left from an earlier run must not pass for this run's when its child dies
        # before writing one.
        try:
            os.unlink(os.path.join(job.folder, RECORD))
        except FileNotFoundError:
            pass
        job_data = {"config": job.config, "overrides": job.overrides, "folder": job.folder, "relocated": job.relocated,
                    "strict": self.options.strict, "cwd": os.getcwd(), "name": job.name}
        return Task(index, job_data, os.path.join(job.folder, LOG))

    def ended(self, task: Task, ending: Ending) -> None:
        """A job's child ended (or Ctrl-C kept it from starting)."""
        if ending.returncode is None:
            self._not_started(task.index)
            return
        job = self.jobs[task.index]
        record = read_record(job.folder)
        status, signal, failure = classify(ending, record)
        self._settle_record(task.index, status, signal, failure, ending.seconds, record)
        self._finish(task.index, status, signal=signal, seconds=ending.seconds, failure=failure)

    def write_results(self) -> Results:
        from qarv_convert.files import write_file

        done = Results(item for item in self.results if item is not None)
        try:
            write_file(os.path.join(os.path.abspath(self.options.out), RESULTS),
                       json.dumps(list(done), indent=2, ensure_ascii=False) + "\n")
        except OSError as error:
            self.diagnostics(f"cannot write {RESULTS}: {error.strerror or error}")
        return done


@dataclasses.dataclass
class Outcome:
    results: Results
    interrupted: bool
    #: The signal that stopped the batch (SIGINT for Ctrl-C), when one did.
    signal: int | None = None

    @property
    def ok(self) -> bool:
        return all(item["status"] in GOOD for item in self.results)


def make_engine(options: Options, checked: Checked) -> Any:
    if options.engine == "ray":
        from qarv_convert.batches.ray_engine import RayEngine

        return RayEngine(checked.workers if options.jobs is not None else None, checked.timeout,
                         checked.memory_limit, address=options.address, cpus_per_job=checked.cpus_per_job)
    return LocalEngine(checked.workers, checked.timeout, checked.memory_limit)


def run_batch(options: Options, progress: BatchProgress, diagnostics: Callable[[str], None]) -> Outcome:
    """Runs the batch; raises UsageError or BatchError before any job when it cannot."""
    checked = check_options(options)
    engine = make_engine(options, checked)
    try:
        os.makedirs(options.out, exist_ok=True)
    except OSError as error:
        raise BatchError(f"cannot make {options.out}: {error.strerror or error}") from None
    batch = Batch(options, checked, progress, diagnostics)
    progress.total = len(batch.jobs)
    with Interrupts() as interrupts:
        try:
            runnable = batch.prepare(interrupts)
            if runnable:
                with engine:
                    engine.run([batch.task(index) for index in runnable], batch.ended, interrupts, progress.tick)
        finally:
            progress.close()
            batch.interrupted = interrupts.count > 0
            results = batch.write_results()
    return Outcome(results, batch.interrupted, interrupts.signal)
