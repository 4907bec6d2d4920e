"""The command line's options for daily use: overrides, hints, tracebacks, records, progress, env
and the explain formats, run in-process through `main(argv)`."""
import contextlib
import io
import json
import os
import sys

import pytest

from conftest import EXAMPLES

#: A file the pre-flight passes without a word: no quantization, so no dataset is wanted.
UNQUANTIZED = "[build]\ndo_quantization = false\n"


@pytest.fixture
def fake(fake_qarv):
    fake_qarv.package.__version__ = "9.8.7"
    return fake_qarv


# --- --set SECTION.KEY=VALUE ---------------------------------------------------------------------

@pytest.mark.parametrize(
    "file, overrides, expected",
    [
        # replacing a key the file sets; a later override of the same key wins
        ("[build]\ndataset = 'a.txt'\n", ["build.dataset='b.txt'"], {"build": {"dataset": "b.txt"}}),
        ("", ["build.dataset='b'", "build.dataset='c'"], {"build": {"dataset": "c"}}),
        # a table the file lacks is made; [load] keeps its settled tag
        ("", ["accuracy_analysis.inputs=['x.jpg']"], {"accuracy_analysis": {"inputs": ["x.jpg"]}}),
        ("", ["load.model='m.onnx'"], {"load_onnx": "m.onnx"}),
        ("[accuracy_analysis]\noutput_dir = 'o'\n", ["accuracy_analysis.inputs=['x.jpg']"],
         {"accuracy_analysis": {"inputs": ["x.jpg"], "output_dir": "o"}}),
        # a faulty file value that an override replaces is never looked at
        ("[build]\ndataset = 5\n", ["build.dataset='d.txt'"], {"build": {"dataset": "d.txt"}}),
        ("[load]\nmodel_type = 'onnx'\n", ["load.model_type='Onnx'"], {}),
        # values in any TOML form, inline tables and integers for floats included
        ("", ['config.mean_values=[1, 2.5, 3]'], {"config": {"mean_values": [1.0, 2.5, 3.0]}}),
        ("", ['export = { export_path = "x.qarv" }'], {"export_qarv": "x.qarv"}),
    ],
)
def test_overrides_apply_over_the_file(cli, write_config, file, overrides, expected):
    args = [arg for override in overrides for arg in ("--set", override)]
    result = cli("plan", "--no-preflight", "--json", *args, write_config(file))
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["overrides"] == overrides
    calls = {call["method"]: call for call in document["calls"]}
    for method, wanted in expected.items():
        if isinstance(wanted, str):
            assert calls[method]["args"][0] == wanted
        else:
            assert {key: calls[method]["kwargs"][key] for key in wanted} == wanted


@pytest.mark.parametrize("command", ["explain", "check", "convert"])
def test_every_command_takes_overrides(cli, fake, write_config, command):
    config = write_config("[build]\ndataset = 5\n")
    preflight = [] if command in ("explain", "plan") else ["--no-preflight"]
    result = cli(command, *preflight, "--set", "build.dataset='d.txt'", config)
    assert result.returncode == 0, result.stderr
    if command == "explain":
        assert "║dataset        │d.txt│null   │Yes" in result.stdout
    if command == "convert":
        assert fake.calls[2] == ("build", (), {"do_quantization": True, "dataset": "d.txt", "auto_hybrid": False})


@pytest.mark.parametrize(
    "override, caret, message",
    [
        ("build.dataset=5", "              ^", "invalid type: integer `5`, expected a string"),
        ("build.dataset=x", "              ^", "unexpected `x`, expected a value"),
        ("build.datset=1", "      ^^^^^^", "unknown key `datset` in [build]; did you mean `dataset`?"),
        ("buld.dataset=1", "^^^^", "unknown table `buld`; did you mean `build`?"),
        ("build=1", "^^^^^^^", 'expected one key of one table, as in build.dataset = "images.txt"'),
        ("load.model=5", "           ^", "invalid type: integer `5`, expected a string"),
    ],
)
def test_a_bad_override_is_reported_against_its_own_text(cli, write_config, override, caret, message):
    result = cli("check", "--no-preflight", "--set", override, write_config("[load]\nmodel_type = 'Onnx'\n"))
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[:6] == [f"qarv-convert: --set {override}: invalid override", "TOML parse error at line 1, column "
                         + str(len(caret.split("^")[0]) + 1), "  |", f"1 | {override}", f"  | {caret}", message]


def test_file_faults_keep_their_positions_with_overrides(cli, write_config):
    config = write_config("[config]\n\noptimization_level = 256\n")
    result = cli("check", "--no-preflight", "--set", "build.dataset='d'", config)
    assert result.stderr.startswith(f"qarv-convert: {config}: invalid configuration\nTOML parse error at line 3, column 22\n")


@pytest.mark.parametrize("override", ["build.dataset='a'\nbuild.auto_hybrid=true", "no equals sign"])
def test_an_override_is_one_line_with_an_equals_sign(cli, write_config, override):
    assert cli("check", "--no-preflight", "--set", override, write_config("")).returncode == 2


def test_plan_json_without_overrides_is_the_list_of_calls(cli, write_config):
    assert isinstance(json.loads(cli("plan", "--no-preflight", "--json", write_config("")).stdout), list)


# --- hints under the module's reports --------------------------------------------------------------

@pytest.mark.parametrize(
    "text, hint",
    [
        ("[config]\noptimization_level = 256\n", "hint: u8 means an integer from 0 to 255"),
        ("[build]\nqarv_batch_size = 1.5\n", "hint: i32 means an integer from -2147483648 to 2147483647"),
        ("[load]\nmodel_type = 'Onnx'\ninput_size_list = [[-1]]\n",
         "hint: usize means an integer from 0 to 18446744073709551615"),
        ("[accuracy_analysis]\ninputs = 'a.jpg'\n", "hint: a sequence means a list, as in [1, 2]"),
        ("[build]\ndo_quantization = True\n", "hint: TOML booleans are lowercase: true or false"),
        ("[load]\nmodel = 'm.onnx'\n", 'hint: [load] needs the line model_type = "Onnx"'),
        ("[load]\nmodel_type = 'onnx'\n", 'hint: write model_type = "Onnx"; ONNX is the one model type'),
        ("[load]\nmodel_type = 0\n", 'hint: write model_type = "Onnx"; ONNX is the one model type'),
    ],
)
def test_reports_get_a_hint_under_the_module_text(cli, write_config, text, hint):
    result = cli("check", "--no-preflight", write_config(text))
    assert result.returncode == 1
    assert hint in result.stderr.splitlines()[6:]


def test_a_fault_in_load_gets_a_note_at_the_keys_value(cli, write_config):
    result = cli("check", "--no-preflight", write_config("[load]\nmodel_type = 'Onnx'\n\nmodel = 5\n"))
    assert result.stderr.splitlines()[3:] == [
        "1 | [load]", "  | ^^^^^^", "invalid type: integer `5`, expected a string",
        "note: `model` in [load] is at line 4, column 9", "  |", "4 | model = 5", "  |         ^",
    ]


def test_quoted_lines_of_crlf_files_lose_the_carriage_return(cli, tmp_path):
    path = tmp_path / "crlf.toml"
    path.write_bytes(b'[build]\r\ndo_quantization = "x"\r\n')
    result = cli("check", "--no-preflight", path)
    assert '2 | do_quantization = "x"\n' in result.stderr and "\\u000d" not in result.stderr


# --- tracebacks and records ------------------------------------------------------------------------

def broken_build():
    def deep():
        raise ValueError("boom")

    deep()


@pytest.mark.parametrize("traceback", [False, True])
def test_traceback_shows_the_toolkit_exception_and_the_record_keeps_it(tmp_path, cli, fake, write_config, traceback):
    fake.outcomes["build"] = broken_build
    record_path = tmp_path / "run.json"
    config = write_config(UNQUANTIZED)
    result = cli("convert", "--no-preflight", "-q", "--record", record_path, *(["--traceback"] if traceback else []), config)
    assert result.returncode == 1
    assert result.stderr.startswith(f"qarv-convert: {config}: ValueError: boom\n")
    assert ("Traceback (most recent call last)" in result.stderr) == traceback
    record = json.loads(record_path.read_text())
    assert "in deep\n" in record["traceback"] and record["traceback"].endswith("ValueError: boom\n")
    assert "toolkit_proxy" not in record["traceback"]  # the proxy's own frame is left out
    if traceback:
        assert record["traceback"].rstrip("\n") in result.stderr


def test_record_of_an_interrupted_run(tmp_path, cli, fake, write_config):
    fake.outcomes["build"] = KeyboardInterrupt
    record_path = tmp_path / "run.json"
    result = cli("convert", "--no-preflight", "-q", "--record", record_path, write_config(UNQUANTIZED))
    assert (result.returncode, result.stderr) == (130, "qarv-convert: interrupted\n")
    record = json.loads(record_path.read_text())
    assert (record["status"], record["steps"][-1]["method"]) == ("interrupted", "build")


@pytest.mark.parametrize("target, reason", [(".", "is a directory"), ("no/run.json", "no such directory for the record"),
                                            ("file/run.json", "no such directory for the record")])
def test_a_record_with_nowhere_to_go_is_refused_before_the_first_step(tmp_path, cli, fake, write_config, target, reason):
    (tmp_path / "file").write_text("")
    result = cli("convert", "--no-preflight", "--record", tmp_path / target, write_config(""))
    assert result.returncode == 1 and fake.calls == []
    assert result.stderr.endswith(f": {reason}\n")


def test_record_to_stdout_with_arrays_by_shape(tmp_path, cli, fake, example_materials):
    pytest.importorskip("numpy")
    example = EXAMPLES / "detector.toml"
    example_materials(example, tmp_path)
    result = cli("convert", "--no-preflight", "-q", "--record", "-", "--set", "build.do_quantization=true", example, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout)
    assert record["overrides"] == ["build.do_quantization=true"]
    load = record["steps"][1]
    assert load["keywords"]["input_initial_val"] == [{"shape": [1, 3, 640, 640], "dtype": "float32"},
                                                     {"shape": [1, 256], "dtype": "float32"}]
    assert record["steps"][2]["keywords"]["do_quantization"] is True


@contextlib.contextmanager
def standard_input(data):
    """File descriptor 0 reads `data` from a pipe for the block."""
    saved = os.dup(0)
    reading, writing = os.pipe()
    os.write(writing, data)
    os.close(writing)
    os.dup2(reading, 0)
    os.close(reading)
    try:
        yield
    finally:
        os.dup2(saved, 0)
        os.close(saved)


@pytest.mark.parametrize("command", ["check", "explain", "plan", "convert"])
def test_dash_reads_the_configuration_from_standard_input(cli, fake, command):
    with standard_input(b"[export]\nexport_path = 'piped.qarv'\n"):
        result = cli(command, *([] if command == "explain" else ["--no-preflight"]), "-")
    assert result.returncode == 0, result.stderr
    shown = {"check": (result.stderr, "<stdin>: 1 warning"), "explain": (result.stdout, "║export_path│piped.qarv"),
             "plan": (result.stdout, "export_qarv('piped.qarv')"), "convert": (result.stderr, "piped.qarv not found")}
    text, expected = shown[command]
    assert expected in text


def test_a_faulty_file_on_standard_input_is_named_so(cli):
    with standard_input(b"[build\n"):
        result = cli("check", "--no-preflight", "-")
    assert result.stderr.startswith("qarv-convert: <stdin>: invalid configuration\n")


# --- progress --------------------------------------------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("environment, live", [({}, True), ({"TERM": "dumb"}, False), ({"NO_COLOR": "1"}, False)])
def test_terminals_that_want_plain_lines_get_them(monkeypatch, cli, fake, write_config, environment, live):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("TERM", "xterm")
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli("convert", "--no-preflight", write_config("")).returncode == 0
    shown = terminal.getvalue()
    assert ("\x1b[K" in shown) == live and ("\r" in shown) == live
    assert "[3/5] build returned 0 after" in shown


def test_progress_names_skipped_steps_and_the_artifact(tmp_path, cli, fake, write_config):
    fake.outcomes["export_qarv"] = lambda: (tmp_path / "out.qarv").write_bytes(b"x" * 2048) and 0
    result = cli("convert", "--no-preflight", write_config("[accuracy_analysis]\ninputs = []\n[export]\nexport_path = 'out.qarv'\n"),
                 cwd=tmp_path)
    lines = result.stderr.splitlines()
    assert "[4/5] accuracy_analysis skipped: no inputs" in lines
    assert lines[-1].startswith("conversion finished after ") and lines[-1].endswith(" s: wrote out.qarv (2.0 KiB)")


def test_verbose_shows_each_call_before_it_is_made(cli, fake, write_config):
    result = cli("convert", "--no-preflight", "-v", write_config("[build]\ndataset = 'd.txt'\n"))
    lines = result.stderr.splitlines()
    at = lines.index("[3/5] build(do_quantization=True, dataset='d.txt', auto_hybrid=False)")
    assert lines[at + 1] == "[3/5] build ..."
    assert "[2/5] load_onnx('model.onnx')" in lines and "[5/5] export_qarv(None)" in lines


# --- env -------------------------------------------------------------------------------------------

@pytest.mark.parametrize("with_toolkit", [False, True])
def test_env_prints_the_versions_for_a_bug_report(request, cli, with_toolkit):
    if with_toolkit:
        request.getfixturevalue("fake")
    elif "qarv" in sys.modules:
        pytest.skip("a toolkit is imported")
    result = cli("env")
    assert result.returncode == 0
    labels = [line.split(":")[0] for line in result.stdout.splitlines()]
    assert labels == ["qarv-convert", "qarv_convert_inner", "python", "platform", "numpy", "toolkit (qarv)"]
    toolkit = result.stdout.splitlines()[-1]
    assert toolkit.endswith("9.8.7") if with_toolkit else "not importable (ModuleNotFoundError" in toolkit


# --- explain --changed and --format ------------------------------------------------------------------

CHANGED = "[build]\ndataset = 'd.txt'\ndo_quantization = true\n[config]\nmean_values = [58.395]\n"


def test_explain_changed_keeps_only_rows_that_differ_in_the_same_tables(cli, write_config):
    result = cli("explain", "--changed", write_config(CHANGED))
    assert result.returncode == 0
    rows = [line.split("│")[0].strip("║ ") for line in result.stdout.splitlines() if line.startswith("║")]
    assert rows == ["Key", "mean_values", "Key", "dataset"]
    assert "[load]" not in result.stdout and result.stdout.startswith("\n[Configuration Summary]\n\n[config]\n╔")


def test_explain_json_gives_the_rows_with_typed_values(cli, write_config):
    rows = json.loads(cli("explain", "--format", "json", write_config(CHANGED)).stdout)
    assert [row["section"] for row in rows][:3] == ["config"] * 3
    by_key = {(row["section"], row["key"]): row for row in rows}
    assert by_key["config", "mean_values"]["value"] == [58.39500045776367]
    assert by_key["build", "dataset"] == {"section": "build", "key": "dataset", "value": "d.txt", "default": None,
                                          "set_by_user": True,
                                          "description": "Path to dataset file for quantization (default: None)"}
    assert by_key["build", "do_quantization"]["set_by_user"] is False
    changed = json.loads(cli("explain", "--format", "json", "--changed", write_config(CHANGED)).stdout)
    assert [(row["section"], row["key"]) for row in changed] == [("config", "mean_values"), ("build", "dataset")]


def test_explain_markdown(cli, write_config):
    result = cli("explain", "--format", "markdown", "--changed", "--set", "config.custom_string='a|b'",
                 write_config(CHANGED))
    assert result.stdout == """\
### [config]

| Key | Value | Default | Set by User? | Description |
|---|---|---|---|---|
| `custom_string` | a\\|b | null | Yes | A custom string to add to the model. |
| `mean_values` | [58.39500045776367] | null | Yes | Mean values for normalization. |

### [build]

| Key | Value | Default | Set by User? | Description |
|---|---|---|---|---|
| `dataset` | d.txt | null | Yes | Path to dataset file for quantization (default: None) |

"""


# --- start-up ----------------------------------------------------------------------------------------

def test_start_up_commands_import_only_what_they_need(tmp_path):
    # Without site, so that only what the command line itself imports shows.
    import subprocess

    import qarv_convert

    script = """
import sys
from qarv_convert import main
for args in (["--version"], ["--help"], ["check", sys.argv[1]], ["explain", sys.argv[1]], ["plan", sys.argv[1]]):
    try:
        main(args)
    except SystemExit:
        pass
# The pre-flight that check and plan run reads the schema's limits (json) and types its
# diagnostics (typing); both cost about a millisecond, so they are not on the list.
heavy = ("importlib.metadata", "dataclasses", "datetime", "hashlib", "email", "socket", "zipfile",
         "tempfile", "threading", "inspect", "shutil")
print(",".join(sorted(name for name in heavy if name in sys.modules)), file=sys.stderr)
"""
    environment = {**os.environ, "PYTHONPATH": os.path.dirname(qarv_convert.__path__[0])}
    result = subprocess.run([sys.executable, "-S", "-c", script, str(EXAMPLES / "resnet50.toml")], env=environment,
                            capture_output=True, text=True, timeout=60)
    assert result.stderr.splitlines()[-1] == ""


def test_ctrl_c_while_the_command_line_is_imported_exits_130(monkeypatch, capfd):
    import qarv_convert

    class Interrupting:
        def find_spec(self, name, path=None, target=None):
            if name == "qarv_convert.cli":
                raise KeyboardInterrupt
            return None

    monkeypatch.delitem(sys.modules, "qarv_convert.cli", raising=False)
    monkeypatch.setattr(sys, "meta_path", [Interrupting(), *sys.meta_path])
    assert qarv_convert.main(["schema"]) == 130
    assert capfd.readouterr().err == "qarv-convert: interrupted\n"
