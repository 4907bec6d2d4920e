"""Names, values and lines of any length from a file give diagnostics of a readable size: names cut
with their length said, long lines shown as a window, long lists of faults as the first few and a count."""
import subprocess
import sys

import pytest
import qarv_test_hooks

from qarv_convert import _native
from qarv_convert.preflight.checks import NAMED, check_file
from qarv_convert.preflight.diagnostics import excerpt
from qarv_convert.text import line_window, quoted

from onnx_fixtures import model, save, tensor

COMMAND = [sys.executable, "-m", "qarv_convert"]
BOUND = _native.QUOTED_CHARACTERS
HUGE = 4_000_000
HEAD = '[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\n'


def test_the_bound_is_the_one_loading_declares():
    # Python reads it from the module; a name as long as it is still quoted whole.
    assert BOUND == 200
    assert quoted("k" * BOUND) == f"`{'k' * BOUND}`"


@pytest.mark.parametrize("text, expected", [
    ("", "``"),
    ("input", "`input`"),
    ("k" * BOUND, f"`{'k' * BOUND}`"),
    ("k" * (BOUND + 1), f"`{'k' * BOUND}…` (201 characters)"),
    ("k" * HUGE, f"`{'k' * BOUND}…` (4,000,000 characters)"),
    # Cut in characters, never inside one: two-byte, three-byte (wide) and four-byte ones.
    ("é" * 300, f"`{'é' * BOUND}…` (300 characters)"),
    ("a" + "字" * 250, f"`a{'字' * (BOUND - 1)}…` (251 characters)"),
    ("😀" * BOUND, f"`{'😀' * BOUND}`"),
    ("😀" * 1234, f"`{'😀' * BOUND}…` (1,234 characters)"),
], ids=["empty", "short", "at-bound", "one-over", "huge", "two-byte", "wide", "four-byte-at-bound", "four-byte-over"])
def test_a_name_is_quoted_whole_up_to_the_bound_then_cut_with_its_length(text, expected):
    assert quoted(text) == expected
    assert qarv_test_hooks.quoted_name(text.encode()).decode() == expected


def _line(kind, length):
    return {"ascii": "x" * length, "two-byte": "é" * length, "wide": "字" * length,
            "mixed": ("a字é😀" * length)[:length]}[kind]


@pytest.mark.parametrize("kind", ["ascii", "two-byte", "wide", "mixed"])
@pytest.mark.parametrize("length, column, carets, cut_before, cut_after", [
    (10, 3, 2, False, False),
    (BOUND, 1, BOUND, False, False),
    (BOUND + 1, 1, BOUND + 1, False, True),
    (1000, 1, 5, False, True),
    (1000, 500, 3, True, True),
    (1000, 990, 400, True, False),
    (1000, 1000, 1, True, False),
    (1000, 1001, 1, True, False),  # past the end: the caret after the last character
], ids=["short", "at-bound", "one-over", "start", "middle", "near-end", "last", "past-end"])
def test_a_long_line_shows_a_window_with_the_carets_under_the_same_characters(kind, length, column, carets,
                                                                               cut_before, cut_after):
    line = _line(kind, length)
    shown, at, marks = line_window(line, column, carets)
    assert (shown.startswith("…"), shown.endswith("…")) == (cut_before, cut_after)
    body = shown.removeprefix("…").removesuffix("…")
    assert len(body) == min(length, BOUND) and body in line
    if length <= BOUND:
        assert (shown, at, marks) == (line, column, carets)
    # The characters under the carets are those the column and carets point at in the whole line,
    # cut at the window's end only.
    assert shown[at - 1:at - 1 + marks] == line[column - 1:column - 1 + marks]
    assert 1 <= marks <= carets
    # Loading draws the same window, counting the same characters.
    window = qarv_test_hooks.line_window(line.encode(), column, carets)
    assert (window[0].decode(), window[1], window[2]) == (shown, at, marks)


def test_a_line_that_is_not_utf8_is_windowed_in_bytes_as_its_columns_count():
    line = b"\xff" * 600
    shown, column, carets = qarv_test_hooks.line_window(line, 300, 2)
    assert shown == "…".encode() + b"\xff" * BOUND + "…".encode()
    assert (column, carets) == (102, 2)


def test_the_excerpt_keeps_the_true_line_number_and_marks_the_window():
    line = "k" * 5000 + " = 1"
    lines = excerpt(line, 7, 5002, 1)
    assert lines[1].startswith("7 | …") and lines[1].endswith(" = 1")
    # The caret stands right under the `=` it marks.
    assert lines[1][lines[2].index("^")] == "="


# --- the files the reports came from ----------------------------------------------------------

def _files(tmp_path):
    save(model([tensor("x", shape=[1, 3, 4, 4])], [tensor("y", shape=[1, 3, 4, 4])]), tmp_path / "m.onnx")
    return {
        "unknown key": HEAD + "[build]\n" + "k" * HUGE + " = 1\n",
        "unknown table": "[" + "t" * HUGE + "]\n" + HEAD,
        "model path": '[load]\nmodel_type = "Onnx"\nmodel = "' + "a" * HUGE + '"\n',
        "variant": '[load]\nmodel_type = "' + "O" * HUGE + '"\n',
        "string of another type": HEAD + '[build]\ndo_quantization = "' + "b" * HUGE + '"\n',
        "long array line": HEAD + "[build]\ndataset = [" + "1, " * (HUGE // 3) + "]\n",
        "inputs": HEAD + "inputs = [" + ", ".join(f'"n{i}"' for i in range(100_000)) + "]\n",
        "outputs": HEAD + "outputs = [" + ", ".join(f'"o{i}"' for i in range(100_000)) + "]\n",
        "sizes": HEAD + "inputs = [" + ", ".join(['"x"'] * 100_000) + "]\ninput_size_list = ["
                 + ", ".join(["[1, 3, 5, 5]"] * 100_000) + "]\n",
        "analysis inputs": HEAD + "[accuracy_analysis]\ninputs = [" + ", ".join(f'"gone{i}.npy"' for i in range(20_000)) + "]\n",
    }


#: What each file's report must say, beside staying small.
SAYS = {
    "unknown key": "(4,000,000 characters) in [build] is ignored",
    "unknown table": "(4,000,000 characters) is ignored",
    "model path": "…` (4,000,000 characters) does not exist",
    "variant": "unknown variant `OOOO",
    "string of another type": '…" (4,000,000 characters), expected a boolean',
    "long array line": "invalid type: sequence, expected a string",
    "inputs": f"{100_000 - NAMED} more entries of `inputs` are not inputs of `m.onnx`",
    "outputs": f"{100_000 - NAMED} more entries of `outputs` are produced by no node of `m.onnx`",
    # Two axes of each size miss the model's shape.
    "sizes": f"{2 * 100_000 - NAMED} more sizes in `input_size_list` miss their inputs' shapes",
    "analysis inputs": f"{20_000 - NAMED} more accuracy-analysis inputs do not exist",
}


@pytest.fixture(scope="module")
def huge_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("huge")
    for name, text in _files(folder).items():
        (folder / f"{name.replace(' ', '_')}.toml").write_text(text)
    return folder


@pytest.mark.parametrize("command", ["check", "plan"])
@pytest.mark.parametrize("case", list(SAYS))
def test_a_huge_name_value_or_list_gives_a_report_of_a_few_kilobytes(huge_files, case, command):
    run = subprocess.run(COMMAND + [command, f"{case.replace(' ', '_')}.toml"], cwd=huge_files, capture_output=True,
                         text=True, timeout=120)
    output = run.stdout + run.stderr
    assert len(output) < 8000, output[:2000]
    assert SAYS[case] in output
    # Every excerpt line is a window, never the whole line.
    assert max(len(line) for line in output.split("\n")) < 3 * BOUND + 200


def test_the_faults_of_a_long_list_are_the_first_few_each_then_one_count(huge_files, monkeypatch):
    monkeypatch.chdir(huge_files)
    report = check_file(str(huge_files / "inputs.toml"))
    keys = [d.key for d in report.ordered() if d.key.startswith("load.inputs")]
    assert sorted(keys) == sorted(["load.inputs", "load.inputs"] + [f"load.inputs[{i}]" for i in range(NAMED)])
    assert all("its inputs are `x`" in d.message for d in report.diagnostics if d.key.startswith("load.inputs["))


def test_a_fault_keeps_the_whole_line_in_its_field_but_renders_a_window(huge_files):
    with pytest.raises(_native.ConfigurationFault) as caught:
        _native.load_details(str(huge_files / "variant.toml"))
    fault = caught.value
    assert len(fault.line_text) > HUGE and (fault.line, fault.column) == (2, 14)
    assert len(fault.report) < 4 * BOUND + 400
    assert "unknown variant `" + "O" * BOUND + "…` (4,000,000 characters)" in fault.message


def test_an_override_naming_a_long_key_is_quoted_to_the_bound(tmp_path):
    (tmp_path / "c.toml").write_text(HEAD)
    key = "k" * 100_000
    run = subprocess.run(COMMAND + ["check", "--set", f"build.{key}=1", "c.toml"], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 1 and len(run.stdout + run.stderr) < 4000
    # The heading quotes the override as given, the message its key, both cut.
    assert "(100,000 characters) in [build]" in run.stderr and "(100,008 characters): invalid override" in run.stderr


def test_a_long_dimension_name_of_the_model_is_cut_where_its_shape_is_shown(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    name = "d" * 5000
    save(model([tensor("x", shape=[1, 3, name, 4])], [tensor("y", shape=[1, 3, 4, 4])]), tmp_path / "m.onnx")
    (tmp_path / "c.toml").write_text(HEAD)
    messages = [d.message for d in check_file("c.toml").diagnostics if d.key == "load"]
    cut = f"{'d' * BOUND}…"
    assert messages == [f"input `x` has dynamic dimension `{cut}` (5,000 characters) "
                        f"([1, 3, {cut} (5,000 characters), 4]) and `input_size_list` gives it no size"]


def test_the_shapes_an_initial_value_fits_none_of_are_the_first_few_and_a_count(tmp_path, monkeypatch):
    np = pytest.importorskip("numpy")
    monkeypatch.chdir(tmp_path)
    save(model([tensor("x", shape=[1, 3, 4, 4])], [tensor("y", shape=[1, 3, 4, 4])]), tmp_path / "m.onnx")
    np.save(tmp_path / "v.npy", np.zeros((7, 7), np.float32))
    (tmp_path / "c.toml").write_text(HEAD + "inputs = [" + ", ".join(['"x"'] * 20) + ']\ninput_initial_val_file = "v.npy"\n')
    [message] = [d.message for d in check_file("c.toml").diagnostics if d.key == "load.input_initial_val_file"]
    assert message.endswith("which fits no input (" + ", ".join(["[1, 3, 4, 4]"] * 8) + " and 12 more)")


@pytest.mark.parametrize("array, severity, rest", [
    ("float", "warning", "47 more arrays in `v.npz` fit no input"),
    ("text", "error", "47 more arrays in `v.npz` cannot feed an input"),
])
def test_an_archive_of_many_faulty_arrays_reports_the_first_few_and_a_count(tmp_path, monkeypatch, array, severity,
                                                                          rest):
    np = pytest.importorskip("numpy")
    monkeypatch.chdir(tmp_path)
    save(model([tensor("x", shape=[1, 3, 4, 4])], [tensor("y", shape=[1, 3, 4, 4])]), tmp_path / "m.onnx")
    value = np.zeros((7, 7), np.float32) if array == "float" else np.array(["abc"])
    np.savez(tmp_path / "v.npz", **{f"a{i}": value for i in range(50)})
    (tmp_path / "c.toml").write_text(HEAD + 'input_initial_val_file = "v.npz"\n')
    found = [d for d in check_file("c.toml").diagnostics if d.key == "load.input_initial_val_file"]
    assert [d.severity.value for d in found] == [severity] * (NAMED + 1)
    assert [d.message.startswith(f"the array `a{i}` in `v.npz`") for i, d in enumerate(found[:NAMED])] == [True] * NAMED
    assert found[NAMED].message == rest
