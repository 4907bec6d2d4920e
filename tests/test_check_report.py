"""`check --run`, `--outputs` and `--report` from the command line; the report page opened in a real
headless Chromium, which must render it offline without a console message or a request."""
import importlib.util
import json
import os
import shutil
import subprocess

import numpy as np
import pytest

import sample_fixtures as fx

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed (`make test` installs it)")


@pytest.fixture
def material(tmp_path):
    """A classifier, 20 Pillow-written images of which one is all black, and its configuration."""
    fx.classifier(tmp_path / "model.onnx")
    images = [fx.pixels(seed, (8, 8, 3)) for seed in range(20)]
    images[5] = np.zeros((8, 8, 3), np.uint8)
    fx.write_dataset(tmp_path, fx.write_images(tmp_path, images))
    (tmp_path / "config.toml").write_text(fx.configuration(fx.MEAN, fx.STD, swap=True))
    return tmp_path


def browse(page, workdir):
    """Opens `page` in headless Chromium with every host unresolvable: the console messages it logs
    and the URLs the page itself asked for (the browser's own background requests left out)."""
    log = workdir / "net.json"
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               f"--user-data-dir={workdir / 'profile'}", "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--host-resolver-rules=MAP * ~NOTFOUND", "--enable-logging=stderr", "--v=0",
               f"--log-net-log={log}", "--net-log-capture-mode=Everything",
               f"--screenshot={workdir / 'page.png'}", "--window-size=1100,2000", page.as_uri()]
    # The browser is not ours to sanitize: the sanitized run's preloaded runtimes stay out of it.
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    result = subprocess.run(command, capture_output=True, text=True, timeout=120, cwd=workdir, env=environment)
    console = [line for line in result.stderr.splitlines() if ":CONSOLE" in line]
    events = json.loads(log.read_text())
    start = events["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    requested = [event["params"]["url"] for event in events["events"]
                 if event["type"] == start and "url" in event.get("params", {})
                 and event["params"].get("initiator") != "not an origin"]
    return console, requested


@needs_chromium
def test_the_browser_check_sees_console_errors_and_requests(tmp_path):
    """The detector itself: a page that loads an outside image and logs an error is caught."""
    page = tmp_path / "outside.html"
    page.write_text('<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>'
                    '<img src="http://example.invalid/x.png"><script>console.error("broken")</script></body></html>')
    console, requested = browse(page, tmp_path)
    assert any("broken" in line for line in console)
    assert requested == ["http://example.invalid/x.png"]


@needs_chromium
def test_the_report_renders_offline_without_a_console_message(material, cli):
    outcome = cli("check", "--run", "--report", material / "report.html", "config.toml", cwd=material)
    assert outcome.returncode == 0, outcome.stderr
    console, requested = browse(material / "report.html", material)
    assert console == [] and requested == []
    assert (material / "page.png").stat().st_size > 10000


def test_the_report_holds_every_diagnostic_and_each_plot(material, cli):
    outcome = cli("check", "--run", "--report", "report.html", "config.toml", cwd=material)
    page = (material / "report.html").read_text()
    warning = "1 sample holds a single value throughout: `images/005.png` (line 6, all 0)"
    assert warning in outcome.stderr and warning in page
    # The input's histograms before and after normalization side by side, then the float output's.
    assert page.count("<svg") == 2 and "as stored" in page and "as fed to the model (normalized)" in page
    assert page.count('src="data:image/png;base64,') == 4
    for configured in ("123.675", "116.28", "103.53", "58.395"):
        assert f"<td>{configured}</td>" in page
    assert "ran `model.onnx` with onnxruntime on 20 samples" in page and "output <code>output</code>" in page


def test_one_page_for_several_configurations(material, cli):
    (material / "second.toml").write_text(fx.configuration())
    outcome = cli("check", "--report", "report.html", "config.toml", "second.toml", cwd=material)
    page = (material / "report.html").read_text()
    assert outcome.returncode == 0
    assert "<h2>config.toml</h2>" in page and "<h2>second.toml</h2>" in page


def test_outputs_are_kept_per_sample(material, cli):
    outcome = cli("check", "--run", "--outputs", "out.npz", "--samples", "7", "config.toml", cwd=material)
    assert outcome.returncode == 0, outcome.stderr
    with np.load(material / "out.npz") as kept:
        lines = list(kept["lines"])
        assert len(lines) == 7 and sorted(kept.files) == sorted(["lines"] + [f"output/{line}" for line in lines])
        assert kept[f"output/{lines[0]}"].shape == (1, 4)


@pytest.mark.parametrize("arguments, message", [
    (["--outputs", "o.npz"], "--outputs keeps the outputs of --run for one configuration"),
    (["--run", "--outputs", "o.npz", "config.toml"], "--outputs keeps the outputs of --run for one configuration"),
])
def test_outputs_need_the_run_of_one_configuration(material, cli, arguments, message):
    outcome = cli("check", *arguments, "config.toml", cwd=material)
    assert outcome.returncode == 2 and message in outcome.stderr


@pytest.mark.parametrize("value", ["-1", "many"])
def test_the_sample_count_is_a_whole_number(material, cli, value):
    assert cli("check", "--samples", value, "config.toml", cwd=material).returncode == 2


@pytest.mark.parametrize("option, module, extra", [
    (["--run"], "onnxruntime", "run"),
    (["--report", "r.html"], "matplotlib", "report"),
])
def test_a_missing_extra_is_named_before_anything_runs(material, cli, monkeypatch, option, module, extra):
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == module else real(name, *a))
    outcome = cli("check", *option, "config.toml", cwd=material)
    assert outcome.returncode == 1
    assert outcome.stderr == (f"qarv-convert: {option[0]} needs {module}, which is not installed; install it with the "
                              f"`{extra}` extra: pip install 'qarv-convert[{extra}]'\n")
    assert not os.path.exists(material / "r.html")


def test_a_report_that_cannot_be_written(material, cli):
    outcome = cli("check", "--report", "missing/r.html", "config.toml", cwd=material)
    assert outcome.returncode == 1 and "--report missing/r.html: No such file or directory" in outcome.stderr


def test_the_json_form_counts_samples_and_the_run(material, cli):
    outcome = cli("check", "--run", "--format", "json", "config.toml", cwd=material)
    [report] = json.loads(outcome.stdout)
    assert report["samples"] == {"total": 20, "read": 20, "distinct": 20}
    assert report["run"]["ran"] == 20 and report["run"]["not_run"] is None


def test_the_run_reports_nothing_to_onnxruntimes_maker(material, tmp_path):
    """onnxruntime's session reports stay off: no store for them appears in the home folder."""
    import sys

    home = tmp_path / "home"
    home.mkdir()
    environment = {name: value for name, value in os.environ.items() if name != "ORT_DISABLE_TELEMETRY"}
    result = subprocess.run([sys.executable, "-m", "qarv_convert", "check", "--run", "config.toml"], cwd=material,
                            env={**environment, "HOME": str(home), "XDG_CACHE_HOME": str(home / ".cache")},
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "ran `model.onnx` with onnxruntime on 20 samples" in result.stderr
    assert list(home.rglob("*")) == []


def test_a_failing_run_is_said_once_in_the_checks_words(material, cli):
    """onnxruntime's own log of the failed node stays out of the output; the diagnostic quotes it."""
    fx.fails_to_run(material / "model.onnx")
    outcome = cli("check", "--run", "config.toml", cwd=material)
    assert outcome.returncode == 1
    assert "[E:onnxruntime" not in outcome.stderr and outcome.stderr.count("cannot be reshaped") == 1
    assert "error: `model.onnx` does not run on the sample of line 1 of `dataset.txt`: " in outcome.stderr


def test_outputs_that_cannot_be_written_stop_the_run_with_an_error(material, cli):
    outcome = cli("check", "--run", "--outputs", "missing/out.npz", "config.toml", cwd=material)
    assert outcome.returncode == 1
    assert "error: the outputs file `missing/out.npz` cannot be written: No such file or directory" in outcome.stderr
    assert "the model was not run: its outputs cannot be kept" in outcome.stderr
