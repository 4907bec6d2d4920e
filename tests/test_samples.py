"""What calibration samples hold and what the float model makes of them, on real files: models from
onnx.helper run by onnxruntime, arrays saved by NumPy, images written by Pillow."""
import numpy as np
import pytest

from qarv_convert.preflight import Severity, check_file
from qarv_convert.preflight.samples import select

import sample_fixtures as fx


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def checked(workdir, arrays=None, images=None, model=fx.classifier, config=None, **options):
    """Writes the model, the samples and the configuration, and checks it."""
    model(workdir / "model.onnx")
    lines = fx.write_npy(workdir, arrays) if arrays is not None else fx.write_images(workdir, images)
    fx.write_dataset(workdir, lines)
    (workdir / "config.toml").write_text(config if config is not None else fx.configuration())
    return check_file(str(workdir / "config.toml"), **options)


def messages(report, key=None, severity=None):
    return [d.message for d in report.ordered()
            if (key is None or d.key == key) and (severity is None or d.severity is severity)]


def clean_pixels(count=20):
    return [fx.pixels(seed) for seed in range(count)]


# --- the selection -------------------------------------------------------------------------------

@pytest.mark.parametrize("count, limit", [(100, 10), (7, 3), (5, 5), (3, 10), (101, 100)])
def test_the_selection_is_spread_and_bounded(count, limit):
    lines = list(range(count))
    chosen = select(lines, limit)
    assert len(chosen) == min(count, limit) and len(set(chosen)) == len(chosen) and chosen == sorted(chosen)
    assert chosen[0] == 0
    # Spread: the last line chosen lies in the last share of the list, not at its head.
    assert chosen[-1] >= count - count // len(chosen) - 1


def test_the_bound_is_in_the_message_and_reaches_across_the_list(workdir):
    arrays = clean_pixels(50)
    arrays[45] = arrays[45].astype(np.float32)
    arrays[45][0, 0, 0, 0] = np.nan
    report = checked(workdir, arrays, samples=10)
    [message] = messages(report, severity=Severity.ERROR)
    assert "`samples/045.npy` (line 46: 1 NaN)" in message and "(10 of 50 samples read)" in message
    assert report.contents.read == 10
    assert messages(checked(workdir, arrays, samples=0)) == []


# --- contents --------------------------------------------------------------------------------------

def with_sample(index, value):
    def change(arrays):
        arrays[index] = value
        return arrays
    return change


@pytest.mark.parametrize("change, severity, expected", [
    (with_sample(2, np.full(fx.SHAPE, np.nan, np.float32)), Severity.ERROR,
     "1 sample holds NaN or infinity, which calibration cannot take: `samples/002.npy` (line 3: 192 NaN) "
     "(all 20 samples read)"),
    (with_sample(4, np.where(fx.pixels(4) > 128, np.inf, -np.inf).astype(np.float32)), Severity.ERROR,
     "1 sample holds NaN or infinity, which calibration cannot take: `samples/004.npy` (line 5: 192 infinities) "
     "(all 20 samples read)"),
    (with_sample(7, np.zeros(fx.SHAPE, np.uint8)), Severity.WARNING,
     "1 sample holds a single value throughout: `samples/007.npy` (line 8, all 0); calibration learns no range "
     "from them (all 20 samples read)"),
    (lambda arrays: [arrays[0]] * 10 + arrays[10:], Severity.WARNING,
     "of the 20 samples read in `dataset.txt`, only 11 are distinct: line 2 repeats line 1, line 3 repeats line 1, "
     "line 4 repeats line 1 and 6 more"),
])
def test_sample_contents_faults(workdir, change, severity, expected):
    report = checked(workdir, change(clean_pixels()))
    assert messages(report, "build.dataset", severity) == [expected]


def test_clean_samples_give_no_diagnostic(workdir):
    report = checked(workdir, clean_pixels())
    assert messages(report) == [] and report.contents.read == report.contents.distinct == 20


def test_a_constant_image_and_repeated_images_are_found_too(workdir):
    images = [fx.pixels(seed, (8, 8, 3)) for seed in range(20)]
    images[3] = np.full((8, 8, 3), 255, np.uint8)
    images[9] = images[8]
    found = messages(checked(workdir, images=images), "build.dataset")
    assert found == ["1 sample holds a single value throughout: `images/003.png` (line 4, all 255); calibration "
                     "learns no range from them (all 20 samples read)",
                     "of the 20 samples read in `dataset.txt`, only 19 are distinct: line 10 repeats line 9"]


TWICE = "the samples of `input` already look normalized"


@pytest.mark.parametrize("samples, mean, std, flagged", [
    # Normalized by the exporter, and normalized again by the device.
    ("normalized", fx.MEAN, fx.STD, True),
    ("normalized", fx.MEAN, None, True),
    # Clean counterparts: raw pixels (as bytes or as whole floats), normalized samples with no
    # normalization configured, or normalization values at unit scale.
    ("pixels", fx.MEAN, fx.STD, False),
    ("whole floats", fx.MEAN, fx.STD, False),
    ("normalized", None, None, False),
    ("normalized", [0.485, 0.456, 0.406], [0.229, 0.224, 0.225], False),
    ("pixels", None, None, False),
    ("scaled to 0..1", fx.MEAN, fx.STD, True),
    ("audio-like", fx.MEAN, fx.STD, False),
])
def test_normalization_applied_twice(workdir, samples, mean, std, flagged):
    make = {"normalized": fx.normalized, "pixels": fx.pixels,
            "whole floats": lambda seed: fx.pixels(seed, dtype=np.float32),
            "scaled to 0..1": lambda seed: fx.pixels(seed, dtype=np.float32) / 255,
            "audio-like": lambda seed: np.random.default_rng(seed).standard_normal(fx.SHAPE).astype(np.float32) * 900}
    report = checked(workdir, [make[samples](seed) for seed in range(20)], config=fx.configuration(mean, std))
    found = messages(report, "config.mean_values")
    assert bool(found) == flagged
    if flagged:
        [message] = found
        assert message.startswith(TWICE + ": their values lie in [") and "(all 20 samples read)" in message
        assert "`mean_values` [123.675, 116.28, 103.53]" in message
        assert ("`std_values` [58.395, 57.12, 57.375]" in message) == (std is not None)
    assert messages(report, severity=Severity.ERROR) == []


def test_pixel_images_with_pixel_normalization_are_not_flagged(workdir):
    images = [fx.pixels(seed, (8, 8, 3)) for seed in range(20)]
    assert messages(checked(workdir, images=images, config=fx.configuration(fx.MEAN, fx.STD))) == []


def test_files_that_cannot_be_read_are_passed_over(workdir):
    """The format checks report such files; the contents pass reads the others."""
    arrays = clean_pixels()
    report = checked(workdir, arrays)
    (workdir / "samples/003.npy").write_text("not an array\n")
    np.save(workdir / "samples/004.npy", np.array(["text"] * 3))
    report = check_file(str(workdir / "config.toml"))
    assert report.contents.read == 18
    assert not any("single value" in m or "NaN" in m or "distinct" in m for m in messages(report))


# --- the float model on the samples -----------------------------------------------------------

def test_a_clean_run(workdir):
    report = checked(workdir, clean_pixels(), run=True)
    assert messages(report) == []
    assert (report.run.ran, report.run.skipped, report.run.failure) == (20, 0, None)
    assert report.run_line().startswith("ran `model.onnx` with onnxruntime on 20 samples in ")
    assert report.to_json()["run"]["ran"] == 20


@pytest.mark.parametrize("model, severity, expected", [
    (fx.yields_nan, Severity.ERROR,
     "output `output` of `model.onnx` holds NaN or infinity for 20 of the 20 samples run: line 1 (1"),
    (fx.ignores_input, Severity.WARNING,
     "output `output` of `model.onnx` is the same for all 20 samples run although they differ (20 distinct): "
     "the preprocessing may flatten the data, or the model ignores its input"),
    (fx.fails_to_run, Severity.ERROR, "`model.onnx` does not run on the sample of line 1 of `dataset.txt`: "),
    (fx.cannot_load, Severity.ERROR, "onnxruntime cannot load `model.onnx`: "),
])
def test_what_the_run_finds(workdir, model, severity, expected):
    report = checked(workdir, clean_pixels(), model=model, run=True)
    [message] = messages(report, "load.model")
    assert message.startswith(expected)
    assert [d.severity for d in report.diagnostics] == [severity]


def test_the_run_message_quotes_onnxruntime(workdir):
    [message] = messages(checked(workdir, clean_pixels(), model=fx.fails_to_run, run=True))
    assert "reshape" in message.lower() and "\n" not in message


def test_a_model_fed_identical_samples_is_not_blamed(workdir):
    report = checked(workdir, [fx.pixels(0)] * 20, model=fx.ignores_input, run=True)
    assert messages(report, "load.model") == [] and report.run.ran == 20


@pytest.mark.parametrize("layout", ["channels first", "channels last"])
@pytest.mark.parametrize("swap", [False, True])
@pytest.mark.parametrize("kind", ["image", "array"])
def test_the_model_is_fed_what_the_device_is_fed(workdir, layout, swap, kind):
    """Through a model that gives back its input: images moved to the input's layout, channels
    swapped for images only, then normalized per channel, at the configured size."""
    size = (1, 3, 6, 5) if layout == "channels first" else (1, 6, 5, 3)
    hwc = [fx.pixels(seed, (6, 5, 3)) for seed in range(20)]
    stored = hwc if kind == "image" else [(h.transpose(2, 0, 1) if layout == "channels first" else h)[None]
                                          for h in hwc]
    arguments = {"images": stored} if kind == "image" else {"arrays": stored}
    report = checked(workdir, model=lambda path: fx.identity(path, size),
                     config=fx.configuration(fx.MEAN, fx.STD, swap=swap, size=size),
                     run=True, keep=str(workdir / "outputs.npz"), **arguments)
    assert report.run.ran == 20 and messages(report, severity=Severity.ERROR) == []
    with np.load(workdir / "outputs.npz") as kept:
        assert list(kept["lines"]) == list(range(1, 21))
        fed = kept["output/7"]
    pixels = hwc[6].astype(np.float32)
    if swap and kind == "image":
        pixels = pixels[:, :, ::-1]
    expected = (pixels - np.float32(fx.MEAN)) / np.float32(fx.STD)
    expected = (expected.transpose(2, 0, 1) if layout == "channels first" else expected)[None]
    np.testing.assert_allclose(fed, expected, rtol=1e-6)


def test_images_are_brought_to_the_configured_size(workdir):
    images = [fx.pixels(seed, (16, 12, 3)) for seed in range(20)]
    report = checked(workdir, images=images, model=fx.identity, run=True, keep=str(workdir / "out.npz"))
    assert report.run.ran == 20
    with np.load(workdir / "out.npz") as kept:
        assert kept["output/1"].shape == fx.SHAPE


def test_samples_that_do_not_fit_the_size_are_passed_over_and_counted(workdir):
    arrays = clean_pixels()
    arrays[0] = fx.pixels(0, (1, 3, 4, 4))
    report = checked(workdir, arrays, run=True)
    assert (report.run.ran, report.run.skipped) == (19, 1)
    assert "(1 that do not fit the sizes passed over)" in report.run_line()


def test_the_model_is_not_run_past_errors_in_its_interface(workdir):
    report = checked(workdir, clean_pixels(), run=True,
                     config=fx.configuration(size=(1, 3, 9, 9)))
    assert report.run is None and report.run_line() == "the model was not run: the model, its inputs or their sizes have errors"


def test_without_numpy_the_contents_are_left_out_with_a_note_not_a_warning(workdir, monkeypatch):
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "numpy" else real(name, *a))
    report = checked(workdir, clean_pixels(), run=True)
    assert messages(report) == [] and report.contents is None and report.run is None
    assert report.notes == ["checking what the samples hold needs numpy, which is not installed; install it with the "
                            "`numpy` extra: pip install 'qarv-convert[numpy]'"]
    name = str(workdir / "config.toml")
    assert report.to_text().splitlines()[-3:] == [f"{name}: {report.notes[0]}",
                                                  f"{name}: the model was not run: NumPy is not installed",
                                                  f"{name}: ok"]


@pytest.mark.parametrize("sizes, mean, expected", [
    # (channel axis, whether the normalization applies) per input
    ([[1, 3, 224, 224]], fx.MEAN, [(1, True)]),
    ([[1, 224, 224, 3]], fx.MEAN, [(3, True)]),
    ([[1, 3, 224, 3]], fx.MEAN, [(1, True)]),
    ([[1, 1, 28, 28]], fx.MEAN, [(1, False)]),
    ([[1, 28, 28, 1]], None, [(3, False)]),
    ([[1, 3, 640, 640], [1, 256]], fx.MEAN, [(1, True), (None, False)]),
    ([["batch", 3, 224, 224]], fx.MEAN, [(None, False)]),
])
def test_layouts(sizes, mean, expected):
    from qarv_convert.preflight.formats import InputNeed
    from qarv_convert.preflight.samples import layouts

    found = layouts([InputNeed(f"in{i}", size, None) for i, size in enumerate(sizes)], mean, None)
    assert [(layout.axis, layout.mean is not None) for layout in found] == expected


def test_a_file_listed_on_many_lines_is_named_once(workdir):
    checked(workdir, [np.zeros(fx.SHAPE, np.uint8)])
    fx.write_dataset(workdir, ["samples/000.npy"] * 20)
    found = messages(check_file(str(workdir / "config.toml")), "build.dataset")
    assert found == ["1 sample holds a single value throughout: `samples/000.npy` (line 1, all 0); calibration learns "
                     "no range from them (all 20 samples read)",
                     "of the 20 samples read in `dataset.txt`, only 1 is distinct: line 2 repeats line 1, line 3 "
                     "repeats line 1, line 4 repeats line 1 and 16 more"]
