"""`init --model` on real models: paths the written file's checks find, a file that passes once its
CHOOSE values are set, and names from a hostile model that stay names."""
import json
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from qarv_convert import _native
from qarv_convert.starter import starter_configuration

from onnx_fixtures import classifier, model, save, tensor


def set_choices(path, dataset):
    """What a user does with a fresh file: each value marked CHOOSE set, the marker removed."""
    text = path.read_text()
    text = re.sub(r"  # CHOOSE.*", "", text)
    text = re.sub(r"(?m)^# CHOOSE.*\n", "", text).replace('"dataset.txt"', json.dumps(dataset))
    path.write_text(text)


def test_a_fresh_file_passes_strict_once_its_choices_are_set(cli, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub" / "samples").mkdir(parents=True)
    classifier(tmp_path / "sub" / "m.onnx", shape=(-1, 3, 224, 224))
    for index in range(20):
        # Distinct pixels: constant or repeated samples are faults of their own.
        pixels = np.random.default_rng(index).integers(0, 256, (1, 3, 224, 224)).astype(np.float32)
        np.save(tmp_path / f"sub/samples/{index}.npy", pixels)
    (tmp_path / "sub" / "list.txt").write_text("".join(f"samples/{index}.npy\n" for index in range(20)))
    result = cli("init", "--model", "sub/m.onnx", "sub/c.toml")
    assert result.stderr == ("qarv-convert: wrote sub/c.toml; set the values marked CHOOSE, then run: "
                             "qarv-convert check --strict -C sub c.toml\n")
    text = (tmp_path / "sub" / "c.toml").read_text()
    assert 'model = "m.onnx"\n' in text and "input_size_list = [[1, 3, 224, 224]]  # CHOOSE" in text
    assert "# std_values = [1.0, 1.0, 1.0]\n" in text
    set_choices(tmp_path / "sub" / "c.toml", "list.txt")
    checked = cli("check", "--strict", "-C", "sub", "c.toml")
    assert (checked.returncode, checked.stderr) == (0, "c.toml: ok\n")


@pytest.mark.parametrize("target, written", [("-", "m.onnx"), ("deeper/c.toml", None), ("../c.toml", "w/m.onnx")])
def test_the_model_path_is_relative_to_the_file_when_under_its_folder(cli, tmp_path, monkeypatch, target, written):
    (tmp_path / "w" / "deeper").mkdir(parents=True)
    monkeypatch.chdir(tmp_path / "w")
    classifier(tmp_path / "w" / "m.onnx")
    result = cli("init", "--model", "m.onnx", target)
    text = result.stdout if target == "-" else (tmp_path / "w" / target).read_text()
    expected = written if written is not None else str(tmp_path / "w" / "m.onnx")
    assert f"model = {json.dumps(expected)}\n" in text


def test_without_a_model_std_placeholders_are_one(cli):
    text = cli("init").stdout
    assert "# std_values = [1.0]\n" in text and "# mean_values = [0.0]\n" in text


# --- what a model's author writes into the file --------------------------------------------------

INJECTION = 'x\ninput_initial_val_file = "attacker.npy"\n#'


@pytest.mark.parametrize("name, dim", [(INJECTION, "n"), ("images", INJECTION), ("a\x00b", "\x1b[31m"),
                                        ('quote"back\\slash', "tab\there\r\n"), ("\u0085next\u2028line", "é")])
def test_names_from_the_model_stay_names(cli, tmp_path, name, dim):
    save(model([tensor(name, shape=[dim, 3, 8, 8])], [tensor("out", shape=None)]), tmp_path / "m.onnx")
    result = cli("init", "--model", tmp_path / "m.onnx", tmp_path / "c.toml")
    assert result.returncode == 0, result.stderr
    details = _native.load_details(str(tmp_path / "c.toml"), [])
    assert details["values"]["load"]["inputs"] == [name]
    assert details["values"]["load"]["input_initial_val_file"] is None
    assert _native.ignored_entries(str(tmp_path / "c.toml")) == []


def _with_bytes(path, placeholder, raw):
    """The model at `path` with the text `placeholder` replaced by bytes of the same length."""
    data = path.read_bytes()
    assert len(placeholder) == len(raw) and data.count(placeholder.encode()) >= 1
    path.write_bytes(data.replace(placeholder.encode(), raw))


@pytest.mark.parametrize("target", ["-", "c.toml"])
@pytest.mark.parametrize("where", ["name", "dim_param"])
def test_names_that_are_not_utf8_are_refused_alike_to_a_file_and_to_stdout(cli, tmp_path, monkeypatch, target, where):
    monkeypatch.chdir(tmp_path)
    save(model([tensor("NAMEX" if where == "name" else "x", shape=["DIMPX", 3])], [tensor("out", shape=None)]),
         tmp_path / "m.onnx")
    _with_bytes(tmp_path / "m.onnx", "NAMEX" if where == "name" else "DIMPX", b"ab\xff\xfec")
    result = cli("init", "--model", "m.onnx", target)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith("qarv-convert: m.onnx: the ") and "`ab\\xff\\xfec`" in result.stderr
    assert result.stderr.endswith(" is not valid UTF-8, and a configuration holds only UTF-8\n")
    assert not (tmp_path / "c.toml").exists()


def test_a_huge_channel_count_is_one_choose_marker(cli, tmp_path):
    save(model([tensor("x", shape=[1, 10 ** 9, 8, 8])], [tensor("y", shape=None)]), tmp_path / "m.onnx")
    result = cli("init", "--model", tmp_path / "m.onnx")
    assert result.returncode == 0 and len(result.stdout) < 20000
    assert "# mean_values = [0.0, ...]  # CHOOSE one value for each of the 1000000000 channels\n" in result.stdout


names = st.text(st.characters(exclude_categories=("Cs",)), min_size=1, max_size=12)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(names, min_size=2, max_size=4, unique=True), st.lists(names, min_size=1, max_size=3))
def test_any_names_and_dim_params_round_trip(tmp_path, all_names, dims):
    inputs, output = all_names[:-1], all_names[-1]
    built = model([tensor(name, shape=[*dims, 3]) for name in inputs], [tensor(output, shape=None)])
    save(built, tmp_path / "m.onnx")
    graph = _native.read_onnx_graph(str(tmp_path / "m.onnx"))
    (tmp_path / "c.toml").write_text(starter_configuration("0", "m.onnx", graph).text, encoding="utf-8")
    details = _native.load_details(str(tmp_path / "c.toml"), [])
    assert details["values"]["load"]["inputs"] == inputs
    assert details["values"]["load"]["outputs"] == [output]
    # Nothing from the model became a key: the keys set are those of any model's file.
    assert sorted(key for key in details["positions"] if "[" not in key) == [
        "build.dataset", "load.input_size_list", "load.inputs", "load.model", "load.model_type", "load.outputs"]
