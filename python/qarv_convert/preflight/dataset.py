"""Calibration dataset files: one sample per line, one whitespace-separated path per model input."""
from __future__ import annotations

from qarv_convert.regular_files import open_regular
from qarv_convert.tuples import named_tuple


@named_tuple
class Sample:
    line: int             #: 1-based line of the dataset file
    paths: tuple[str, ...]


def read_samples(path: str) -> list[Sample]:
    """The samples of the dataset at `path`; blank lines are passed over. Raises `OSError`, and
    `NotRegularFile` for a FIFO or device."""
    samples = []
    with open_regular(path, "r", encoding="utf-8", errors="surrogateescape") as lines:
        for number, line in enumerate(lines, start=1):
            paths = tuple(line.split())
            if paths:
                samples.append(Sample(number, paths))
    return samples
