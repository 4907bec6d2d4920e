"""The JSON record of one conversion run, and writing files so that no reader sees half of one."""
from __future__ import annotations

import contextlib
import datetime
import errno
import json
import math
import os
import tempfile
from dataclasses import dataclass, field
from typing import Any

from qarv_convert.display import safe_repr
from qarv_convert.toolkit_proxy import Step


def _number(value: Any) -> Any:
    """A step's result as JSON can hold it: numbers as they are, anything else as its repr."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, float) and math.isfinite(value):
        return value
    return None if value is None else safe_repr(value)


@dataclass
class RunRecord:
    """What a conversion was given and what it did; `failure` stays None only for a success."""

    configuration: str
    version: str
    sha256: str | None = None
    toolkit_version: str | None = None
    steps: list[Step] = field(default_factory=list)
    failure: str | None = "did not finish"
    started_at: str = field(default_factory=lambda: datetime.datetime.now(datetime.timezone.utc)
                            .isoformat(timespec="seconds"))

    def to_json(self) -> str:
        document: dict[str, Any] = {
            "status": "failed" if self.failure is not None else "succeeded",
            "configuration": {"path": self.configuration, "sha256": self.sha256},
            "qarv_convert_version": self.version,
        }
        if self.toolkit_version is not None:
            document["toolkit_version"] = self.toolkit_version
        document["started_at"] = self.started_at
        document["steps"] = [
            {"method": step.method, "keywords": step.keywords, "result": _number(step.result),
             **({"raised": step.raised} if step.raised is not None else {}), "seconds": round(step.seconds, 6)}
            for step in self.steps
        ]
        document["failure"] = self.failure
        return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


def write_file(path: str, text: str, *, replace: bool = True) -> None:
    """Writes `text` to a temporary file beside `path` and then puts it in place in one step, so
    that `path` holds either its old content or all of `text`. Without `replace`, an existing
    `path` is left alone and FileExistsError raised."""
    directory = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # as an ordinary new file, not mkstemp's 0600
        if replace:
            os.replace(temporary, path)
            return
        try:
            os.link(temporary, path)  # fails if `path` exists, without a window between test and write
        except OSError as error:
            if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP):
                raise
            # A file system without hard links: exclusive creation, then a plain write.
            with open(path, "x", encoding="utf-8") as out:
                out.write(text)
    finally:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
