"""The API in a Jupyter notebook: a real kernel runs the cells, and their outputs hold the summary."""
import json
import sys

import pytest

import qarv_convert

nbclient = pytest.importorskip("nbclient", reason="nbclient is not installed (pip install nbclient)")
nbformat = pytest.importorskip("nbformat", reason="nbformat is not installed (nbclient brings it)")
pytest.importorskip("ipykernel", reason="ipykernel is not installed (pip install ipykernel)")

GOOD = '[config]\ntarget_platform = "tx9300"\n[build]\ndataset = "calibration.txt"\n'
BAD = '[build]\ndo_quantization = "yes"\n'


@pytest.fixture
def run_notebook(tmp_path, monkeypatch):
    """`run_notebook(*cells)` runs the cells in a kernel of this interpreter, the one the package
    is installed in (a kernel spec in a directory of the test's own), and returns the cells with
    their outputs."""
    spec = tmp_path / "jupyter" / "kernels" / "qarv-test"
    spec.mkdir(parents=True)
    (spec / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "qarv-convert tests", "language": "python"}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path / "jupyter"))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "runtime"))
    monkeypatch.setenv("IPYTHONDIR", str(tmp_path / "ipython"))
    monkeypatch.chdir(tmp_path)

    def run(*sources):
        notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(source) for source in sources])
        client = nbclient.NotebookClient(notebook, kernel_name="qarv-test", timeout=120, startup_timeout=60,
                                         allow_errors=True, resources={"metadata": {"path": str(tmp_path)}})
        try:
            client.execute()
        except (RuntimeError, TimeoutError, OSError) as error:
            if not client.kc:
                pytest.skip(f"an ipykernel kernel cannot start here: {error}")
            raise
        return notebook.cells

    return run


def only_output(cell):
    (output,) = cell.outputs
    return output


def test_the_summary_and_reports_show_in_the_cells(run_notebook, tmp_path):
    (tmp_path / "good.toml").write_text(GOOD)
    (tmp_path / "bad.toml").write_text(BAD)
    summary = qarv_convert.explain("good.toml")  # from the same directory as the kernel
    shown, checked, failed = run_notebook(
        "import qarv_convert\nqarv_convert.explain('good.toml')",
        "qarv_convert.check('bad.toml')",
        "qarv_convert.explain('bad.toml')",
    )

    output = only_output(shown)
    assert output.output_type == "execute_result"
    assert output.data["text/plain"] == summary.text
    assert output.data["text/html"] == summary._repr_html_()
    assert 'class="set-by-user"' in output.data["text/html"]

    report = only_output(checked).data
    assert "bad.toml:2:19: error: invalid type: string \"yes\", expected a boolean" in report["text/plain"]
    assert "expected a boolean" in report["text/html"]

    error = only_output(failed)
    assert error.output_type == "error" and error.ename == "ConfigurationError"
    assert error.evalue.startswith("bad.toml: invalid configuration\nTOML parse error at line 2, column 19")
