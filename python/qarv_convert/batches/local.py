"""The local engine: a bounded pool of child processes, each in a session of its own, with timeouts, Ctrl-C and clean-up."""
from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import selectors
import signal
import subprocess
import sys
import time
from collections import deque
from typing import Any, Callable, Sequence

from qarv_convert.batches.results import Ending

#: How long a job has, after SIGINT (Ctrl-C) or SIGTERM (its timeout), to end before it is killed.
GRACE = 3.0
#: The longest the loop sleeps: Ctrl-C and the live line are looked at this often.
TICK = 0.2


@dataclasses.dataclass
class Task:
    """What an engine runs: a child with this description, its output into `log`."""

    index: int
    job_data: dict[str, Any]
    log: str


class Interrupts:
    """Counts Ctrl-C (and SIGTERM and SIGHUP, which end a batch the same way) while a batch runs,
    instead of raising KeyboardInterrupt in the middle of its bookkeeping. A signal ignored when
    the batch starts stays ignored; the previous handlers come back afterwards."""

    def __init__(self) -> None:
        self.count = 0
        #: The first signal that came.
        self.signal: int | None = None
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> Interrupts:
        from qarv_convert.streams import STOPPING

        try:
            for number in STOPPING:
                if signal.getsignal(number) != signal.SIG_IGN:
                    self._previous[number] = signal.signal(number, self._noted)
        except ValueError:
            pass  # not the main thread: it alone gets signals
        return self

    def _noted(self, signum: int, frame: Any) -> None:
        self.count += 1
        self.signal = self.signal or signum

    def __exit__(self, *exc: object) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, signal.SIG_DFL if handler is None else handler)


def child_command() -> list[str]:
    return [sys.executable, "-m", "qarv_convert.batches.child"]


def kill_group(process: subprocess.Popen[bytes], signum: int) -> None:
    """Sends `signum` to the child's whole session, whatever it started of its own included."""
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(process.pid, signum)


class _Running:
    def __init__(self, task: Task, process: subprocess.Popen[bytes], timeout: float | None) -> None:
        self.task = task
        self.process = process
        self.started = time.monotonic()
        self.deadline = self.started + timeout if timeout else None
        self.kill_at: float | None = None
        self.timed_out = False
        self.interrupted = False
        self.pidfd: int | None = None
        with contextlib.suppress(AttributeError, OSError):
            self.pidfd = os.pidfd_open(process.pid)


class LocalEngine:
    """Runs tasks `jobs` at a time in child processes of this machine."""

    def __init__(self, jobs: int, timeout: float | None = None, memory_limit: int | None = None,
                 grace: float = GRACE) -> None:
        self.jobs = max(1, jobs)
        self.timeout = timeout
        self.memory_limit = memory_limit
        self.grace = grace

    def __enter__(self) -> LocalEngine:
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def _start(self, task: Task) -> _Running:
        job_data = dict(task.job_data, parent=os.getpid(), memory_limit=self.memory_limit)
        with open(task.log, "wb") as log:
            process = subprocess.Popen([*child_command(), json.dumps(job_data)], stdin=subprocess.DEVNULL, stdout=log,
                                       stderr=subprocess.STDOUT, start_new_session=True, close_fds=True)
        return _Running(task, process, self.timeout)

    def run(self, tasks: Sequence[Task], finished: Callable[[Task, Ending], None], interrupts: Interrupts,
            tick: Callable[[int], None] = lambda running: None, started: Callable[[Task], None] = lambda task: None
            ) -> None:
        """Runs `tasks` and calls `finished` for each as it ends (for those Ctrl-C kept from
        starting, too); on return no child of theirs is left."""
        pending = deque(tasks)
        running: list[_Running] = []
        selector = selectors.DefaultSelector()
        try:
            while pending or running:
                if interrupts.count == 0:
                    while pending and len(running) < self.jobs:
                        task = pending.popleft()
                        job = self._start(task)
                        if job.pidfd is not None:
                            selector.register(job.pidfd, selectors.EVENT_READ, job)
                        running.append(job)
                        started(task)
                else:
                    while pending:
                        finished(pending.popleft(), Ending(None, 0.0, interrupted=True))
                self._signal(running, interrupts)
                tick(len(running))
                self._wait(selector, running)
                for job in [job for job in running if job.process.poll() is not None]:
                    running.remove(job)
                    if job.pidfd is not None:
                        selector.unregister(job.pidfd)
                        os.close(job.pidfd)
                    kill_group(job.process, signal.SIGKILL)  # what it left running in its session
                    finished(job.task, Ending(job.process.returncode, time.monotonic() - job.started,
                                              timed_out=job.timed_out, interrupted=job.interrupted,
                                              memory_limit=self.memory_limit, timeout=self.timeout))
        finally:
            # Only reached with children still running when the batch itself fails.
            for job in running:
                kill_group(job.process, signal.SIGKILL)
                job.process.wait()
                if job.pidfd is not None:
                    os.close(job.pidfd)
            selector.close()

    def _signal(self, running: list[_Running], interrupts: Interrupts) -> None:
        now = time.monotonic()
        for job in running:
            if interrupts.count >= 2:
                job.interrupted = job.interrupted or not job.timed_out
                kill_group(job.process, signal.SIGKILL)
            elif interrupts.count == 1 and not job.interrupted and not job.timed_out:
                job.interrupted = True
                kill_group(job.process, signal.SIGINT)
                job.kill_at = now + self.grace
            elif job.deadline is not None and now >= job.deadline and not job.timed_out and not job.interrupted:
                job.timed_out = True
                kill_group(job.process, signal.SIGTERM)
                job.kill_at = now + self.grace
            if job.kill_at is not None and now >= job.kill_at:
                kill_group(job.process, signal.SIGKILL)

    def _wait(self, selector: selectors.BaseSelector, running: list[_Running]) -> None:
        if not running:
            return
        now = time.monotonic()
        moments = [moment for job in running for moment in (job.deadline, job.kill_at) if moment is not None]
        wait = max(0.0, min([TICK, *(moment - now for moment in moments)]))
        if all(job.pidfd is not None for job in running):
            selector.select(wait)
        else:
            time.sleep(min(wait, 0.02))
