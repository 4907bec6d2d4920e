"""Reading and validating configuration files: read failures, type faults and their reports."""
import os
import textwrap

import pytest

import qarv_convert_inner


def load_error(tmp_path, text, name="config.toml"):
    """The message a file with `text` is refused with (both functions must agree on it)."""
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    messages = []
    for function in (qarv_convert_inner.rust_convert, qarv_convert_inner.rust_explain):
        with pytest.raises(RuntimeError) as caught:
            function(str(path))
        messages.append(str(caught.value))
    assert messages[0] == messages[1]
    return messages[0]


def report(line, column, source_line, carets, message):
    number = str(line)
    gutter = " " * (len(number) + 1)
    return (
        f"TOML parse error at line {line}, column {column}\n"
        f"{gutter}|\n"
        f"{number} | {source_line}\n"
        f"{gutter}|{' ' * column}{'^' * carets}\n"
        f"{message}\n"
    )


def test_build_type_fault_report_is_exact(tmp_path):
    text = '[build]\ndataset = "d.txt"\ndo_quantization = "yes"\n'
    assert load_error(tmp_path, text) == (
        "TOML parse error at line 3, column 19\n"
        "  |\n"
        '3 | do_quantization = "yes"\n'
        "  |                   ^^^^^\n"
        'invalid type: string "yes", expected a boolean\n'
    )


@pytest.mark.parametrize(
    "line, message",
    [
        ("optimization_level = 256", "invalid value: integer `256`, expected u8"),
        ("optimization_level = -1", "invalid value: integer `-1`, expected u8"),
        ("optimization_level = 3.0", "invalid type: floating point `3.0`, expected u8"),
        ("optimization_level = true", "invalid type: boolean `true`, expected u8"),
        ("quantized_dtype = 8", "invalid type: integer `8`, expected a string"),
        ("quantized_dtype = 1e20", "invalid type: floating point `100000000000000000000.0`, expected a string"),
        ("quantized_dtype = -inf", "invalid type: floating point `-inf`, expected a string"),
        ("quantized_dtype = nan", "invalid type: floating point `NaN`, expected a string"),
        ("quantized_dtype = 0.1", "invalid type: floating point `0.1`, expected a string"),
        ("quantized_dtype = 1979-05-27", "invalid type: map, expected a string"),
        ("quantized_dtype = []", "invalid type: sequence, expected a string"),
        ("quantized_dtype = {}", "invalid type: map, expected a string"),
        ('mean_values = "1"', 'invalid type: string "1", expected a sequence'),
        ('quant_img_RGB2BGR = "a\\"b\\\\c\\td"', 'invalid type: string "a\\"b\\\\c\\td", expected a boolean'),
    ],
)
def test_value_faults_point_at_the_value(tmp_path, line, message):
    value = line.split(" = ", 1)[1]
    column = len(line) - len(value) + 1
    expected = report(2, column, line, len(value.encode()), message)
    assert load_error(tmp_path, f"[config]\n{line}\n") == expected


@pytest.mark.parametrize(
    "section, line, element, message",
    [
        ("config", "mean_values = [1, 2.5, \"a\"]", '"a"', 'invalid type: string "a", expected f32'),
        ("build", "qarv_batch_size = 2147483648", "2147483648", "invalid value: integer `2147483648`, expected i32"),
        ("build", "qarv_batch_size = -2147483649", "-2147483649", "invalid value: integer `-2147483649`, expected i32"),
        ("accuracy_analysis", "inputs = [\"a\", 5]", "5", "invalid type: integer `5`, expected a string"),
        ("export", "export_path = false", "false", "invalid type: boolean `false`, expected a string"),
        # Empty arrays and inline tables among numbers or strings are elements like any other.
        ("config", "mean_values = [1, [ ], 2]", "[ ]", "invalid type: sequence, expected f32"),
        ("config", "mean_values = [1, {}]", "{}", "invalid type: map, expected f32"),
        ("config", "std_values = [[], [1]]", "[]", "invalid type: sequence, expected f32"),
        ("accuracy_analysis", "inputs = [\"a\", [],]", "[]", "invalid type: sequence, expected a string"),
        ("accuracy_analysis", "inputs = [{ }, []]", "{ }", "invalid type: map, expected a string"),
    ],
)
def test_array_elements_and_ranges(tmp_path, section, line, element, message):
    column = line.rindex(element) + 1
    assert load_error(tmp_path, f"[{section}]\n{line}\n") == report(2, column, line, len(element), message)


@pytest.mark.parametrize(
    "text, message",
    [
        ("build = 5\n", "invalid type: integer `5`, expected struct BuildConfig"),
        ("config = \"x\"\n", 'invalid type: string "x", expected struct ConfigConfig'),
        ("export = [1]\n", "invalid type: sequence, expected struct ExportConfig"),
        ("accuracy_analysis = 1.5\n", "invalid type: floating point `1.5`, expected struct AccuracyAnalysisConfig"),
        ("load = true\n", "invalid type: boolean `true`, expected internally tagged enum LoadConfig"),
    ],
)
def test_sections_given_as_scalars(tmp_path, text, message):
    assert load_error(tmp_path, text).splitlines()[-1] == message


@pytest.mark.parametrize(
    "text, carets, message",
    [
        ('[load]\nmodel = "m.onnx"\n', 6, "missing field `model_type`"),
        ('[load]\nmodel_type = "Onnx"\nmodel = 5\n', 6, "invalid type: integer `5`, expected a string"),
        (
            '[load]\nmodel_type = "Onnx"\ninput_size_list = [[1, -3]]\n',
            6,
            "invalid value: integer `-3`, expected usize",
        ),
    ],
)
def test_load_table_faults_point_at_the_header(tmp_path, text, carets, message):
    assert load_error(tmp_path, text) == report(1, 1, "[load]", carets, message)


def test_load_inline_table_fault_points_at_the_inline_table(tmp_path):
    line = 'load = { model = "m.onnx", inputs = "x", model_type = "Onnx" }'
    expected = report(1, 8, line, len(line) - 7, 'invalid type: string "x", expected a sequence')
    assert load_error(tmp_path, line + "\n") == expected


@pytest.mark.parametrize(
    "value, message",
    [
        ('"onnx"', "unknown variant `onnx`, expected `Onnx`"),
        ('"a\\"b"', 'unknown variant `a"b`, expected `Onnx`'),
        ("0", "invalid type: integer `0`, expected variant identifier"),
        ("[]", "invalid type: sequence, expected variant identifier"),
    ],
)
def test_model_type_faults(tmp_path, value, message):
    line = f"model_type = {value}"
    expected = report(2, len("model_type = ") + 1, line, len(value), message)
    assert load_error(tmp_path, f"[load]\n{line}\n") == expected


@pytest.mark.parametrize(
    "text, reported",
    [
        # Sections are visited in byte order of their names, whatever the file order.
        ('[config]\noptimization_level = "x"\n[build]\ndataset = 1\n', "dataset"),
        ('[build]\ndataset = 1\n[config]\noptimization_level = "x"\n', "dataset"),
        # Within a section too: auto_hybrid sorts before do_quantization.
        ('[build]\ndo_quantization = 1\nauto_hybrid = 1\n', "auto_hybrid"),
        # The tag is examined before any other key of [load].
        ('[load]\ninputs = 1\nmodel_type = "x"\n', "model_type"),
    ],
)
def test_key_order_decides_the_reported_fault(tmp_path, text, reported):
    message = load_error(tmp_path, text)
    assert message.splitlines()[2].split(" | ", 1)[1].startswith(reported)


def test_gutter_grows_with_the_line_number(tmp_path):
    text = "\n" * 9 + "[build]\ndataset = 1\n"
    assert load_error(tmp_path, text) == report(11, 11, "dataset = 1", 1, "invalid type: integer `1`, expected a string")


def test_multiline_value_carets_stop_at_the_end_of_its_first_line(tmp_path):
    text = '[config]\nquant_img_RGB2BGR = """\nab\ncd"""\n'
    assert load_error(tmp_path, text) == report(
        2, 21, 'quant_img_RGB2BGR = """', 3, 'invalid type: string "ab\\ncd", expected a boolean'
    )


@pytest.mark.parametrize(
    "line, value",
    [
        ('config = { custom_string = "é", remove_weight = "x" }', '"x"'),
        ('config = { custom_string = "é", remove_weight = "日本" }', '"日本"'),
    ],
)
def test_columns_and_carets_count_characters_not_bytes(tmp_path, line, value):
    column = line.index(value) + 1
    expected = report(1, column, line, len(value), f"invalid type: string {value}, expected a boolean")
    assert load_error(tmp_path, line + "\n") == expected


def test_syntax_fault_at_the_end_without_final_newline(tmp_path):
    message = load_error(tmp_path, "[build]\ndataset = ")
    first, _, excerpt, carets, _ = message.splitlines()
    assert first == "TOML parse error at line 2, column 11"
    assert excerpt == "2 | dataset = "
    assert carets == "  |" + " " * 11 + "^"


@pytest.mark.parametrize(
    "text, line, key",
    [
        ("[build]\ndataset = 'a'\ndataset = 'b'\n", 3, "dataset"),
        ('[build]\ndataset = "a"\n"dataset" = "b"\n', 3, '"dataset"'),
        ("[build]\ndataset = 'a'\n'dataset' = 'b'\n", 3, "'dataset'"),
        ("build.dataset = 'a'\nbuild . dataset = 'b'\n", 2, "build . dataset"),
        ("[build]\n[config]\n[build]\n", 3, "build"),
        ("[[x.y]]\n[x . y]\n", 2, "x . y"),
        ("a = 1\n[a.b]\n", 2, "a.b"),
        ("a = {b = 1}\na.c = 2\n", 2, "a.c"),
        ("x = 1\nbuild = {dataset = 'a', \"data\\u0073et\" = 'b'}\n", 2, '"data\\u0073et"'),
    ],
)
def test_duplicate_key_points_at_the_second_key_as_written(tmp_path, text, line, key):
    source_line = text.splitlines()[line - 1]
    column = source_line.rindex(key) + 1
    assert load_error(tmp_path, text) == report(line, column, source_line, len(key), "duplicate key")


@pytest.mark.parametrize(
    "text",
    [
        "",
        "# only a comment\n\n   \n",
        "\ufeff[build]\ndataset = 'd'\n",
        # Unknown keys, unknown tables and case variants are ignored, whatever their values.
        "[config]\nquant_img_rgb2bgr = 'not a bool'\nOptimization_Level = 'x'\n[other]\nx = {a = [1, 'b']}\n",
        "[load]\nmodel_type = 'Onnx'\nunknown = 5\n[build]\nextra = 1979-05-27T07:32:00Z\n",
        "[config]\noptimization_level = 255\ntarget_platform = ''\nmean_values = [0, 1, 2]\n",
        "[build]\nqarv_batch_size = -2147483648\n[load]\nmodel_type='Onnx'\ninput_size_list=[[9223372036854775807]]\n",
        # TOML 1.1 syntax: newlines and a trailing comma in inline tables, \e and \x escapes.
        "load = {\n  model_type = 'Onnx',\n  model = \"m\\x41\\e.onnx\",\n}\n",
    ],
)
def test_valid_files_load(tmp_path, capfd, text):
    path = tmp_path / "config.toml"
    path.write_bytes(text.encode())
    assert qarv_convert_inner.rust_explain(str(path)) is None
    capfd.readouterr()


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda d: str(d / "missing.toml"), "No such file or directory (os error 2)"),
        (lambda d: str(d), "Is a directory (os error 21)"),
        (lambda d: str(d / "a\0b.toml"), "file name contained an unexpected NUL byte"),
        (lambda d: _write(d / "latin1.toml", b"dataset = '\xe9'\n"), "stream did not contain valid UTF-8"),
        (lambda d: _write(d / "surrogate.toml", b"a = '\xed\xa0\x80'\n"), "stream did not contain valid UTF-8"),
    ],
)
def test_read_failures(tmp_path, make, message):
    path = make(tmp_path)
    for function in (qarv_convert_inner.rust_convert, qarv_convert_inner.rust_explain):
        with pytest.raises(RuntimeError) as caught:
            function(path)
        assert str(caught.value) == message


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of their mode")
def test_unreadable_file(tmp_path):
    path = _write(tmp_path / "secret.toml", b"")
    os.chmod(path, 0)
    with pytest.raises(RuntimeError, match=r"^Permission denied \(os error 13\)$"):
        qarv_convert_inner.rust_explain(path)


def _write(path, data):
    path.write_bytes(data)
    return str(path)


def test_deep_nesting_is_refused_cleanly(tmp_path):
    text = "a = " + "[" * 10_000 + "]" * 10_000 + "\n"
    assert load_error(tmp_path, text).startswith("TOML parse error at line 1, column ")


def test_large_file_of_comments_loads(tmp_path, capfd):
    path = tmp_path / "big.toml"
    line = "# " + "x" * 97 + "\n"
    with open(path, "w") as out:
        for _ in range(100):
            out.write(line * 10_000)
        out.write("[build]\ndataset = 'd'\n")
    assert os.path.getsize(path) > 100_000_000
    qarv_convert_inner.rust_explain(str(path))
    capfd.readouterr()


# Integers at the edges of each type: u8, i32, u64 (`input_size_list`), and the 64- and 128-bit
# edges past which a non-integer key names the literal "as i128" or "as u128".
I64_MIN, U64_MAX, I128_MAX = -(2**63), 2**64 - 1, 2**127 - 1


@pytest.mark.parametrize(
    "section, key, value, message",
    [
        ("config", "optimization_level", 0, None),
        ("config", "optimization_level", 255, None),
        ("config", "optimization_level", 256, "invalid value: integer `256`, expected u8"),
        ("config", "optimization_level", -1, "invalid value: integer `-1`, expected u8"),
        ("config", "optimization_level", U64_MAX + 1, f"invalid value: integer `{U64_MAX + 1}`, expected u8"),
        ("build", "qarv_batch_size", -(2**31), None),
        ("build", "qarv_batch_size", 2**31 - 1, None),
        ("build", "qarv_batch_size", I64_MIN - 1, f"invalid value: integer `{I64_MIN - 1}`, expected i32"),
        ("config", "quantized_dtype", I64_MIN, f"invalid type: integer `{I64_MIN}`, expected a string"),
        ("config", "quantized_dtype", U64_MAX, f"invalid type: integer `{U64_MAX}`, expected a string"),
        ("config", "quantized_dtype", U64_MAX + 1, f"invalid type: integer `{U64_MAX + 1}` as i128, expected a string"),
        ("config", "quantized_dtype", I64_MIN - 1, f"invalid type: integer `{I64_MIN - 1}` as i128, expected a string"),
        ("config", "quantized_dtype", -(2**127), f"invalid type: integer `{-(2**127)}` as i128, expected a string"),
        ("config", "quantized_dtype", I128_MAX, f"invalid type: integer `{I128_MAX}` as i128, expected a string"),
        ("config", "quantized_dtype", I128_MAX + 1, f"invalid type: integer `{I128_MAX + 1}` as u128, expected a string"),
        ("config", "quantized_dtype", 2**128 - 1, f"invalid type: integer `{2**128 - 1}` as u128, expected a string"),
        ("build", "do_quantization", 2**100, f"invalid type: integer `{2**100}` as i128, expected a boolean"),
        ("config", "mean_values", [U64_MAX, I64_MIN], None),
        ("config", "mean_values", [U64_MAX + 1], f"invalid type: integer `{U64_MAX + 1}` as i128, expected f32"),
        ("config", "mean_values", 2**127, f"invalid type: integer `{2**127}` as u128, expected a sequence"),
    ],
)
def test_integer_edges(tmp_path, capfd, section, key, value, message):
    literal = repr(value).replace(" ", "")
    line = f"{key} = {literal}"
    text = f"[{section}]\n{line}\n"
    if message is None:
        path = _write(tmp_path / "edges.toml", text.encode())
        qarv_convert_inner.rust_explain(path)
        capfd.readouterr()
        return
    bad = literal if not isinstance(value, list) else literal.strip("[]").split(",")[0]
    expected = report(2, line.index(bad) + 1, line, len(bad), message)
    assert load_error(tmp_path, text) == expected


def test_input_size_list_takes_the_whole_u64_range(write_config, fake_qarv):
    path = write_config(f"[load]\nmodel_type = 'Onnx'\ninput_size_list = [[0, 1, {U64_MAX}]]\n")
    qarv_convert_inner.rust_convert(path)
    (_, _, kwargs), = [call for call in fake_qarv.calls if call[0] == "load_onnx"]
    assert kwargs["input_size_list"] == [[0, 1, U64_MAX]]


@pytest.mark.parametrize(
    "value, expected",
    [
        ("[[], [ ], [\n # none\n]]", [[], [], []]),
        ("[[], [3, 224], [],]", [[], [3, 224], []]),
        ("[[1], []]", [[1], []]),
    ],
)
def test_input_size_list_keeps_empty_shapes(write_config, fake_qarv, value, expected):
    qarv_convert_inner.rust_convert(write_config(f"[load]\nmodel_type = 'Onnx'\ninput_size_list = {value}\n"))
    (_, _, kwargs), = [call for call in fake_qarv.calls if call[0] == "load_onnx"]
    assert kwargs["input_size_list"] == expected


@pytest.mark.parametrize(
    "value, message",
    [
        ("[[], {}]", "invalid type: map, expected a sequence"),
        ("[[], [], 1]", "invalid type: integer `1`, expected a sequence"),
        (str(U64_MAX + 1), f"invalid value: integer `{U64_MAX + 1}`, expected usize"),
        ("-1", "invalid value: integer `-1`, expected usize"),
    ],
)
def test_input_size_list_faults_point_at_the_load_header(tmp_path, value, message):
    whole = value.startswith("[")
    text = f"[load]\nmodel_type = 'Onnx'\ninput_size_list = {value if whole else f'[[1, {value}]]'}\n"
    assert load_error(tmp_path, text) == report(1, 1, "[load]", 6, message)


def test_model_as_a_128_bit_integer_names_its_type(tmp_path):
    text = f"[load]\nmodel_type = 'Onnx'\nmodel = {U64_MAX + 1}\n"
    message = f"invalid type: integer `{U64_MAX + 1}` as i128, expected a string"
    assert load_error(tmp_path, text) == report(1, 1, "[load]", 6, message)


@pytest.mark.parametrize(
    "line, literal, message",
    [
        (f"x = [1, {{ y = {2**128} }}]", str(2**128), "integer number overflowed"),
        (f"Optimization_Level = {-(2**127) - 1}", str(-(2**127) - 1), "integer number overflowed"),
        ("x.y = 1e309", "1e309", "floating-point number overflowed"),
        ("x = -1" + "0" * 309 + ".5", "-1" + "0" * 309 + ".5", "floating-point number overflowed"),
    ],
)
def test_number_faults_under_ignored_keys_point_at_the_literal(tmp_path, line, literal, message):
    text = f"[config]\n{line}\n"
    column = line.index(literal) + 1
    # A line longer than 200 characters shows its first 200, the carets cut where they end.
    shown, carets = (line, len(literal)) if len(line) <= 200 else (line[:200] + "\u2026", 200 - column + 1)
    assert load_error(tmp_path, text) == report(2, column, shown, carets, message)


CAP_MESSAGE = "file is larger than 256 MiB, the most a configuration file may hold"


def test_endless_device_stops_at_the_size_cap():
    assert load_error_at("/dev/zero") == CAP_MESSAGE


# The writer is another process: the module holds the interpreter lock while it reads, so a
# writer thread of this interpreter could not run.
ENDLESS_WRITER = """
import os, sys
chunk = b"# " + b"x" * 65_533 + b"\\n"
written = 0
fifo = os.open(sys.argv[1], os.O_WRONLY)
try:
    while True:
        written += os.write(fifo, chunk)
except BrokenPipeError:
    pass
print(written)
"""


def test_endless_fifo_stops_at_the_size_cap(tmp_path):
    import subprocess
    import sys

    path = tmp_path / "endless.toml"
    os.mkfifo(path)
    writer = subprocess.Popen([sys.executable, "-c", ENDLESS_WRITER, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        message = load_error_at(str(path))
        written = int(writer.communicate(timeout=60)[0])
    finally:
        writer.kill()
    assert message == CAP_MESSAGE
    # The reader stopped just past the cap and closed the pipe, which ended the writer.
    assert 256 * 2**20 < written < 256 * 2**20 + 2**20


def test_regular_file_over_the_cap_is_refused_before_reading(tmp_path):
    path = tmp_path / "sparse.toml"
    with open(path, "wb") as out:
        out.truncate(256 * 2**20 + 1)
    assert load_error_at(str(path)) == CAP_MESSAGE


def load_error_at(path):
    with pytest.raises(RuntimeError) as caught:
        qarv_convert_inner.rust_explain(path)
    return str(caught.value)


@pytest.mark.parametrize("text, element", [
    ("[config]\nmean_values = [{}]\n", "0.5"),
    ('[load]\nmodel_type = "Onnx"\ninputs = [{}]\n', '"a"'),
    ('[load]\nmodel_type = "Onnx"\ninput_size_list = [{}]\n', "[]"),
    ('[load]\nmodel_type = "Onnx"\ninput_size_list = [[1, 3], [{}]]\n', "1"),
    ("[accuracy_analysis]\ninputs = [{}]\n", '"a"'),
])
@pytest.mark.parametrize("length", [65536, 65537])
def test_a_list_longer_than_any_configuration_takes_is_refused_where_it_stands(tmp_path, text, element, length):
    text = text.format(", ".join([element] * length))
    path = tmp_path / "config.toml"
    path.write_text(text)
    if length == 65536:
        from qarv_convert import _native
        _native.load_details(str(path))  # loads: the limit is inclusive
        return
    message = load_error(tmp_path, text)
    assert message.endswith("invalid length 65537, expected a sequence of at most 65536 elements\n")
    # `[load]`'s faults point at its header, as every other fault of that table does.
    assert f"at line {1 if text.startswith('[load]') else 2}, column" in message
