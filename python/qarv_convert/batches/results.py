"""The outcome of each job: its status from how its child ended, its record, and the results as JSON, tables and HTML."""
from __future__ import annotations

import csv
import dataclasses
import html
import io
import json
import os
import signal
from typing import Any, Sequence

from qarv_convert.batches.jobs import RECORD, Job

SUCCEEDED, FAILED, CRASHED, TIMED_OUT = "succeeded", "failed", "crashed", "timed-out"
MEMORY_LIMIT, NOT_RUN, UP_TO_DATE, INTERRUPTED = "memory-limit", "not-run", "up-to-date", "interrupted"
#: Every status, in the order the summary counts them.
STATUSES = (SUCCEEDED, UP_TO_DATE, FAILED, CRASHED, TIMED_OUT, MEMORY_LIMIT, NOT_RUN, INTERRUPTED)
#: The statuses of a batch that exits 0.
GOOD = (SUCCEEDED, UP_TO_DATE)



@dataclasses.dataclass
class Ending:
    """How a job's child process ended, as the engine saw it."""

    returncode: int | None          #: None when it never started
    seconds: float
    timed_out: bool = False
    interrupted: bool = False
    #: The limit in force, in bytes, if any.
    memory_limit: int | None = None
    timeout: float | None = None


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def read_record(folder: str) -> dict[str, Any] | None:
    try:
        with open(os.path.join(folder, RECORD), encoding="utf-8") as kept:
            document = json.load(kept)
    except (OSError, ValueError):
        return None
    return document if isinstance(document, dict) else None


def classify(ending: Ending, record: dict[str, Any] | None) -> tuple[str, str | None, str | None]:
    """(status, signal name or None, failure or None) of a job that ended so, with the record its
    child left (None if it left none)."""
    if ending.interrupted:
        return INTERRUPTED, None, "interrupted"
    if ending.timed_out:
        return TIMED_OUT, None, f"ran past the timeout of {ending.timeout:g} s"
    code = ending.returncode
    if code is not None and code < 0:
        name = signal_name(-code)
        try:
            what = signal.strsignal(-code) or name
        except ValueError:
            what = name
        return CRASHED, name, f"killed by {name} ({what})"
    if record is not None and record.get("status") == SUCCEEDED and code == 0:
        return SUCCEEDED, None, None
    if record is not None:
        out_of_memory = record.get("memory_exhausted") is True or any(
            isinstance(step, dict) and step.get("raised") == "MemoryError" for step in record.get("steps") or ())
        if ending.memory_limit is not None and out_of_memory:
            return MEMORY_LIMIT, None, f"went over the memory limit of {size_text(ending.memory_limit)}"
        if record.get("status") == INTERRUPTED:
            return INTERRUPTED, None, "interrupted"
        failure = record.get("failure")
        if isinstance(failure, str) and failure:
            return FAILED, None, failure
    return FAILED, None, f"the conversion exited with status {code} and left no record"


def size_text(count: int) -> str:
    if count < 1024:
        return f"{count} B"
    value = float(count)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        value /= 1024
        if value < 1024 or unit == "TiB":
            return f"{value:.1f} {unit}"
    raise AssertionError


def batch_record(job: Job, status: str, signal: str | None, failure: str | None, seconds: float | None,
                 version: str) -> dict[str, Any]:
    """The record the batch writes for a job whose child wrote none that tells how it ended."""
    import time

    return {
        "status": status,
        "configuration": {"path": os.path.abspath(job.config), "sha256": None},
        "command_line": None,
        "overrides": job.effective or job.overrides,
        "qarv_convert_version": version,
        "written_by": "batch",
        "finished_at": time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime()),
        "seconds": round(seconds or 0.0, 6),
        "steps": [],
        "skipped": [],
        "signal": signal,
        "failure": failure,
    }


def result(job: Job, status: str, *, signal: str | None = None, seconds: float | None = None,
           failure: str | None = None, key: str | None = None) -> dict[str, Any]:
    """One object of `results.json`."""
    export = job.export if status in GOOD and job.export and os.path.isfile(job.export) else None
    return {
        "name": job.name,
        "folder": job.folder,
        "config": job.config,
        "overrides": list(job.overrides),
        "varied": dict(job.varied),
        "status": status,
        "signal": signal,
        "seconds": None if seconds is None else round(seconds, 3),
        "export": export,
        "export_bytes": os.path.getsize(export) if export else None,
        "failure": failure,
        "key": key,
    }


# --- the final table ------------------------------------------------------------------------

def _first_line(text: str | None) -> str:
    from qarv_convert.text import printable

    return printable(text.strip().split("\n", 1)[0]) if text else ""


def rows(results: Sequence[dict[str, Any]]) -> tuple[list[str], list[list[str]]]:
    """The table's heading and rows: job, varied values, status, seconds, export size, failure."""
    from qarv_convert.text import printable

    heading = ["job", "varied", "status", "seconds", "export", "failure"]
    body = []
    for item in results:
        varied = " ".join(f"{key.split('.', 1)[-1]}={value}" for key, value in item.get("varied", {}).items())
        status = item["status"] + (f" ({item['signal']})" if item.get("signal") else "")
        seconds = "" if item["seconds"] is None else f"{item['seconds']:.1f}"
        size = "" if item["export_bytes"] is None else size_text(item["export_bytes"])
        body.append([printable(item["name"]), printable(varied), status, seconds, size,
                     _first_line(item["failure"])])
    return heading, body


def render(results: Sequence[dict[str, Any]], form: str) -> str:
    """The results as `--format` asks: an aligned table, Markdown, CSV or the JSON array."""
    if form == "json":
        return json.dumps(list(results), indent=2, ensure_ascii=False) + "\n"
    heading, body = rows(results)
    if form == "csv":
        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow(heading)
        writer.writerows(body)
        return buffer.getvalue()
    if form == "markdown":
        def line(cells: list[str]) -> str:
            return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |"
        return "\n".join([line(heading), "|" + "---|" * len(heading), *map(line, body)]) + "\n"
    widths = [max(len(row[i]) for row in [heading, *body]) for i in range(len(heading))]
    return "".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n"
                   for row in [heading, *body])


def summary(results: Sequence[dict[str, Any]]) -> str:
    """`12 jobs: 7 succeeded, 1 crashed...`, the statuses in a fixed order."""
    counts = [(status, sum(item["status"] == status for item in results)) for status in STATUSES]
    return f"{len(results)} job{'s' * (len(results) != 1)}: " + ", ".join(
        f"{count} {status}" for status, count in counts if count)


class Results(list):
    """The results of a batch, one dict per job as `results.json` holds them; a notebook shows
    them as a table."""

    def _repr_html_(self) -> str:
        heading, body = rows(self)
        colours = {SUCCEEDED: "#2a7", UP_TO_DATE: "#2a7", NOT_RUN: "#a70", INTERRUPTED: "#a70"}
        parts = ['<table class="qarv-batch">', f"<caption>{html.escape(summary(self))}</caption>",
                 "<tr>" + "".join(f'<th style="text-align:left">{html.escape(cell)}</th>' for cell in heading) + "</tr>"]
        for item, row in zip(self, body):
            colour = colours.get(item["status"], "#c33")
            cells = [f'<td style="text-align:left">{html.escape(cell)}</td>' for cell in row]
            cells[2] = f'<td style="text-align:left;color:{colour};font-weight:bold">{html.escape(row[2])}</td>'
            parts.append("<tr>" + "".join(cells) + "</tr>")
        parts.append("</table>")
        return "\n".join(parts)
