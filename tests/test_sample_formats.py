"""Calibration samples and initial values checked as the conversion reads them, and layouts, on real
files: models from onnx.helper, arrays from NumPy, images from Pillow, text under array names."""
import os
import textwrap

import numpy as np
import pytest
from onnx import TensorProto
from PIL import Image

from qarv_convert.preflight import check_file
from qarv_convert.preflight.formats import BadSample, read_sample
from qarv_convert.preflight.npy import NotNumpy, read_arrays

from onnx_fixtures import classifier, model, save, tensor


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def check(workdir, text):
    path = workdir / "config.toml"
    path.write_text(textwrap.dedent(text))
    # The formats alone: these datasets repeat one file on purpose, which the contents checks
    # (tested in test_samples.py) would rightly flag.
    return [(d.severity.value, d.key, d.message) for d in check_file(str(path), samples=0).ordered()]


def config(inputs_and_sizes="", dataset="dataset.txt"):
    return f'[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\n{inputs_and_sizes}[build]\ndataset = "{dataset}"\n'


def dataset(workdir, lines, copies=20):
    """A dataset of `copies` repetitions of `lines` (each a list of paths), enough to calibrate."""
    (workdir / "dataset.txt").write_text("".join(" ".join(line) + "\n" for line in lines * (copies // len(lines))))


def write(workdir, name, kind):
    """A sample file of a given kind at `name`."""
    path = workdir / name
    if kind == "text":
        path.write_text("0.1 0.2 0.3\n")
    elif kind == "objects":
        np.save(path, np.array([{"a": 1}, None], dtype=object), allow_pickle=True)
    elif kind == "strings":
        np.save(path, np.array(["a", "b"]))
    elif kind == "void":
        np.save(path, np.zeros(3, dtype=[("x", "<f4"), ("y", "<i4")]))
    elif kind == "bytes":
        np.save(path, np.zeros(3, dtype="V4"))
    elif kind == "cut data":
        np.save(path, np.zeros((1, 3, 224, 224), np.float32))
        path.write_bytes(path.read_bytes()[:1000])
    elif not isinstance(kind, str):
        np.save(path, np.zeros((1, 3, 224, 224), kind))
    elif kind.startswith("image"):
        _, mode, width, height = kind.split()
        Image.new(mode, (int(width), int(height)), 7).save(path)
    elif kind == "not an image":
        path.write_bytes(b"\xff\xd8\xff\xe0 this is no JPEG at all")
    elif kind == "cut image":
        Image.new("RGB", (224, 224), 7).save(path)
        path.write_bytes(path.read_bytes()[:200])
    return name


# --- one file, read as the run reads it ---------------------------------------------------------

@pytest.mark.parametrize("name, kind, message", [
    ("a.npy", "text", "`a.npy` (line 1): it is not a .npy file that numpy.load reads: it does not start as a .npy file does"),
    ("a.npy", "objects", "`a.npy` (line 1): it is not a .npy file that numpy.load reads: it holds Python objects, "
                         "which numpy.load reads only with allow_pickle"),
    ("a.npy", "cut data", "`a.npy` (line 1): it is not a .npy file that numpy.load reads: its data is cut off: 872 "
                          "bytes where its shape and dtype need 602112"),
    ("a.jpg", "not an image", "`a.jpg` (line 1): Pillow cannot decode it as an image"),
    ("a.png", "cut image", "`a.png` (line 1): Pillow cannot decode it as an image"),
    ("a.txt", "text", "`a.txt` (line 1): it is neither an array nor an image; a dataset lists .npy and .npz arrays and "
                      ".jpg, .jpeg, .png and .bmp images"),
])
def test_files_the_run_cannot_read_are_errors_naming_file_and_line(workdir, name, kind, message):
    classifier(workdir / "model.onnx")
    dataset(workdir, [[write(workdir, name, kind)]])
    [(severity, key, text)] = check(workdir, config())
    assert (severity, key) == ("error", "build.dataset")
    # Listed on every line, it is reported once, at its first.
    assert text.startswith("1 file listed in `dataset.txt` cannot be read as the conversion reads a sample: "
                           + message), text


@pytest.mark.parametrize("kind, message", [
    ("strings", "holds text (dtype <U1), not numbers"),
    ("void", "holds records (a structured dtype), not numbers"),
    ("bytes", "holds raw bytes (a void dtype) (dtype |V4), not numbers"),
])
def test_arrays_without_numbers_are_errors(workdir, kind, message):
    classifier(workdir / "model.onnx")
    dataset(workdir, [[write(workdir, "a.npy", kind)]], copies=1)
    assert ("error", "build.dataset", f"1 file listed in `dataset.txt` cannot feed its input: `a.npy` (line 1) "
                                      f"{message}") in check(workdir, config())


@pytest.mark.parametrize("elem_type, dtype, fault", [
    (TensorProto.INT64, np.float32, "holds floating values (float32) but input `ids` takes int64"),
    (TensorProto.BOOL, np.float64, "holds floating values (float64) but input `ids` takes bool"),
    (TensorProto.INT64, np.int64, None),
    (TensorProto.FLOAT, np.uint8, None),
    (TensorProto.FLOAT, np.float16, None),
])
def test_floating_samples_for_an_integer_input(workdir, elem_type, dtype, fault):
    save(model([tensor("ids", elem_type, shape=[1, 16])], [tensor("out", elem_type, shape=None)]), workdir / "model.onnx")
    np.save(workdir / "ids.npy", np.zeros((1, 16), dtype))
    dataset(workdir, [["ids.npy"]])
    expected = [("error", "build.dataset", f"1 file listed in `dataset.txt` cannot feed its input: `ids.npy` "
                                           f"(line 1) {fault}")] if fault else []
    assert check(workdir, config()) == expected


@pytest.mark.parametrize("kind, warning", [
    ("image RGB 224 224", None),
    ("image RGB 320 240", "`a.png` (line 1) is 320×240 (width × height) where input `input` takes 224×224"),
    ("image L 224 224", "`a.png` (line 1) has 1 channel (grayscale) where input `input` has 3"),
    ("image RGBA 224 224", "`a.png` (line 1) has 4 channels where input `input` has 3"),
    ("image L 100 50", "`a.png` (line 1) is 100×50 (width × height) where input `input` takes 224×224 and has 1 "
                       "channel (grayscale) where input `input` has 3"),
    ("image P 224 224", None),
])
def test_images_against_the_input_size_and_channels(workdir, kind, warning):
    classifier(workdir / "model.onnx")
    dataset(workdir, [[write(workdir, "a.png", kind)]], copies=1)
    found = [d for d in check(workdir, config()) if "sample" not in d[2] or "1 sample" not in d[2]]
    found = [d for d in found if "calibration wants" not in d[2]]
    assert found == ([("warning", "build.dataset", f"1 image listed in `dataset.txt` does not match its input: "
                                                   f"{warning}")] if warning else [])


@pytest.mark.parametrize("model_shape, size", [([None, 240, 320, 3], [1, 240, 320, 3]),
                                               ([None, 3, None, None], [1, 3, 240, 320])])
def test_images_are_held_against_the_height_and_width_of_either_layout(workdir, model_shape, size):
    save(model([tensor("x", shape=model_shape)], [tensor("y", shape=None)]), workdir / "model.onnx")
    dataset(workdir, [[write(workdir, "a.bmp", "image RGB 320 240")]])
    assert check(workdir, config(f"input_size_list = [{size}]\n")) == []


def test_images_against_a_size_given_in_the_other_layout_count_the_models_channels(workdir):
    save(model([tensor("x", shape=[None, 3, 240, 320])], [tensor("y", shape=None)]), workdir / "model.onnx")
    dataset(workdir, [[write(workdir, "a.bmp", "image L 320 240")]])
    found = check(workdir, config("input_size_list = [[1, 240, 320, 3]]\n"))
    assert [m for _, k, m in found if k == "build.dataset"] == [
        "1 image listed in `dataset.txt` does not match its input: `a.bmp` (line 1) has 1 channel (grayscale) where "
        "input `x` has 3"]


def test_a_fifo_listed_as_a_sample_is_refused_without_waiting(workdir):
    classifier(workdir / "model.onnx")
    os.mkfifo(workdir / "a.npy")
    dataset(workdir, [["a.npy"]], copies=1)
    assert any("`a.npy` (line 1): it is a FIFO (named pipe), not a regular file" in m for _, _, m in check(workdir, config()))
    with pytest.raises(OSError, match="FIFO"):
        read_sample(str(workdir / "a.npy"))


def test_clean_samples_of_every_kind_are_let_through(workdir):
    classifier(workdir / "model.onnx")
    np.savez(workdir / "b.npz", x=np.zeros((1, 3, 224, 224), np.float32))
    lines = [[write(workdir, "a.npy", np.float32)], ["b.npz"], [write(workdir, "c.jpeg", "image RGB 224 224")]]
    dataset(workdir, lines, copies=21)
    assert check(workdir, config()) == []


# --- .npz archives that numpy.load fails on -------------------------------------------------------

def _patched(path, signature_offsets, change):
    data = bytearray(path.read_bytes())
    for signature, offset in signature_offsets:
        at = data.find(signature)
        while at != -1:
            change(data, at + offset)
            at = data.find(signature, at + 1)
    path.write_bytes(bytes(data))


def _encrypted(data, at):
    data[at] |= 0x01


def _method_99(data, at):
    data[at:at + 2] = b"\x63\x00"


def _utf8_flag(data, at):
    data[at + 1] |= 0x08


@pytest.mark.parametrize("damage, message", [
    (lambda p: _patched(p, [(b"PK\x03\x04", 6), (b"PK\x01\x02", 8)], _encrypted),
     "its member `x.npy` is encrypted, which numpy.load cannot read"),
    (lambda p: _patched(p, [(b"PK\x03\x04", 8), (b"PK\x01\x02", 10)], _method_99),
     "its member `x.npy` is compressed with method 99, which numpy.load cannot read"),
    (lambda p: (_patched(p, [(b"PK\x03\x04", 6), (b"PK\x01\x02", 8)], _utf8_flag),
                p.write_bytes(p.read_bytes().replace(b"x.npy", b"\xff.npy"))),
     "it is not a readable .npz archive ('utf-8' codec can't decode byte 0xff"),
    (lambda p: p.write_bytes(p.read_bytes()[:60]), "it is not a readable .npz archive"),
    (lambda p: p.write_bytes(p.read_bytes().replace(b"x.npy", b"x.npy", 1)[:-200] + b"\x00" * 200),
     "it is not a readable .npz archive"),
])
def test_damaged_archives_are_diagnostics_never_tracebacks(tmp_path, damage, message):
    path = tmp_path / "a.npz"
    np.savez_compressed(path, x=np.arange(3000, dtype=np.float32))
    damage(path)
    with pytest.raises(Exception), np.load(path) as archive:
        archive["x"]
    with pytest.raises(NotNumpy) as caught:
        read_arrays(str(path))
    assert str(caught.value).startswith(message)


def test_corrupt_compressed_data_is_caught_where_numpy_catches_it(tmp_path):
    path = tmp_path / "a.npz"
    np.savez_compressed(path, x=np.random.default_rng(0).random(20000))
    data = bytearray(path.read_bytes())
    data[3000:3100] = b"\x00" * 100  # past the header, in the deflated data
    path.write_bytes(bytes(data))
    with pytest.raises(Exception), np.load(path) as archive:
        archive["x"]
    with pytest.raises(BadSample, match="its member `x.npy` cannot be read"):
        read_sample(str(path))


def test_a_damaged_initial_value_archive_is_an_error_at_its_key(workdir):
    classifier(workdir / "model.onnx")
    np.savez(workdir / "init.npz", x=np.zeros(3))
    _patched(workdir / "init.npz", [(b"PK\x03\x04", 6), (b"PK\x01\x02", 8)], _encrypted)
    assert check(workdir, '[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\ninput_initial_val_file = "init.npz"\n'
                          '[build]\ndo_quantization = false\n') == [
        ("error", "load.input_initial_val_file", "`init.npz` is not a .npy or .npz file that numpy.load reads: its "
                                                 "member `x.npy` is encrypted, which numpy.load cannot read")]


# --- layouts and the order of a line's files ------------------------------------------------------

def test_a_channels_last_sample_for_a_channels_first_input_says_so(workdir):
    classifier(workdir / "model.onnx")
    np.save(workdir / "a.npy", np.zeros((1, 224, 224, 3), np.float32))
    dataset(workdir, [["a.npy"]], copies=1)
    assert ("warning", "build.dataset", "samples that do not fit their input: `a.npy` (line 1) is [1, 224, 224, 3] "
                                        "(looks channels-last: NHWC for an NCHW input) where input `input` takes "
                                        "[1, 3, 224, 224]") in check(workdir, config())


@pytest.mark.parametrize("model_shape, size, message", [
    ([None, 3, None, None], "[1, 416, 416, 3]",
     "this size of `x` ([1, 416, 416, 3]) looks channels-last (NHWC), but the model's input is channels-first "
     "([?, 3, ?, ?]): give [1, 3, 416, 416]"),
    (["n", "h", "w", 3], "[1, 3, 416, 416]",
     "this size of `x` ([1, 3, 416, 416]) looks channels-first (NCHW), but the model's input is channels-last "
     "([n, h, w, 3]): give [1, 416, 416, 3]"),
])
def test_a_size_with_channels_moved_says_so(workdir, model_shape, size, message):
    save(model([tensor("x", shape=model_shape)], [tensor("y", shape=None)]), workdir / "model.onnx")
    found = check(workdir, f'[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\ninput_size_list = [{size}]\n'
                           '[build]\ndo_quantization = false\n')
    assert found == [("error", "load.input_size_list[0]", message)]


@pytest.mark.parametrize("model_shape, size", [([None, None, None, 3], [1, 416, 416, 3]),
                                               ([None, 3, 416, 416], [1, 416, 416, 3])])
@pytest.mark.parametrize("means, warned", [("[0.5, 0.5, 0.5]", False), ("[0.5]", True)])
def test_normalization_counts_the_model_channels_whatever_the_size_layout(workdir, model_shape, size, means, warned):
    save(model([tensor("x", shape=model_shape)], [tensor("y", shape=None)]), workdir / "model.onnx")
    found = check(workdir, f'[config]\nmean_values = {means}\n[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\n'
                           f'input_size_list = [{size}]\n[build]\ndo_quantization = false\n')
    assert [d for d in found if d[1] == "config.mean_values"] == (
        [("warning", "config.mean_values", "`mean_values` has 1 value, but input `x` ([1, 416, 416, 3]) has 3 "
                                           "channels")] if warned else [])


def detector(workdir):
    built = model([tensor("images", shape=[-1, 3, 64, 64]), tensor("ids", TensorProto.INT64, shape=[1, 8])],
                  [tensor("boxes", shape=None)])
    save(built, workdir / "model.onnx")
    np.save(workdir / "image.npy", np.zeros((1, 3, 64, 64), np.float32))
    np.save(workdir / "ids.npy", np.zeros((1, 8), np.int64))
    write(workdir, "image.png", "image RGB 64 64")


@pytest.mark.parametrize("line, swapped", [
    (["image.npy", "ids.npy"], False),
    (["image.png", "ids.npy"], False),
    (["ids.npy", "image.npy"], True),
    (["ids.npy", "image.png"], True),
])
def test_columns_in_the_wrong_order_are_named(workdir, line, swapped):
    detector(workdir)
    dataset(workdir, [line])
    found = check(workdir, config("input_size_list = [[1, 3, 64, 64], [1, 8]]\n"))
    if not swapped:
        assert found == []
        return
    assert found == [("warning", "build.dataset",
                      f"the columns of `dataset.txt` look swapped on 20 lines: each line lists one file per input, in "
                      f"the order `images` and `ids`: line 1: `{line[1]}` fits `images`, `{line[0]}` fits `ids`; "
                      f"line 2: `{line[1]}` fits `images`, `{line[0]}` fits `ids`; line 3: `{line[1]}` fits `images`, "
                      f"`{line[0]}` fits `ids`; and 17 more")]


@pytest.mark.parametrize("inputs, error", [
    ('["images", "ids"]', None),
    ('["ids", "images"]', None),
    ('["images"]', "`inputs` leaves out `ids`, which `model.onnx` needs fed (an input, not an initializer); its "
                   "inputs are `images` and `ids`"),
])
def test_every_model_input_is_named_when_inputs_is_given(workdir, inputs, error):
    detector(workdir)
    found = check(workdir, f'[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\ninputs = {inputs}\n'
                           'input_size_list = [[1, 3, 64, 64], [1, 8]]\n[build]\ndo_quantization = false\n')
    assert [d for d in found if d[1] == "load.inputs"] == ([("error", "load.inputs", error)] if error else [])


# --- dynamic dimensions as exporters write them ---------------------------------------------------

@pytest.mark.parametrize("batch", [-1, 0, "batch", None])
def test_an_exported_dynamic_batch_passes_with_a_size_given(workdir, batch):
    classifier(workdir / "model.onnx", shape=(batch, 3, 224, 224))
    dataset(workdir, [[write(workdir, "a.npy", np.float32)]])
    assert check(workdir, config("input_size_list = [[1, 3, 224, 224]]\n")) == []
    [(severity, _, message)] = check(workdir, config())
    assert severity == "error" and "has dynamic dimension" in message and "gives it no size" in message


@pytest.mark.parametrize("array, error", [
    (np.zeros((1, 8), np.int64), None),
    (np.zeros((1, 8), np.float32), "the array in `init.npy` holds floating values (float32) but input `ids` takes int64"),
    (np.array(["a", "b"]), "the array in `init.npy` holds text (dtype <U1), not numbers"),
    (np.zeros((1, 3, 64, 64), np.float32), None),
])
def test_initial_values_hold_numbers_of_the_inputs_kind(workdir, array, error):
    detector(workdir)
    np.save(workdir / "init.npy", array)
    found = check(workdir, '[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\ninput_size_list = [[1, 3, 64, 64], [1, 8]]\n'
                           'input_initial_val_file = "init.npy"\n[build]\ndo_quantization = false\n')
    assert [m for s, _, m in found if s == "error"] == ([error] if error else [])


def test_images_without_pillow_are_one_error_with_the_install(workdir, monkeypatch):
    classifier(workdir / "model.onnx")
    dataset(workdir, [[write(workdir, "a.png", "image RGB 224 224")]])
    monkeypatch.setitem(__import__("sys").modules, "PIL", None)
    assert check(workdir, config()) == [("error", "build.dataset", "`dataset.txt` lists images, and checking them needs "
                                                                   "Pillow, which is not installed: pip install pillow")]


@pytest.mark.parametrize("shape, wanted, moved", [
    ((224, 224, 3), [1, 3, 224, 224], "channels-last"),
    ((1, 3, 64, 32), [None, 64, 32, 3], "channels-first"),
    ((1, 416, 3), [1, 3, 416], None),
    ((1, 3, 32, 32), [1, 3, 64, 64], None),
])
def test_moved_layouts(shape, wanted, moved):
    from qarv_convert.preflight.formats import moved_layout

    assert moved_layout(shape, wanted) == moved
