"""The Ray engine: each job a Ray task that runs the job's child process on a worker and hands back its files."""
from __future__ import annotations

import contextlib
import json
import os
import signal
import subprocess
import time
from typing import Any, Callable, Sequence

from qarv_convert.batches.jobs import RECORD
from qarv_convert.batches.local import GRACE, TICK, Interrupts, Task, child_command
from qarv_convert.batches.results import Ending

#: What to tell a user whose interpreter has no Ray.
MISSING = "--engine ray needs Ray, which is not installed; install it with: pip install 'qarv-convert[ray]'"


def _kill(process: subprocess.Popen[bytes], signum: int) -> None:
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(process.pid, signum)


def _stop(process: subprocess.Popen[bytes], signum: int, grace: float) -> None:
    _kill(process, signum)
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        _kill(process, signal.SIGKILL)
        process.wait()


def run_on_worker(job_data: dict[str, Any], timeout: float | None, memory_limit: int | None,
                  grace: float = GRACE) -> dict[str, Any]:
    """Runs one job's child in a scratch folder of the worker (the configuration and its inputs
    are read from the same paths as on the batch's machine), and returns how it ended with every
    file it left there, for the batch to write under OUT."""
    import tempfile

    with tempfile.TemporaryDirectory(prefix="qarv-batch-") as scratch:
        folder = os.path.join(scratch, "job")
        os.mkdir(folder)
        local = dict(job_data, folder=folder, parent=os.getpid(), memory_limit=memory_limit)
        started = time.monotonic()
        with open(os.path.join(folder, "output.log"), "wb") as log:
            process = subprocess.Popen([*child_command(), json.dumps(local)], cwd=job_data["cwd"],
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                       start_new_session=True, close_fds=True)
        timed_out = False
        try:
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                timed_out = True
                _stop(process, signal.SIGTERM, grace)
        except BaseException:
            # Cancelled from the batch (Ctrl-C there): the job gets what a Ctrl-C would give it.
            _stop(process, signal.SIGINT, grace)
            raise
        finally:
            _kill(process, signal.SIGKILL)  # whatever it left in its session
        files = {}
        for directory, _, names in os.walk(folder):
            for name in names:
                path = os.path.join(directory, name)
                with open(path, "rb") as kept:
                    files[os.path.relpath(path, folder)] = kept.read()
        return {"returncode": process.returncode, "seconds": time.monotonic() - started, "timed_out": timed_out,
                "folder": folder, "files": files}


def _moved(value: Any, old: str, new: str) -> Any:
    """`value` (a record as JSON gives it) with every path under `old` put under `new`."""
    if isinstance(value, str):
        return new + value[len(old):] if value == old or value.startswith(old + os.sep) else value
    if isinstance(value, list):
        return [_moved(item, old, new) for item in value]
    if isinstance(value, dict):
        return {key: _moved(item, old, new) for key, item in value.items()}
    return value


def write_back(folder: str, outcome: dict[str, Any]) -> None:
    """The job's files from the worker, under its folder here; the record's paths made these."""
    from qarv_convert.files import write_file

    for relative, content in outcome["files"].items():
        target = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if relative == RECORD:
            try:
                record = _moved(json.loads(content), outcome["folder"], folder)
            except ValueError:
                continue  # unreadable: the job is judged as one without a record
            write_file(target, json.dumps(record, indent=2, ensure_ascii=False) + "\n")
        else:
            with open(target, "wb") as out:
                out.write(content)


class RayEngine:
    """Runs tasks on a Ray cluster: the one at `address` (or RAY_ADDRESS), else a Ray instance
    started for the batch; at most `jobs` in flight when given, else as many as Ray will place."""

    def __init__(self, jobs: int | None, timeout: float | None = None, memory_limit: int | None = None,
                 address: str | None = None, cpus_per_job: float = 1, grace: float = GRACE) -> None:
        from qarv_convert.batches.jobs import BatchError

        try:
            import ray
        except ImportError:
            raise BatchError(MISSING) from None
        self.ray = ray
        self.jobs = jobs
        self.timeout = timeout
        self.memory_limit = memory_limit
        self.address = address
        self.cpus_per_job = cpus_per_job
        self.grace = grace
        self._started_here = False

    def __enter__(self) -> RayEngine:
        import logging

        from qarv_convert.batches.jobs import BatchError

        if not self.ray.is_initialized():
            # "local" starts an instance for this batch; without it Ray would join whichever
            # instance `ray start` last started on this machine.
            address = self.address or os.environ.get("RAY_ADDRESS") or "local"
            try:
                self.ray.init(address=address, include_dashboard=False, log_to_driver=False,
                              logging_level=logging.WARNING)
            except Exception as error:  # Ray's own exceptions: a cluster not found, refused...
                reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
                where = "a new local instance" if address == "local" else address
                raise BatchError(f"cannot start or join Ray ({where}): {reason}") from None
            self._started_here = True
        return self

    def __exit__(self, *exc: object) -> None:
        if self._started_here:
            self.ray.shutdown()

    def run(self, tasks: Sequence[Task], finished: Callable[[Task, Ending], None], interrupts: Interrupts,
            tick: Callable[[int], None] = lambda running: None) -> None:
        ray = self.ray
        remote = ray.remote(run_on_worker).options(num_cpus=self.cpus_per_job, max_retries=0)
        pending = list(tasks)
        pending.reverse()
        flying: dict[Any, Task] = {}
        cancelled_at: float | None = None
        forced = False
        limit = self.jobs or len(tasks)
        while pending or flying:
            if interrupts.count == 0:
                while pending and len(flying) < limit:
                    task = pending.pop()
                    flying[remote.remote(task.job_data, self.timeout, self.memory_limit, self.grace)] = task
            else:
                while pending:
                    finished(pending.pop(), Ending(None, 0.0, interrupted=True))
                if cancelled_at is None:
                    cancelled_at = time.monotonic()
                    for reference in flying:
                        ray.cancel(reference)
                if not forced and (interrupts.count >= 2 or time.monotonic() - cancelled_at > self.grace + 2):
                    forced = True
                    for reference in flying:
                        with contextlib.suppress(Exception):
                            ray.cancel(reference, force=True)
            tick(len(flying))
            if not flying:
                break
            ready, _ = ray.wait(list(flying), num_returns=1, timeout=TICK)
            for reference in ready:
                task = flying.pop(reference)
                try:
                    outcome = ray.get(reference)
                except Exception as error:
                    # Cancelled, or the worker itself died: the job's files are lost with it.
                    interrupted = interrupts.count > 0
                    if not interrupted:
                        with open(task.log, "a", encoding="utf-8") as log:
                            log.write(f"the Ray task failed: {type(error).__name__}: {error}\n")
                    finished(task, Ending(130 if interrupted else 1, 0.0, interrupted=interrupted,
                                          memory_limit=self.memory_limit, timeout=self.timeout))
                    continue
                write_back(task.job_data["folder"], outcome)
                finished(task, Ending(outcome["returncode"], outcome["seconds"], timed_out=outcome["timed_out"],
                                      interrupted=interrupts.count > 0 and outcome["returncode"] != 0,
                                      memory_limit=self.memory_limit, timeout=self.timeout))
