"""The one conversion function the command and the API share: how each kind of run ends, in its
record and in the file it keeps."""
import json

import pytest

from onnx_fixtures import classifier
from qarv_convert import run_record
from qarv_convert.conversion import convert

CLEAN = '[build]\ndo_quantization = false\n[export]\nexport_path = "out.qarv"\n'


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    classifier(tmp_path / "model.onnx")
    return tmp_path


class Events:
    """A progress sink that notes what it is told, and the pre-flight reports it is given."""

    def __init__(self):
        self.seen, self.reports = [], []

    def started(self, step):
        self.seen.append(("started", step.method))

    def finished(self, step):
        self.seen.append(("finished", step.method))

    def skipped(self, method, reason):
        self.seen.append(("skipped", method, reason))

    def close(self):
        self.seen.append(("close",))

    def attached(self):
        import contextlib

        return contextlib.nullcontext()


@pytest.mark.parametrize("text, strict, stopped, failure", [
    ('[build]\ndo_quantization = "yes"\n', False, run_record.LOAD, "expected a boolean"),
    ('[load]\nmodel_type = "Onnx"\nmodel = "gone.onnx"\n' + CLEAN, False, run_record.PREFLIGHT, "not converted: 1 pre-flight error(s)"),
    ("[build]\ndo_quantization = false\n[export]\nexport_path = 'out.qarv'\nextra = 1\n", True, run_record.STRICT,
     "not converted: 1 warning(s) with --strict"),
], ids=["does not load", "pre-flight error", "warning with strict"])
def test_a_run_the_checks_stop_reaches_no_toolkit_and_keeps_its_record(workdir, fake_qarv, text, strict, stopped,
                                                                       failure):
    (workdir / "config.toml").write_text(text)
    events = Events()
    record = convert("config.toml", strict=strict, progress=events, record="run.json", checked=events.reports.append)
    assert (record.stopped_at, record.status) == (stopped, run_record.FAILED) and failure in record.failure
    assert fake_qarv.calls == [] and events.seen == []
    assert events.reports == [record.report] and record.report.errors + record.report.warnings > 0
    kept = json.loads((workdir / "run.json").read_text())
    assert kept["status"] == "failed" and failure in kept["failure"]


def test_a_run_tells_its_progress_every_step_and_why_one_is_passed_over(workdir, fake_qarv):
    (workdir / "config.toml").write_text(CLEAN)
    events = Events()
    texts = []
    record = convert("config.toml", progress=events, record=texts.append, command_line=["x"])
    assert record.stopped_at is None and record.failure is None and record.toolkit_seconds >= 0
    assert events.seen == [("started", "config"), ("finished", "config"), ("started", "load_onnx"),
                           ("finished", "load_onnx"), ("started", "build"), ("finished", "build"),
                           ("skipped", "accuracy_analysis", "no [accuracy_analysis] table"),
                           ("started", "export_qarv"), ("finished", "export_qarv"), ("close",)]
    (text,) = texts
    assert json.loads(text)["command_line"] == ["x"] and json.loads(text)["status"] == "succeeded"


def test_a_failed_step_ends_the_run_at_the_toolkit(workdir, fake_qarv):
    (workdir / "config.toml").write_text(CLEAN)
    fake_qarv.outcomes["build"] = lambda: KeyError("gone")
    record = convert("config.toml")
    assert record.stopped_at == run_record.TOOLKIT and isinstance(record.error, RuntimeError)
    assert record.failure == str(record.error) and "KeyError" in record.failure and "gone" in record.traceback
    assert [step.method for step in record.steps] == ["config", "load_onnx", "build"]


def test_a_record_with_nowhere_to_go_stops_the_run_before_the_checks(workdir, fake_qarv):
    (workdir / "config.toml").write_text(CLEAN)
    events = Events()
    record = convert("config.toml", record=workdir / "no" / "run.json", checked=events.reports.append)
    assert (record.stopped_at, record.failure) == (run_record.RECORD, "no such directory for the record")
    assert events.reports == [] and fake_qarv.calls == []


def test_ctrl_c_in_a_step_passes_through_after_the_record_is_kept(workdir, fake_qarv):
    (workdir / "config.toml").write_text(CLEAN)
    fake_qarv.outcomes["build"] = KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        convert("config.toml", record="run.json")
    kept = json.loads((workdir / "run.json").read_text())
    assert (kept["status"], kept["failure"]) == ("interrupted", "interrupted")
    assert [step["method"] for step in kept["steps"]] == ["config", "load_onnx", "build"]


def test_ctrl_c_that_the_toolkit_turns_into_its_own_error_still_ends_the_run_as_interrupted(workdir, fake_qarv):
    import os
    import signal

    def build():
        try:
            os.kill(os.getpid(), signal.SIGINT)
            signal.sigtimedwait([], 0)  # a moment for the handler to run
        except KeyboardInterrupt:
            return RuntimeError("the toolkit's own way of saying it was stopped")
        return 0

    (workdir / "config.toml").write_text(CLEAN)
    fake_qarv.outcomes["build"] = build
    with pytest.raises(KeyboardInterrupt):
        convert("config.toml", record="run.json")
    kept = json.loads((workdir / "run.json").read_text())
    assert (kept["status"], kept["signal"]) == ("interrupted", "SIGINT")
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
