"""The conversion run: the toolkit calls a configuration produces, and how every failure surfaces."""
import builtins
import gc
import math
import sys
import tracemalloc
import types

import numpy as np
import pytest

from qarv_convert.toolkit_proxy import STEPS
from qarv_convert_inner import rust_convert

WITH_ANALYSIS = """
    [accuracy_analysis]
    inputs = ["cat.jpg"]
"""


def typed(value):
    """A value with the Python type of every part spelled out, so that `True` never passes for
    1, and floats compare by their exact digits (NaN included)."""
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [typed(item) for item in value])
    if isinstance(value, dict):
        return [(key, typed(item)) for key, item in value.items()]
    if isinstance(value, float):
        return ("float", repr(value))
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.tolist())
    return (type(value).__name__, value)


def typed_calls(calls):
    return [(name, typed(args), typed(kwargs)) for name, args, kwargs in calls]


def outcome(path):
    """None after a run that went through, else the text of the run's failure."""
    try:
        rust_convert(path)
    except RuntimeError as error:
        assert type(error) is RuntimeError
        assert error.__cause__ is None
        return str(error)
    return None


def run_failure(path):
    message = outcome(path)
    assert message is not None, "the run succeeded"
    return message


def test_empty_file_calls_four_steps_with_default_keywords(fake_qarv, write_config):
    assert rust_convert(write_config("")) is None
    assert typed_calls(fake_qarv.calls) == typed_calls([
        ("config", (), {
            "quantized_dtype": "asymmetric_quantized-8",
            "quantized_algorithm": "normal",
            "quantized_method": "channel",
            "target_platform": None,
            "quant_img_RGB2BGR": False,
            "float_dtype": "float16",
            "optimization_level": 3,
            "remove_weight": False,
            "compress_weight": False,
            "single_core_mode": False,
        }),
        ("load_onnx", ("model.onnx",), {}),
        ("build", (), {"do_quantization": True, "auto_hybrid": False}),
        ("export_qarv", (None,), {}),
    ])


def test_full_file_sends_every_keyword(fake_qarv, write_config, tmp_path):
    arrays = {"b": np.arange(3, dtype=np.int16), "a": np.ones((2, 2), dtype=np.float32), "c": np.zeros(1)}
    np.savez(tmp_path / "initial.npz", **arrays)
    path = write_config(f"""
        [config]
        mean_values = [0.1, 123.675, inf, -inf]
        std_values = [nan, 2]
        quantized_dtype = "dt"
        quantized_algorithm = "mmse"
        quantized_method = "layers"
        target_platform = ""
        quant_img_RGB2BGR = true
        float_dtype = "bfloat16"
        optimization_level = 255
        custom_string = "héllo"
        remove_weight = true
        compress_weight = true
        inputs_yuv_fmt = "nv12"
        single_core_mode = true

        [load]
        model_type = "Onnx"
        input_initial_val_file = '{tmp_path / "initial.npz"}'
        outputs = ["y"]
        input_size_list = [[1, 3, 224, 224], [9223372036854775807]]
        inputs = ["a", "b"]
        model = "net.onnx"

        [build]
        do_quantization = false
        dataset = "data.txt"
        qarv_batch_size = -2147483648
        auto_hybrid = true

        [accuracy_analysis]
        inputs = ["x.jpg", "y.jpg"]
        output_dir = "out"
        target = "tx9300"
        device_id = "0042"

        [export]
        export_path = "net.qarv"
    """)
    assert rust_convert(path) is None
    assert typed_calls(fake_qarv.calls) == typed_calls([
        ("config", (), {
            "mean_values": [0.10000000149011612, 123.67500305175781, math.inf, -math.inf],
            "std_values": [math.nan, 2.0],
            "quantized_dtype": "dt",
            "quantized_algorithm": "mmse",
            "quantized_method": "layers",
            "target_platform": "",
            "quant_img_RGB2BGR": True,
            "float_dtype": "bfloat16",
            "optimization_level": 255,
            "custom_string": "héllo",
            "remove_weight": True,
            "compress_weight": True,
            "inputs_yuv_fmt": "nv12",
            "single_core_mode": True,
        }),
        ("load_onnx", ("net.onnx",), {
            "inputs": ["a", "b"],
            "outputs": ["y"],
            "input_size_list": [[1, 3, 224, 224], [2**63 - 1]],
            "input_initial_val": [arrays["b"], arrays["a"], arrays["c"]],
        }),
        ("build", (), {"do_quantization": False, "dataset": "data.txt", "qarv_batch_size": -2**31,
                       "auto_hybrid": True}),
        ("accuracy_analysis", (), {"inputs": ["x.jpg", "y.jpg"], "output_dir": "out", "target": "tx9300",
                                   "device_id": "0042"}),
        ("export_qarv", ("net.qarv",), {}),
    ])


def test_single_array_file_arrives_as_list_of_one(fake_qarv, write_config, tmp_path):
    array = np.arange(6, dtype=np.uint8).reshape(2, 3)
    np.save(tmp_path / "one.npy", array)
    rust_convert(write_config(f"[load]\nmodel_type = 'Onnx'\ninput_initial_val_file = '{tmp_path / 'one.npy'}'"))
    assert typed(fake_qarv.calls[1][2]) == typed({"input_initial_val": [array]})


@pytest.mark.parametrize("text", ["", "[accuracy_analysis]", "[accuracy_analysis]\ninputs = []"])
def test_analysis_without_inputs_is_skipped(fake_qarv, write_config, text):
    rust_convert(write_config(text))
    assert fake_qarv.steps == ["config", "load_onnx", "build", "export_qarv"]


@pytest.mark.parametrize("step", STEPS)
@pytest.mark.parametrize("code", [1, -1, 2**31 - 1])
def test_nonzero_code_stops_the_run(fake_qarv, write_config, step, code):
    fake_qarv.outcomes[step] = code
    message = run_failure(write_config(WITH_ANALYSIS))
    assert message == f"RuntimeError: qarv.{step} failed with code {code}"
    assert fake_qarv.steps == list(STEPS[: STEPS.index(step) + 1])


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IntSubclass(int):
    def __index__(self):
        return 5


@pytest.mark.parametrize(
    "result, message",
    [
        (False, None),
        (Index(0), None),
        (np.int64(0), None),
        (IntSubclass(0), None),  # an int's own value counts, not its __index__
        (True, "RuntimeError: qarv.build failed with code 1"),
        (Index(7), "RuntimeError: qarv.build failed with code 7"),
        (np.int32(-7), "RuntimeError: qarv.build failed with code -7"),
        (-2**31, "RuntimeError: qarv.build failed with code -2147483648"),
        (2**31, "OverflowError: out of range integral type conversion attempted"),
        (-2**31 - 1, "OverflowError: out of range integral type conversion attempted"),
        (2**64, "OverflowError: Python int too large to convert to C long"),
        (Index(LookupError("no index")), "LookupError: no index"),
        (None, "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ],
    ids=lambda value: type(value).__name__,
)
def test_result_codes(fake_qarv, write_config, result, message):
    fake_qarv.outcomes["build"] = result
    assert outcome(write_config()) == message
    assert fake_qarv.steps[-1] == ("export_qarv" if message is None else "build")


class BadStr(Exception):
    def __str__(self):
        raise ValueError("no text")


class StrNotText(Exception):
    def __str__(self):
        return 5


class StrInterrupts(Exception):
    def __str__(self):
        raise KeyboardInterrupt


class StrReenters(Exception):
    def __str__(self):
        return f"inner {outcome('/nonexistent/qarv.toml')}"


class Outer:
    class Nested(Exception):
        pass


class Renamed(Exception):
    pass


Renamed.__qualname__ = "Odd: name.\udcff"


@pytest.mark.parametrize("step", ("QARV",) + STEPS)
@pytest.mark.parametrize(
    "exception, message",
    [
        (lambda: ValueError("bad"), "ValueError: bad"),
        (lambda: ValueError("a\udcffb"), "ValueError: a\ufffd\ufffd\ufffdb"),
        (lambda: Outer.Nested("n"), "Outer.Nested: n"),
        (lambda: Renamed("r"), "Odd: name.\ufffd\ufffd\ufffd: r"),
        (BadStr, "BadStr: <exception str() failed>"),
        (StrNotText, "StrNotText: <exception str() failed>"),
        (StrInterrupts, "StrInterrupts: <exception str() failed>"),
        (StrReenters, "StrReenters: inner No such file or directory (os error 2)"),
        (lambda: SystemExit(3), "SystemExit: 3"),
        (lambda: GeneratorExit("closing"), "GeneratorExit: closing"),
        (MemoryError, "MemoryError: "),
    ],
    ids=["plain", "surrogate", "qualname", "odd-qualname", "bad-str", "str-not-text", "str-interrupts",
         "str-reenters", "SystemExit", "GeneratorExit", "MemoryError"],
)
def test_toolkit_exceptions_become_runtime_errors(fake_qarv, write_config, step, exception, message):
    fake_qarv.outcomes[step] = exception
    assert run_failure(write_config(WITH_ANALYSIS)) == message
    assert fake_qarv.steps == list(STEPS[: STEPS.index(step) + 1 if step in STEPS else 0])
    gc.collect()
    assert fake_qarv.live == 0


class Interrupted(KeyboardInterrupt):
    pass


class InterruptingImport:
    """A finder that answers the import of `qarv.api` with the user's Ctrl-C."""

    def find_spec(self, name, path=None, target=None):
        if name == "qarv.api":
            raise Interrupted("import")


@pytest.mark.parametrize("step", ("import", "QARV") + STEPS + ("result",))
def test_keyboard_interrupt_from_the_toolkit_stops_the_run_unchanged(fake_qarv, write_config, monkeypatch, step):
    path = write_config(WITH_ANALYSIS)
    raised = Interrupted(step)
    if step == "import":
        monkeypatch.delitem(sys.modules, "qarv.api")
        monkeypatch.setattr(fake_qarv.package, "__path__", [], raising=False)
        monkeypatch.setattr(sys, "meta_path", [InterruptingImport()] + sys.meta_path)
    elif step == "result":
        fake_qarv.outcomes["build"] = Index(raised)
    else:
        fake_qarv.outcomes[step] = lambda: raised
    with pytest.raises(KeyboardInterrupt) as caught:
        rust_convert(path)
    assert type(caught.value) is Interrupted
    if step != "import":
        assert caught.value is raised
    called = {"import": 0, "QARV": 0, "result": 3}.get(step, STEPS.index(step) + 1 if step in STEPS else 0)
    assert fake_qarv.steps == list(STEPS[:called])
    del caught  # its traceback's frames hold the toolkit object, not the module
    raised.__traceback__ = None
    gc.collect()
    assert fake_qarv.live == 0


@pytest.mark.parametrize(
    "missing, message",
    [
        ("qarv.api", "ModuleNotFoundError: import of qarv.api halted; None in sys.modules"),
        ("QARV", "AttributeError: module 'qarv.api' has no attribute 'QARV'"),
    ],
)
def test_toolkit_missing(fake_qarv, write_config, monkeypatch, missing, message):
    if missing == "QARV":
        monkeypatch.delattr(fake_qarv.api, "QARV")
    else:
        monkeypatch.setitem(sys.modules, missing, None)
    assert run_failure(write_config()) == message


def import_outcome():
    """What the interpreter's own `import qarv.api` makes of the modules as they stand."""
    try:
        exec("import qarv.api", {})
    except Exception as error:
        return f"{type(error).__qualname__}: {error}"
    return None


@pytest.mark.parametrize("state", ["package-missing", "package-none", "module-none", "hooked-import"])
def test_toolkit_import_behaves_as_the_import_statement(fake_qarv, write_config, monkeypatch, state):
    """The toolkit comes through the interpreter's own import, hooks and all."""
    imported = []
    if state == "package-missing":
        monkeypatch.delitem(sys.modules, "qarv")
    elif state == "package-none":
        monkeypatch.setitem(sys.modules, "qarv", None)
    elif state == "module-none":
        monkeypatch.setitem(sys.modules, "qarv.api", None)
    else:
        original = builtins.__import__
        monkeypatch.setattr(builtins, "__import__", lambda name, *args: imported.append(name) or original(name, *args))
    expected = import_outcome()
    imported.clear()
    assert outcome(write_config()) == expected
    assert imported == (["qarv.api"] if state == "hooked-import" else [])


def expected_load_failure(path):
    try:
        np.load(path)
    except Exception as error:
        return f"{type(error).__qualname__}: {error}"
    raise AssertionError("numpy loaded it")


@pytest.mark.parametrize("content", [None, b"not numpy at all", b"PK\x03\x04 broken zip", "no numpy"])
def test_unreadable_initial_values_stop_before_load_onnx(fake_qarv, write_config, tmp_path, monkeypatch, content):
    data = tmp_path / "initial.npy"
    if isinstance(content, bytes):
        data.write_bytes(content)
    expected = expected_load_failure(str(data))
    if content == "no numpy":
        monkeypatch.setitem(sys.modules, "numpy", None)
        expected = "ModuleNotFoundError: import of numpy halted; None in sys.modules"
    assert run_failure(write_config(f"[load]\nmodel_type = 'Onnx'\ninput_initial_val_file = '{data}'")) == expected
    assert fake_qarv.steps == ["config"]


class PanicException(BaseException):
    pass


@pytest.mark.parametrize("step", ["QARV", "load_onnx", "export_qarv"])
def test_panic_in_toolkit_is_not_caught_as_exception(fake_qarv, write_config, step):
    fake_qarv.outcomes[step] = lambda: PanicException("deep trouble")
    path = write_config()
    with pytest.raises(BaseException) as caught:
        try:
            rust_convert(path)
        except Exception:
            pytest.fail("a panic was caught by `except Exception`")
    assert type(caught.value).__name__ == "PanicException"
    assert type(caught.value) is not PanicException
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == "deep trouble"


@pytest.mark.memory_bound
def test_repeated_runs_release_everything(fake_qarv, write_config, tmp_path):
    np.save(tmp_path / "one.npy", np.arange(4))
    np.savez(tmp_path / "many.npz", a=np.arange(3), b=np.eye(2))
    full = write_config(WITH_ANALYSIS + f"""
        [config]
        mean_values = [1.5, 2.5]
        [load]
        model_type = "Onnx"
        inputs = ["a"]
        input_size_list = [[1, 2], [3]]
        input_initial_val_file = '{tmp_path / "many.npz"}'
        [export]
        export_path = "x.qarv"
    """, name="full.toml")
    single = write_config(f"[load]\nmodel_type = 'Onnx'\ninput_initial_val_file = '{tmp_path / 'one.npy'}'",
                          name="single.toml")
    missing = write_config("[load]\nmodel_type = 'Onnx'\ninput_initial_val_file = 'absent.npy'", name="missing.toml")
    scenarios = [(full, {}), (single, {}), (missing, {}), (str(tmp_path / "nope.toml"), {})]
    scenarios += [(full, {"QARV": lambda: ValueError("init")})]
    scenarios += [(full, {step: 3}) for step in STEPS] + [(full, {step: KeyError}) for step in STEPS]
    scenarios += [(full, {"build": None}), (full, {"build": 2**40}), (full, {"build": BadStr})]

    def run_all():
        for path, outcomes in scenarios:
            fake_qarv.outcomes = outcomes
            try:
                rust_convert(path)
            except RuntimeError:
                pass
            fake_qarv.calls.clear()

    def traced_after(rounds):
        for _ in range(rounds):
            run_all()
        gc.collect()
        return tracemalloc.get_traced_memory()[0]

    # The first rounds run traced too, so that the interpreter's caches and free lists fill up
    # before the baseline and only what is never released shows as growth.
    tracemalloc.start()
    try:
        before = traced_after(50)
        grown = traced_after(200) - before
    finally:
        tracemalloc.stop()
    assert fake_qarv.live == 0
    # 3200 runs: one object leaked per run would add over 100 kB. NumPy's archive reading keeps
    # a few bytes per run cached on newer interpreters (about 19 kB here on 3.13), hence the margin.
    assert grown < 32_000, grown
