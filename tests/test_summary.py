"""The configuration summary of `rust_explain`, its console tables and the schema documents."""
import json
import random
import subprocess
import sys
import textwrap

import pytest

import qarv_convert_inner
import qarv_test_hooks

HEADER = ["Key", "Value", "Default", "Set by User?", "Description"]


@pytest.fixture
def config_path(tmp_path):
    """`config_path(text)` writes dedented TOML to a fresh file and returns its path."""

    def write(text=""):
        path = tmp_path / "summary.toml"
        path.write_text(textwrap.dedent(text), encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def explain(config_path, capfd):
    """`explain(text)` runs `rust_explain` on `text` and returns what reached file descriptor 1."""

    def run(text=""):
        capfd.readouterr()
        assert qarv_convert_inner.rust_explain(config_path(text)) is None
        captured = capfd.readouterr()
        assert captured.err == ""
        return captured.out

    return run


def sections(output):
    """{heading: [row cells]} for a summary whose cells are all one line high."""
    assert output.startswith("\n[Configuration Summary]\n\n")
    tables = {}
    for block in output[len("\n[Configuration Summary]\n\n"):].split("\n\n"):
        if not block:
            continue
        heading, *lines = block.split("\n")
        rows = [[cell.rstrip(" ") for cell in line[1:-1].split("│")] for line in lines if line.startswith("║")]
        assert rows[0] == HEADER
        tables[heading] = rows[1:]
    return tables


def row(output, section, key):
    return next(cells for cells in sections(output)[f"[{section}]"] if cells[0] == key)


WORKED_BUILD = """\
[build]
╔═══════════════╤═════════════╤═══════╤════════════╤═════════════════════════════════════════════════════╗
║Key            │Value        │Default│Set by User?│Description                                          ║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║auto_hybrid    │false        │false  │No          │Enable automatic hybrid quantization (default: false)║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║dataset        │./dataset.txt│null   │Yes         │Path to dataset file for quantization (default: None)║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║do_quantization│true         │true   │No          │Whether to quantize the model (default: true)        ║
╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢
║qarv_batch_size│null         │null   │No          │Batch size for inference (default: None)             ║
╚═══════════════╧═════════════╧═══════╧════════════╧═════════════════════════════════════════════════════╝

"""


def test_worked_build_section_byte_for_byte(explain):
    out = explain("""
        [build]
        do_quantization = true
        dataset = "./dataset.txt"
        auto_hybrid = false
    """)
    start = out.index("[build]")
    assert out[start:out.index("[export]")] == WORKED_BUILD


@pytest.mark.parametrize(
    "text, headings",
    [
        ("", ["[config]", "[load]", "[build]", "[export]"]),
        ("[accuracy_analysis]\n", ["[config]", "[load]", "[build]", "[accuracy_analysis]", "[export]"]),
    ],
)
def test_sections_in_order_and_accuracy_only_when_present(explain, text, headings):
    out = explain(text)
    assert list(sections(out)) == headings
    assert out.endswith("╝\n\n")


def test_rows_in_byte_order_of_key(explain):
    tables = sections(explain('[load]\nmodel_type = "Onnx"\noutputs = ["o"]\nmodel = "m.onnx"\n[accuracy_analysis]\n'))
    keys = {heading: [cells[0] for cells in rows] for heading, rows in tables.items()}
    assert keys["[config]"][5:8] == ["optimization_level", "quant_img_RGB2BGR", "quantized_algorithm"]
    assert keys["[load]"] == ["input_initial_val_file", "input_size_list", "inputs", "model", "outputs"]
    assert keys["[build]"] == ["auto_hybrid", "dataset", "do_quantization", "qarv_batch_size"]
    assert keys["[accuracy_analysis]"] == ["device_id", "inputs", "output_dir", "target"]
    assert tables["[export]"] == [["export_path", "null", "null", "No", ""]]


@pytest.mark.parametrize(
    "text, section, key, value, default, set_by_user",
    [
        ("[build]\ndo_quantization = true", "build", "do_quantization", "true", "true", "No"),
        ("[build]\ndo_quantization = false", "build", "do_quantization", "false", "true", "Yes"),
        ("[config]\noptimization_level = 3", "config", "optimization_level", "3", "3", "No"),
        ("[config]\noptimization_level = 7", "config", "optimization_level", "7", "3", "Yes"),
        ('[config]\nfloat_dtype = "float16"', "config", "float_dtype", "float16", "float16", "No"),
        ("[config]\nmean_values = []", "config", "mean_values", "[]", "null", "Yes"),
        ("[build]\nqarv_batch_size = -4", "build", "qarv_batch_size", "-4", "null", "Yes"),
        ("[accuracy_analysis]", "accuracy_analysis", "inputs", "[]", "[]", "No"),
        ('[accuracy_analysis]\ninputs = ["a.jpg"]', "accuracy_analysis", "inputs", '["a.jpg"]', "[]", "Yes"),
        ('[load]\nmodel_type = "Onnx"\ninputs = ["input0"]', "load", "inputs", '["input0"]', "null", "Yes"),
        ('[load]\nmodel_type = "Onnx"\ninput_size_list = [[1, 3, 224, 224]]', "load", "input_size_list",
         "[[1,3,224,224]]", "null", "Yes"),
        ('[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"', "load", "model", "model.onnx", "model.onnx", "No"),
    ],
)
def test_value_default_and_set_by_user(explain, text, section, key, value, default, set_by_user):
    assert row(explain(text), section, key)[1:4] == [value, default, set_by_user]


@pytest.mark.parametrize(
    "values, shown",
    [
        ("[123.675, 116.28, 103.53]", "[123.67500305175781,116.27999877929688,103.52999877929688]"),
        ("[58.395, 57.12, 0.5, 127.5, 255, 0.0]", "[58.39500045776367,57.119998931884766,0.5,127.5,255.0,0.0]"),
        ("[nan, inf, -inf, 1.0]", "[null,null,null,1.0]"),
        # Single-precision values are widened first; these are exact in both precisions, so they
        # pin the boundaries of the plain layout (decimal exponents -5 and 15) and the exponent form.
        ("[0.000030517578125, 7.62939453125e-06]", "[0.000030517578125,7.62939453125e-6]"),
        ("[1125899906842624.0, 18014398509481984.0]", "[1125899906842624.0,1.8014398509481984e+16]"),
        ("[1e20, -2.5e-7]", "[1.0000000200408773e+20,-2.499999993688107e-7]"),
    ],
)
def test_float_list_cells(explain, values, shown):
    assert row(explain(f"[config]\nmean_values = {values}"), "config", "mean_values")[1] == shown


def test_strings_bare_at_top_level_and_escaped_inside_lists(explain):
    out = explain(r'''
        [load]
        model_type = "Onnx"
        inputs = ["q\"b\\s", "t\tn\nc\u0001é"]
        [build]
        dataset = "two\nlines"
    ''')
    assert row(out, "load", "inputs")[1] == r'["q\"b\\s","t\tn\nc\u0001é"]'
    build = out[out.index("[build]"):]
    assert "║dataset        │two  │null   │Yes" in build
    assert "║               │lines│       │   " in build


SECTION_RECORDS = {"config": "ConfigConfig", "load": "OnnxLoadConfig", "build": "BuildConfig",
                   "accuracy_analysis": "AccuracyAnalysisConfig", "export": "ExportConfig"}


def test_rows_agree_with_the_schema_documents(explain):
    # The summary reads the key declarations directly; the schema command builds full documents
    # from the same declarations. Keys, defaults and descriptions must come out alike.
    tables = sections(explain("[accuracy_analysis]\n"))
    for section, record in SECTION_RECORDS.items():
        schema = properties(record)
        shown = [cells[0] for cells in tables[f"[{section}]"]]
        assert shown == sorted(schema, key=lambda key: key.encode())
        for key, value, default, set_by_user, description in tables[f"[{section}]"]:
            expected = schema[key]["default"]
            expected = expected if isinstance(expected, str) else json.dumps(expected, separators=(",", ":"))
            assert (value, default, set_by_user) == (expected, expected, "No")
            assert description == schema[key].get("description", "")


# A configuration string is data: whatever it holds, no control character but tab and the line
# breaks of multi-line cells reaches the terminal. What is left after white-space folding shows
# as a \u escape, counted at its printed width.
@pytest.mark.parametrize(
    "literal, shown",
    [
        (r'"\u001b]52;c;aGk=\u0007"', r"\u001b]52;c;aGk=\u0007"),  # OSC 52 sets the clipboard
        (r'"\u001b[2J"', r"\u001b[2J"),  # clears the screen
        (r'"\u009b2J"', r"\u009b2J"),  # the same through the one-character C1 introducer
        (r'"a\u0000b\u0001"', r"a\u0000b\u0001"),
        (r'"ab\bc"', r"ab\u0008c"),
        (r'"del\u007f"', r"del\u007f"),
        (r'"\u0080\u009f"', r"\u0080\u009f"),
        (r'"a\u0085b"', "a b"),  # NEL is white space: after a word it folds to a space
        (r'"\u0085b"', r"\u0085b"),  # ... and at the start of a line it stays, escaped
        (r'"\rx"', r"\u000dx"),
        (r'"a\u000b\u000bb"', r"a \u000bb"),
        (r'"\tx"', "\tx"),
        (r'"é\u00a0©\u00ad\u00a0\u00a0x"', "é ©\u00ad \u00a0x"),  # U+00A0..U+00AD share C1's lead byte
    ],
)
def test_control_characters_in_cells_are_escaped(explain, literal, shown):
    out = explain(f"[config]\ncustom_string = {literal}\n")
    assert row(out, "config", "custom_string") == [
        "custom_string", shown, "null", "Yes", "A custom string to add to the model."]
    config = out[out.index("[config]"):out.index("[load]")].split("\n")[1:-2]
    assert len({len(line) for line in config}) == 1
    assert not [c for c in out if (ord(c) < 0x20 and c not in "\n\t") or 0x7F <= ord(c) <= 0x9F]


@pytest.mark.parametrize(
    "literal, shown",
    [
        (r'["\u001b[2J", "\u009b", "a\u007f", "\u0000", "\t\n"]', r'["\u001b[2J","\u009b","a\u007f","\u0000","\t\n"]'),
        (r'["é©\u00ad"]', '["é©\u00ad"]'),
    ],
)
def test_control_characters_in_list_elements_take_json_escapes(explain, literal, shown):
    out = explain(f'[load]\nmodel_type = "Onnx"\ninputs = {literal}\n')
    assert row(out, "load", "inputs")[1] == shown


HOSTILE_TABLE = """\
╔══════╤═════════╗
║Key   │Value    ║
╟──────┼─────────╢
║k     │one\\u001b║
║      │\\u0007two║
╟──────┼─────────╢
║\\u009b│\\u007f   ║
╚══════╧═════════╝"""


def test_escapes_in_multi_line_cells_count_their_width():
    rows = [["Key", "Value"], ["k", "one\x1b\n\x07two\r\n"], ["\x9b", "\x7f"]]
    assert qarv_test_hooks.render_table(rows) == HOSTILE_TABLE


CONTROLS = [chr(c) for c in [*range(0x20), *range(0x7F, 0xA0)]]


@pytest.mark.parametrize("seed", range(5))
def test_random_hostile_cells_keep_the_frame(seed):
    # Every line as long as the others (so escapes were counted at their printed width) and no
    # control character on the way out but tab and the line feeds between lines.
    chance = random.Random(seed)
    alphabet = CONTROLS + ["a", "é", "漢", " ", "\u3000", "\r\n", "\\u"]
    rows = [[("".join(chance.choice(alphabet) for _ in range(chance.randint(0, 12)))) for _ in range(4)]
            for _ in range(6)]
    drawn = qarv_test_hooks.render_table(rows).split("\n")
    assert len({len(line) for line in drawn}) == 1
    assert drawn[0][0] == "╔" and drawn[-1][0] == "╚" and all(line[0] in "║╟" for line in drawn[1:-1])
    assert not [c for line in drawn for c in line if c in CONTROLS and c != "\t"]


@pytest.mark.parametrize(
    "literal, found",
    [
        (r'"a\u007fb"', r'"a\u007fb"'),
        (r'"\u009b2J\u0085"', r'"\u009b2J\u0085"'),
        (r'"\u001b]52;c;x\u0007"', r'"\u001b]52;c;x\u0007"'),
        (r'"é\u00a0©"', '"é\u00a0©"'),
    ],
)
def test_found_strings_in_error_reports_escape_controls(config_path, literal, found):
    with pytest.raises(RuntimeError) as raised:
        qarv_convert_inner.rust_explain(config_path(f"[build]\ndo_quantization = {literal}\n"))
    assert f"invalid type: string {found}, expected a boolean" in str(raised.value)


@pytest.mark.parametrize(
    "element, shown",
    [
        # White space after a non-white-space character, the opening quote included, is one space.
        (r"a\u0085b", '"a b"'),
        (r"\u0085x", '" x"'),
        (r"a\u2028b", '"a b"'),
        # A NEL after a space is not folded: it stays a control and is escaped by the table.
        (r"c \u0085d", r'"c \u0085d"'),
        # JSON text escapes only quote, backslash and the controls below U+0020 ...
        (r"q\"\\z", r'"q\"\\z"'),
        (r"t\tb", r'"t\tb"'),
        (r"\u0001", r'"\u0001"'),
        # ... so DEL and the C1 controls reach the table as they are, which escapes them.
        (r"e\u007ff", r'"e\u007ff"'),
        (r"g\u009bh", r'"g\u009bh"'),
    ],
)
def test_strings_inside_lists_are_json_text_then_cell_text(explain, element, shown):
    output = explain(f'[load]\nmodel_type = "Onnx"\noutputs = ["{element}"]\n')
    assert row(output, "load", "outputs")[1] == f"[{shown}]"


def test_load_failure_prints_nothing(config_path, capfd):
    with pytest.raises(RuntimeError, match="^TOML parse error at line "):
        qarv_convert_inner.rust_explain(config_path("[build]\ndo_quantization = 1\n"))
    assert capfd.readouterr().out == ""


def run_python(code, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60, **kwargs)


def test_output_bypasses_sys_stdout(config_path):
    path = config_path("[build]\ndataset = 'd'\n")
    result = run_python(f"""
        import io, sys, qarv_convert_inner
        sys.stdout = replaced = io.StringIO()
        qarv_convert_inner.rust_explain({path!r})
        sys.stderr.write(repr(replaced.getvalue()))
    """)
    assert result.stderr == "''"
    assert result.stdout.startswith("\n[Configuration Summary]\n\n[config]\n")
    assert "║dataset        │d    │null   │Yes" in result.stdout


@pytest.mark.parametrize(
    "break_stdout, reason",
    [
        ("os.close(1)", "Bad file descriptor (os error 9)"),
        ("r, w = os.pipe(); os.dup2(w, 1); os.close(r); os.close(w)", "Broken pipe (os error 32)"),
    ],
)
def test_failed_write_raises_panic_past_except_exception(config_path, break_stdout, reason):
    path = config_path()
    result = run_python(f"""
        import os, sys, qarv_convert_inner
        {break_stdout}
        try:
            try:
                qarv_convert_inner.rust_explain({path!r})
            except Exception as error:
                sys.stderr.write("caught as Exception: " + repr(error))
        except BaseException as error:
            sys.stderr.write("\\n" + type(error).__name__ + ": " + str(error))
    """)
    assert result.stderr.splitlines()[-1] == f"PanicException: failed printing to stdout: {reason}"


@pytest.mark.memory_bound
def test_huge_value_is_written_without_holding_its_table(config_path):
    # A 4 MB value widens every line of its table: the summary is about 250 MB. It is drawn and
    # written in bounded pieces, so the process grows by about its input, not its output. VmHWM
    # is the child's own peak; ru_maxrss would start from the parent's.
    path = config_path('[config]\ncustom_string = "' + "v" * 4_000_000 + '"\n')
    result = run_python(f"""
        import os, re, sys, qarv_convert_inner
        def peak():
            with open("/proc/self/status") as status:
                return int(re.search(r"VmHWM:\\s*(\\d+) kB", status.read()).group(1))
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        before = peak()
        qarv_convert_inner.rust_explain({path!r})
        sys.stderr.write(str(peak() - before))
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stderr) < 50_000  # KiB


@pytest.mark.parametrize(
    "value",
    [
        # 150,000 lines padded to a line of 150,000 characters: tens of gigabytes of summary.
        "a\\n" * 50_000 + "b" * 150_000,
        # Escapes widen: each control character shows as six, on each of its many lines.
        "\\u0001" * 40_000 + "\\n" * 50_000,
    ],
    ids=["square", "escapes"],
)
def test_summary_beyond_its_cap_is_refused_before_writing(config_path, capfd, value):
    path = config_path(f'[config]\ncustom_string = "{value}"\n')
    capfd.readouterr()
    with pytest.raises(RuntimeError) as caught:
        qarv_convert_inner.rust_explain(path)
    assert type(caught.value) is RuntimeError
    message = str(caught.value)
    assert message.startswith("the summary would take ")
    assert message.endswith(" bytes, more than its cap of 256 MiB; nothing was written")
    assert int(message.split()[4]) > 256 << 20
    assert capfd.readouterr().out == ""


MULTI_LINE = """\
╔═════════════╤═══════════╗
║Key          │Value      ║
╟─────────────┼───────────╢
║custom_string│first line ║
║             │second line║
╟─────────────┼───────────╢
║x            │           ║
╚═════════════╧═══════════╝"""


def test_render_multi_line_cell_byte_for_byte():
    rows = [["Key", "Value"], ["custom_string", "first line\nsecond line"], ["x", ""]]
    assert qarv_test_hooks.render_table(rows) == MULTI_LINE


@pytest.mark.parametrize(
    "cell, lines",
    [
        ("", [""]),
        ("a\n", ["a"]),
        ("a\r\nb", ["a", "b"]),
        ("a\tb", ["a b"]),
        ("\tlead  two", ["\tlead  two"]),
        ("x\u3000\u00a0y", ["x \u00a0y"]),
        ("a\rb", ["a b"]),
        ("é漢字", ["é漢字"]),
    ],
)
def test_cell_lines_and_white_space(cell, lines):
    width = max(len(line) for line in lines)
    drawn = qarv_test_hooks.render_table([[cell, "z"]]).split("\n")
    assert drawn[0] == "╔" + "═" * width + "╤═╗"
    second = ["z"] + [" "] * (len(lines) - 1)
    assert drawn[1:-1] == ["║" + line.ljust(width) + "│" + z + "║" for line, z in zip(lines, second)]
    assert {len(line) for line in drawn} == {width + 4}


@pytest.mark.parametrize("rows", [[], [[]], [["a", "b"], ["c"]]])
def test_render_refuses_tables_it_cannot_draw(rows):
    with pytest.raises(BaseException) as raised:
        qarv_test_hooks.render_table(rows)
    assert type(raised.value).__name__ == "PanicException"
    assert not isinstance(raised.value, Exception)


@pytest.mark.parametrize("rows", [None, [["a", 1]], ["ab"]])
def test_render_argument_errors(rows):
    with pytest.raises(TypeError):
        qarv_test_hooks.render_table(rows)


@pytest.mark.parametrize("name", sorted(set(SECTION_RECORDS.values())))
def test_schema_document_shape(name):
    text = qarv_test_hooks.schema_document(name)
    document = json.loads(text)
    assert list(document) == ["$schema", "properties", "title", "type"]
    assert document["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    assert (document["title"], document["type"]) == (name, "object")
    # Members in byte order of key, which the summary's rows follow.
    assert list(document["properties"]) == sorted(document["properties"], key=str.encode)
    assert "$defs" not in text and '"required"' not in text


def properties(name):
    return json.loads(qarv_test_hooks.schema_document(name))["properties"]


def test_schema_limits_types_and_defaults():
    config = properties("ConfigConfig")
    assert {k: config["optimization_level"][k] for k in ("type", "format", "minimum", "maximum", "default")} == {
        "type": "integer", "format": "uint8", "minimum": 0, "maximum": 3, "default": 3}
    assert type(config["optimization_level"]["minimum"]) is int
    assert config["target_platform"]["minLength"] == 1 and "minItems" not in config["target_platform"]
    assert config["mean_values"]["type"] == ["array", "null"]
    assert config["mean_values"]["items"] == {"type": "number", "format": "float"}
    assert config["quant_img_RGB2BGR"]["default"] is False
    shapes = properties("OnnxLoadConfig")["input_size_list"]
    assert shapes["items"] == {"type": "array", "items": {"type": "integer", "format": "uint", "minimum": 0}}
    assert properties("BuildConfig")["qarv_batch_size"] == {
        "type": ["integer", "null"], "format": "int32", "default": None,
        "description": "Batch size for inference (default: None)"}
    assert properties("AccuracyAnalysisConfig")["inputs"]["type"] == "array"
    assert properties("AccuracyAnalysisConfig")["inputs"]["default"] == []
    assert properties("ExportConfig")["export_path"] == {"type": ["string", "null"], "default": None}


@pytest.mark.parametrize("name, error", [("Configuration", ValueError), ("LoadConfig", ValueError), (3, TypeError)])
def test_schema_document_refuses_other_names(name, error):
    with pytest.raises(error):
        qarv_test_hooks.schema_document(name)
