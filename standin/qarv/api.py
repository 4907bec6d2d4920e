"""`QARV`: a toolkit object that checks little, converts nothing, and writes down what it was asked."""
import json
import os
import sys

DEFAULT_EXPORT_NAME = "model.qarv"


def _describe(value):
    """Arguments as JSON: arrays (anything with `shape` and `dtype`) by their shape and type only,
    since the point is to see what arrived, not to copy the data."""
    if hasattr(value, "shape") and hasattr(value, "dtype"):
        return {"array": {"shape": list(value.shape), "dtype": str(value.dtype)}}
    if isinstance(value, (list, tuple)):
        return [_describe(item) for item in value]
    if isinstance(value, dict):
        return {str(key): _describe(item) for key, item in value.items()}
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return repr(value)


def _note(text):
    print(f"qarv(stand-in): {text}", file=sys.stderr, flush=True)


class QARV:
    """Each method records its call and returns 0, the toolkit's code for success; a failure is a
    non-zero code with the reason on standard error, as the real toolkit reports it."""

    def __init__(self):
        self.calls = []

    def _record(self, step, args, kwargs):
        self.calls.append({"step": step, "args": _describe(list(args)), "kwargs": _describe(kwargs)})
        names = ", ".join(kwargs) or "no keywords"
        _note(f"{step}({', '.join(repr(a) for a in args)}) with {names}")

    def config(self, **kwargs):
        self._record("config", (), kwargs)
        return 0

    def load_onnx(self, model, **kwargs):
        self._record("load_onnx", (model,), kwargs)
        if not os.path.isfile(model):
            _note(f"load_onnx: model file {model!r} does not exist")
            return -1
        return 0

    def build(self, **kwargs):
        self._record("build", (), kwargs)
        return 0

    def accuracy_analysis(self, **kwargs):
        self._record("accuracy_analysis", (), kwargs)
        return 0

    def export_qarv(self, path):
        self._record("export_qarv", (path,), {})
        target = DEFAULT_EXPORT_NAME if path is None else path
        try:
            with open(target, "w", encoding="utf-8") as artifact:
                json.dump({"format": "qarv stand-in artifact", "calls": self.calls}, artifact, indent=2)
                artifact.write("\n")
        except OSError as error:
            _note(f"export_qarv: cannot write {target!r}: {error}")
            return -1
        _note(f"export_qarv: wrote {os.path.abspath(target)}")
        return 0
