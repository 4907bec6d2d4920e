"""The pre-flight checks of one configuration against its model, its data and its limits."""
from __future__ import annotations

import os

from qarv_convert import _native
from qarv_convert.preflight.diagnostics import Diagnostic, Report, Severity, unloaded_report
from qarv_convert.preflight.formats import (BadSample, InputNeed, SampleFile, channel_count, dtype_fault, fits,
                                            image_misfits, layout_hint, moved_layout, read_sample, shape_text, suits)
from qarv_convert.preflight.names import LISTED, did_you_mean, nearest, quoted_list
from qarv_convert.preflight.npy import NotNumpy, read_arrays
from qarv_convert.regular_files import check_regular
from qarv_convert.source import UnreadableFile, display_name, module_path
from qarv_convert.text import quoted

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Sequence

    from qarv_convert.preflight.dataset import Sample
    from qarv_convert.preflight.float_run import FloatRun, NonFinite, Runner
    from qarv_convert.preflight.samples import Contents, Layout

#: Fewer calibration samples than this rarely give stable quantization ranges.
MIN_SAMPLES = 20
#: How many dataset lines the contents checks read by default (`--samples`). (Here rather than
#: beside those checks, which a check of the file alone does without importing.)
SAMPLES = 100
#: How many faulty lines or missing files a message names before it gives the count.
NAMED = 3
#: What `init` writes beside a value that only holds a place.
CHOOSE = "CHOOSE"


#: The most permutations of a line's files tried against the inputs (all of them up to 6 inputs).
MAX_ORDERS = 720


class _Faults:
    """Files with one kind of fault, gathered over a dataset and reported as one diagnostic that
    names the first few and counts the rest."""

    def __init__(self) -> None:
        self.kinds: dict[str, tuple[Severity, Callable[[int], str], list[str]]] = {}

    def add(self, kind: str, severity: Severity, heading: Callable[[int], str], item: str) -> None:
        """`heading` words the kind for a count of files; `item` names one file and its fault."""
        self.kinds.setdefault(kind, (severity, heading, []))[2].append(item)

    def messages(self) -> list[tuple[Severity, str]]:
        out = []
        for severity, heading, items in self.kinds.values():
            more = f"; and {len(items) - NAMED} more" if len(items) > NAMED else ""
            out.append((severity, f"{heading(len(items))}: {'; '.join(items[:NAMED])}{more}"))
        return out


class _FirstFew:
    """Faults of single elements of a list: the first few worded and kept, the others only
    counted, so that a list of a million faulty entries costs and reports about what a short one does."""

    def __init__(self) -> None:
        self.shown: list[tuple[str, str]] = []
        self.count = 0

    def add(self, key: str, message: Callable[[], str]) -> None:
        """A fault of the element at `key`; `message` words it, called for the first few only."""
        self.count += 1
        if len(self.shown) < NAMED:
            self.shown.append((key, message()))


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'s' * (count != 1)}"


class _Checker:
    def __init__(self, path: str, details: dict[str, Any], model_and_data: bool, samples: int = SAMPLES,
                 run: bool = False, keep: str | None = None) -> None:
        self.name = display_name(path)
        #: How many dataset lines the contents checks read; whether (and where to keep what) the model runs on them.
        self.samples, self.run_model, self.keep = samples, run, keep
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
        #: Sample files of the dataset that read as the conversion reads them, by path: the ones
        #: whose contents are worth reading. Whether each suits its input is reported apart.
        self.readable_samples: dict[str, SampleFile] = {}

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

    def first_few(self, key: str, faults: _FirstFew, rest: Callable[[int], str],
                  severity: Severity = Severity.ERROR) -> None:
        """The faults of single elements under `key` (a list, the inputs, the arrays of a file):
        the first few each at its element, the others counted in one diagnostic at `key`."""
        for element, message in faults.shown:
            self.add(severity, element, message)
        if faults.count > len(faults.shown):
            self.add(severity, key, rest(faults.count - len(faults.shown)))

    def missing(self, key: str, what: str, path: str) -> None:
        """A file that is not there, with a word when it is there beside the configuration."""
        self.error(key, self.missing_text(what, path))

    def missing_text(self, what: str, path: str) -> str:
        """What `missing` says of `path`."""
        message = f"{what} {quoted(path)} does not exist"
        if not os.path.isabs(path) and os.path.exists(os.path.join(self.beside, path)) \
                and os.path.abspath(self.beside) != os.getcwd():
            directory = display_name(os.path.relpath(self.beside))
            message += (f" in the current directory, but it does exist beside the configuration; relative paths are "
                        f"read from the directory the run starts in: run with -C {directory}")
        return message

    def exists(self, key: str, what: str, path: str) -> bool:
        if os.path.exists(path):
            return True
        self.missing(key, what, path)
        return False

    # --- the checks --------------------------------------------------------------------------

    def run(self) -> Report:
        self.report.values = self.values
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
        self.steps_without_entries()
        self.accuracy_analysis()
        if self.model_and_data:
            self.initial_values()
            self.export()
        if self.run_model and self.report.run is None and self.report.run_reason is None:
            self.report.run_reason = "there are no calibration samples to run it on"
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
        for dotted, facts in _native.KEYS.items():
            section, _, key = dotted.partition(".")
            values = self.values.get(section)
            value = values.get(key) if values is not None else None
            if value is None or isinstance(value, bool):
                continue
            low, high = facts["minimum"], facts["maximum"]
            if isinstance(value, (int, float)) and ((low is not None and value < low) or (high is not None and value > high)):
                bounds = f"from {low} to {high}" if high is not None else f"from {low} up"
                self.warning(dotted, f"`{key}` is {value}, outside the values it takes ({bounds})")
            minimum_length = facts["min_length"]
            if isinstance(value, str) and minimum_length and len(value) < minimum_length:
                self.warning(dotted, f"`{key}` is empty; it takes a non-empty string")

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
            self.error("load.model", f"the model {quoted(path)} cannot be read: {error.strerror or error}")
            return
        except ValueError as error:
            self.error("load.model", f"{quoted(path)} is not an ONNX model: {error}")
            return
        if not graph["has_graph"]:
            why = "the file is empty" if os.path.getsize(path) == 0 else "it holds no graph"
            self.error("load.model", f"{quoted(path)} is not an ONNX model: {why}")
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
            unknown = [(index, name) for index, name in enumerate(named) if name not in by_name]
            # An input a misspelt entry is already pointed to needs no second error.
            meant = {nearest(name, by_name) for _, name in unknown}
            given = set(named)
            left_out = [name for name in by_name if name not in given and name not in meant]
            if left_out:
                self.error("load.inputs", f"`inputs` leaves out {quoted_list(left_out)}, which {quoted(model_name)} needs "
                                          f"fed (an input, not an initializer); its inputs are {quoted_list(list(by_name))}")
            self.inputs = [(name, by_name.get(name)) for name in named]
            initializers = set(self.graph["initializers"])

            def not_an_input(name: str) -> str:
                if name in initializers:
                    why = f"{quoted(name)} is a weight of {quoted(model_name)} (an initializer), not an input it is fed"
                else:
                    why = f"{quoted(name)} is not an input of {quoted(model_name)}"
                return f"{why}; its inputs are {quoted_list(list(by_name))}{did_you_mean(name, by_name)}"

            faults = _FirstFew()
            for index, name in unknown:
                faults.add(f"load.inputs[{index}]", lambda: not_an_input(name))
            self.first_few("load.inputs", faults,
                           lambda rest: f"{rest} more entries of `inputs` are not inputs of {quoted(model_name)}")
        outputs = load["outputs"] or []
        carried = set(self.graph["node_outputs"]) | set(by_name) | set(self.graph["initializers"])
        offered = [info["name"] for info in self.graph["outputs"]]
        faults = _FirstFew()
        for index, name in enumerate(outputs):
            if name not in carried:
                faults.add(f"load.outputs[{index}]", lambda: (
                    f"no node of {quoted(model_name)} produces {quoted(name)} and no input carries it; its outputs are "
                    f"{quoted_list(offered)}{did_you_mean(name, offered + self.graph['node_outputs'])}"))
        self.first_few("load.outputs", faults,
                       lambda rest: f"{rest} more entries of `outputs` are produced by no node of {quoted(model_name)} "
                                    f"and carried by no input")

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
        # Only the first few of each kind are worded: `inputs` may name one input a million times.
        unsized, misfits = _FirstFew(), _FirstFew()
        for index, (name, dims) in enumerate(self.inputs):
            size = sizes[index] if sizes is not None and index < len(sizes) else None
            key = f"load.input_size_list[{index}]"
            if size is None:
                dynamic = [d for d in dims or [] if not isinstance(d, int)]
                if dynamic and self.graph is not None:
                    unsized.add("load.input_size_list" if sizes is not None else "load", lambda: (
                        f"input {quoted(name)} has dynamic dimension{'s' * (len(dynamic) != 1)} "
                        f"{', '.join('unnamed' if d is None else quoted(d) for d in dynamic)} "
                        f"({shape_text(dims)}) and `input_size_list` gives it no size"))
                self.shapes.append(dims if dims is not None and not dynamic else None)
                continue
            self.shapes.append(list(size))
            if dims is not None:
                self.size_misfits(key, name, size, dims, misfits)
        self.first_few("load.input_size_list" if sizes is not None else "load", unsized,
                       lambda rest: f"{rest} more inputs have dynamic dimensions and `input_size_list` gives them no size")
        self.first_few("load.input_size_list", misfits,
                       lambda rest: f"{rest} more sizes in `input_size_list` miss their inputs' shapes")

    @staticmethod
    def size_misfits(key: str, name: str, size: list[int], dims: list[Any], faults: _FirstFew) -> None:
        """How the size given for an input misses the model's shape of it."""
        if len(size) != len(dims):
            faults.add(key, lambda: f"this size of {quoted(name)} has {len(size)} dimension{'s' * (len(size) != 1)}; "
                                    f"the model's input has {len(dims)} ({shape_text(dims)})")
            return
        moved = moved_layout(size, dims)
        if moved is not None:
            fixed = [size[0], size[3], size[1], size[2]] if moved == "channels-last" else [size[0], size[2], size[3], size[1]]
            faults.add(key, lambda: f"this size of {quoted(name)} ({shape_text(size)}) looks {moved} "
                                    f"({'NHWC' if moved == 'channels-last' else 'NCHW'}), but the model's input is "
                                    f"{'channels-first' if moved == 'channels-last' else 'channels-last'} "
                                    f"({shape_text(dims)}): give {shape_text(fixed)}")
            return
        for axis, (given, fixed) in enumerate(zip(size, dims)):
            if isinstance(fixed, int) and given != fixed:
                faults.add(f"{key}[{axis}]", lambda: f"dimension {axis} of {quoted(name)} is {given} here, but the model "
                                                     f"fixes it at {fixed} ({shape_text(dims)})")

    def channels(self) -> None:
        config = self.values["config"]
        four_dimensional = [(name, shape) for (name, _), shape in zip(self.inputs or [], self.shapes)
                            if shape is not None and len(shape) == 4]
        if not four_dimensional:
            return
        name, shape = four_dimensional[0]
        dims = dict(self.inputs or []).get(name)
        known = channel_count(InputNeed(name, shape, dims))
        # Without a telling layout either axis may hold the channels.
        counts = {known} if known is not None else {d for d in (shape[1], shape[3]) if isinstance(d, int)}
        for key in ("mean_values", "std_values"):
            values = config[key]
            if values is not None and counts and len(values) not in counts:
                channels = " or ".join(str(c) for c in sorted(counts))
                self.warning(f"config.{key}", f"`{key}` has {len(values)} value{'s' * (len(values) != 1)}, but input "
                                              f"{quoted(name)} ({shape_text(shape)}) has {channels} channels")

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
        from qarv_convert.preflight.dataset import read_samples

        try:
            samples = read_samples(dataset)
        except OSError as error:
            self.error("build.dataset", f"the dataset {quoted(dataset)} cannot be read: {error.strerror or error}")
            return
        if not samples:
            self.error("build.dataset", f"the dataset {quoted(dataset)} has no samples: every line is blank")
            return
        if len(samples) < MIN_SAMPLES:
            self.warning("build.dataset", f"the dataset {quoted(dataset)} has {len(samples)} sample{'s' * (len(samples) != 1)}; "
                                          f"calibration wants at least {MIN_SAMPLES}")
        count = len(self.inputs) if self.inputs is not None else None
        if count is not None:
            wrong = [s for s in samples if len(s.paths) != count]
            if wrong:
                listed = ", ".join(f"line {s.line} has {len(s.paths)}" for s in wrong[:NAMED])
                more = f" and {len(wrong) - NAMED} more lines" if len(wrong) > NAMED else ""
                self.error("build.dataset", f"each line of {quoted(dataset)} holds one path per model input ({count}), but "
                                            f"{listed}{more}")
        missing, strange = [], []
        for line, path in ((s.line, p) for s in samples for p in s.paths):
            try:
                check_regular(path)
            except (FileNotFoundError, NotADirectoryError):
                missing.append((line, path))
            except OSError as error:
                # The toolkit would wait on a FIFO's writer, or read a device without end.
                strange.append(f"{quoted(path)} (line {line}): {error.strerror}")
        if missing:
            listed = ", ".join(f"{quoted(p)} (line {line})" for line, p in missing[:NAMED])
            more = f" and {len(missing) - NAMED} more" if len(missing) > NAMED else ""
            hint = ""
            if any(not os.path.isabs(p) and os.path.exists(os.path.join(self.beside, p)) for _, p in missing[:NAMED]):
                hint = f"; they exist beside the configuration: run with -C {display_name(os.path.relpath(self.beside))}"
            self.error("build.dataset", f"{len(missing)} file{'s' * (len(missing) != 1)} listed in {quoted(dataset)} "
                                        f"{'are' if len(missing) != 1 else 'is'} missing: {listed}{more}{hint}")
        if strange:
            more = f" and {len(strange) - NAMED} more" if len(strange) > NAMED else ""
            self.error("build.dataset", f"{len(strange)} file{'s' * (len(strange) != 1)} listed in {quoted(dataset)} "
                                        f"cannot be read as samples: {', '.join(strange[:NAMED])}{more}")
        self.sample_formats(dataset, samples)
        self.contents(dataset, samples)

    def needs(self) -> list[InputNeed]:
        """Each input the conversion feeds, with the size it gets and the model's own shape and type."""
        types = {info["name"]: info["elem_type"] for info in self.graph["inputs"]} if self.graph is not None else {}
        return [InputNeed(name, shape, dims, types.get(name, 0))
                for (name, dims), shape in zip(self.inputs or [], self.shapes + [None] * len(self.inputs or []))]

    def sample_formats(self, dataset: str, samples: list[Any]) -> None:
        """Every file of the dataset read as the conversion reads it, and held against its input;
        a file listed many times is reported once, at its first line."""
        needs = self.needs()
        faults = _Faults()
        read: dict[str, SampleFile | None] = {}
        judged: set[tuple[str, int]] = set()
        no_pillow = False
        for sample in samples:
            problems: list[tuple[str, Severity, Callable[[int], str], str]] = []
            for index, path in enumerate(sample.paths):
                where = f"{quoted(path)} (line {sample.line})"
                if path not in read:
                    read[path] = None
                    if not os.path.isfile(path):
                        continue  # reported as missing or as not a regular file
                    try:
                        read[path] = self.readable_samples[path] = read_sample(path)
                    except ImportError:
                        no_pillow = True
                    except (BadSample, OSError) as error:
                        reason = error.strerror or str(error) if isinstance(error, OSError) else str(error)
                        faults.add("unreadable", Severity.ERROR, lambda n: f"{_plural(n, 'file')} listed in {quoted(dataset)} "
                                   f"cannot be read as the conversion reads a sample", f"{where}: {reason}")
                found = read[path]
                if found is not None and (path, index) not in judged:
                    judged.add((path, index))
                    problems += self.sample_faults(found, needs[index] if index < len(needs) else None, where, dataset)
            files = [read[p] for p in sample.paths]
            # Files that fit the inputs once reordered have one fault: the order, not each file.
            if not (len(needs) >= 2 and len(files) == len(needs) and self.columns_swapped(sample, files, needs, faults, dataset)):
                for problem in problems:
                    faults.add(*problem)
        if no_pillow:
            self.error("build.dataset", f"{quoted(dataset)} lists images, and checking them needs Pillow, which is not "
                                        f"installed: pip install pillow")
        for severity, message in faults.messages():
            self.add(severity, "build.dataset", message)

    def sample_faults(self, found: SampleFile, need: InputNeed | None, where: str,
                      dataset: str) -> list[tuple[str, Severity, Callable[[int], str], str]]:
        """What keeps a file that reads from feeding its input, as `_Faults.add` takes it."""
        out: list[tuple[str, Severity, Callable[[int], str], str]] = []
        if found.image is not None:
            misfits = image_misfits(found.image, need) if need is not None else []
            if misfits:
                out.append(("image", Severity.WARNING,
                            lambda n: f"{_plural(n, 'image')} listed in {quoted(dataset)} "
                                      f"{'does not match its input' if n == 1 else 'do not match their inputs'}",
                            f"{where} {' and '.join(misfits)}"))
            return out
        for array in found.arrays:
            fault = dtype_fault(array, need)
            if fault is not None:
                member = f"member {quoted(array.name)} of " if array.name else ""
                out.append(("dtype", Severity.ERROR,
                            lambda n: f"{_plural(n, 'file')} listed in {quoted(dataset)} cannot feed "
                                      f"{'its input' if n == 1 else 'their inputs'}",
                            f"{member}{where} {fault}"))
        if out or need is None or need.shape is None or len(found.arrays) != 1:
            return out
        shape = found.arrays[0].shape
        if not fits(shape, need.shape):
            out.append(("shape", Severity.WARNING, lambda n: "samples that do not fit their input",
                        f"{where} is {shape_text(shape)}{layout_hint(shape, need.shape)} where input {quoted(need.name)} "
                        f"takes {shape_text(need.shape)}"))
        return out

    def columns_swapped(self, sample: Any, files: list[SampleFile | None], needs: list[InputNeed], faults: _Faults,
                        dataset: str) -> bool:
        """Whether a line's files fit the inputs only in another order (said as a warning)."""
        import itertools

        present = [f for f in files if f is not None]
        if len(present) != len(files) or all(suits(f, need) for f, need in zip(present, needs)):
            return False
        for order in itertools.islice(itertools.permutations(range(len(needs))), 1, MAX_ORDERS):
            if all(suits(present[at], needs[index]) for index, at in enumerate(order)):
                pairs = ", ".join(f"{quoted(sample.paths[at])} fits {quoted(needs[index].name)}"
                                  for index, at in enumerate(order) if at != index)
                names = quoted_list([need.name for need in needs])
                faults.add("columns", Severity.WARNING,
                           lambda n: f"the columns of {quoted(dataset)} look swapped on {_plural(n, 'line')}: each line "
                                     f"lists one file per input, in the order {names}",
                           f"line {sample.line}: {pairs}")
                return True
        return False

    def contents(self, dataset: str, samples: list[Sample]) -> None:
        """What the samples hold, and the float model run on them, over a spread selection of the list."""
        if self.samples <= 0 or self.inputs is None:
            return
        if _find_spec("numpy") is None:
            # Not a warning: the conversion host has NumPy (the toolkit reads samples with it) even
            # when the machine running the check lacks it, so --strict does not fail on this.
            from qarv_convert.extras import MissingExtra

            self.report.notes.append(MissingExtra("numpy", "numpy", "checking what the samples hold").message())
            if self.run_model:
                self.report.run_reason = "NumPy is not installed"
            return
        from qarv_convert.preflight.samples import inspect, layouts

        config = self.values["config"]
        plans = layouts(self.needs(), config["mean_values"], config["std_values"])
        runner = self.runner(plans)
        # Only files the format checks read, holding numbers: the others are errors of their own.
        usable = {path for path, found in self.readable_samples.items()
                  if all(dtype_fault(array, None) is None for array in found.arrays)}
        try:
            found = inspect(samples, plans, self.samples, swap=bool(config["quant_img_RGB2BGR"]), consumer=runner,
                            readable=usable.__contains__)
        finally:
            if runner is not None:
                self.report.run = runner.close()
        self.report.contents = found
        read = f"{found.selected} of {len(samples)} samples read" if found.selected < len(samples) \
            else f"all {len(samples)} samples read"
        nonfinite = _once([fault for state in found.inputs for fault in state.nonfinite])
        if nonfinite:
            listed = ", ".join(f"{quoted(place.path)} (line {place.line}: {_amounts(nans, infinities)})"
                               for place, nans, infinities in nonfinite[:NAMED])
            more = f" and {len(nonfinite) - NAMED} more" if len(nonfinite) > NAMED else ""
            self.error("build.dataset", f"{_count(len(nonfinite), 'sample')} {_holds(len(nonfinite))} NaN or infinity, "
                                        f"which calibration cannot take: {listed}{more} ({read})")
        constant = _once([fault for state in found.inputs for fault in state.constant])
        if constant:
            listed = ", ".join(f"{quoted(place.path)} (line {place.line}, all {value:.6g})" for place, value in constant[:NAMED])
            more = f" and {len(constant) - NAMED} more" if len(constant) > NAMED else ""
            self.warning("build.dataset", f"{_count(len(constant), 'sample')} {_holds(len(constant))} a single value "
                                          f"throughout: {listed}{more}; calibration learns no range from them ({read})")
        if found.repeats:
            listed = ", ".join(f"line {line} repeats line {first}" for line, first in found.repeats[:NAMED])
            more = f" and {len(found.repeats) - NAMED} more" if len(found.repeats) > NAMED else ""
            self.warning("build.dataset", f"of the {found.read} samples read in {quoted(dataset)}, only {found.distinct} "
                                          f"{'is' if found.distinct == 1 else 'are'} distinct: {listed}{more}")
        self.twice_normalized(found, read)
        if self.report.run is not None:
            self.run_findings(self.report.run, dataset)

    def twice_normalized(self, found: Contents, read: str) -> None:
        """Samples already normalized while `mean_values`/`std_values` are at pixel scale: the device
        would normalize them a second time."""
        from qarv_convert.preflight.samples import looks_normalized

        config = self.values["config"]
        means, stds = config["mean_values"], config["std_values"]
        if not means or max(means) <= 1:
            return
        for state in found.inputs:
            if state.layout.mean is None or not looks_normalized(state):
                continue
            given = f"`mean_values` {_numbers(means)}" + (f" and `std_values` {_numbers(stds)}" if stds else "")
            self.warning("config.mean_values",
                         f"the samples of {quoted(state.layout.name)} already look normalized: their values lie in "
                         f"[{state.low:.4g}, {state.high:.4g}] and are not whole numbers ({read}), while {given} are "
                         f"at pixel scale, so the device would normalize them a second time; give raw samples "
                         f"(pixels of 0 to 255) or leave `mean_values` and `std_values` out")

    def runner(self, plans: list[Layout]) -> Runner | None:
        """The float model's run over the samples, when it is asked for and can be fed."""
        if not self.run_model:
            return None
        if self.graph is None or any(d.severity is Severity.ERROR and d.key.split(".")[0] in ("", "load", "config")
                                     for d in self.report.diagnostics):
            self.report.run_reason = "the model, its inputs or their sizes have errors"
            return None
        unsized = [plan.name for plan in plans if plan.shape is None]
        if unsized:
            self.report.run_reason = f"{quoted_list(unsized)} {'has' if len(unsized) == 1 else 'have'} no known size"
            return None
        from qarv_convert.preflight.float_run import Runner

        try:
            return Runner(self.values["load"]["model"], self.values["load"]["outputs"] or (), keep=self.keep)
        except OSError as error:
            self.error("load.model", f"the outputs file {quoted(self.keep)} cannot be written: {error.strerror or error}")
            self.report.run_reason = "its outputs cannot be kept"
            return None

    def run_findings(self, run: FloatRun, dataset: str) -> None:
        model = self.values["load"]["model"]
        if run.load_failure is not None:
            self.error("load.model", f"onnxruntime cannot load {quoted(model)}: {run.load_failure}")
            return
        if run.failure is not None:
            self.error("load.model", f"{quoted(model)} does not run on the sample of line {run.failure.line} of {quoted(dataset)}: "
                                     f"{run.failure.message}")
        by_output: dict[str, list[NonFinite]] = {}
        for fault in run.nonfinite:
            by_output.setdefault(fault.output, []).append(fault)
        for output, faults in by_output.items():
            listed = ", ".join(f"line {f.line} ({_amounts(f.nans, f.infinities)})" for f in faults[:NAMED])
            more = f" and {len(faults) - NAMED} more" if len(faults) > NAMED else ""
            self.error("load.model", f"output {quoted(output)} of {quoted(model)} holds NaN or infinity for {len(faults)} of the "
                                     f"{run.ran} samples run: {listed}{more}")
        for output in run.constant_outputs():
            self.warning("load.model", f"output {quoted(output)} of {quoted(model)} is the same for all {run.ran} samples run "
                                       f"although they differ ({run.distinct_inputs} distinct): the preprocessing may "
                                       f"flatten the data, or the model ignores its input")

    def steps_without_entries(self) -> None:
        """A table whose step runs only with entries in one of its lists, given with none."""
        for table, key in _native.RUNS_WITH.items():
            section = self.values[table]
            if section is not None and not section[key]:
                self.warning(table, f"[{table}] is skipped: it lists no `{key}`")

    def accuracy_analysis(self) -> None:
        section = self.values["accuracy_analysis"]
        if section is None or not self.model_and_data:
            return
        key = "accuracy_analysis.inputs"
        missing, unreadable = _FirstFew(), _FirstFew()
        for index, path in enumerate(section["inputs"] or []):
            try:
                check_regular(path)
            except (FileNotFoundError, NotADirectoryError):
                missing.add(f"{key}[{index}]", lambda: self.missing_text("the accuracy-analysis input", path))
            except OSError as error:
                unreadable.add(f"{key}[{index}]", lambda: f"the accuracy-analysis input {quoted(path)} cannot be read: "
                                                          f"{error.strerror}")
        self.first_few(key, missing, lambda rest: f"{rest} more accuracy-analysis inputs do not exist")
        self.first_few(key, unreadable, lambda rest: f"{rest} more accuracy-analysis inputs cannot be read")

    def initial_values(self) -> None:
        path = self.values["load"]["input_initial_val_file"]
        if path is None:
            return
        key = "load.input_initial_val_file"
        if _find_spec("numpy") is None:
            self.error(key, "NumPy is not installed, and reading `input_initial_val_file` needs it; install it with "
                            "the `numpy` extra: pip install 'qarv-convert[numpy]'")
        if not self.exists(key, "the initial-value file", path):
            return
        try:
            arrays = read_arrays(path)
        except OSError as error:
            self.error(key, f"the initial-value file {quoted(path)} cannot be read: {error.strerror or error}")
            return
        except NotNumpy as error:
            self.error(key, f"{quoted(path)} is not a .npy or .npz file that numpy.load reads: {error}")
            return
        known = [shape for shape in self.shapes if shape is not None]
        needs = self.needs()
        # An archive may hold a million arrays: the first few of each fault are worded.
        unfit, misfit = _FirstFew(), _FirstFew()
        for array in arrays:
            what = f"array {quoted(array.name)}" if array.name else "array"
            # Fractions are wrong only for an array that can feed nothing but inputs of whole numbers.
            fed = [need for need in needs if need.shape is not None and fits(array.shape, need.shape)]
            fault = dtype_fault(array, None) or (dtype_fault(array, fed[0]) if fed and all(
                dtype_fault(array, need) for need in fed) else None)
            if fault is not None:
                unfit.add(key, lambda: f"the {what} in {quoted(path)} {fault}")
                continue
            if known and not any(fits(array.shape, shape) for shape in known):
                misfit.add(key, lambda: f"the {what} in {quoted(path)} is {shape_text(array.shape)}, which fits no input "
                                        f"({_shapes(known)})")
        self.first_few(key, unfit, lambda rest: f"{rest} more arrays in {quoted(path)} cannot feed an input")
        self.first_few(key, misfit, lambda rest: f"{rest} more arrays in {quoted(path)} fit no input", Severity.WARNING)

    def export(self) -> None:
        path = self.values["export"]["export_path"]
        if path is None:
            return
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            self.missing("export.export_path", "the export folder", folder)
        elif not os.access(folder, os.W_OK):
            self.error("export.export_path", f"the export folder {quoted(folder)} is not writable")


def _find_spec(name: str) -> object:
    """Whether `name` is importable, found without importing it (nor importlib.util at start-up)."""
    import importlib.util

    return importlib.util.find_spec(name)


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'s' * (number != 1)}"


def _holds(number: int) -> str:
    return "holds" if number == 1 else "hold"


def _amounts(nans: int, infinities: int) -> str:
    parts = ([f"{nans} NaN"] if nans else []) + ([_count(infinities, "infinity").replace("infinitys", "infinities")]
                                                 if infinities else [])
    return " and ".join(parts)


def _once(faults: list[Any]) -> list[Any]:
    """Faults of sample files, each file at its first line only: a file listed on many lines is
    one fault (the repeated lines have their own warning)."""
    seen: set[str] = set()
    result = []
    for fault in faults:
        if fault[0].path not in seen:
            seen.add(fault[0].path)
            result.append(fault)
    return result


def _numbers(values: Sequence[float]) -> str:
    """The values as a list, the first few of a long one and how many there are."""
    shown = ", ".join(f"{v:.6g}" for v in values[:LISTED])
    return f"[{shown}]" if len(values) <= LISTED else f"[{shown}, \u2026] ({len(values)} values)"


def _shapes(shapes: Sequence[Sequence[Any]]) -> str:
    """The shapes, the first few of many and how many more."""
    shown = ", ".join(shape_text(s) for s in shapes[:LISTED])
    return shown if len(shapes) <= LISTED else f"{shown} and {len(shapes) - LISTED} more"


def check_file(path: str, model_and_data: bool = True, readable: str | None = None,
               overrides: Sequence[str] = (), samples: int = SAMPLES, run: bool = False,
               keep: str | None = None) -> Report:
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
        return unloaded_report(path, error)
    except UnreadableFile as error:
        return Report(path, "", [Diagnostic(Severity.ERROR, "", str(error))], load_fault=error)
    return _Checker(path, details, model_and_data, samples, run, keep).run()
