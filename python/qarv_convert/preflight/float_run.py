"""The float model run with onnxruntime on the calibration samples, preprocessed as the device preprocesses them."""
from __future__ import annotations

import time
from qarv_convert.tuples import named_tuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Sequence

    import zipfile

    import numpy as np

#: How many values of each output the report's histograms keep per sample.
KEPT_VALUES = 4096


@named_tuple
class Failure:
    """The model did not run on a sample."""

    line: int
    message: str  #: onnxruntime's


@named_tuple
class NonFinite:
    output: str
    line: int
    nans: int
    infinities: int


class FloatRun:
    """The outcome of running the float model on the samples."""

    def __init__(self, model: str, outputs: list[str], load_failure: str | None = None) -> None:
        self.model = model
        self.outputs = outputs            #: the outputs fetched, in the model's order
        self.load_failure = load_failure  #: onnxruntime's message when it cannot load the model
        self.ran = 0                      #: samples the model ran on
        self.skipped = 0                  #: read samples that do not fit the configured sizes
        self.seconds = 0.0                #: spent in onnxruntime, loading the model included
        self.failure: Failure | None = None
        self.nonfinite: list[NonFinite] = []
        self.distinct_inputs = 0          #: how many of the samples run differ from each other
        #: Per output: whether every sample so far gave the first sample's values.
        self.unchanged: dict[str, bool] = {}
        #: Per float output, a few values of each sample, for the report's histograms.
        self.values: dict[str, list[Any]] = {}

    def constant_outputs(self) -> list[str]:
        """The outputs identical for every sample although the samples differ."""
        if self.ran < 2 or self.distinct_inputs < 2:
            return []
        return [name for name in self.outputs if self.unchanged.get(name)]


class Runner:
    """Runs the model at `path` on each line the contents pass hands it, stopping at the first
    sample it fails on; with `keep`, writes each float output of each sample into that `.npz`
    as it goes, as `OUTPUT/LINE` (beside `lines`, the dataset lines run)."""

    def __init__(self, path: str, wanted: Sequence[str] = (), keep: str | None = None) -> None:
        import os

        import numpy as np

        # onnxruntime's Linux builds report each session (the model's name and hashes among it) to
        # their maker unless told not to, and keep a store for it under ~/.cache: a check of a
        # user's model sends nothing anywhere. The variable must be set before the import.
        os.environ.setdefault("ORT_DISABLE_TELEMETRY", "1")
        import onnxruntime

        onnxruntime.disable_telemetry_events()

        started = time.perf_counter()
        # Its own log (warnings about unused initializers, a failed node's error) stays quiet: a
        # failure comes back as an exception, which the check reports in its own words.
        options = onnxruntime.SessionOptions()
        options.log_severity_level = 4
        self._run_options = onnxruntime.RunOptions()
        self._run_options.log_severity_level = 4
        self._first: dict[str, Any] = {}
        self._inputs_seen: set[bytes] = set()
        self._lines: list[int] = []
        self._archive: zipfile.ZipFile | None = None
        try:
            self.session = onnxruntime.InferenceSession(path, options, providers=["CPUExecutionProvider"])
        except Exception as error:  # noqa: BLE001 - onnxruntime raises its own classes for every fault
            self.session = None
            self.result = FloatRun(path, [], _first_line(error))
            return
        offered = [output.name for output in self.session.get_outputs()]
        chosen = [name for name in offered if name in wanted] or offered
        self.result = FloatRun(path, chosen)
        self._types = {info.name: _numpy_type(info.type, np) for info in self.session.get_inputs()}
        self._names = [info.name for info in self.session.get_inputs()]
        self.result.seconds = time.perf_counter() - started
        if keep is not None:
            import zipfile

            self._archive = zipfile.ZipFile(keep, "w", compression=zipfile.ZIP_STORED, allowZip64=True)

    @property
    def stopped(self) -> bool:
        return self.session is None or self.result.failure is not None

    def __call__(self, line: int, arrays: list[Any], digest: bytes) -> None:
        import numpy as np

        if self.stopped:
            return
        if any(array is None for array in arrays) or len(arrays) != len(self._names):
            self.result.skipped += 1
            return
        feed = {name: array.astype(self._types.get(name, np.float32), copy=False)
                for name, array in zip(self._names, arrays)}
        started = time.perf_counter()
        try:
            produced = self.session.run(self.result.outputs, feed, self._run_options)
        except Exception as error:  # noqa: BLE001
            self.result.seconds += time.perf_counter() - started
            self.result.failure = Failure(line, _first_line(error))
            return
        self.result.seconds += time.perf_counter() - started
        self.result.ran += 1
        self._inputs_seen.add(digest)
        self.result.distinct_inputs = len(self._inputs_seen)
        self._lines.append(line)
        for name, value in zip(self.result.outputs, produced):
            value = np.asarray(value)
            self._note(name, line, value)

    def _note(self, name: str, line: int, value: Any) -> None:
        import numpy as np

        first = self._first.setdefault(name, value)
        self.result.unchanged[name] = self.result.unchanged.get(name, True) and (
            first is value or (first.shape == value.shape and np.array_equal(first, value)))
        if value.dtype.kind != "f":
            return
        finite = np.isfinite(value)
        if not finite.all():
            nans = int(np.isnan(value).sum())
            self.result.nonfinite.append(NonFinite(name, line, nans, int(value.size - finite.sum()) - nans))
        flat = value[finite] if not finite.all() else value.reshape(-1)
        self.result.values.setdefault(name, []).append(flat[:: max(1, flat.size // KEPT_VALUES)][:KEPT_VALUES])
        if self._archive is not None:
            with self._archive.open(f"{name}/{line}.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.ascontiguousarray(value), allow_pickle=False)

    def close(self) -> FloatRun:
        """Ends the run: the kept outputs' archive is completed with its `lines`."""
        if self._archive is not None:
            import numpy as np

            with self._archive.open("lines.npy", "w") as member:
                np.lib.format.write_array(member, np.asarray(self._lines, dtype=np.int64))
            self._archive.close()
            self._archive = None
        return self.result


def _numpy_type(type_name: str, np: Any) -> Any:
    """The NumPy type of an onnxruntime type string such as `tensor(float)`."""
    element = type_name.removeprefix("tensor(").rstrip(")")
    return {"float": np.float32, "double": np.float64, "float16": np.float16, "int8": np.int8, "uint8": np.uint8,
            "int16": np.int16, "uint16": np.uint16, "int32": np.int32, "uint32": np.uint32, "int64": np.int64,
            "uint64": np.uint64, "bool": np.bool_}.get(element, np.float32)


def _first_line(error: BaseException) -> str:
    """onnxruntime's message without its bracketed status prefix, on one line."""
    text = str(error).strip() or type(error).__name__
    if text.startswith("[ONNXRuntimeError]"):
        text = text.split(":", 3)[-1].strip() if text.count(":") >= 3 else text
    return " ".join(text.split())
