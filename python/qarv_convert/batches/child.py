"""The child process of one batch job: `python -m qarv_convert.batches.child JOB`, JOB the job as JSON."""
from __future__ import annotations

import json
import os
import signal
import sys
from typing import Any, Sequence

#: The child's exit status when it could not even start the conversion (bad job text, a parent gone).
CANNOT_START = 2


def _die_with_parent(parent: int) -> None:
    """Asks the kernel to kill this process when the batch (or the Ray worker) that started it ends,
    so that no conversion outlives a batch that was killed outright."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        return  # not Linux: the batch's own clean-up is all there is
    if os.getppid() != parent:
        os._exit(CANNOT_START)  # the parent ended before the request was in place


def _limit_memory(limit: int) -> None:
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def run_conversion(config: str, overrides: Sequence[str], record: str, strict: bool) -> int:
    """The job's one conversion, writing its record to `record`; returns the exit status.

    The pre-flight of the model and data ran in the batch before any job started; only what the
    file's own checks find remains here. Ctrl-C propagates after the record is written."""
    from qarv_convert.conversion import convert
    from qarv_convert.progress import PlainProgress
    from qarv_convert.streams import PROGRAM

    def checked(report: Any) -> None:
        if report.diagnostics:
            sys.stderr.write(report.to_text())

    command = [PROGRAM, "convert", "--no-preflight", *(["--strict"] if strict else []), "--record", record,
               *(word for override in overrides for word in ("--set", override)), config]
    outcome = convert(config, overrides=overrides, preflight=False, strict=strict, progress=PlainProgress(sys.stderr),
                      record=record, checked=checked, command_line=command)
    if outcome.failure is not None:
        print(f"{PROGRAM}: {outcome.failure}", file=sys.stderr)
        return 1
    return 0


def _mark_memory_exhausted(record: str) -> None:
    """Notes in the record that the run ended for want of memory, for the batch to tell apart."""
    from qarv_convert.files import write_file

    try:
        with open(record, encoding="utf-8") as kept:
            document: dict[str, Any] = json.load(kept)
        document["memory_exhausted"] = True
        write_file(record, json.dumps(document, indent=2, ensure_ascii=False) + "\n")
    except (OSError, ValueError, MemoryError):
        pass


def main(argv: Sequence[str]) -> int:
    try:
        job_data = json.loads(argv[0])
        from qarv_convert.batches.jobs import RECORD, effective_overrides

        config, folder = job_data["config"], job_data["folder"]
        overrides = effective_overrides(job_data["overrides"], folder, job_data["relocated"])
        record = os.path.join(folder, RECORD)
    except (IndexError, ValueError, KeyError, TypeError) as error:
        print(f"qarv-convert batch child: bad job description: {error}", file=sys.stderr)
        return CANNOT_START
    if job_data.get("parent"):
        _die_with_parent(int(job_data["parent"]))
    if job_data.get("memory_limit"):
        _limit_memory(int(job_data["memory_limit"]))
    try:
        return run_conversion(config, overrides, record, bool(job_data.get("strict")))
    except KeyboardInterrupt:
        return 130
    except MemoryError:
        _mark_memory_exhausted(record)
        print("qarv-convert batch child: out of memory", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
