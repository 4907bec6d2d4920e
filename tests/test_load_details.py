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


@pytest.mark.parametrize("stray", [20, 21, 500])
def test_the_first_ignored_keys_by_place_are_named_and_the_rest_counted(write_config, stray):
    # Stray root keys and stray keys of two sections interleaved (the tables are walked in
    # another order than the file's), then unknown tables.
    kinds = ["r_{}", "config.k_{}", "build.k_{}"]
    expected = [kinds[i % 3].format(i) for i in range(stray - 3)] + [f"t_{i}" for i in range(3)]
    text = "".join(f"{key} = 1\n" for key in expected[:-3]) + "".join(f"[{key}]\n" for key in expected[-3:])
    warnings = _native.load_details(write_config(text))["warnings"]
    named = [w for w in warnings if w["position"] is not None]
    assert [w["key"] for w in named] == expected[:20]
    assert [w["position"][0] for w in named] == list(range(1, len(named) + 1))
    counted = [w["message"] for w in warnings if w["position"] is None]
    assert counted == ([] if stray <= 20 else [f"{stray} keys and tables of the file are ignored; the first 20 are named"])


def test_positions_cover_the_declared_keys_and_a_bounded_count_of_elements(write_config):
    sizes = ", ".join(["[1, 3, 224, 224]"] * 600)
    path = write_config(f'[load]\nmodel_type = "Onnx"\ninput_size_list = [{sizes}]\nstray = [1, 2]\n'
                        f'[build]\nnot_a_key = 3\n')
    positions = _native.load_details(path)["positions"]
    assert "load.stray" not in positions and "build.not_a_key" not in positions
    assert positions["load.input_size_list[0][3]"] == (3, 32, 3)
    # Each key's elements up to the bound, nested ones included; later ones point at the key.
    assert len([key for key in positions if key.startswith("load.input_size_list")]) == 1 + 1024


@pytest.mark.parametrize("inner, cut", [(200, False), (300, True)])
def test_values_of_one_key_are_cut_at_a_bound_with_their_full_count(write_config, inner, cut):
    # 300 lists of `inner` numbers: no list too long to load, but 90,300 elements in all.
    row = "[" + ", ".join(["1"] * inner) + "]"
    path = write_config(f'[load]\nmodel_type = "Onnx"\ninput_size_list = [{", ".join([row] * 300)}]\n')
    details = _native.load_details(path)
    sizes = details["values"]["load"]["input_size_list"]
    total = 300 + 300 * inner
    if not cut:
        assert details["cut"] == {} and len(sizes) == 300 and all(len(size) == inner for size in sizes)
        return
    assert details["cut"] == {"load.input_size_list": total}
    assert len(sizes) + sum(len(size) for size in sizes) == details["cut_at"] == 65536
