"""The Python API of `qarv_convert`: summaries as text and HTML, diagnostics, plans and conversions."""
import html.parser
import json
import os
import subprocess
import sys

import pytest

import qarv_convert
from conftest import EXAMPLES
from onnx_fixtures import classifier

SUMMARIES = {
    "empty": "",
    "every_table": """
        [config]
        custom_string = "<b>bold</b> & \\u001b[2J"
        mean_values = [123.675, nan, 1e-7]
        [load]
        model_type = "Onnx"
        model = "m.onnx"
        inputs = ["input0"]
        [build]
        do_quantization = true
        [accuracy_analysis]
        [export]
        export_path = "multi\\nline"
    """,
}


@pytest.fixture(params=[*SUMMARIES, *sorted(example.name for example in EXAMPLES.glob("*.toml"))])
def configuration(request, write_config):
    if request.param in SUMMARIES:
        return write_config(SUMMARIES[request.param])
    return str(EXAMPLES / request.param)


class Table(html.parser.HTMLParser):
    """The rows of an HTML table: cell texts, and whether the row is marked as set by the user."""

    def __init__(self):
        super().__init__()
        self.rows, self._cell = [], None

    def handle_starttag(self, tag, attributes):
        if tag == "tr":
            self.rows.append(("set-by-user" in (dict(attributes).get("class") or ""), []))
        elif tag in ("td", "th"):
            self._cell = ""

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self.rows[-1][1].append(self._cell)
            self._cell = None


def test_explain_gives_the_summary_the_module_prints(configuration, capfd):
    import qarv_convert_inner

    qarv_convert_inner.rust_explain(configuration)
    printed = capfd.readouterr().out
    summary = qarv_convert.explain(configuration)
    assert str(summary) == summary.text == printed
    assert capfd.readouterr() == ("", "")  # the API's summary reaches no descriptor


def test_the_html_table_marks_the_rows_that_differ_from_the_default(configuration):
    from qarv_convert.text import printable

    summary = qarv_convert.explain(configuration)
    table = Table()
    table.feed(summary._repr_html_())
    body = [(marked, cells) for marked, cells in table.rows if len(cells) == 5 and cells[0] != "Key"]
    expected = [(row.set_by_user, [printable(text) for text in
                                   (row.key, row.value_text, row.default_text, "Yes" if row.set_by_user else "No",
                                    row.description)])
                for _, row in summary.rows()]
    assert body == expected
    # Every table, in the summary's order, heads its rows.
    headings = [cells[0] for _, cells in table.rows if len(cells) == 1]
    assert headings == [f"[{section}]" for section in summary.sections]
    assert headings == [line for line in summary.text.split("\n") if line.startswith("[") and line != "[Configuration Summary]"]


def test_rows_carry_values_as_python_and_as_the_summary_shows_them(write_config):
    summary = qarv_convert.explain(write_config('[config]\nmean_values = [0.5, inf]\n[build]\ndataset = "d.txt"\n'))
    config = {row.key: row for row in summary.sections["config"]}
    assert config["mean_values"].value == [0.5, None] and config["mean_values"].value_text == "[0.5,null]"
    assert config["optimization_level"].value == 3 and not config["optimization_level"].set_by_user
    dataset = next(row for row in summary.sections["build"] if row.key == "dataset")
    assert (dataset.value, dataset.value_text, dataset.default, dataset.set_by_user) == ("d.txt", "d.txt", None, True)
    assert repr(summary).endswith(": 2 values set by the file>")


def test_markup_in_values_stays_text(write_config):
    page = qarv_convert.explain(write_config('[config]\ncustom_string = "<script>alert(1)</script>"\n'))._repr_html_()
    assert "<script>" not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page


@pytest.mark.parametrize("text, report", [
    ('[build]\ndo_quantization = "yes"\n', 'invalid configuration\nTOML parse error at line 2, column 19'),
    (None, "No such file or directory (os error 2)"),
])
@pytest.mark.parametrize("function", ["explain", "plan"])
def test_a_file_that_does_not_load_raises_its_report(function, text, report, write_config, tmp_path):
    path = write_config(text) if text is not None else str(tmp_path / "missing.toml")
    with pytest.raises(qarv_convert.ConfigurationError) as raised:
        getattr(qarv_convert, function)(path)
    assert str(raised.value).startswith(f"{path}: ") and report in str(raised.value)
    assert isinstance(raised.value, RuntimeError)


def test_check_gives_the_pre_flight_diagnostics(write_config, cli):
    path = write_config('[config]\nquant_img_rgb2bgr = true\n[build]\ndo_quantization = false\n')
    diagnostics = qarv_convert.check(path)
    assert isinstance(diagnostics, list) and all(isinstance(d, qarv_convert.Diagnostic) for d in diagnostics)
    typo = next(d for d in diagnostics if d.key == "config.quant_img_rgb2bgr")
    assert (typo.severity, typo.line, typo.column) == (qarv_convert.Severity.WARNING, 2, 1)
    assert "did you mean `quant_img_RGB2BGR`?" in typo.message
    assert diagnostics.errors == [d for d in diagnostics if d.severity is qarv_convert.Severity.ERROR]
    assert f"{path}:2:1: warning: unknown key" in str(diagnostics)


def test_check_reports_a_file_that_does_not_load_as_one_error(write_config):
    diagnostics = qarv_convert.check(write_config('[build]\ndo_quantization = "yes"\n'))
    (error,) = diagnostics
    assert error.severity is qarv_convert.Severity.ERROR and (error.line, error.column) == (2, 19)
    assert "expected a boolean" in str(diagnostics) and "expected a boolean" in diagnostics._repr_html_()


def test_plan_gives_the_calls_plan_lists(cli):
    example = str(EXAMPLES / "resnet50.toml")
    calls = qarv_convert.plan(example, preflight=False)
    assert [call.method for call in calls] == ["config", "load_onnx", "build", "accuracy_analysis", "export_qarv"]
    listed = cli("plan", "--no-preflight", example).stdout.splitlines()
    assert [f"<Call {line.split('. ', 1)[1]}>" for line in listed] == [repr(call) for call in calls]
    assert calls[1].args == ("resnet50.onnx",) and calls[1].kwargs["inputs"] == ["input"]


@pytest.fixture
def convertible(tmp_path, monkeypatch):
    """A configuration that passes the pre-flight, with its model, in the current directory."""
    monkeypatch.chdir(tmp_path)
    classifier(tmp_path / "model.onnx")
    (tmp_path / "config.toml").write_text('[build]\ndo_quantization = false\n[export]\nexport_path = "out.qarv"\n')
    return "config.toml"


def test_convert_runs_the_steps_and_returns_the_record(convertible, fake_qarv, tmp_path):
    kept = tmp_path / "run.json"
    outcome = qarv_convert.convert(convertible, record=kept)
    assert fake_qarv.steps == ["config", "load_onnx", "build", "export_qarv"]
    assert outcome["status"] == "succeeded" and outcome["failure"] is None
    assert json.loads(kept.read_text()) == outcome


def test_a_failed_step_raises_with_the_failure_and_keeps_the_record(convertible, fake_qarv, tmp_path):
    fake_qarv.outcomes["build"] = 3
    kept = tmp_path / "run.json"
    with pytest.raises(qarv_convert.ConversionError, match="qarv.build failed with code 3"):
        qarv_convert.convert(convertible, record=kept)
    assert json.loads(kept.read_text())["status"] == "failed"


def test_a_pre_flight_error_stops_before_the_toolkit(convertible, fake_qarv, tmp_path):
    (tmp_path / "model.onnx").unlink()
    with pytest.raises(qarv_convert.ConfigurationError, match="the model `model.onnx` does not exist"):
        qarv_convert.convert(convertible)
    assert fake_qarv.calls == []


def test_the_api_is_imported_only_when_used():
    probe = ("import sys, qarv_convert, qarv_convert.cli\n"
             "before = 'qarv_convert.api' in sys.modules\n"
             "qarv_convert.explain\n"
             "print(before, 'qarv_convert.api' in sys.modules, 'explain' in dir(qarv_convert))")
    ran = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert ran.stdout.split() == ["False", "True", "True"]
    with pytest.raises(AttributeError, match="no attribute 'nonesuch'"):
        qarv_convert.nonesuch


@pytest.fixture
def elsewhere(convertible, tmp_path, monkeypatch):
    """The convertible configuration's folder, with the current directory moved away from it."""
    away = tmp_path / "away"
    away.mkdir()
    monkeypatch.chdir(away)
    return tmp_path


EXPORT_OVERRIDE = 'export.export_path="nowhere/out.qarv"'


def _export_path(function, result):
    """The export path in force, as each API function shows it."""
    if function == "check":
        # Read from the model's folder (no other error), the override's folder is missing.
        return [(d.key, d.message.split("`")[1]) for d in result]
    if function == "explain":
        return next(row.value for row in result.sections["export"] if row.key == "export_path")
    return result[-1].args[0] if function == "plan" else result["steps"][-1]["args"][0]


@pytest.mark.parametrize("function, expected", [
    ("check", [("export.export_path", "nowhere")]),
    ("plan", "nowhere/out.qarv"),
    ("explain", "nowhere/out.qarv"),
    ("convert", "nowhere/out.qarv"),
])
def test_overrides_and_directory_reach_every_function(function, expected, elsewhere, fake_qarv):
    if function in ("plan", "convert"):  # the pre-flight stops them while the export folder is missing
        (elsewhere / "nowhere").mkdir()
    result = getattr(qarv_convert, function)("config.toml", overrides=[EXPORT_OVERRIDE], directory=elsewhere)
    assert _export_path(function, result) == expected
    assert os.getcwd() == str(elsewhere / "away")
    if function == "convert":
        assert result["overrides"] == [EXPORT_OVERRIDE]
        assert result["command_line"] == ["qarv-convert", "convert", "-C", str(elsewhere), "--set", EXPORT_OVERRIDE,
                                          "config.toml"]


@pytest.mark.parametrize("function", ["check", "plan", "explain", "convert"])
def test_a_directory_that_cannot_be_entered_raises(function, elsewhere, fake_qarv):
    with pytest.raises(qarv_convert.ConfigurationError, match="No such file or directory"):
        getattr(qarv_convert, function)("config.toml", directory=elsewhere / "nonesuch")
    assert fake_qarv.calls == []


@pytest.mark.parametrize("function", ["plan", "explain", "convert"])
def test_a_faulty_override_raises_its_report(function, convertible, fake_qarv):
    with pytest.raises(qarv_convert.ConfigurationError, match="expected a boolean"):
        getattr(qarv_convert, function)(convertible, overrides=['build.do_quantization="yes"'])
    assert fake_qarv.calls == []


def test_plan_runs_the_pre_flight_unless_told_not_to(convertible, tmp_path):
    (tmp_path / "model.onnx").unlink()
    with pytest.raises(qarv_convert.ConfigurationError, match="the model `model.onnx` does not exist"):
        qarv_convert.plan(convertible)
    assert [call.method for call in qarv_convert.plan(convertible, preflight=False)][-1] == "export_qarv"
