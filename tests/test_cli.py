"""The `qarv-convert` command line, driven as a user would: outputs and exit statuses of `main(argv)`
in this process; only signals and the terminal get processes of their own."""
import contextlib
import errno
import hashlib
import io
import json
import os
import pathlib
import pty
import re
import signal
import subprocess
import sys
import textwrap
import time
import tomllib

import pytest

from conftest import EXAMPLES, REPOSITORY, default_signals, read_lines, read_terminal
from onnx_fixtures import classifier

STANDIN = REPOSITORY / "standin"
#: A file whose defaults the pre-flight checks have nothing to say about (no quantization
#: without calibration data), for tests about what happens after them.
UNQUANTIZED = "[build]\ndo_quantization = false\n"
TOOLKIT_VERSION = "9.8.7"

# The plans of the examples, as `plan` must print them.
EXAMPLE_PLANS = {
    "resnet50.toml": """\
1. config(mean_values=[123.67500305175781, 116.27999877929688, 103.52999877929688], \
std_values=[58.39500045776367, 57.119998931884766, 57.375], quantized_dtype='asymmetric_quantized-8', \
quantized_algorithm='normal', quantized_method='channel', target_platform='tx9300', quant_img_RGB2BGR=False, \
float_dtype='float16', optimization_level=3, remove_weight=False, compress_weight=False, single_core_mode=False)
2. load_onnx('resnet50.onnx', inputs=['input'], outputs=['logits'], input_size_list=[[1, 3, 224, 224]])
3. build(do_quantization=True, dataset='dataset.txt', qarv_batch_size=8, auto_hybrid=False)
4. accuracy_analysis(inputs=['images/cat.jpg'], output_dir='snapshots')
5. export_qarv('resnet50.qarv')
""",
    "detector.toml": """\
1. config(quantized_dtype='asymmetric_quantized-8', quantized_algorithm='normal', quantized_method='channel', \
target_platform='ty9700', quant_img_RGB2BGR=False, float_dtype='float32', optimization_level=2, \
custom_string='detector v2, float32 reference build', remove_weight=False, compress_weight=False, \
single_core_mode=False)
2. load_onnx('detector.onnx', inputs=['images', 'state'], outputs=['boxes', 'scores'], \
input_size_list=[[1, 3, 640, 640], [1, 256]], \
input_initial_val=[<array shape=(1, 3, 640, 640) dtype=float32>, <array shape=(1, 256) dtype=float32>])
3. build(do_quantization=False, auto_hybrid=False)
4. export_qarv('detector.qarv')
""",
}


@pytest.fixture
def fake(fake_qarv):
    """The fake toolkit with a version, as a real one has."""
    fake_qarv.package.__version__ = TOOLKIT_VERSION
    return fake_qarv


def arrays_by_shape(value):
    """A call's arguments as `plan --json` lists them."""
    if hasattr(value, "shape") and hasattr(value, "dtype"):
        return {"shape": list(value.shape), "dtype": str(value.dtype)}
    if isinstance(value, (list, tuple)):
        return [arrays_by_shape(item) for item in value]
    if isinstance(value, dict):
        return {key: arrays_by_shape(item) for key, item in value.items()}
    return value


@pytest.mark.parametrize("example", sorted(EXAMPLE_PLANS))
def test_plan_lists_exactly_what_convert_sends(tmp_path, cli, fake, example_materials, example):
    example = EXAMPLES / example
    example_materials(example, tmp_path)  # the initial values are read in both
    converted = cli("convert", "--quiet", example, cwd=tmp_path)
    assert (converted.returncode, converted.stderr) == (0, "")
    sent = [{"method": step, "args": arrays_by_shape(list(args)), "kwargs": arrays_by_shape(kwargs)}
            for step, args, kwargs in fake.calls]
    del sys.modules["qarv"], sys.modules["qarv.api"]  # plan needs no toolkit
    assert cli("plan", example).stdout == EXAMPLE_PLANS[example.name]
    assert json.loads(cli("plan", "--json", example).stdout) == sent


@pytest.mark.parametrize("example", sorted(EXAMPLE_PLANS))
def test_examples_convert_on_the_stand_in_toolkit(tmp_path, cli, toolkit_package, example_materials, example):
    pytest.importorskip("numpy")
    example = EXAMPLES / example
    example_materials(example, tmp_path)
    toolkit_package(STANDIN)
    result = cli("convert", "--record", "run.json", example, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    record = json.loads((tmp_path / "run.json").read_text())
    assert (record["status"], record["toolkit_version"]) == ("succeeded", "0.0.0+stand-in")
    export_path = tomllib.loads(example.read_text())["export"]["export_path"]
    artifact = json.loads((tmp_path / export_path).read_text())
    assert [call["step"] for call in artifact["calls"]] == [step["method"] for step in record["steps"]]
    assert cli("explain", example).stdout.startswith("\n[Configuration Summary]\n")


def test_convert_reports_each_step_on_stderr(cli, fake, write_config):
    fake.outcomes["build"] = lambda: print("building", file=sys.stderr) or 0
    result = cli("convert", "--no-preflight", write_config("[export]\nexport_path = 'out.qarv'\n" + UNQUANTIZED))
    assert result.returncode == 0 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert [line.split(" after ")[0] for line in lines] == [
        "[1/5] config ...", "[1/5] config returned 0", "[2/5] load_onnx ...", "[2/5] load_onnx returned 0",
        "[3/5] build ...", "building", "[3/5] build returned 0",
        "[4/5] accuracy_analysis skipped: no [accuracy_analysis] table",
        "[5/5] export_qarv ...", "[5/5] export_qarv returned 0", "conversion finished",
    ]
    assert lines[-1].endswith(" s: out.qarv not found")  # the fake toolkit writes nothing
    assert "\r" not in result.stderr  # not a terminal: whole lines only
    assert fake.calls[-1] == ("export_qarv", ("out.qarv",), {})


@pytest.mark.parametrize("command", ["convert", "plan", "explain", "check"])
def test_configuration_errors_exit_1_under_a_line_naming_the_file(cli, fake, write_config, command):
    config = write_config("[load]\nmodel = 'm.onnx'\n")
    result = cli(command, config)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith(f"qarv-convert: {config}: invalid configuration\nTOML parse error at line 1")
    assert result.stderr.endswith('missing field `model_type`\nhint: [load] needs the line model_type = "Onnx"\n')
    assert fake.calls == []


def test_a_failing_step_exits_1_with_the_module_message(cli, fake, write_config):
    fake.outcomes["build"] = 3
    config = write_config(UNQUANTIZED)
    result = cli("convert", "--no-preflight", "-q", config)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"qarv-convert: {config}: RuntimeError: qarv.build failed with code 3\n"
    assert fake.steps == ["config", "load_onnx", "build"]


@pytest.mark.parametrize("command", ["convert", "explain", "plan", "check"])
@pytest.mark.parametrize("kind", ["missing", "syntax"])
def test_file_faults_name_the_file_and_come_before_any_toolkit(tmp_path, cli, write_config, command, kind):
    # No toolkit importable: a fault in the file is still reported as what it is.
    config = str(tmp_path / "absent.toml") if kind == "missing" else write_config("[build\n")
    result = cli(command, config)
    assert result.returncode == 1
    if kind == "missing":
        assert result.stderr == f"qarv-convert: {config}: No such file or directory (os error 2)\n"
    else:
        assert result.stderr.splitlines()[0] == f"qarv-convert: {config}: invalid configuration"
    assert "qarv'" not in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("missing", ["qarv", "a module the toolkit needs"])
def test_convert_without_a_toolkit_says_so_and_how_to_fix_it(cli, write_config, toolkit_package, missing):
    if missing == "qarv":
        if importlib_finds("qarv"):
            pytest.skip("a package `qarv` is importable here")
    else:
        toolkit_package(api_text="import qarv_needs_this\n")
    config = write_config(UNQUANTIZED)
    result = cli("convert", "--no-preflight", "-q", config)
    assert result.returncode == 1
    message, *hint = result.stderr.splitlines()
    if missing == "qarv":
        assert message == f"qarv-convert: {config}: ModuleNotFoundError: No module named 'qarv'"
        assert hint[0].startswith("qarv-convert: hint:") and "PYTHONPATH" in hint[0] and sys.executable in hint[0]
    else:  # the toolkit is there; how to make it importable is beside the point
        assert (message, hint) == (f"qarv-convert: {config}: ModuleNotFoundError: No module named 'qarv_needs_this'", [])


def importlib_finds(name):
    import importlib.util

    return name in sys.modules or importlib.util.find_spec(name) is not None


@pytest.mark.parametrize("strict", [False, True])
def test_convert_warns_about_ignored_keys_before_the_first_step(cli, fake, write_config, strict):
    config = write_config("[build]\ndatset = 'd.txt'\n")
    result = cli("convert", "--no-preflight", *(["--strict"] if strict else []), config)
    warnings = result.stderr.split("[1/5]")[0]
    assert f"{config}:2:1: warning: unknown key `datset` in [build] is ignored" in warnings
    assert warnings.index(f"{config}: 2 warnings\n") < len(warnings)
    if strict:
        assert result.returncode == 1 and fake.calls == []
        assert result.stderr.endswith(f"qarv-convert: {config}: not converting with --strict while there are warnings\n")
    else:
        assert result.returncode == 0 and fake.calls[-1] == ("export_qarv", (None,), {})
        assert "did you mean `dataset`?" in warnings


@pytest.mark.parametrize("args", [[], ["convert"], ["frobnicate", "x.toml"], ["check", "--bogus", "x.toml"],
                                  ["init", "a.toml", "b.toml"], ["plan", "--xml", "x.toml"]])
def test_usage_errors_exit_2(cli, args):
    result = cli(*args)
    assert result.returncode == 2 and result.stderr.startswith("usage: qarv-convert")


@pytest.mark.parametrize("command", ["init", "convert", "explain", "plan", "check", "schema"])
def test_every_command_has_help(cli, command):
    result = cli(command, "--help")
    assert result.returncode == 0 and "usage: qarv-convert " + command in result.stdout


def test_version_is_the_package_version(cli):
    import importlib.metadata

    result = cli("--version")
    assert (result.returncode, result.stdout) == (0, f"qarv-convert {importlib.metadata.version('qarv-convert')}\n")


def test_explain_prints_the_summary(cli, write_config):
    result = cli("explain", write_config("[build]\ndataset = './d.txt'\n"))
    assert result.returncode == 0
    assert result.stdout.startswith("\n[Configuration Summary]\n\n[config]\n")
    assert "║dataset        │./d.txt" in result.stdout


CHECK_FILE = """\
[config]
quant_img_rgb2bgr = true
optimization_level = 2
[build]
datset = "d.txt"
[load]
model_type = "Onnx"
Model = "m.onnx"
[accuracy_analysis]
input = ["a.jpg"]
[export]
exportpath = "x"
[exports]
x = 1
"""


def test_check_finds_typos_in_every_section(cli, write_config):
    config = write_config(CHECK_FILE)
    result = cli("check", "--format", "json", config)
    [report] = json.loads(result.stdout)
    found = [(d["line"], d["column"], d["message"]) for d in report["diagnostics"] if d["message"].startswith("unknown")]
    assert found == [
        (2, 1, "unknown key `quant_img_rgb2bgr` in [config] is ignored; did you mean `quant_img_RGB2BGR`?"),
        (5, 1, "unknown key `datset` in [build] is ignored; did you mean `dataset`?"),
        (8, 1, "unknown key `Model` in [load] is ignored; did you mean `model`?"),
        (10, 1, "unknown key `input` in [accuracy_analysis] is ignored; did you mean `inputs`?"),
        (12, 1, "unknown key `exportpath` in [export] is ignored; did you mean `export_path`?"),
        (13, 2, "unknown table `exports` is ignored; did you mean `export`?"),
    ]
    text = cli("check", config).stderr.splitlines()
    at = text.index(f"{config}:2:1: warning: {found[0][2]}")
    assert text[at + 1:at + 4] == ["  |", "2 | quant_img_rgb2bgr = true", "  | " + "^" * 17]


@pytest.mark.parametrize("example", sorted(EXAMPLE_PLANS))
def test_check_passes_clean_files_even_when_strict(tmp_path, cli, example_materials, example):
    example_materials(EXAMPLES / example, tmp_path)
    result = cli("check", "--strict", "-C", tmp_path, EXAMPLES / example)
    assert (result.returncode, result.stderr) == (0, f"{EXAMPLES / example}: ok\n")


@pytest.fixture(scope="module")
def schema():
    from qarv_convert.cli import main

    with contextlib.redirect_stdout(io.StringIO()) as out:
        assert main(["schema"]) == 0
    return json.loads(out.getvalue())


def test_schema_validates_examples_and_rejects_wrong_types(schema):
    jsonschema = pytest.importorskip("jsonschema")

    validator = jsonschema.Draft202012Validator(schema)
    validator.check_schema(schema)
    for example in EXAMPLES.glob("*.toml"):
        assert list(validator.iter_errors(tomllib.loads(example.read_text()))) == []
    for document in (
        {"build": {"do_quantization": "yes"}},
        {"config": {"optimization_level": 4}},
        {"config": {"target_platform": ""}},
        {"load": {"model": "m.onnx"}},
        {"load": {"model_type": "onnx"}},
        {"load": {"model_type": "Onnx", "input_size_list": [[1, -3]]}},
        {"config": {"quant_img_rgb2bgr": True}},
    ):
        assert list(validator.iter_errors(document)), document


def test_schema_sections_are_the_summary_documents(schema):
    sections = schema["properties"]
    assert sorted(sections) == ["accuracy_analysis", "build", "config", "export", "load"]
    assert sections["build"]["title"] == "BuildConfig"
    assert sections["load"]["title"] == "OnnxLoadConfig"
    assert sections["load"]["properties"]["model_type"]["const"] == "Onnx"
    assert sections["load"]["required"] == ["model_type"]
    assert sections["config"]["properties"]["optimization_level"]["maximum"] == 3


def test_init_writes_a_complete_file_that_loads_cleanly(tmp_path, cli, schema):
    path = tmp_path / "new.toml"
    result = cli("init", path)
    assert result.returncode == 0, result.stderr
    text = path.read_text()
    assert cli("init", "-").stdout == text
    assert cli("explain", path).returncode == 0
    assert cli("plan", "--no-preflight", path).returncode == 0
    # Untouched, it is not ready to convert: the model is still to choose.
    checked = cli("check", path)
    assert checked.returncode == 1 and "`load.model` is still marked CHOOSE by `init`" in checked.stderr
    # Every table and key is there, with a line that says its default or that it must be chosen.
    for section, document in schema["properties"].items():
        # A table with nothing to do until it is filled in stays commented out.
        assert f"\n[{section}]\n" in text or f"\n# [{section}]\n" in text
        for key in document["properties"]:
            block = re.search(rf"((?:# .*\n)+)(?:# )?{key} = ", text)
            assert block and re.search("# (Default: |Required|CHOOSE)", block[1]), key
    assert re.search(r"# CHOOSE .*\nmodel = ", text)
    # Taking every commented-out key in still gives a file without a warning.
    uncommented = tmp_path / "all.toml"
    uncommented.write_text(re.sub(r"(?m)^# (\w+ = |\[)", r"\1", text))
    from qarv_convert import _native

    assert _native.ignored_entries(str(uncommented)) == []


def test_init_never_overwrites_without_force(tmp_path, cli):
    path = tmp_path / "mine.toml"
    path.write_text("# my own\n")
    refused = cli("init", path)
    assert refused.returncode == 1 and path.read_text() == "# my own\n"
    assert refused.stderr == f"qarv-convert: {path}: already exists; use --force to replace it\n"
    assert cli("init", "--force", path).returncode == 0
    assert "[load]" in path.read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["mine.toml"]  # no temporary file left


def read_record(path):
    record = json.loads(path.read_text())
    assert sorted(p.name for p in path.parent.iterdir() if p.name.startswith(f".{path.name}")) == []
    return record


def test_record_of_a_successful_run(tmp_path, cli, fake, write_config):
    config = write_config("[build]\ndataset = 'd.txt'\n")
    record_path = tmp_path / "run.json"
    result = cli("convert", "--no-preflight", "-q", "--record", record_path, config)
    assert result.returncode == 0, result.stderr
    record = read_record(record_path)
    assert record["status"] == "succeeded" and record["failure"] is None
    assert record["configuration"] == {
        "path": config, "sha256": hashlib.sha256(pathlib.Path(config).read_bytes()).hexdigest()}
    assert record["toolkit_version"] == TOOLKIT_VERSION
    assert [step["method"] for step in record["steps"]] == ["config", "load_onnx", "build", "export_qarv"]
    build = record["steps"][2]
    assert build["keywords"] == {"do_quantization": True, "dataset": "d.txt", "auto_hybrid": False}
    assert (build["args"], build["result"]) == ([], 0)
    assert record["steps"][1]["args"] == ["model.onnx"]
    assert record["skipped"] == [{"method": "accuracy_analysis", "reason": "no [accuracy_analysis] table"}]
    assert record["command_line"] == ["qarv-convert", "convert", "--no-preflight", "-q", "--record", str(record_path), config]
    assert record["overrides"] == [] and record["seconds"] >= sum(step["seconds"] for step in record["steps"])
    assert all(step["seconds"] >= 0 for step in record["steps"])


@pytest.mark.parametrize(
    "text, failing, failure, methods",
    [
        (UNQUANTIZED, {"build": 3}, "RuntimeError: qarv.build failed with code 3", ["config", "load_onnx", "build"]),
        ("[build]\ndo_quantization = 'yes'\n", {}, "TOML parse error at line 2", []),
        ("[build]\ndatset = 1\n", {}, "not converted", []),
    ],
    ids=["failing step", "invalid file", "strict"],
)
def test_record_of_a_failed_run(tmp_path, cli, fake, write_config, text, failing, failure, methods):
    fake.outcomes.update(failing)
    record_path = tmp_path / "run.json"
    record_path.write_text("an older record")
    result = cli("convert", "--no-preflight", "-q", "--strict", "--record", record_path, write_config(text))
    assert result.returncode == 1
    record = read_record(record_path)
    assert record["status"] == "failed" and record["failure"].startswith(failure)
    assert [step["method"] for step in record["steps"]] == methods
    if methods:
        assert record["steps"][-1]["result"] == 3


def test_record_without_a_directory_is_refused_before_converting(tmp_path, cli, fake, write_config):
    result = cli("convert", "--no-preflight", "--record", tmp_path / "no" / "run.json", write_config(""))
    assert result.returncode == 1 and fake.calls == []


@contextlib.contextmanager
def standard_output(kind):
    """File descriptor 1 (and `sys.stdout` on it) closed or on /dev/full for the block; both come
    back afterwards."""
    saved_descriptor, saved_stream = os.dup(1), sys.stdout
    try:
        if kind == "closed":
            os.close(1)
            sys.stdout = None
        else:
            full = os.open("/dev/full", os.O_WRONLY)
            os.dup2(full, 1)
            os.close(full)
            sys.stdout = open(1, "w", closefd=False)
        yield
    finally:
        os.dup2(saved_descriptor, 1)
        os.close(saved_descriptor)
        sys.stdout = saved_stream


@pytest.mark.parametrize("args", [["explain", "CONFIG"], ["plan", "--no-preflight", "CONFIG"],
                                  ["plan", "--no-preflight", "--json", "CONFIG"], ["schema"], ["init", "-"]])
@pytest.mark.parametrize("stdout", ["closed", "full"])
def test_output_that_cannot_be_written_is_a_failure(cli, write_config, args, stdout):
    config = write_config(UNQUANTIZED)
    with standard_output(stdout):
        result = cli(*[config if arg == "CONFIG" else arg for arg in args])
    assert result.returncode == 1
    reason = "it is closed" if stdout == "closed" else "No space left on device"
    assert re.fullmatch(f"qarv-convert: cannot write to standard output: {reason}.*\n", result.stderr)
    assert os.fstat(1)  # and the descriptor is back


@pytest.mark.parametrize(
    "number, expected",
    [(errno.ENOSPC, "qarv-convert: cannot write to standard output: No space left on device (os error 28)\n"),
     (errno.EPIPE, "")],  # the reader went away: nobody to tell
)
def test_explain_takes_write_failures_as_their_own_type(monkeypatch, cli, write_config, number, expected):
    from qarv_convert import _native

    def fail(descriptor, path, overrides, changed):
        raise _native.WriteError(number, os.strerror(number))

    monkeypatch.setattr(_native, "explain_to", fail)
    result = cli("explain", write_config(""))
    assert (result.returncode, result.stderr) == (1, expected)


def test_a_run_leaves_signal_handlers_and_descriptors_as_it_found_them(tmp_path, cli, fake, write_config):
    handlers = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGPIPE)}
    descriptors = sorted(os.listdir("/proc/self/fd"))
    config = write_config(UNQUANTIZED)
    classifier(tmp_path / "model.onnx")
    for args in (["explain", config], ["convert", "-q", config], ["plan", config], ["check", config]):
        assert cli(*args, "-C", tmp_path).returncode == 0
    assert {number: signal.getsignal(number) for number in handlers} == handlers
    assert sorted(os.listdir("/proc/self/fd")) == descriptors


def test_file_names_that_are_not_utf8(tmp_path, cli, fake):
    directory = os.fsencode(tmp_path)
    config = os.fsdecode(directory + b"/caf\xe9.toml")
    with open(directory + b"/caf\xe9.toml", "w") as out:
        out.write("[export]\nexport_path = 'out.qarv'\n" + UNQUANTIZED)
    classifier(tmp_path / "model.onnx")
    assert cli("check", "-C", tmp_path, config).stderr == f"{tmp_path}/caf\\xe9.toml: ok\n"
    assert "[Configuration Summary]" in cli("explain", config).stdout
    assert cli("plan", "--no-preflight", config).stdout.endswith("4. export_qarv('out.qarv')\n")
    assert cli("convert", "--no-preflight", "-q", config).returncode == 0
    missing = cli("check", os.fsdecode(directory + b"/gone\xff.toml"))
    assert missing.stderr == f"qarv-convert: {tmp_path}/gone\\xff.toml: No such file or directory (os error 2)\n"


@pytest.mark.parametrize(
    "command, text, shown",
    [
        ("check", '[config]\n"a\\u001b]0;pwned\\u0007" = 1\n', "a\\u001b]0;pwned\\u0007"),
        ("explain", '[build]\ndataset = 1 # \x9b31m\n', "# \\u009b31m"),
        ("plan", '[build]\ndataset = "\x9b31m\\u007f"\n', '"dataset": "\\u009b31m\\u007f"'),
    ],
)
def test_text_from_the_file_reaches_the_terminal_escaped(tmp_path, cli, command, text, shown):
    path = tmp_path / "config.toml"
    path.write_bytes(text.encode())
    result = cli(command, *(["--json", "--no-preflight"] if command == "plan" else []), path)
    assert shown in result.stderr + result.stdout
    assert not re.search("[\x00-\x08\x0b-\x1f\x7f-\x9f]", result.stderr + result.stdout)
    if command == "plan":
        assert json.loads(result.stdout)[2]["kwargs"]["dataset"] == "\x9b31m\x7f"


def test_convert_reads_a_pipe_once_for_checking_and_converting(cli, fake):
    reading, writing = os.pipe()
    try:
        os.write(writing, b"[export]\nexport_path = 'piped.qarv'\n")
        os.close(writing)
        result = cli("convert", "--no-preflight", "-q", f"/dev/fd/{reading}")
    finally:
        os.close(reading)
    assert result.returncode == 0, result.stderr
    assert fake.calls[-1] == ("export_qarv", ("piped.qarv",), {})


def test_endless_streams_are_cut_off(cli):
    endless = cli("check", "/dev/zero")
    assert (endless.returncode, endless.stderr) == (1, "qarv-convert: /dev/zero: not a regular file and longer than 64 MiB\n")


class Odd:
    def __repr__(self):
        raise ValueError("no")


def test_a_toolkit_result_that_cannot_be_shown(tmp_path, cli, fake, write_config):
    # A step that returns an object whose repr raises: the run fails as the module says, and the
    # step line and the record still get written.
    fake.outcomes["build"] = Odd()
    record_path = tmp_path / "run.json"
    result = cli("convert", "--no-preflight", "--record", record_path, write_config(""))
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert "[3/5] build returned <Odd whose repr raised ValueError> after" in result.stderr
    record = read_record(record_path)
    assert record["steps"][-1]["result"] == "<Odd whose repr raised ValueError>"
    assert result.stderr.endswith(f"qarv-convert: {record['configuration']['path']}: {record['failure']}\n")


# --- Signals and the terminal: a process of their own ---------------------------------------------

# A toolkit for processes: a step prints $SAY_<step> on stderr, writes $WRITE_<step> straight to
# file descriptors 1 and 2 as native code would, and sleeps $SLEEP_<step> seconds, so that it can
# be interrupted.
SLEEPING_TOOLKIT = textwrap.dedent(
    """
    import os
    import sys
    import time

    class QARV:
        def _step(self, method):
            if "SAY_" + method in os.environ:
                print(os.environ["SAY_" + method], file=sys.stderr)
            if "WRITE_" + method in os.environ:
                text = os.environ["WRITE_" + method].encode()
                os.write(1, b"out: " + text)
                time.sleep(0.3)
                os.write(2, b"err: " + text + b"\\n")
            time.sleep(float(os.environ.get("SLEEP_" + method, "0")))
            return 0

        def __getattr__(self, name):
            return lambda *args, **kwargs: self._step(name)
    """
)


@pytest.fixture
def sleeping_toolkit(tmp_path):
    """The environment of a process whose toolkit is `SLEEPING_TOOLKIT`."""
    package = tmp_path / "toolkit" / "qarv"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "api.py").write_text(SLEEPING_TOOLKIT)

    def environment(**variables):
        return {**os.environ, "PYTHONPATH": str(package.parent), **variables}

    return environment


def start(*args, **popen):
    return subprocess.Popen([sys.executable, "-m", "qarv_convert", *map(str, args)], preexec_fn=default_signals, **popen)


@pytest.mark.parametrize("number, note", [(signal.SIGINT, "interrupted"), (signal.SIGTERM, "interrupted by SIGTERM"),
                                          (signal.SIGHUP, "interrupted by SIGHUP")])
def test_a_stopping_signal_during_a_step_ends_the_run_with_a_record(tmp_path, sleeping_toolkit, write_config, number,
                                                                    note):
    record_path = tmp_path / "run.json"
    process = start("convert", "--no-preflight", "--record", record_path, write_config(""), env=sleeping_toolkit(SLEEP_build="60"),
                    stderr=subprocess.PIPE, text=True)
    output = read_lines(process, until="[3/5] build ...")
    process.send_signal(number)
    output += process.stderr.read()
    assert process.wait(timeout=20) == 128 + number
    assert output.endswith(f"qarv-convert: {note}\n") and "Traceback" not in output
    record = read_record(record_path)
    assert (record["status"], record["failure"], record["signal"]) == ("interrupted", note, signal.Signals(number).name)
    assert record["steps"][-1]["method"] == "build"


def test_a_signal_ignored_at_the_start_stays_ignored(tmp_path, sleeping_toolkit, write_config):
    # `nohup` ignores SIGHUP for the commands it starts: a hang-up must not end them.
    process = subprocess.Popen([sys.executable, "-c", "import signal, sys, runpy; signal.signal(signal.SIGHUP, "
                                "signal.SIG_IGN); sys.argv[0] = 'qarv-convert'; runpy.run_module('qarv_convert', "
                                "run_name='__main__')", "convert", "--no-preflight", write_config("")],
                               env=sleeping_toolkit(SLEEP_build="1"), stderr=subprocess.PIPE, text=True)
    read_lines(process, until="[3/5] build ...")
    process.send_signal(signal.SIGHUP)
    assert process.wait(timeout=20) == 0


@pytest.mark.parametrize("interrupt", [False, True])
def test_a_terminal_shows_the_running_step_with_a_live_counter(sleeping_toolkit, write_config, interrupt):
    master, slave = pty.openpty()
    try:
        sleep = "60" if interrupt else "1.6"
        process = start("convert", "--no-preflight", write_config(""), env=sleeping_toolkit(SLEEP_build=sleep, SAY_build="building"),
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        output = read_terminal(master, process, until=b"[3/5] build  00:01")
        if interrupt:
            process.send_signal(signal.SIGINT)
        output += read_terminal(master, process)
        assert process.wait(timeout=20) == (130 if interrupt else 0)
    finally:
        os.close(master)
    text = output.decode()
    # What the toolkit prints goes above the live line, which is then drawn again under it.
    assert "\r[3/5] build  00:00\x1b[K\r\x1b[Kbuilding\r\n\r[3/5] build  00:00\x1b[K" in text
    assert "\r[3/5] build  00:01\x1b[K" in text
    if interrupt:
        assert text.endswith("\r\nqarv-convert: interrupted\r\n") and "Traceback" not in text
    else:
        assert re.search(r"\r(\x1b\[K)?\[3/5\] build returned 0 after 1\.\d+ s\x1b\[K\r\n", text)


def test_what_the_toolkit_writes_to_the_descriptors_goes_above_the_live_line(sleeping_toolkit, write_config):
    master, slave = pty.openpty()
    try:
        process = start("convert", "--no-preflight", write_config(UNQUANTIZED), env=sleeping_toolkit(SLEEP_build="1.3", WRITE_build="native"),
                        stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
        os.close(slave)
        output = read_terminal(master, process)
        assert process.wait(timeout=20) == 0
    finally:
        os.close(master)
    text = output.decode()
    # An unfinished line is passed once the toolkit stays quiet; the live line waits for its end.
    assert "\r[3/5] build  00:00\x1b[K\r\x1b[Kout: native" in text
    assert "out: nativeerr: native\r\n\r[3/5] build  00:00\x1b[K" in text
    assert "\r[3/5] build  00:01\x1b[K" in text and "Traceback" not in text


def test_a_pipe_whose_writer_never_finishes_ends_on_ctrl_c(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    process = start("check", fifo, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while True:  # opening the writing end succeeds once the command has the reading end open
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.05)
    try:
        os.write(writer, b"[build]\n")
        time.sleep(0.2)
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=20) == 130
    finally:
        os.close(writer)
    assert process.stderr.read() == "qarv-convert: interrupted\n"


def test_explain_ends_quietly_when_the_reader_goes_away(write_config):
    # A summary far larger than a pipe's buffer, so that writing outlives the reader.
    config = write_config(f"[config]\ncustom_string = '{'x' * 200_000}'\n")
    process = start("explain", config, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.read(100)
    process.stdout.close()
    assert process.wait() == 1
    assert process.stderr.read() == b""
