"""The pre-flight checks as the commands run them: check, convert, plan, init --model and -C."""
import json
import os

import pytest

from onnx_fixtures import classifier, model, save, tensor

CLEAN = '[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\n[build]\ndo_quantization = false\n'


@pytest.fixture
def project(tmp_path, monkeypatch):
    """A directory with a classifier model, a clean configuration and one that names a wrong input."""
    classifier(tmp_path / "model.onnx")
    (tmp_path / "clean.toml").write_text(CLEAN)
    (tmp_path / "wrong.toml").write_text(CLEAN.replace("[build]", 'inputs = ["imput"]\n[build]'))
    (tmp_path / "warned.toml").write_text(CLEAN + "qarv_batch_size = 0\n")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("files, strict, status", [
    (["clean.toml"], False, 0),
    (["clean.toml", "warned.toml"], False, 0),
    (["clean.toml", "warned.toml"], True, 1),
    (["clean.toml", "wrong.toml"], False, 1),
])
def test_check_exit_status_over_several_files(cli, project, files, strict, status):
    result = cli("check", *(["--strict"] if strict else []), *files)
    assert result.returncode == status
    assert [line for line in result.stderr.splitlines() if line.endswith((": ok", "warning", "error"))] == [
        {"clean.toml": "clean.toml: ok", "warned.toml": "warned.toml: 1 warning",
         "wrong.toml": "wrong.toml: 1 error"}[name] for name in files]


def test_check_text_lines_name_file_line_and_column(cli, project):
    lines = cli("check", "wrong.toml").stderr.splitlines()
    assert lines == [
        "wrong.toml:4:11: error: `imput` is not an input of `model.onnx`; its inputs are `input`; did you mean `input`?",
        "  |", '4 | inputs = ["imput"]', "  |           ^^^^^^^", "wrong.toml: 1 error"]


def test_check_json_is_one_object_per_file_on_stdout(cli, project):
    result = cli("check", "--format", "json", "clean.toml", "wrong.toml")
    assert result.returncode == 1 and result.stderr == ""
    assert json.loads(result.stdout) == [
        {"path": "clean.toml", "errors": 0, "warnings": 0, "diagnostics": []},
        {"path": "wrong.toml", "errors": 1, "warnings": 0, "diagnostics": [
            {"severity": "error", "key": "load.inputs[0]", "line": 4, "column": 11,
             "message": "`imput` is not an input of `model.onnx`; its inputs are `input`; did you mean `input`?"}]},
    ]


def test_minus_c_runs_as_if_started_there(cli, project, tmp_path_factory):
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    assert cli("check", "-C", project, "clean.toml", cwd=elsewhere).returncode == 0
    missing = cli("check", project / "clean.toml", cwd=elsewhere)
    assert missing.returncode == 1 and f"run with -C {os.path.relpath(project, elsewhere)}\n" in missing.stderr
    assert cli("check", "-C", project / "nowhere", "clean.toml").stderr.endswith("No such file or directory\n")


def test_convert_stops_before_any_step_on_an_error(cli, fake_qarv, project):
    result = cli("convert", "wrong.toml")
    assert result.returncode == 1 and fake_qarv.calls == []
    assert result.stderr.endswith("qarv-convert: wrong.toml: not converting: the pre-flight checks found errors\n")
    assert "wrong.toml:4:11: error:" in result.stderr


def test_convert_without_preflight_leaves_the_model_out(cli, fake_qarv, project):
    (project / "model.onnx").unlink()
    assert cli("convert", "-q", "clean.toml").returncode == 1
    assert cli("convert", "-q", "--no-preflight", "clean.toml").returncode == 0
    assert fake_qarv.steps == ["config", "load_onnx", "build", "export_qarv"]


def test_convert_runs_a_clean_file_quietly(cli, fake_qarv, project):
    result = cli("convert", "-q", "clean.toml")
    assert (result.returncode, result.stderr) == (0, "")


def test_plan_puts_diagnostics_on_stderr_and_fails_on_errors(cli, project):
    warned = cli("plan", "warned.toml")
    assert warned.returncode == 0 and "qarv_batch_size=0" in warned.stdout
    assert "warned.toml:6:19: warning: `qarv_batch_size` is 0" in warned.stderr
    wrong = cli("plan", "wrong.toml")
    assert (wrong.returncode, wrong.stdout) == (1, "") and "error: `imput`" in wrong.stderr


def test_init_from_a_model_fills_the_graph_keys(cli, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    save(model([tensor("images", shape=["batch", 3, 64, 64]), tensor("state", shape=[1, 8])],
               [tensor("boxes", shape=None)]), tmp_path / "detector.onnx")
    result = cli("init", "--model", "detector.onnx", "new.toml")
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "new.toml").read_text()
    assert 'model = "detector.onnx"\n' in text and 'inputs = ["images", "state"]\n' in text
    assert 'outputs = ["boxes"]\n' in text
    assert 'input_size_list = [[1, 3, 64, 64], [1, 8]]  # CHOOSE the sizes of "batch" of "images"' in text
    assert "# mean_values = [0.0, 0.0, 0.0]\n" in text and "# std_values = [1.0, 1.0, 1.0]\n" in text
    report = json.loads(cli("check", "--format", "json", "new.toml").stdout)[0]
    # Only what is left to decide, each marked: the batch size and the dataset.
    assert [(d["key"], d["severity"]) for d in report["diagnostics"]] == [
        ("load.input_size_list", "warning"), ("build.dataset", "warning"), ("build.dataset", "error")]


@pytest.mark.parametrize("contents, message", [(None, "No such file or directory"),
                                               (b"\x3a\x05", "not an ONNX model: length 5 of field 7")])
def test_init_refuses_a_model_it_cannot_read(cli, tmp_path, contents, message):
    if contents is not None:
        (tmp_path / "m.onnx").write_bytes(contents)
    result = cli("init", "--model", tmp_path / "m.onnx")
    assert result.returncode == 1 and message in result.stderr and result.stdout == ""
