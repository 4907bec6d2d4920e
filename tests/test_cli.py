"""The `qarv-convert` command line, driven as a user would: subprocesses, outputs, exit statuses."""
import errno
import hashlib
import json
import os
import pathlib
import pty
import re
import select
import signal
import subprocess
import sys
import textwrap
import time
import tomllib

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"

# A toolkit that writes each call, formatted the way `plan` lists calls, to $RECORDED_CALLS; a
# step prints $SAY_<step> on stderr, sleeps $SLEEP_<step> seconds, so that it can be interrupted,
# and returns $FAIL_<step>.
RECORDING_TOOLKIT = textwrap.dedent(
    """
    import os
    import sys
    import time
    from qarv_convert.cli import format_call
    from qarv_convert.recording import Call

    class QARV:
        def __init__(self):
            self.count = 0

        def _record(self, method, *args, **kwargs):
            self.count += 1
            with open(os.environ["RECORDED_CALLS"], "a") as out:
                out.write(format_call(self.count, Call(method, args, kwargs)) + "\\n")
            if "SAY_" + method in os.environ:
                print(os.environ["SAY_" + method], file=sys.stderr)
            time.sleep(float(os.environ.get("SLEEP_" + method, "0")))
            return int(os.environ.get("FAIL_" + method, "0"))

        def __getattr__(self, name):
            return lambda *args, **kwargs: self._record(name, *args, **kwargs)
    """
)
TOOLKIT_VERSION = "9.8.7"


@pytest.fixture
def toolkit(tmp_path):
    """Puts the recording toolkit on the path of the subprocesses; yields the record file."""
    package = tmp_path / "toolkit" / "qarv"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text(f"__version__ = {TOOLKIT_VERSION!r}\n")
    (package / "api.py").write_text(RECORDING_TOOLKIT)
    return tmp_path / "calls.txt"


def environment(toolkit=None, env=None):
    """The subprocess environment: no toolkit on the path unless `toolkit` (or `env`) puts one there."""
    result = dict(os.environ)
    result.pop("PYTHONPATH", None)
    if toolkit is not None:
        result["PYTHONPATH"] = str(toolkit.parent / "toolkit")
        result["RECORDED_CALLS"] = str(toolkit)
    result.update(env or {})
    return result


def run(*args, toolkit=None, env=None, cwd=None, stdin=None, input=None, stdout=subprocess.PIPE):
    """Runs the command line; `stdout="closed"` starts it with file descriptor 1 closed."""
    closed = stdout == "closed"
    return subprocess.run(
        [sys.executable, "-m", "qarv_convert", *args],
        stdout=None if closed else stdout,
        stderr=subprocess.PIPE,
        stdin=stdin,
        input=input,
        preexec_fn=(lambda: os.close(1)) if closed else None,
        text=True,
        env=environment(toolkit, env),
        cwd=cwd,
        timeout=120,
    )


def write(tmp_path, text, name="config.toml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return str(path)


@pytest.mark.parametrize("example", sorted(EXAMPLES.glob("*.toml")), ids=lambda p: p.name)
def test_plan_lists_exactly_what_convert_sends(tmp_path, toolkit, example):
    # Run where the files the example names exist (the initial values are read in both).
    subprocess.run([sys.executable, str(EXAMPLES / "make_model.py"), str(example), "--into", str(tmp_path)],
                   check=True, capture_output=True)
    converted = run("convert", "--quiet", str(example), toolkit=toolkit, cwd=tmp_path)
    assert converted.returncode == 0, converted.stderr
    assert converted.stderr == ""
    planned = run("plan", str(example), cwd=tmp_path)  # no toolkit on the path: plan needs none
    assert planned.returncode == 0, planned.stderr
    assert planned.stdout == toolkit.read_text()


STANDIN = EXAMPLES.parent / "standin"


@pytest.mark.parametrize("example", sorted(EXAMPLES.glob("*.toml")), ids=lambda p: p.name)
def test_examples_convert_on_the_stand_in_toolkit(tmp_path, example):
    pytest.importorskip("numpy")
    subprocess.run([sys.executable, str(EXAMPLES / "make_model.py"), str(example), "--into", str(tmp_path)],
                   check=True, capture_output=True)
    result = run("convert", "--record", "run.json", str(example), cwd=tmp_path, env={"PYTHONPATH": str(STANDIN)})
    assert result.returncode == 0, result.stderr
    record = json.loads((tmp_path / "run.json").read_text())
    assert (record["status"], record["toolkit_version"]) == ("succeeded", "0.0.0+stand-in")
    artifact = json.loads((tmp_path / export_path(example)).read_text())
    assert [call["step"] for call in artifact["calls"]] == [step["method"] for step in record["steps"]]
    assert run("explain", str(example)).stdout.startswith("\n[Configuration Summary]\n")


def export_path(example):
    return tomllib.loads(example.read_text())["export"]["export_path"]


def test_convert_reports_each_step_on_stderr(tmp_path, toolkit):
    config = write(tmp_path, "[export]\nexport_path = 'out.qarv'\n")
    result = run("convert", config, toolkit=toolkit)
    assert result.returncode == 0 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert [line.split(" after ")[0] for line in lines if " after " in line] == [
        "[1/5] config returned 0", "[2/5] load_onnx returned 0", "[3/5] build returned 0",
        "[5/5] export_qarv returned 0", "conversion finished",
    ]
    assert lines[0] == "[1/5] config ..." and "\r" not in result.stderr  # not a terminal: whole lines only
    assert toolkit.read_text().splitlines()[-1] == "4. export_qarv('out.qarv')"


@pytest.mark.parametrize(
    "command, env, message",
    [
        ("convert", {"FAIL_build": "3"}, "RuntimeError: qarv.build failed with code 3"),
        ("convert", {}, "missing field `model_type`"),
        ("plan", {}, "missing field `model_type`"),
        ("explain", {}, "missing field `model_type`"),
        ("check", {}, "missing field `model_type`"),
    ],
)
def test_failures_exit_1_with_the_module_message(tmp_path, toolkit, command, env, message):
    text = "[load]\nmodel = 'm.onnx'\n" if "model_type" in message else ""
    config = write(tmp_path, text)
    result = run(command, config, toolkit=toolkit, env=env)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.rstrip("\n").endswith(message)
    if "model_type" in message:  # a configuration report, under a line that names the file
        assert f"qarv-convert: {config}: invalid configuration\nTOML parse error at line 1" in result.stderr


@pytest.mark.parametrize("command", ["convert", "explain", "plan", "check"])
@pytest.mark.parametrize("kind", ["missing", "syntax"])
def test_file_faults_name_the_file_and_come_before_any_toolkit(tmp_path, command, kind):
    # No toolkit on the path: a fault in the file is still reported as what it is.
    config = str(tmp_path / "absent.toml") if kind == "missing" else write(tmp_path, "[build\n")
    result = run(command, config)
    assert result.returncode == 1
    first = result.stderr.splitlines()[0]
    if kind == "missing":
        assert result.stderr == f"qarv-convert: {config}: No such file or directory (os error 2)\n"
    else:
        assert first == f"qarv-convert: {config}: invalid configuration"
    assert "qarv'" not in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("missing", ["qarv", "a module the toolkit needs"])
def test_convert_without_a_toolkit_says_so_and_how_to_fix_it(tmp_path, toolkit, missing):
    if missing != "qarv":
        (tmp_path / "toolkit" / "qarv" / "api.py").write_text("import qarv_needs_this\n")
    result = run("convert", "-q", write(tmp_path, ""), toolkit=None if missing == "qarv" else toolkit)
    assert result.returncode == 1
    message, *hint = result.stderr.splitlines()
    if missing == "qarv":
        assert message == "qarv-convert: ModuleNotFoundError: No module named 'qarv'"
        assert hint[0].startswith("qarv-convert: hint:") and "PYTHONPATH" in hint[0] and sys.executable in hint[0]
    else:  # the toolkit is there; how to make it importable is beside the point
        assert (message, hint) == ("qarv-convert: ModuleNotFoundError: No module named 'qarv_needs_this'", [])


@pytest.mark.parametrize("strict", [False, True])
def test_convert_warns_about_ignored_keys_before_the_first_step(tmp_path, toolkit, strict):
    config = write(tmp_path, "[build]\ndatset = 'd.txt'\n")
    checked = run("check", config)
    result = run("convert", *(["--strict"] if strict else []), config, toolkit=toolkit)
    warnings = result.stderr.split("[1/5]")[0]
    assert warnings.startswith(checked.stderr)
    if strict:
        assert result.returncode == 1 and not toolkit.exists()
        assert result.stderr.endswith(f"qarv-convert: {config}: not converting with --strict while there are warnings\n")
    else:
        assert result.returncode == 0 and toolkit.read_text().splitlines()[-1] == "4. export_qarv(None)"
        assert "did you mean `dataset`?" in warnings


@pytest.mark.parametrize("args", [[], ["convert"], ["frobnicate", "x.toml"], ["check", "--bogus", "x.toml"],
                                  ["init", "a.toml", "b.toml"], ["plan", "--xml", "x.toml"]])
def test_usage_errors_exit_2(args):
    assert run(*args).returncode == 2


@pytest.mark.parametrize("command", ["init", "convert", "explain", "plan", "check", "schema"])
def test_every_command_has_help(command):
    result = run(command, "--help")
    assert result.returncode == 0 and "usage: qarv-convert " + command in result.stdout


def test_version_is_the_package_version():
    import importlib.metadata

    result = run("--version")
    assert (result.returncode, result.stdout) == (0, f"qarv-convert {importlib.metadata.version('qarv-convert')}\n")


def test_explain_prints_the_summary(tmp_path):
    result = run("explain", write(tmp_path, "[build]\ndataset = './d.txt'\n"))
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


def test_check_finds_typos_in_every_section(tmp_path):
    result = run("check", write(tmp_path, CHECK_FILE))
    assert result.returncode == 0
    blocks = [b for b in result.stderr.split("\n\n") if b.startswith("warning at")]
    found = [(b.splitlines()[0], b.splitlines()[-1]) for b in blocks]
    assert found == [
        ("warning at line 2, column 1",
         "unknown key `quant_img_rgb2bgr` in [config] is ignored; did you mean `quant_img_RGB2BGR`?"),
        ("warning at line 5, column 1", "unknown key `datset` in [build] is ignored; did you mean `dataset`?"),
        ("warning at line 8, column 1", "unknown key `Model` in [load] is ignored; did you mean `model`?"),
        ("warning at line 10, column 1",
         "unknown key `input` in [accuracy_analysis] is ignored; did you mean `inputs`?"),
        ("warning at line 12, column 1",
         "unknown key `exportpath` in [export] is ignored; did you mean `export_path`?"),
        ("warning at line 13, column 2", "unknown table `exports` is ignored; did you mean `export`?"),
    ]
    assert blocks[0].splitlines()[1:4] == ["  |", "2 | quant_img_rgb2bgr = true", "  | " + "^" * 17]
    assert result.stderr.rstrip().endswith(": 6 warnings")
    assert run("check", "--strict", write(tmp_path, CHECK_FILE)).returncode == 1


def test_check_passes_clean_files_even_when_strict():
    for example in EXAMPLES.glob("*.toml"):
        result = run("check", "--strict", str(example))
        assert result.returncode == 0, result.stderr
        assert result.stderr.endswith(": ok\n")


@pytest.fixture(scope="module")
def schema():
    result = run("schema")
    assert result.returncode == 0
    return json.loads(result.stdout)


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


def test_explain_ends_quietly_when_the_reader_goes_away(tmp_path):
    # A summary far larger than a pipe's buffer, so that writing outlives the reader.
    config = write(tmp_path, f"[config]\ncustom_string = '{'x' * 200_000}'\n")
    process = subprocess.Popen(
        [sys.executable, "-m", "qarv_convert", "explain", config], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    process.stdout.read(100)
    process.stdout.close()
    assert process.wait() != 0
    assert process.stderr.read() == b""


def test_init_writes_a_complete_file_that_loads_cleanly(tmp_path, schema):
    path = tmp_path / "new.toml"
    result = run("init", str(path))
    assert result.returncode == 0, result.stderr
    text = path.read_text()
    assert run("init", "-").stdout == text
    for command in ("explain", "plan"):
        assert run(command, str(path)).returncode == 0
    assert run("check", "--strict", str(path)).stderr == f"{path}: ok\n"
    # Every table and key is there, with a line that says its default or that it must be chosen.
    for section, document in schema["properties"].items():
        assert f"\n[{section}]\n" in text
        for key in document["properties"]:
            block = re.search(rf"((?:# .*\n)+)(?:# )?{key} = ", text)
            assert block and re.search("# (Default: |Required|CHOOSE)", block[1]), key
    assert re.search(r"# CHOOSE .*\nmodel = ", text)
    # Taking every commented-out key in still gives a file without a warning.
    uncommented = tmp_path / "all.toml"
    uncommented.write_text(re.sub(r"(?m)^# (\w+ = )", r"\1", text))
    assert run("check", "--strict", str(uncommented)).stderr == f"{uncommented}: ok\n"


def test_init_never_overwrites_without_force(tmp_path):
    path = tmp_path / "mine.toml"
    path.write_text("# my own\n")
    refused = run("init", str(path))
    assert refused.returncode == 1 and path.read_text() == "# my own\n"
    assert refused.stderr == f"qarv-convert: {path}: already exists; use --force to replace it\n"
    assert run("init", "--force", str(path)).returncode == 0
    assert "[load]" in path.read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["mine.toml"]  # no temporary file left


def test_plan_json_lists_the_calls_with_arrays_by_shape(tmp_path):
    pytest.importorskip("numpy")
    example = EXAMPLES / "detector.toml"
    subprocess.run([sys.executable, str(EXAMPLES / "make_model.py"), str(example), "--into", str(tmp_path)],
                   check=True, capture_output=True)
    result = run("plan", "--json", str(example), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    calls = json.loads(result.stdout)
    assert [call["method"] for call in calls] == ["config", "load_onnx", "build", "export_qarv"]
    assert all(sorted(call) == ["args", "kwargs", "method"] for call in calls)
    load = calls[1]
    assert load["args"] == ["detector.onnx"]
    assert load["kwargs"]["input_size_list"] == [[1, 3, 640, 640], [1, 256]]
    assert [array["shape"] for array in load["kwargs"]["input_initial_val"]] == [[1, 3, 640, 640], [1, 256]]
    assert calls[3] == {"method": "export_qarv", "args": ["detector.qarv"], "kwargs": {}}


def read_record(path):
    record = json.loads(path.read_text())
    assert sorted(p.name for p in path.parent.iterdir() if p.name.startswith(f".{path.name}")) == []
    return record


def test_record_of_a_successful_run(tmp_path, toolkit):
    config = write(tmp_path, "[build]\ndataset = 'd.txt'\n")
    record_path = tmp_path / "run.json"
    result = run("convert", "-q", "--record", str(record_path), config, toolkit=toolkit)
    assert result.returncode == 0, result.stderr
    record = read_record(record_path)
    assert record["status"] == "succeeded" and record["failure"] is None
    assert record["configuration"] == {
        "path": config, "sha256": hashlib.sha256(pathlib.Path(config).read_bytes()).hexdigest()}
    assert record["toolkit_version"] == TOOLKIT_VERSION
    assert [step["method"] for step in record["steps"]] == ["config", "load_onnx", "build", "export_qarv"]
    build = record["steps"][2]
    assert build["keywords"] == ["do_quantization", "dataset", "auto_hybrid"] and build["result"] == 0
    assert all(step["seconds"] >= 0 for step in record["steps"])


@pytest.mark.parametrize(
    "text, env, failure, methods",
    [
        ("", {"FAIL_build": "3"}, "RuntimeError: qarv.build failed with code 3", ["config", "load_onnx", "build"]),
        ("[build]\ndo_quantization = 'yes'\n", {}, "TOML parse error at line 2", []),
        ("[build]\ndatset = 1\n", {}, "not converted", []),
    ],
    ids=["failing step", "invalid file", "strict"],
)
def test_record_of_a_failed_run(tmp_path, toolkit, text, env, failure, methods):
    record_path = tmp_path / "run.json"
    record_path.write_text("an older record")
    result = run("convert", "-q", "--strict", "--record", str(record_path), write(tmp_path, text),
                 toolkit=toolkit, env=env)
    assert result.returncode == 1
    record = read_record(record_path)
    assert record["status"] == "failed" and record["failure"].startswith(failure)
    assert [step["method"] for step in record["steps"]] == methods
    if methods:
        assert record["steps"][-1]["result"] == 3


def test_record_without_a_directory_is_refused_before_converting(tmp_path, toolkit):
    result = run("convert", "--record", str(tmp_path / "no" / "run.json"), write(tmp_path, ""), toolkit=toolkit)
    assert result.returncode == 1 and not toolkit.exists()


@pytest.mark.parametrize("args", [["explain", "CONFIG"], ["plan", "CONFIG"], ["plan", "--json", "CONFIG"],
                                  ["schema"], ["init", "-"]])
@pytest.mark.parametrize("stdout", ["closed", "full"])
def test_output_that_cannot_be_written_is_a_failure(tmp_path, args, stdout):
    config = write(tmp_path, "")
    args = [config if arg == "CONFIG" else arg for arg in args]
    if stdout == "full":
        with open("/dev/full", "w") as full:
            result = run(*args, stdout=full)
    else:
        result = run(*args, stdout="closed")
    assert result.returncode == 1
    reason = "it is closed" if stdout == "closed" else "No space left on device"
    assert re.fullmatch(f"qarv-convert: cannot write to standard output: {reason}.*\n", result.stderr)


def test_file_names_that_are_not_utf8(tmp_path, toolkit):
    directory = os.fsencode(tmp_path)
    config = os.fsdecode(directory + b"/caf\xe9.toml")
    with open(directory + b"/caf\xe9.toml", "w") as out:
        out.write("[export]\nexport_path = 'out.qarv'\n")
    assert run("check", config).stderr == f"{tmp_path}/caf\\xe9.toml: ok\n"
    assert "[Configuration Summary]" in run("explain", config).stdout
    assert run("plan", config).stdout.endswith("4. export_qarv('out.qarv')\n")
    assert run("convert", "-q", config, toolkit=toolkit).returncode == 0
    missing = run("check", os.fsdecode(directory + b"/gone\xff.toml"))
    assert missing.stderr == f"qarv-convert: {tmp_path}/gone\\xff.toml: No such file or directory (os error 2)\n"


@pytest.mark.parametrize(
    "command, text, shown",
    [
        ("check", '[config]\n"a\\u001b]0;pwned\\u0007" = 1\n', "a\\u001b]0;pwned\\u0007"),
        ("explain", '[build]\ndataset = 1 # \x9b31m\n', "# \\u009b31m"),
        ("plan", '[build]\ndataset = "\x9b31m\\u007f"\n', '"dataset": "\\u009b31m\\u007f"'),
    ],
)
def test_text_from_the_file_reaches_the_terminal_escaped(tmp_path, command, text, shown):
    path = tmp_path / "config.toml"
    path.write_bytes(text.encode())
    result = run(command, *(["--json"] if command == "plan" else []), str(path))
    assert shown in result.stderr + result.stdout
    assert not re.search("[\x00-\x08\x0b-\x1f\x7f-\x9f]", result.stderr + result.stdout)
    if command == "plan":
        assert json.loads(result.stdout)[2]["kwargs"]["dataset"] == "\x9b31m\x7f"


def test_convert_reads_a_pipe_once_for_checking_and_converting(tmp_path, toolkit):
    result = run("convert", "-q", "/dev/stdin", input="[export]\nexport_path = 'piped.qarv'\n", toolkit=toolkit)
    assert result.returncode == 0, result.stderr
    assert toolkit.read_text().splitlines()[-1] == "4. export_qarv('piped.qarv')"


def start_slow_build(tmp_path, toolkit, *args, **popen):
    """Starts a conversion whose build step sleeps for a minute."""
    return subprocess.Popen(
        [sys.executable, "-m", "qarv_convert", "convert", *args, write(tmp_path, "")],
        env=environment(toolkit, {"SLEEP_build": "60"}), **popen)


def test_ctrl_c_during_a_step_ends_the_run_with_130_and_a_record(tmp_path, toolkit):
    record_path = tmp_path / "run.json"
    process = start_slow_build(tmp_path, toolkit, "--record", str(record_path), stderr=subprocess.PIPE, text=True)
    output = ""
    while "[3/5] build ..." not in output:
        output += process.stderr.readline()
    process.send_signal(signal.SIGINT)
    output += process.stderr.read()
    assert process.wait(timeout=20) == 130
    assert output.endswith("qarv-convert: interrupted\n") and "Traceback" not in output
    record = read_record(record_path)
    assert (record["status"], record["failure"]) == ("failed", "interrupted")
    assert record["steps"][-1]["method"] == "build"


def read_terminal(master, process, until=None, timeout=30):
    """What the process writes to the pseudo-terminal, up to `until` or until it ends."""
    output, deadline = b"", time.monotonic() + timeout
    while time.monotonic() < deadline and not (until and until in output):
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the process closed its end
                break
            if not chunk:
                break
            output += chunk
        elif process.poll() is not None:
            break
    return output


@pytest.mark.parametrize("interrupt", [False, True])
def test_a_terminal_shows_the_running_step_with_a_live_counter(tmp_path, toolkit, interrupt):
    master, slave = pty.openpty()
    try:
        sleep = "60" if interrupt else "1.6"
        process = subprocess.Popen(
            [sys.executable, "-m", "qarv_convert", "convert", write(tmp_path, "")],
            env=environment(toolkit, {"SLEEP_build": sleep, "SAY_build": "building"}), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=slave)
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
        assert re.search(r"\r\[3/5\] build returned 0 after 1\.\d+ s\x1b\[K\r\n", text)


def test_streams_are_read_interruptibly_and_within_bounds(tmp_path):
    endless = run("check", "/dev/zero")
    assert endless.returncode == 1
    assert endless.stderr == "qarv-convert: /dev/zero: not a regular file and longer than 64 MiB\n"
    # A pipe whose writer never finishes: Ctrl-C ends the wait.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    process = subprocess.Popen([sys.executable, "-m", "qarv_convert", "check", str(fifo)],
                               stderr=subprocess.PIPE, text=True)
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


@pytest.mark.parametrize(
    "error, expected",
    [
        (OSError(errno.ENOSPC, "No space left on device"), "qarv-convert: cannot write to standard output: No space left on device"),
        (FileNotFoundError(errno.ENOENT, "No such file or directory"), "qarv-convert: CONFIG: [Errno 2] No such file or directory"),
    ],
)
def test_explain_takes_failures_raised_as_oserror(monkeypatch, capsys, tmp_path, error, expected):
    # The module may raise its write failures as OSError rather than as an internal failure.
    import qarv_convert_inner
    from qarv_convert.cli import main

    def fail(path):
        raise error

    monkeypatch.setattr(qarv_convert_inner, "rust_explain", fail)
    config = write(tmp_path, "")
    sigpipe = signal.getsignal(signal.SIGPIPE)  # explain restores the default, which pytest must not keep
    try:
        assert main(["explain", config]) == 1
    finally:
        signal.signal(signal.SIGPIPE, sigpipe)
    assert capsys.readouterr().err == expected.replace("CONFIG", config) + "\n"


def test_a_toolkit_result_that_cannot_be_shown(tmp_path, toolkit):
    # A step that returns an object whose repr raises: the run fails as the module says, and the
    # step line and the record still get written.
    (tmp_path / "toolkit" / "qarv" / "api.py").write_text(textwrap.dedent(
        """
        class Odd:
            def __repr__(self):
                raise ValueError("no")

        class QARV:
            def __getattr__(self, name):
                return lambda *args, **kwargs: Odd() if name == "build" else 0
        """))
    record_path = tmp_path / "run.json"
    result = run("convert", "--record", str(record_path), write(tmp_path, ""), toolkit=toolkit)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert "[3/5] build returned <Odd whose repr raised ValueError> after" in result.stderr
    record = read_record(record_path)
    assert record["steps"][-1]["result"] == "<Odd whose repr raised ValueError>"
    assert result.stderr.endswith(f"qarv-convert: {record['failure']}\n")
