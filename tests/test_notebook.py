"""The API in a Jupyter notebook: a real kernel runs the cells, and their outputs hold the summary."""
import importlib.util
import json
import subprocess
import sys

import pytest

import qarv_convert
from tool_environment import sanitizer_settings, without_sanitizers

for needed, why in (("nbclient", "pip install nbclient"), ("ipykernel", "pip install ipykernel")):
    if importlib.util.find_spec(needed) is None:
        pytest.skip(f"{needed} is not installed ({why})", allow_module_level=True)

GOOD = '[config]\ntarget_platform = "tx9300"\n[build]\ndataset = "calibration.txt"\n'
BAD = '[build]\ndo_quantization = "yes"\n'

# Runs the cells given as a JSON list in a kernel named by the kernel spec the test writes, and
# prints the cells with their outputs as JSON. It runs in a process of its own, like a notebook
# server would, so that the test's process never imports the Jupyter client.
DRIVER = """
import json, sys
import nbclient, nbformat
cells = [nbformat.v4.new_code_cell(source) for source in json.loads(sys.argv[1])]
notebook = nbformat.v4.new_notebook(cells=cells)
client = nbclient.NotebookClient(notebook, kernel_name="qarv-test", timeout=120, startup_timeout=60,
                                 allow_errors=True, resources={"metadata": {"path": "."}})
try:
    client.execute()
except Exception as error:
    if client.kc is None:
        print(json.dumps({"unstarted": f"{type(error).__name__}: {error}"}))
        sys.exit(0)
    raise
print(json.dumps({"cells": [cell["outputs"] for cell in notebook.cells]}))
"""


@pytest.fixture
def run_notebook(tmp_path):
    """`run_notebook(*cells)` runs the cells in a kernel of this interpreter, the one the package
    is installed in (a kernel spec in a directory of the test's own), and returns each cell's
    outputs."""
    spec = tmp_path / "jupyter" / "kernels" / "qarv-test"
    spec.mkdir(parents=True)
    kernel_environment = sanitizer_settings()
    if "ASAN_OPTIONS" in kernel_environment:
        # The kernel loads the module, so it runs under the sanitizers; the leaks it reports at
        # exit would be the Jupyter stack's own.
        kernel_environment["ASAN_OPTIONS"] += ":detect_leaks=0"
    (spec / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "qarv-convert tests", "language": "python", "env": kernel_environment}))
    environment = dict(without_sanitizers(), JUPYTER_PATH=str(tmp_path / "jupyter"),
                       JUPYTER_RUNTIME_DIR=str(tmp_path / "runtime"), IPYTHONDIR=str(tmp_path / "ipython"))

    def run(*sources):
        ran = subprocess.run([sys.executable, "-c", DRIVER, json.dumps(sources)], cwd=tmp_path, env=environment,
                             capture_output=True, text=True, timeout=300)
        assert ran.returncode == 0, ran.stderr
        outcome = json.loads(ran.stdout)
        if "unstarted" in outcome:
            pytest.skip(f"an ipykernel kernel cannot start here: {outcome['unstarted']}")
        return outcome["cells"]

    return run


def only_output(outputs):
    (output,) = outputs
    return output


def test_the_summary_and_reports_show_in_the_cells(run_notebook, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "good.toml").write_text(GOOD)
    (tmp_path / "bad.toml").write_text(BAD)
    summary = qarv_convert.explain("good.toml")  # from the same directory as the kernel
    shown, checked, failed = run_notebook(
        "import qarv_convert\nqarv_convert.explain('good.toml')",
        "qarv_convert.check('bad.toml')",
        "qarv_convert.explain('bad.toml')",
    )

    output = only_output(shown)
    assert output["output_type"] == "execute_result"
    assert output["data"]["text/plain"] == summary.text
    assert output["data"]["text/html"] == summary._repr_html_()
    assert 'class="set-by-user"' in output["data"]["text/html"]

    report = only_output(checked)["data"]
    assert "bad.toml:2:19: error: invalid type: string \"yes\", expected a boolean" in report["text/plain"]
    assert "expected a boolean" in report["text/html"]

    error = only_output(failed)
    assert error["output_type"] == "error" and error["ename"] == "ConfigurationError"
    assert error["evalue"].startswith("bad.toml: invalid configuration\nTOML parse error at line 2, column 19")
