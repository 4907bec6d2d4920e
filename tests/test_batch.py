"""`qarv-convert batch` and `qarv_convert.batch()`: jobs, names, keys, isolation of misbehaving toolkits, resume, Ctrl-C."""
import csv
import io
import json
import os
import signal
import subprocess
import time
import tomllib

import pytest

from batch_fixtures import (BEHAVIOURS, EXPECTED, FLOOD, batch_command, make_project, run_batch, survivors)
from qarv_convert.batches.jobs import UsageError, job_name, make_jobs, parse_vary, declared_keys, toml_value
from qarv_convert.batches.keys import FileDigests
from qarv_convert.batches.run import parse_size

SWEEP = ["--vary", "build.qarv_batch_size=[1, 2, 3, 4, 5, 6]", "--vary", 'build.dataset=["a.txt", "b.txt"]']


@pytest.fixture
def project(tmp_path):
    return tmp_path, make_project(tmp_path)


def results_of(root, out="runs"):
    with open(os.path.join(str(root), out, "results.json")) as kept:
        return json.load(kept)


def record_of(item):
    with open(os.path.join(item["folder"], "record.json")) as kept:
        return json.load(kept)


# --- jobs and names -------------------------------------------------------------------------

@pytest.mark.parametrize("value", [
    "text with \"quotes\" and \\ and é", 7, -0.5, 1e300, float("inf"), True, [1, [2, "x"]], {"a b": 1, "c": [True]},
])
def test_values_go_back_to_the_same_toml(value):
    assert tomllib.loads(f"v = {toml_value(value)}")["v"] == value


@pytest.mark.parametrize("text, fault", [
    ("build.qarv_batch_size", "not SECTION.KEY=VALUES"),
    ("qarv_batch_size=[1]", "not SECTION.KEY"),
    ("nosuch.key=[1]", "no table [nosuch]"),
    ("build.nosuch=[1]", "has no key `nosuch`"),
    ("build.qarv_batch_size=[]", "empty"),
    ("build.qarv_batch_size=8", "not a TOML array"),
    ("build.qarv_batch_size=[1, 2", "not a TOML array"),
    ("build.qarv_batch_size=[1, 1]", "listed twice"),
])
def test_malformed_vary(text, fault):
    with pytest.raises(UsageError, match=fault.replace("[", r"\[").replace("]", r"\]")):
        parse_vary(text, declared_keys())


def test_jobs_follow_configs_then_the_first_vary_outermost():
    declared = declared_keys()
    varies = [parse_vary("build.qarv_batch_size=[1, 8]", declared),
              parse_vary('config.quantized_algorithm=["normal", "mmse"]', declared)]
    jobs = make_jobs(["x/a.toml", "b.toml"], varies, ["build.do_quantization=true"], "out")
    assert [job.name for job in jobs] == [
        f"{stem}_qarv_batch_size-{size}_quantized_algorithm-{algorithm}"
        for stem in ("a", "b") for size in (1, 8) for algorithm in ("normal", "mmse")]
    assert jobs[1].overrides == ["build.do_quantization=true", "build.qarv_batch_size=1",
                                 'config.quantized_algorithm="mmse"']
    assert jobs[1].varied == {"build.qarv_batch_size": "1", "config.quantized_algorithm": "mmse"}


@pytest.mark.parametrize("configs, values, expected", [
    # The same stem in two folders, and names that differ only in case, stay apart.
    (["x/m.toml", "y/m.toml"], None, ["m", "m-2"]),
    (["M.toml", "m.toml"], None, ["M", "m-2"]),
    # Values that clean up to the same text stay apart too.
    (["m.toml"], '["a/b", "a b"]', ["m_dataset-a_b", "m_dataset-a_b-2"]),
    # Devices Windows keeps, and dots at the ends.
    (["con.toml", "..hidden.toml"], None, ["_con", "hidden"]),
])
def test_names_are_safe_and_unique(configs, values, expected):
    varies = [parse_vary(f"build.dataset={values}", declared_keys())] if values else []
    assert [job.name for job in make_jobs(configs, varies, [], "out")] == expected


def test_long_names_are_cut_with_a_digest():
    first = job_name("m.toml", [("dataset", "x" * 300 + "1")])
    second = job_name("m.toml", [("dataset", "x" * 300 + "2")])
    assert len(first) <= 100 and first != second


@pytest.mark.parametrize("text, size", [("512M", 512 * 2**20), ("8G", 8 * 2**30), ("1.5k", 1536), ("100", 100),
                                        ("2GiB", 2 * 2**30)])
def test_sizes(text, size):
    assert parse_size(text) == size


def test_a_file_read_by_many_jobs_is_hashed_once(tmp_path):
    path = tmp_path / "sample.bin"
    path.write_bytes(b"x" * 3_000_000)
    digests = FileDigests()
    first = [digests.digest(str(path)) for _ in range(5)]
    assert digests.reads == 1 and len(set(first)) == 1
    path.write_bytes(b"y" * 3_000_000)
    assert digests.digest(str(path)) != first[0]


# --- the command line -----------------------------------------------------------------------

@pytest.mark.parametrize("arguments", [
    ["--vary", "build.nosuch=[1, 2]"],
    ["--vary", "build.qarv_batch_size=[]"],
    ["--set", "nosuch.key=1"],
    ["--jobs", "0"],
    ["--timeout", "-1"],
    ["--memory-limit", "12Q"],
    ["--cpus-per-job", "nan"],
    ["--address", "127.0.0.1:1"],
])
def test_usage_errors_stop_before_any_job(project, arguments):
    root, environment = project
    done = run_batch(root, environment, *arguments, "model.toml")
    assert done.returncode == 2
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    assert not os.path.exists(root / "runs")


# The sanitizer's runtime reserves its shadow memory up front, far past any limit a job gets, so a
# child under a memory limit dies before it starts there.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="sanitized build")
def test_a_sweep_records_each_cause_and_leaves_no_process(project):
    root, environment = project
    done = run_batch(root, environment, "--jobs", "2", "--timeout", "4", "--memory-limit", "1G", *SWEEP,
                     "model.toml")
    assert done.returncode == 1, done.stderr
    results = results_of(root)
    assert [(item["varied"]["build.qarv_batch_size"], item["varied"]["build.dataset"]) for item in results] == \
        [(str(size), dataset) for size in range(1, 7) for dataset in ("a.txt", "b.txt")]
    for item in results:
        behaviour = BEHAVIOURS[int(item["varied"]["build.qarv_batch_size"])]
        assert item["status"] == EXPECTED[behaviour], (item, open(os.path.join(item["folder"], "output.log")).read())
        assert item["signal"] == ("SIGSEGV" if behaviour == "segfault" else None)
        record = record_of(item)
        assert record["status"] == item["status"] and record["key"] == item["key"]
        if item["status"] == "succeeded":
            assert item["export"] == os.path.join(item["folder"], "model.qarv")
            assert item["export_bytes"] == os.path.getsize(item["export"]) and item["failure"] is None
        else:
            assert item["export"] is None and item["failure"]
    flooded = [item for item in results if BEHAVIOURS[int(item["varied"]["build.qarv_batch_size"])] == "flood"]
    assert all(os.path.getsize(os.path.join(item["folder"], "output.log")) >= FLOOD for item in flooded)
    # The table on stdout lists every job in order, with the signal's name.
    lines = done.stdout.splitlines()
    assert len(lines) == 13 and "crashed (SIGSEGV)" in lines[3]
    assert survivors(root) == []


def test_reruns_run_only_what_changed(project):
    root, environment = project
    sweep = ["--jobs", "2", "--vary", "build.qarv_batch_size=[1, 5]", "--vary", 'build.dataset=["a.txt", "b.txt"]',
             "model.toml"]
    assert run_batch(root, environment, *sweep).returncode == 0
    first = results_of(root)
    assert {item["status"] for item in first} == {"succeeded"}

    again = run_batch(root, environment, *sweep)
    assert again.returncode == 0
    assert [item["status"] for item in results_of(root)] == ["up-to-date"] * 4
    assert [item["key"] for item in results_of(root)] == [item["key"] for item in first]

    # A sample that only b.txt lists: exactly the two jobs that read it run again.
    import numpy as np
    np.save(root / "b.npy", np.ones((1, 3, 8, 8), np.float32))
    assert run_batch(root, environment, *sweep).returncode == 0
    statuses = {item["name"]: item["status"] for item in results_of(root)}
    assert statuses == {"model_qarv_batch_size-1_dataset-a.txt": "up-to-date",
                        "model_qarv_batch_size-1_dataset-b.txt": "succeeded",
                        "model_qarv_batch_size-5_dataset-a.txt": "up-to-date",
                        "model_qarv_batch_size-5_dataset-b.txt": "succeeded"}

    # A lost export is no longer up to date; --force runs everything.
    os.unlink(results_of(root)[0]["folder"] + "/model.qarv")
    assert [item["status"] for item in results_of(root)] and run_batch(root, environment, *sweep).returncode == 0
    assert [item["status"] for item in results_of(root)] == ["succeeded"] + ["up-to-date"] * 3
    assert run_batch(root, environment, "--force", *sweep).returncode == 0
    assert [item["status"] for item in results_of(root)] == ["succeeded"] * 4


def test_preflight_errors_keep_only_that_job_from_running(project):
    root, environment = project
    done = run_batch(root, environment, "--vary", 'load.model=["model.onnx", "missing.onnx"]', "model.toml")
    assert done.returncode == 1
    first, second = results_of(root)
    assert first["status"] == "succeeded"
    assert second["status"] == "not-run" and "missing.onnx" in second["failure"]
    assert record_of(second)["status"] == "not-run"
    assert "missing.onnx" in done.stderr and not os.path.exists(os.path.join(second["folder"], "output.log"))


def test_export_and_analysis_go_into_the_job_folder(project):
    root, environment = project
    with open(root / "model.toml", "a") as config:
        config.write('\n[accuracy_analysis]\ninputs = ["a.npy"]\noutput_dir = "snapshots"\n')
    done = run_batch(root, environment, "--format", "json", "--vary", "build.qarv_batch_size=[1, 5]", "model.toml")
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    assert results == results_of(root)
    for item in results:
        steps = {step["method"]: step for step in record_of(item)["steps"]}
        assert steps["export_qarv"]["args"] == [os.path.join(item["folder"], "model.qarv")]
        assert steps["accuracy_analysis"]["keywords"]["output_dir"] == os.path.join(item["folder"], "snapshots")
    assert not os.path.exists(root / "out")


@pytest.mark.parametrize("form", ["csv", "markdown"])
def test_table_formats(project, form):
    root, environment = project
    done = run_batch(root, environment, "-q", "--format", form, "--vary", "build.qarv_batch_size=[1, 6]",
                     "model.toml")
    assert done.returncode == 1 and done.stderr == ""
    if form == "csv":
        rows = list(csv.reader(io.StringIO(done.stdout)))
        assert rows[0][:3] == ["job", "varied", "status"]
        assert [row[2] for row in rows[1:]] == ["succeeded", "failed"]
    else:
        lines = done.stdout.splitlines()
        assert len(lines) == 4 and lines[1].startswith("|---") and "| failed |" in lines[3]


@pytest.mark.parametrize("stop, stubborn", [(signal.SIGINT, False), (signal.SIGINT, True), (signal.SIGTERM, False)])
def test_ctrl_c_stops_the_batch_with_consistent_records(project, stop, stubborn):
    root, environment = project
    environment = dict(environment, FAKE_QARV_SLEEP="60")
    if stubborn:  # a toolkit that ignores Ctrl-C: the second one kills it at once
        path = root / "toolkit" / "qarv" / "api.py"
        path.write_text(path.read_text().replace("    def build(self, **kwargs):\n",
                                                 "    def build(self, **kwargs):\n"
                                                 "        signal.signal(signal.SIGINT, signal.SIG_IGN)\n"))
    process = subprocess.Popen(batch_command("--jobs", "2", "--vary", "build.qarv_batch_size=[1, 7, 8, 9]",
                                             "model.toml"),
                               cwd=root, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while len(os.listdir(root / "pids")) < 2 and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.0)  # the first job ends, the second sleeps, the third is under way
        process.send_signal(stop)
        if stubborn:
            time.sleep(0.5)
            process.send_signal(stop)
        started = time.monotonic()
        _, stderr = process.communicate(timeout=60)
        waited = time.monotonic() - started
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 128 + stop, stderr
    if stubborn:
        assert waited < 2.5  # no grace for a second Ctrl-C
    results = results_of(root)
    assert [item["status"] for item in results] == ["succeeded", "interrupted", "interrupted", "interrupted"]
    for item in results:
        assert record_of(item)["status"] == item["status"]
    assert survivors(root) == []


def test_python_api(project, monkeypatch):
    import qarv_convert

    root, environment = project
    monkeypatch.chdir(root)
    monkeypatch.setenv("PYTHONPATH", environment["PYTHONPATH"])
    monkeypatch.setenv("FAKE_QARV_PIDS", environment["FAKE_QARV_PIDS"])
    results = qarv_convert.batch("model.toml", vary={"build.qarv_batch_size": [1, 6]}, jobs=2, out="api-runs")
    assert results == results_of(root, "api-runs")
    assert [item["status"] for item in results] == ["succeeded", "failed"]
    assert results._repr_html_().count("<tr>") == 3
    with pytest.raises(ValueError, match="no key"):
        qarv_convert.batch(["model.toml"], vary={"build.nosuch": [1]})


def test_the_ray_engine_without_ray_says_how_to_get_it(project, monkeypatch):
    import sys

    import qarv_convert

    root, _ = project
    monkeypatch.chdir(root)
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(RuntimeError, match=r"pip install 'qarv-convert\[ray\]'"):
        qarv_convert.batch("model.toml", engine="ray")
    assert not os.path.exists(root / "runs")
