"""`_native.ConfigurationFault`: each kind of configuration fault as a value with its parts."""
import os

import pytest
import qarv_convert_inner

from qarv_convert import _native

# (file text, overrides) -> kind, position (line, column, width) or None, key, override at fault, expected.
CASES = {
    "syntax": ("[build]\ndo_quantization = True\n", [], (2, 19, 1), None, None, None),
    "type": ('[build]\ndo_quantization = "yes"\n', [], (2, 19, 5), "build.do_quantization", None, "a boolean"),
    "type of an element": ('[config]\nmean_values = [1, "x"]\n', [], (2, 19, 3), "config.mean_values", None, "f32"),
    "type of a table": ("build = 3\n", [], (1, 9, 1), "build", None, "struct BuildConfig"),
    "type of a tag": ("[load]\nmodel_type = 3\n", [], (2, 14, 1), "load.model_type", None, "variant identifier"),
    "type in [load]": ('[load]\nmodel_type = "Onnx"\ninputs = [1]\n', [], (1, 1, 6), "load.inputs", None, "a string"),
    "value": ("[config]\noptimization_level = 300\n", [], (2, 22, 3), "config.optimization_level", None, "u8"),
    "value of i32": ("[build]\nqarv_batch_size = 99999999999\n", [], (2, 19, 11), "build.qarv_batch_size", None, "i32"),
    "missing": ('[load]\ninputs = ["a"]\n', [], (1, 1, 6), "load.model_type", None, None),
    "variant": ('[load]\nmodel_type = "X"\n', [], (2, 14, 3), "load.model_type", None, "`Onnx`"),
    "syntax of an override": ("", ["build.dataset=oops"], (1, 15, 1), None, "build.dataset=oops", None),
    "type in an override": ("", ["build.do_quantization=1"], (1, 23, 1), "build.do_quantization",
                            "build.do_quantization=1", "a boolean"),
    "unknown table in an override": ("", ["bild.dataset=1"], (1, 1, 4), "bild", "bild.dataset=1", None),
    "unknown key in an override": ("", ["build.datset=1"], (1, 7, 6), "build.datset", "build.datset=1", None),
    "shape of an override": ("", ["build={}"], (1, 1, 8), None, "build={}", None),
}
KIND = {"type of an element": "type", "type of a table": "type", "type of a tag": "type", "type in [load]": "type",
        "value of i32": "value", "syntax of an override": "syntax", "type in an override": "type",
        "unknown table in an override": "unknown", "unknown key in an override": "unknown",
        "shape of an override": "override"}


def raised_by(function, *args):
    with pytest.raises(RuntimeError) as raised:
        function(*args)
    return raised.value


@pytest.mark.parametrize("case", CASES)
def test_each_kind_carries_its_parts(write_config, case):
    text, overrides, position, key, override, expected = CASES[case]
    path = write_config(text)
    fault = raised_by(_native.load_details, path, overrides)
    assert type(fault) is _native.ConfigurationFault
    assert (fault.kind, fault.key, fault.override, fault.expected) == (KIND.get(case, case), key, override, expected)
    assert (fault.line, fault.column, fault.width) == position
    assert fault.file == (None if override else path)
    assert fault.report == str(fault) and fault.args == (fault.report,)
    # The position is the one the report shows, caret for caret.
    heading, _, _, carets, *_ = fault.report.split("\n")
    assert heading.endswith(f" at line {position[0]}, column {position[1]}")
    assert carets.split("|")[1] == " " * position[1] + "^" * position[2]


@pytest.mark.parametrize("case", [case for case in CASES if not CASES[case][1]])
def test_the_report_is_the_one_the_module_raises(write_config, case):
    path = write_config(CASES[case][0])
    expected = raised_by(qarv_convert_inner.rust_explain, path)
    assert type(expected) is RuntimeError
    assert type(raised_by(qarv_convert_inner.rust_convert, path)) is RuntimeError
    for function, args in [(_native.load_details, (path,)), (_native.ignored_entries, (path,)),
                           (_native.summary_rows, (path,)), (_native.convert, (path,)),
                           (_native.explain_to, (1, path))]:
        fault = raised_by(function, *args)
        assert isinstance(fault, _native.ConfigurationFault) and str(fault) == str(expected), function


@pytest.mark.parametrize("make, message", [
    (lambda tmp_path: str(tmp_path / "absent.toml"), "No such file or directory (os error 2)"),
    (lambda tmp_path: str(tmp_path), "Is a directory (os error 21)"),
    (lambda tmp_path: (tmp_path / "latin1.toml").write_bytes(b"# \xe9\n") and str(tmp_path / "latin1.toml"),
     "stream did not contain valid UTF-8"),
])
def test_a_file_that_cannot_be_read(tmp_path, make, message):
    path = make(tmp_path)
    for function in (_native.load_details, _native.summary_rows, _native.convert, _native.ignored_entries):
        fault = raised_by(function, path)
        assert (fault.kind, fault.report, fault.file) == ("read", message, path)
        assert (fault.line, fault.column, fault.width, fault.key, fault.override, fault.expected) == \
            (None, None, 0, None, None, None)


def test_a_summary_past_its_cap(write_config):
    # 50,000 lines padded to a line of 150,000 characters: gigabytes of summary.
    path = write_config('[config]\ncustom_string = "' + "a\\n" * 50_000 + "b" * 150_000 + '"\n')
    with open(os.devnull, "w") as sink:
        fault = raised_by(_native.explain_to, sink.fileno(), path)
    assert fault.kind == "summary" and fault.file == path and fault.line is None
    assert str(fault).endswith("nothing was written")


def test_a_step_that_fails_is_no_configuration_fault(write_config, fake_qarv):
    fake_qarv.outcomes["build"] = 3
    error = raised_by(_native.convert, write_config(""))
    assert type(error) is RuntimeError and str(error) == "RuntimeError: qarv.build failed with code 3"


@pytest.mark.parametrize("case", CASES)
def test_the_message_and_the_quoted_line_are_the_reports_own(write_config, case):
    text, overrides, (line, _, _), *_ = CASES[case]
    fault = raised_by(_native.load_details, write_config(text), overrides)
    source = overrides[-1] if fault.override else text
    assert fault.line_text == source.split("\n")[line - 1]
    assert fault.report == "".join(f"{part}\n" for part in fault.report.split("\n")[:4]) + fault.message + "\n"


def test_a_read_fault_is_its_own_message(tmp_path):
    fault = raised_by(_native.load_details, str(tmp_path / "absent.toml"))
    assert (fault.message, fault.line_text) == (fault.report, None)


@pytest.mark.parametrize("text, note", [
    ('[load]\nmodel_type = "Onnx"\ninputs = [1]\n', (3, 10, "3 | inputs = [1]\n  |          ^^^")),
    ('[load]\nmodel = "m.onnx"\n# é\ninput_size_list = [[1, -3]]\nmodel_type = "Onnx"\n',
     (4, 19, "4 | input_size_list = [[1, -3]]\n  |                   ^^^^^^^^^")),
    ('[load]\nmodel_type = "X"\ninputs = [1]\n', None),  # the report points at the value itself
    ('[build]\nqarv_batch_size = "1"\n', None),
])
def test_a_key_of_load_reported_at_its_table_has_a_note_where_it_stands(write_config, text, note):
    path = write_config(text)
    fault = raised_by(_native.load_details, path)
    if note is None:
        assert (fault.note, fault.note_line, fault.note_column) == (None, None, None)
        return
    assert (fault.note_line, fault.note_column) == note[:2]
    assert fault.note == f"  |\n{note[2]}\n"
