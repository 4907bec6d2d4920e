"""`_native.load_details`: the loaded values and where each value and table header stands."""
import re

import pytest
import qarv_convert_inner

from qarv_convert import _native


def _report_position(report):
    line, column = re.match(r"\S+(?: parse error)? at line (\d+), column (\d+)", report).groups()
    return int(line), int(column)


@pytest.mark.parametrize("text, key, wrong", [
    ('[build]\ndo_quantization = true\n', "build.do_quantization", '"yes"'),
    ('# é\n[config]\ncustom_string = "héllo"\noptimization_level = 1\n', "config.optimization_level", "1.5"),
    ('[config]\nmean_values = [1.0, 2.0]\n', "config.mean_values[1]", '"x"'),
    ('build = { qarv_batch_size = 1 }\n', "build.qarv_batch_size", "true"),
])
def test_positions_are_those_the_loading_report_gives(write_config, text, key, wrong):
    path = write_config(text)
    details = _native.load_details(path)
    line, column, _ = details["positions"][key]
    # Put a value of the wrong type in the same place: loading reports exactly that position.
    lines = details["text"].split("\n")
    original = lines[line - 1]
    value_end = original.find(",", column - 1) if "[" in key else len(original)
    if "{" in original:
        value_end = original.index(" }")
    lines[line - 1] = original[:column - 1] + wrong + original[value_end:]
    broken = write_config("\n".join(lines), name="broken.toml")
    with pytest.raises(RuntimeError) as raised:
        qarv_convert_inner.rust_explain(broken)
    assert _report_position(str(raised.value)) == (line, column)


def test_table_headers_values_and_warnings(write_config):
    details = _native.load_details(write_config('[config]\nstd_values = [1]\n\n[load]\nmodel_type = "Onnx"\nmodle = "x"\n'))
    assert details["tables"]["config"] == (1, 1, 8)
    assert details["tables"]["load"] == (4, 1, 6)
    assert details["positions"]["config.std_values"] == (2, 14, 3)
    assert details["values"]["config"]["std_values"] == [1.0]
    assert details["values"]["load"]["model"] == "model.onnx"  # the default filled in
    assert details["values"]["accuracy_analysis"] is None
    [warning] = details["warnings"]
    assert warning["key"] == "load.modle" and warning["position"] == (6, 1, 5)
    assert "did you mean `model`?" in warning["message"]


def test_a_file_that_does_not_load_raises_the_loading_report(write_config):
    path = write_config('[build]\ndo_quantization = "yes"\n')
    with pytest.raises(RuntimeError) as expected:
        qarv_convert_inner.rust_explain(path)
    with pytest.raises(RuntimeError) as raised:
        _native.load_details(path)
    assert str(raised.value) == str(expected.value)
