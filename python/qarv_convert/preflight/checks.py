"""The pre-flight checks of one configuration against its model, its data and its limits."""
from __future__ import annotations

import importlib.util
import os
from typing import Any, Sequence

from qarv_convert import _native
from qarv_convert.preflight.dataset import read_samples
from qarv_convert.preflight.diagnostics import Diagnostic, Report, Severity, load_failure
from qarv_convert.preflight.names import did_you_mean, quoted_list
from qarv_convert.preflight.npy import NotNumpy, read_arrays
from qarv_convert.regular_files import check_regular
from qarv_convert.source import UnreadableFile, display_name, module_path

#: Fewer calibration samples than this rarely give stable quantization ranges.
MIN_SAMPLES = 20
#: How many faulty lines or missing files a message names before it gives the count.
NAMED = 3
#: What `init` writes beside a value that only holds a place.
CHOOSE = "CHOOSE"


def _shape_text(shape: Sequence[Any] | None) -> str:
    if shape is None:
        return "unknown rank"
    return "[" + ", ".join("?" if d is None else str(d) for d in shape) + "]"


def _fits(shape: Sequence[int], wanted: Sequence[Any]) -> bool:
    """Whether an array of `shape` fits an input of `wanted` (named or unknown sizes match any),
    with or without the batch dimension of size 1."""
    def same(a: Sequence[int], b: Sequence[Any]) -> bool:
        return len(a) == len(b) and all(not isinstance(w, int) or w == s for s, w in zip(a, b))
    if same(shape, wanted):
        return True
    batch = wanted[0] if wanted else 0
    return (batch == 1 or batch is None or isinstance(batch, str)) and same(shape, wanted[1:])


class _Checker:
    def __init__(self, path: str, details: dict[str, Any], model_and_data: bool) -> None:
        self.name = display_name(path)
        self.details = details
        self.values: dict[str, Any] = details["values"]
        self.positions: dict[str, tuple[int, int, int]] = details["positions"]
        self.tables: dict[str, tuple[int, int, int]] = details["tables"]
        self.model_and_data = model_and_data
        self.beside = os.path.dirname(os.path.abspath(path))
        self.report = Report(path, details["text"])
        self.graph: dict[str, Any] | None = None
        #: The inputs a conversion feeds: (name, the model's shape of it or None).
        self.inputs: list[tuple[str, list[Any] | None]] | None = None
        #: The shape each of `inputs` gets: the size given, or the model's when it is static.
        self.shapes: list[list[Any] | None] = []

    # --- reporting -------------------------------------------------------------------------

    def add(self, severity: Severity, key: str, message: str) -> None:
        """A diagnostic at the key's value, else at the header of its nearest table."""
        at = self.positions.get(key) or self.tables.get(key)
        probe = key
        while at is None and probe:
            probe = probe.rpartition("[")[0] if probe.endswith("]") else probe.rpartition(".")[0]
            at = self.positions.get(probe) or self.tables.get(probe)
        line, column, carets = at if at else (None, None, 1)
        self.report.diagnostics.append(Diagnostic(severity, key, message, line, column, carets))

    def error(self, key: str, message: str) -> None:
        self.add(Severity.ERROR, key, message)

    def warning(self, key: str, message: str) -> None:
        self.add(Severity.WARNING, key, message)

    def missing(self, key: str, what: str, path: str) -> None:
        """A file that is not there, with a word when it is there beside the configuration."""
        message = f"{what} `{path}` does not exist"
        if not os.path.isabs(path) and os.path.exists(os.path.join(self.beside, path)) \
                and os.path.abspath(self.beside) != os.getcwd():
            directory = display_name(os.path.relpath(self.beside))
            message += (f" in the current directory, but it does exist beside the configuration; relative paths are "
                        f"read from the directory the run starts in: run with -C {directory}")
        self.error(key, message)

    def exists(self, key: str, what: str, path: str) -> bool:
        if os.path.exists(path):
            return True
        self.missing(key, what, path)
        return False

    # --- the checks --------------------------------------------------------------------------

    def run(self) -> Report:
        for warning in self.details["warnings"]:
            line, column, carets = warning["position"]
            self.report.diagnostics.append(Diagnostic(Severity.WARNING, warning["key"], warning["message"], line, column, carets))
        self.choose_markers()
        self.limits()
        self.normalization()
        if self.model_and_data:
            self.model()
        self.named_inputs()
        self.sizes()
        self.channels()
        self.calibration()
        self.accuracy_analysis()
        if self.model_and_data:
            self.initial_values()
            self.export()
        return self.report

    def choose_markers(self) -> None:
        """Values `init` left to choose: the marker stands on the value's line or in the comment just above."""
        lines = self.details["text"].split("\n")
        for key, (line, _, _) in self.positions.items():
            if "[" in key:
                continue
            marked = CHOOSE in lines[line - 1].partition("#")[2]
            above = line - 2
            while not marked and above >= 0 and lines[above].lstrip().startswith("#"):
                marked = CHOOSE in lines[above]
                above -= 1
            if marked:
                self.warning(key, f"`{key}` is still marked {CHOOSE} by `init`: set its value, then remove the marker")

    def limits(self) -> None:
        sections = _native_schema()["properties"]
        for section, values in self.values.items():
            if values is None:
                continue
            for key, schema in sections[section].get("properties", {}).items():
                value = values.get(key)
                if value is None or isinstance(value, bool):
                    continue
                low = schema.get("minimum")
                high = schema.get("maximum")
                if isinstance(value, (int, float)) and ((low is not None and value < low) or (high is not None and value > high)):
                    bounds = f"from {low} to {high}" if high is not None else f"from {low} up"
                    self.warning(f"{section}.{key}", f"`{key}` is {value}, outside the values it takes ({bounds})")
                minimum_length = schema.get("minLength")
                if isinstance(value, str) and minimum_length and len(value) < minimum_length:
                    self.warning(f"{section}.{key}", f"`{key}` is empty; it takes a non-empty string")

    def normalization(self) -> None:
        config = self.values["config"]
        means, stds = config["mean_values"], config["std_values"]
        if means is not None and stds is not None and len(means) != len(stds):
            self.error("config.std_values", f"`std_values` has {len(stds)} value{'s' * (len(stds) != 1)} but "
                                            f"`mean_values` has {len(means)}: each channel needs one of both")

    def model(self) -> None:
        path = self.values["load"]["model"]
        if not self.exists("load.model", "the model", path):
            return
        try:
            graph = _native.read_onnx_graph(path)
        except OSError as error:
            self.error("load.model", f"the model `{path}` cannot be read: {error.strerror or error}")
            return
        except ValueError as error:
            self.error("load.model", f"`{path}` is not an ONNX model: {error}")
            return
        if not graph["has_graph"]:
            why = "the file is empty" if os.path.getsize(path) == 0 else "it holds no graph"
            self.error("load.model", f"`{path}` is not an ONNX model: {why}")
            return
        self.graph = graph

    def named_inputs(self) -> None:
        load = self.values["load"]
        named: list[str] | None = load["inputs"]
        if self.graph is None:
            self.inputs = [(name, None) for name in named] if named is not None else None
            return
        model_name = self.values["load"]["model"]
        by_name = {info["name"]: info["shape"] for info in self.graph["inputs"]}
        if named is None:
            self.inputs = list(by_name.items())
        else:
            self.inputs = []
            for index, name in enumerate(named):
                if name in by_name:
                    self.inputs.append((name, by_name[name]))
                    continue
                self.inputs.append((name, None))
                if name in self.graph["initializers"]:
                    why = f"`{name}` is a weight of `{model_name}` (an initializer), not an input it is fed"
                else:
                    why = f"`{name}` is not an input of `{model_name}`"
                self.error(f"load.inputs[{index}]", f"{why}; its inputs are {quoted_list(list(by_name))}"
                                                    f"{did_you_mean(name, by_name)}")
        outputs = load["outputs"] or []
        carried = set(self.graph["node_outputs"]) | set(by_name) | set(self.graph["initializers"])
        offered = [info["name"] for info in self.graph["outputs"]]
        for index, name in enumerate(outputs):
            if name not in carried:
                self.error(f"load.outputs[{index}]",
                           f"no node of `{model_name}` produces `{name}` and no input carries it; its outputs are "
                           f"{quoted_list(offered)}{did_you_mean(name, offered + self.graph['node_outputs'])}")

    def sizes(self) -> None:
        sizes: list[list[int]] | None = self.values["load"]["input_size_list"]
        if self.inputs is None:
            self.shapes = [list(size) for size in sizes] if sizes else []
            return
        count = len(self.inputs)
        if sizes is not None and len(sizes) != count:
            whose = "`inputs` names" if self.values["load"]["inputs"] is not None else "the model has"
            self.error("load.input_size_list", f"`input_size_list` has {len(sizes)} entr{'y' if len(sizes) == 1 else 'ies'} "
                                               f"but {whose} {count} input{'s' * (count != 1)}: give one size per input")
        self.shapes = []
        for index, (name, dims) in enumerate(self.inputs):
            size = sizes[index] if sizes is not None and index < len(sizes) else None
            key = f"load.input_size_list[{index}]"
            if size is None:
                dynamic = [d for d in dims or [] if not isinstance(d, int)]
                if dynamic and self.graph is not None:
                    named = ", ".join("unnamed" if d is None else f"`{d}`" for d in dynamic)
                    self.error("load.input_size_list" if sizes is not None else "load",
                               f"input `{name}` has dynamic dimension{'s' * (len(dynamic) != 1)} {named} "
                               f"({_shape_text(dims)}) and `input_size_list` gives it no size")
                self.shapes.append(dims if dims is not None and not dynamic else None)
                continue
            self.shapes.append(list(size))
            if dims is None:
                continue
            if len(size) != len(dims):
                self.error(key, f"this size of `{name}` has {len(size)} dimension{'s' * (len(size) != 1)}; the model's "
                                f"input has {len(dims)} ({_shape_text(dims)})")
                continue
            for axis, (given, fixed) in enumerate(zip(size, dims)):
                if isinstance(fixed, int) and given != fixed:
                    self.error(f"{key}[{axis}]", f"dimension {axis} of `{name}` is {given} here, but the model fixes "
                                                 f"it at {fixed} ({_shape_text(dims)})")

    def channels(self) -> None:
        config = self.values["config"]
        four_dimensional = [(name, shape) for (name, _), shape in zip(self.inputs or [], self.shapes)
                            if shape is not None and len(shape) == 4]
        if not four_dimensional:
            return
        name, shape = four_dimensional[0]
        counts = {d for d in (shape[1], shape[3]) if isinstance(d, int)}
        for key in ("mean_values", "std_values"):
            values = config[key]
            if values is not None and counts and len(values) not in counts:
                self.warning(f"config.{key}", f"`{key}` has {len(values)} value{'s' * (len(values) != 1)}, but input "
                                              f"`{name}` ({_shape_text(shape)}) has {shape[1]} channels")

    def calibration(self) -> None:
        build = self.values["build"]
        dataset, quantize = build["dataset"], build["do_quantization"]
        if quantize and dataset is None:
            self.warning("build.do_quantization", "quantization is on but `dataset` names no calibration samples")
        if dataset is not None and quantize is False:
            self.warning("build.dataset", "`dataset` is not used: `do_quantization` is false")
        if dataset is None or not self.model_and_data:
            return
        if not self.exists("build.dataset", "the dataset", dataset):
            return
        try:
            samples = read_samples(dataset)
        except OSError as error:
            self.error("build.dataset", f"the dataset `{dataset}` cannot be read: {error.strerror or error}")
            return
        if not samples:
            self.error("build.dataset", f"the dataset `{dataset}` has no samples: every line is blank")
            return
        if len(samples) < MIN_SAMPLES:
            self.warning("build.dataset", f"the dataset `{dataset}` has {len(samples)} sample{'s' * (len(samples) != 1)}; "
                                          f"calibration wants at least {MIN_SAMPLES}")
        count = len(self.inputs) if self.inputs is not None else None
        if count is not None:
            wrong = [s for s in samples if len(s.paths) != count]
            if wrong:
                listed = ", ".join(f"line {s.line} has {len(s.paths)}" for s in wrong[:NAMED])
                more = f" and {len(wrong) - NAMED} more lines" if len(wrong) > NAMED else ""
                self.error("build.dataset", f"each line of `{dataset}` holds one path per model input ({count}), but "
                                            f"{listed}{more}")
        missing, strange = [], []
        for line, path in ((s.line, p) for s in samples for p in s.paths):
            try:
                check_regular(path)
            except (FileNotFoundError, NotADirectoryError):
                missing.append((line, path))
            except OSError as error:
                # The toolkit would wait on a FIFO's writer, or read a device without end.
                strange.append(f"`{path}` (line {line}): {error.strerror}")
        if missing:
            listed = ", ".join(f"`{p}` (line {line})" for line, p in missing[:NAMED])
            more = f" and {len(missing) - NAMED} more" if len(missing) > NAMED else ""
            hint = ""
            if any(not os.path.isabs(p) and os.path.exists(os.path.join(self.beside, p)) for _, p in missing[:NAMED]):
                hint = f"; they exist beside the configuration: run with -C {display_name(os.path.relpath(self.beside))}"
            self.error("build.dataset", f"{len(missing)} file{'s' * (len(missing) != 1)} listed in `{dataset}` "
                                        f"{'are' if len(missing) != 1 else 'is'} missing: {listed}{more}{hint}")
        if strange:
            more = f" and {len(strange) - NAMED} more" if len(strange) > NAMED else ""
            self.error("build.dataset", f"{len(strange)} file{'s' * (len(strange) != 1)} listed in `{dataset}` "
                                        f"cannot be read as samples: {', '.join(strange[:NAMED])}{more}")
        misfits = []
        for sample in samples:
            for index, path in enumerate(sample.paths):
                wanted = self.shapes[index] if index < len(self.shapes) else None
                if not path.endswith(".npy") or wanted is None or not os.path.exists(path):
                    continue
                try:
                    [array] = read_arrays(path)
                except (NotNumpy, OSError, ValueError):
                    continue  # the toolkit reads samples its own way; only the shape is ours to judge
                if not _fits(array.shape, wanted):
                    misfits.append(f"`{path}` (line {sample.line}) is {_shape_text(array.shape)}")
        if misfits:
            more = f" and {len(misfits) - NAMED} more" if len(misfits) > NAMED else ""
            self.warning("build.dataset", f"samples that do not fit their input: {', '.join(misfits[:NAMED])}{more}; "
                                          f"the inputs take {', '.join(_shape_text(s) for s in self.shapes)}")

    def accuracy_analysis(self) -> None:
        section = self.values["accuracy_analysis"]
        if section is None:
            return
        if not section["inputs"]:
            self.warning("accuracy_analysis", "[accuracy_analysis] is skipped: it lists no `inputs`")
            return
        if self.model_and_data:
            for index, path in enumerate(section["inputs"]):
                key = f"accuracy_analysis.inputs[{index}]"
                if self.exists(key, "the accuracy-analysis input", path):
                    try:
                        check_regular(path)
                    except OSError as error:
                        self.error(key, f"the accuracy-analysis input `{path}` cannot be read: {error.strerror}")

    def initial_values(self) -> None:
        path = self.values["load"]["input_initial_val_file"]
        if path is None:
            return
        key = "load.input_initial_val_file"
        if importlib.util.find_spec("numpy") is None:
            self.error(key, "NumPy is not installed, and reading `input_initial_val_file` needs it; install it with "
                            "the `numpy` extra: pip install 'qarv-convert[numpy]'")
        if not self.exists(key, "the initial-value file", path):
            return
        try:
            arrays = read_arrays(path)
        except OSError as error:
            self.error(key, f"the initial-value file `{path}` cannot be read: {error.strerror or error}")
            return
        except NotNumpy as error:
            self.error(key, f"`{path}` is not a .npy or .npz file that numpy.load reads: {error}")
            return
        known = [shape for shape in self.shapes if shape is not None]
        for array in arrays:
            if known and not any(_fits(array.shape, shape) for shape in known):
                what = f"array `{array.name}`" if array.name else "array"
                self.warning(key, f"the {what} in `{path}` is {_shape_text(array.shape)}, which fits no input "
                                  f"({', '.join(_shape_text(s) for s in known)})")

    def export(self) -> None:
        path = self.values["export"]["export_path"]
        if path is None:
            return
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            self.missing("export.export_path", "the export folder", folder)
        elif not os.access(folder, os.W_OK):
            self.error("export.export_path", f"the export folder `{folder}` is not writable")


_schema_cache: dict[str, Any] = {}


def _native_schema() -> dict[str, Any]:
    if not _schema_cache:
        import json
        _schema_cache.update(json.loads(_native.configuration_schema()))
    return _schema_cache


def check_file(path: str, model_and_data: bool = True, readable: str | None = None,
               overrides: Sequence[str] = ()) -> Report:
    """Every check of the configuration at `path`, read as the conversion reads it, with the
    `SECTION.KEY=VALUE` `overrides` over it; relative paths in it are taken from the current
    directory, as the toolkit takes them. `model_and_data` False leaves out what reads the model
    and the files named. `readable` is the name to read the file under when the caller already
    holds it open (`source.module_path`)."""
    try:
        if readable is not None:
            details = _native.load_details(readable, list(overrides))
        else:
            with module_path(path) as name:
                details = _native.load_details(name, list(overrides))
    except RuntimeError as error:
        return load_failure(path, str(error))
    except UnreadableFile as error:
        return Report(path, "", [Diagnostic(Severity.ERROR, "", str(error))], load_error=str(error))
    return _Checker(path, details, model_and_data).run()
