"""The pre-flight checks, each on real generated files: ONNX models built with onnx.helper, .npy
and .npz files written with NumPy, dataset files and configurations in a scratch directory."""
import json
import os
import sys
import textwrap

import numpy as np
import pytest

from qarv_convert.preflight import Severity, check_file
from qarv_convert.preflight.names import nearest, quoted_list
from qarv_convert.preflight.npy import NotNumpy, read_arrays

from onnx_fixtures import classifier, model, save, tensor


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A scratch directory that is also the current one, as the toolkit resolves paths from it."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def check(workdir, text, **options):
    path = workdir / "config.toml"
    path.write_text(textwrap.dedent(text))
    return check_file(str(path), **options)


def found(report, severity=None):
    return [(d.severity.value, d.key, d.message) for d in report.ordered()
            if severity is None or d.severity is severity]


def only(report, severity=Severity.ERROR):
    [diagnostic] = [d for d in report.ordered() if d.severity is severity]
    return diagnostic


LOAD = """\
[load]
model_type = "Onnx"
model = "model.onnx"
"""
QUIET = "[build]\ndo_quantization = false\n"


def detector(path):
    """Two inputs: a dynamic-batch image and a fixed state vector; two outputs."""
    built = model([tensor("images", shape=["batch", 3, 640, 640]), tensor("state", shape=[1, 256])],
                  [tensor("boxes", shape=None), tensor("scores", shape=None)])
    return save(built, path)


# --- the model and its interface ---------------------------------------------------------------

def test_a_configuration_that_fits_its_model_is_clean(workdir):
    classifier(workdir / "model.onnx")
    report = check(workdir, LOAD + 'inputs = ["input"]\ninput_size_list = [[1, 3, 224, 224]]\noutputs = ["logits"]\n' + QUIET)
    assert found(report) == []
    assert report.to_text() == f"{workdir}/config.toml: ok\n"


@pytest.mark.parametrize("contents, message", [
    (None, "the model `model.onnx` does not exist"),
    (b"", "`model.onnx` is not an ONNX model: the file is empty"),
    (b"\x08\x07", "`model.onnx` is not an ONNX model: it holds no graph"),
    (b"hello, world\n", "`model.onnx` is not an ONNX model: the end of a group that was never started at byte 2"),
    (b"\x3a\x10\x5a", "`model.onnx` is not an ONNX model: length 16 of field 7 runs past the end of the file"),
])
def test_a_model_that_is_missing_or_not_onnx_is_an_error(workdir, contents, message):
    if contents is not None:
        (workdir / "model.onnx").write_bytes(contents)
    diagnostic = only(check(workdir, LOAD + QUIET))
    assert (diagnostic.key, diagnostic.line, diagnostic.column) == ("load.model", 3, 9)
    assert diagnostic.message.startswith(message)


def test_an_unreadable_model_is_an_error(workdir):
    if os.geteuid() == 0:
        pytest.skip("root reads any file")
    (workdir / "model.onnx").write_bytes(b"")
    os.chmod(workdir / "model.onnx", 0)
    assert "cannot be read: Permission denied" in only(check(workdir, LOAD + QUIET)).message


@pytest.mark.parametrize("key, text, message", [
    ("load.inputs[0]", 'inputs = ["imput"]',
     "`imput` is not an input of `model.onnx`; its inputs are `input`; did you mean `input`?"),
    ("load.inputs[0]", 'inputs = ["conv.weight"]',
     "`conv.weight` is a weight of `model.onnx` (an initializer), not an input it is fed; its inputs are `input`"),
    ("load.outputs[0]", 'outputs = ["logit"]',
     "no node of `model.onnx` produces `logit` and no input carries it; its outputs are `logits`; did you mean `logits`?"),
])
def test_names_that_the_graph_does_not_have(workdir, key, text, message):
    classifier(workdir / "model.onnx")
    [diagnostic] = [d for d in check(workdir, LOAD + text + "\n" + QUIET).diagnostics if d.key != "load.inputs"]
    assert (diagnostic.key, diagnostic.message) == (key, message)
    assert diagnostic.line == 4 and diagnostic.column == len(text.split("[")[0]) + 2  # the element itself


def test_an_inner_value_of_the_graph_is_a_valid_output(workdir):
    classifier(workdir / "model.onnx")
    assert found(check(workdir, LOAD + 'outputs = ["features"]\n' + QUIET)) == []


@pytest.mark.parametrize("sizes, key, message", [
    ("[[1, 3, 224, 224], [1, 3]]", "load.input_size_list",
     "`input_size_list` has 2 entries but the model has 1 input: give one size per input"),
    ("[[1, 3, 224]]", "load.input_size_list[0]",
     "this size of `input` has 3 dimensions; the model's input has 4 ([1, 3, 224, 224])"),
    ("[[1, 3, 256, 224]]", "load.input_size_list[0][2]",
     "dimension 2 of `input` is 256 here, but the model fixes it at 224 ([1, 3, 224, 224])"),
])
def test_sizes_that_do_not_fit_the_model(workdir, sizes, key, message):
    classifier(workdir / "model.onnx")
    assert found(check(workdir, LOAD + f"input_size_list = {sizes}\n" + QUIET)) == [("error", key, message)]


def test_size_count_against_named_inputs(workdir):
    detector(workdir / "model.onnx")
    report = check(workdir, LOAD + 'inputs = ["state"]\ninput_size_list = [[1, 256], [1, 3, 640, 640]]\n' + QUIET)
    assert found(report) == [
        ("error", "load.inputs", "`inputs` leaves out `images`, which `model.onnx` needs fed (an input, not an "
                                 "initializer); its inputs are `images` and `state`"),
        ("error", "load.input_size_list", "`input_size_list` has 2 entries but `inputs` names 1 input: give one size "
                                          "per input")]


@pytest.mark.parametrize("sizes, errors", [
    ("", ["input `images` has dynamic dimension `batch` ([batch, 3, 640, 640]) and `input_size_list` gives it no size"]),
    ("input_size_list = [[4, 3, 640, 640], [1, 256]]\n", []),
])
def test_a_dynamic_dimension_needs_a_size(workdir, sizes, errors):
    detector(workdir / "model.onnx")
    assert [m for _, _, m in found(check(workdir, LOAD + sizes + QUIET), Severity.ERROR)] == errors


# --- normalization and channels ----------------------------------------------------------------

@pytest.mark.parametrize("means, stds, expected", [
    ([1, 2, 3], [1], [("error", "config.std_values",
                       "`std_values` has 1 value but `mean_values` has 3: each channel needs one of both"),
                      ("warning", "config.std_values",
                       "`std_values` has 1 value, but input `input` ([1, 3, 224, 224]) has 3 channels")]),
    ([1], [1], [("warning", "config.mean_values",
                 "`mean_values` has 1 value, but input `input` ([1, 3, 224, 224]) has 3 channels"),
                ("warning", "config.std_values",
                 "`std_values` has 1 value, but input `input` ([1, 3, 224, 224]) has 3 channels")]),
    ([1, 2, 3], [1, 2, 3], []),
])
def test_normalization_values_against_each_other_and_the_channels(workdir, means, stds, expected):
    classifier(workdir / "model.onnx")
    text = f"[config]\nmean_values = {means}\nstd_values = {stds}\n" + LOAD + QUIET
    assert found(check(workdir, text)) == expected


def test_normalization_lengths_are_checked_without_the_model(workdir):
    report = check(workdir, "[config]\nmean_values = [1, 2]\nstd_values = [1]\n" + QUIET, model_and_data=False)
    assert [key for _, key, _ in found(report, Severity.ERROR)] == ["config.std_values"]


# --- calibration data --------------------------------------------------------------------------

def write_samples(workdir, count, shape=(1, 3, 224, 224), per_line=1):
    lines = []
    for sample in range(count):
        paths = []
        for part in range(per_line):
            path = f"samples/{sample}_{part}.npy"
            (workdir / "samples").mkdir(exist_ok=True)
            # Distinct pixels: constant or repeated samples are faults of their own.
            np.save(workdir / path, np.random.default_rng(sample * per_line + part).integers(0, 256, shape, np.uint8))
            paths.append(path)
        lines.append(" ".join(paths))
    (workdir / "dataset.txt").write_text("\n\n".join(lines) + "\n")


DATASET = LOAD + '[build]\ndataset = "dataset.txt"\n'


def test_enough_fitting_samples_are_clean(workdir):
    classifier(workdir / "model.onnx")
    write_samples(workdir, 20)
    assert found(check(workdir, DATASET)) == []


@pytest.mark.parametrize("setup, severity, message", [
    (lambda w: None, "error", "the dataset `dataset.txt` does not exist"),
    (lambda w: (w / "dataset.txt").write_text("\n  \n"), "error",
     "the dataset `dataset.txt` has no samples: every line is blank"),
    (lambda w: write_samples(w, 3), "warning",
     "the dataset `dataset.txt` has 3 samples; calibration wants at least 20"),
    (lambda w: write_samples(w, 20, per_line=2), "error",
     "each line of `dataset.txt` holds one path per model input (1), but line 1 has 2, line 3 has 2, line 5 has 2 "
     "and 17 more lines"),
    (lambda w: write_samples(w, 20, shape=(1, 3, 32, 32)), "warning",
     "samples that do not fit their input: `samples/0_0.npy` (line 1) is [1, 3, 32, 32] where input `input` takes "
     "[1, 3, 224, 224]; `samples/1_0.npy` (line 3) is [1, 3, 32, 32] where input `input` takes [1, 3, 224, 224]; "
     "`samples/2_0.npy` (line 5) is [1, 3, 32, 32] where input `input` takes [1, 3, 224, 224]; and 17 more"),
])
def test_dataset_faults(workdir, setup, severity, message):
    classifier(workdir / "model.onnx")
    setup(workdir)
    assert found(check(workdir, DATASET)) == [(severity, "build.dataset", message)]


def test_a_dataset_that_is_not_a_regular_file_is_refused_unread(workdir):
    classifier(workdir / "model.onnx")
    os.mkfifo(workdir / "dataset.txt")  # nobody writes: reading it would wait for ever
    assert found(check(workdir, DATASET)) == [
        ("error", "build.dataset", "the dataset `dataset.txt` cannot be read: it is a FIFO (named pipe), not a regular file")]


def test_samples_without_their_batch_dimension_fit(workdir):
    classifier(workdir / "model.onnx")
    write_samples(workdir, 20, shape=(3, 224, 224))
    assert found(check(workdir, DATASET)) == []


def test_missing_sample_files_are_named_and_counted(workdir):
    classifier(workdir / "model.onnx")
    write_samples(workdir, 25)
    for sample in (2, 3, 5, 7):
        os.remove(workdir / f"samples/{sample}_0.npy")
    message = only(check(workdir, DATASET)).message
    assert message == ("4 files listed in `dataset.txt` are missing: `samples/2_0.npy` (line 5), "
                       "`samples/3_0.npy` (line 7), `samples/5_0.npy` (line 11) and 1 more")


def test_each_line_holds_one_path_per_input_of_a_two_input_model(workdir):
    detector(workdir / "model.onnx")
    write_samples(workdir, 20, shape=(1, 256), per_line=2)
    text = LOAD + 'input_size_list = [[1, 3, 640, 640], [1, 256]]\n[build]\ndataset = "dataset.txt"\n'
    # Two paths a line fit two inputs; the first ones are the state's shape, not the image's.
    [(severity, key, message)] = found(check(workdir, text))
    assert (severity, key) == ("warning", "build.dataset")
    assert message.startswith("samples that do not fit their input: `samples/0_0.npy` (line 1) is [1, 256]")


@pytest.mark.parametrize("text, key, message", [
    ("[build]\n", "build.do_quantization", "quantization is on but `dataset` names no calibration samples"),
    ('[build]\ndo_quantization = false\ndataset = "d.txt"\n', "build.dataset",
     "`dataset` is not used: `do_quantization` is false"),
])
def test_settings_that_quantization_drops_or_lacks(workdir, text, key, message):
    assert found(check(workdir, text, model_and_data=False)) == [("warning", key, message)]


# --- accuracy analysis, initial values and the export folder -----------------------------------

@pytest.mark.parametrize("text, expected", [
    ("[accuracy_analysis]\n", [("warning", "accuracy_analysis", "[accuracy_analysis] is skipped: it lists no `inputs`")]),
    ('[accuracy_analysis]\ninputs = ["here.jpg", "gone.jpg"]\n',
     [("error", "accuracy_analysis.inputs[1]", "the accuracy-analysis input `gone.jpg` does not exist")]),
])
def test_accuracy_analysis(workdir, text, expected):
    classifier(workdir / "model.onnx")
    (workdir / "here.jpg").write_bytes(b"\xff\xd8")
    assert found(check(workdir, QUIET + text)) == expected


def write_initial(workdir, kind):
    path = workdir / "init.npy"
    if kind == "fitting npy":
        np.save(path, np.zeros((1, 3, 224, 224), np.float32))
    elif kind == "npz":
        path = workdir / "init.npz"
        np.savez(path, np.zeros((1, 3, 224, 224), np.float32), np.zeros((7,), np.float32))
    elif kind == "objects":
        np.save(path, np.array([{"a": 1}], dtype=object), allow_pickle=True)
    elif kind == "text":
        path.write_text("1 2 3\n")
    elif kind == "cut":
        np.save(path, np.zeros((4,), np.float32))
        path.write_bytes(path.read_bytes()[:20])
    return path.name


@pytest.mark.parametrize("kind, expected", [
    ("fitting npy", []),
    ("npz", [("warning", "the array `arr_1` in `init.npz` is [7], which fits no input ([1, 3, 224, 224])")]),
    ("missing", [("error", "the initial-value file `init.npy` does not exist")]),
    ("objects", [("error", "`init.npy` is not a .npy or .npz file that numpy.load reads: it holds Python objects, "
                           "which numpy.load reads only with allow_pickle")]),
    ("text", [("error", "`init.npy` is not a .npy or .npz file that numpy.load reads: it does not start as a .npy "
                        "file does")]),
    ("cut", [("error", "`init.npy` is not a .npy or .npz file that numpy.load reads: its .npy header is cut off")]),
])
def test_initial_values(workdir, kind, expected):
    classifier(workdir / "model.onnx")
    name = write_initial(workdir, kind) if kind != "missing" else "init.npy"
    report = check(workdir, LOAD + f'input_initial_val_file = "{name}"\n' + QUIET)
    assert [(s, m) for s, _, m in found(report)] == expected


def test_initial_values_without_numpy_hint_the_extra(workdir, monkeypatch):
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "numpy" else real(name, *a))
    classifier(workdir / "model.onnx")
    name = write_initial(workdir, "fitting npy")
    message = only(check(workdir, LOAD + f'input_initial_val_file = "{name}"\n' + QUIET)).message
    assert "NumPy is not installed" in message and "the `numpy` extra" in message


@pytest.mark.parametrize("path, message", [
    ("out.qarv", None),
    ("nowhere/out.qarv", "the export folder `nowhere` does not exist"),
    ("locked/out.qarv", "the export folder `locked` is not writable"),
])
def test_the_export_folder(workdir, path, message):
    classifier(workdir / "model.onnx")
    (workdir / "locked").mkdir(mode=0o500)
    if message and "writable" in message and os.access(workdir / "locked", os.W_OK):
        pytest.skip("this user writes anywhere")
    report = check(workdir, QUIET + f'[export]\nexport_path = "{path}"\n')
    assert [m for _, _, m in found(report)] == ([message] if message else [])


# --- limits, CHOOSE markers, ignored keys ------------------------------------------------------

@pytest.mark.parametrize("text, key, message", [
    ("[config]\noptimization_level = 7\n", "config.optimization_level",
     "`optimization_level` is 7, outside the values it takes (from 0 to 3)"),
    ('[config]\ntarget_platform = ""\n', "config.target_platform", "`target_platform` is empty; it takes a non-empty string"),
    ("[build]\ndo_quantization = false\nqarv_batch_size = 0\n", "build.qarv_batch_size",
     "`qarv_batch_size` is 0, outside the values it takes (from 1 to 2147483647)"),
    ('[load]\nmodel_type = "Onnx"\n# CHOOSE the path of the model\nmodel = "m.onnx"\n', "load.model",
     "`load.model` is still marked CHOOSE by `init`: set its value, then remove the marker"),
    ('[load]\nmodel_type = "Onnx"\ninput_size_list = [[1, 3]]  # CHOOSE the batch size\n', "load.input_size_list",
     "`load.input_size_list` is still marked CHOOSE by `init`: set its value, then remove the marker"),
    ('[load]\nmodel_type = "Onnx"\n# CHOOSE the path\n# of the model, relative to the run\nmodel = "m.onnx"\n', "load.model",
     "`load.model` is still marked CHOOSE by `init`: set its value, then remove the marker"),
    ("[config]\nmean_value = [1]\n", "config.mean_value",
     "unknown key `mean_value` in [config] is ignored; did you mean `mean_values`?"),
])
def test_configuration_warnings(workdir, text, key, message):
    if "build" not in text:
        text += QUIET
    report = check(workdir, text, model_and_data=False)
    assert found(report) == [("warning", key, message)]


@pytest.mark.parametrize("text", [
    '[load]\nmodel_type = "Onnx"\n# CHOOSE the path of the model\n\nmodel = "m.onnx"\n',  # a blank line between
    '[load]\nmodel = "m.onnx"\n# CHOOSE the type\nmodel_type = "Onnx"\n',  # the marker is the next key's
    '[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\nstray = "# CHOOSE"\n',
])
def test_a_marker_of_another_line_is_not_the_value_s(workdir, text):
    report = check(workdir, text + QUIET, model_and_data=False)
    assert not [d for d in report.diagnostics if d.key == "load.model"]


def test_a_key_holding_more_values_than_any_model_takes_stops_the_checks(workdir):
    row = "[" + ", ".join(["1"] * 300) + "]"
    report = check(workdir, f'[load]\nmodel_type = "Onnx"\ninputs = ["a", "b"]\n'
                            f'input_size_list = [{", ".join([row] * 300)}]\n' + QUIET)
    assert found(report, Severity.ERROR) == [
        ("error", "load.input_size_list", "`input_size_list` holds 90300 elements, nested ones included, more than any "
                                          "model takes; the checks read at most 65536 of a key")]
    assert only(report).line == 4
    assert report.notes == ["the other checks were not run: they need every key's values whole"]


def test_a_file_of_many_stray_keys_names_a_few_and_counts_them(workdir):
    report = check(workdir, "[build]\n" + "".join(f"k{i} = {i}\n" for i in range(5000)) + "do_quantization = false\n",
                   model_and_data=False)
    text = report.to_text()
    assert text.count("unknown key") == 20
    assert "config.toml: warning: 5000 keys and tables of the file are ignored; the first 20 are named\n" in text
    assert text.endswith("config.toml: 21 warnings\n")


def test_warnings_point_at_the_value_and_tables_at_their_header(workdir):
    report = check(workdir, "# settings\n[config]\noptimization_level = 9\n\n[accuracy_analysis]\n" + QUIET,
                   model_and_data=False)
    assert [(d.line, d.column, d.carets) for d in report.ordered()] == [(3, 22, 1), (5, 1, 19)]
    assert report.to_text().splitlines()[:4] == [
        f"{workdir}/config.toml:3:22: warning: `optimization_level` is 9, outside the values it takes (from 0 to 3)",
        "  |", "3 | optimization_level = 9", "  |                      ^"]


# --- paths relative to the run -----------------------------------------------------------------

def test_a_path_beside_the_configuration_suggests_minus_c(workdir):
    project = workdir / "project"
    project.mkdir()
    classifier(project / "model.onnx")
    (project / "config.toml").write_text(LOAD + QUIET)
    message = only(check_file(str(project / "config.toml"))).message
    assert message.startswith("the model `model.onnx` does not exist in the current directory, but it does exist "
                              "beside the configuration")
    assert message.endswith("run with -C project")


# --- the file as a whole, reports --------------------------------------------------------------

def test_a_file_that_does_not_load_is_one_positioned_error(workdir):
    report = check(workdir, '[build]\ndo_quantization = "yes"\n')
    assert report.load_error.startswith("TOML parse error at line 2, column 19")
    assert [d.to_json() for d in report.diagnostics] == [{"severity": "error", "key": "", "line": 2, "column": 19,
                                                         "message": 'invalid type: string "yes", expected a boolean'}]
    assert report.to_text().splitlines()[1:4] == ["  |", '2 | do_quantization = "yes"', "  |                   ^^^^^"]


def test_json_form(workdir):
    report = check(workdir, "[config]\noptimization_level = 9\n" + QUIET, model_and_data=False)
    assert json.loads(json.dumps(report.to_json())) == {
        "path": str(workdir / "config.toml"), "errors": 0, "warnings": 1,
        "diagnostics": [{"severity": "warning", "key": "config.optimization_level", "line": 2, "column": 22,
                         "message": "`optimization_level` is 9, outside the values it takes (from 0 to 3)"}]}


# --- helpers -----------------------------------------------------------------------------------

@pytest.mark.parametrize("name, known, expected", [
    ("Input", ["input", "other"], "input"),
    ("imput", ["input"], "input"),
    ("lgoits", ["logits"], "logits"),
    ("x", ["completely_different"], None),
])
def test_nearest_name(name, known, expected):
    assert nearest(name, known) == expected


def test_long_name_lists_are_cut():
    assert quoted_list([f"n{i}" for i in range(10)]) == "`n0`, `n1`, `n2`, `n3`, `n4`, `n5`, `n6`, `n7` and 2 more"


@pytest.mark.parametrize("array", [np.zeros((2, 3), "<f4"), np.zeros((), ">i8"), np.zeros((0, 5), "u1"),
                                   np.zeros((2, 2), np.float64, order="F")])
def test_npy_headers_read_like_numpy(tmp_path, array):
    path = tmp_path / "a.npy"
    np.save(path, array)
    [header] = read_arrays(str(path))
    assert header.shape == np.load(path).shape and np.dtype(header.dtype) == array.dtype


def test_npz_members_in_numpy_order(tmp_path):
    path = tmp_path / "a.npz"
    np.savez(path, b=np.zeros(1), a=np.zeros((2, 2)))
    assert [(h.name, h.shape) for h in read_arrays(str(path))] == [(n, np.load(path)[n].shape) for n in np.load(path).files]


def test_npy_reading_never_imports_numpy(tmp_path):
    import subprocess

    np.save(tmp_path / "a.npy", np.zeros(3))
    code = f"from qarv_convert.preflight.npy import read_arrays; import sys; read_arrays({str(tmp_path / 'a.npy')!r}); print('numpy' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout == "False\n"


@pytest.mark.parametrize("data", [b"\x93NUMPY\x01\x00\xff\xff", b"\x93NUMPY\x09\x00", b"PK\x03\x04junk",
                                  b"\x93NUMPY\x01\x00\x10\x00{'descr': 1}    "])
def test_broken_npy_files_are_refused(tmp_path, data):
    (tmp_path / "a.npy").write_bytes(data)
    with pytest.raises(NotNumpy):
        read_arrays(str(tmp_path / "a.npy"))
