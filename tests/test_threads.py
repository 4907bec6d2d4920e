"""Conversions from several threads of one process, on a terminal and off it: each run keeps its own
steps, and nothing of any run is left in the process afterwards."""
import json
import os
import pty
import subprocess
import sys
import textwrap

import pytest

from conftest import read_terminal
from onnx_fixtures import classifier

THREADS = 8

# Half the runs read their file and model from `-C work` (`directory=`), the others name them by
# absolute paths from a working directory that holds neither; each exports to a file of its own.
# The toolkit prints from its steps, as real ones do. What the child found goes to result.json.
CHILD = textwrap.dedent(
    """
    import io, json, os, sys, threading, time, types

    work = sys.argv[1]

    class QARV:
        def __getattr__(self, name):
            def step(*args, **kwargs):
                time.sleep(0.02)
                print(f"toolkit: {name} in {threading.current_thread().name}")
                if name == "export_qarv":
                    with open(args[0], "w") as out:
                        out.write(threading.current_thread().name)
                return 0
            return step

    api = types.ModuleType("qarv.api")
    api.QARV = QARV
    package = types.ModuleType("qarv")
    package.api, package.__path__ = api, []
    sys.modules.update({"qarv": package, "qarv.api": api})

    import qarv_convert

    records, errors = {}, []

    def run(index):
        try:
            if index % 2:
                config, directory = os.path.join(work, f"config{index}.toml"), None
                export = os.path.join(work, f"out{index}.qarv")
            else:
                config, directory, export = f"config{index}.toml", work, f"out{index}.qarv"
            records[index] = qarv_convert.convert(config, directory=directory,
                                                  overrides=[f"export.export_path={json.dumps(export)}"])
        except BaseException as error:
            errors.append(repr(error))

    threads = [threading.Thread(target=run, args=(index,), name=f"run{index}") for index in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)

    # A run after them all shows each of its lines once.
    shown, sys.stderr = sys.stderr, io.StringIO()
    qarv_convert.convert(os.path.join(work, "config1.toml"),
                         overrides=[f"export.export_path={json.dumps(os.path.join(work, 'later.qarv'))}"])
    later, sys.stderr = sys.stderr.getvalue(), shown

    exports = {}
    for index in range(THREADS):
        with open(os.path.join(work, f"out{index}.qarv")) as written:
            exports[index] = written.read()
    json.dump({
        "errors": errors,
        "steps": {index: [step["method"] for step in record["steps"]] for index, record in records.items()},
        "exported": {index: [step["args"] for step in record["steps"] if step["method"] == "export_qarv"]
                     for index, record in records.items()},
        "exports": exports,
        "modules": [sys.modules["qarv.api"] is api, sys.modules["qarv"] is package, api.QARV is QARV],
        "directory": os.getcwd(),
        "threads": sorted(thread.name for thread in threading.enumerate() if thread is not threading.main_thread()),
        "later": later.count("[1/5] config ..."),
    }, open("result.json", "w"))
    """
).replace("THREADS", str(THREADS))


@pytest.mark.parametrize("terminal", [False, True], ids=["off a terminal", "on a terminal"])
def test_conversions_in_threads_keep_to_themselves(tmp_path, terminal):
    work = tmp_path / "work"
    work.mkdir()
    classifier(work / "model.onnx")
    for index in range(THREADS):
        model = "model.onnx" if index % 2 == 0 else str(work / "model.onnx")
        (work / f"config{index}.toml").write_text(
            f'[load]\nmodel_type = "Onnx"\nmodel = {json.dumps(model)}\n[build]\ndo_quantization = false\n')
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "child.py").write_text(CHILD)
    environment = {**os.environ, "TERM": "xterm"}
    environment.pop("NO_COLOR", None)
    command = [sys.executable, "child.py", str(work)]
    if terminal:
        master, slave = pty.openpty()
        try:
            process = subprocess.Popen(command, cwd=elsewhere, env=environment, stdin=subprocess.DEVNULL,
                                       stdout=slave, stderr=slave)
            os.close(slave)
            try:
                shown = read_terminal(master, process, timeout=120).decode(errors="replace")
                process.wait(timeout=5)
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()
                    pytest.fail("the threads did not end")
        finally:
            os.close(master)
    else:
        ran = subprocess.run(command, cwd=elsewhere, env=environment, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=120)
        shown = ran.stdout + ran.stderr
    assert process.returncode == 0 if terminal else ran.returncode == 0, shown
    result = json.loads((elsewhere / "result.json").read_text())
    indexes = [str(index) for index in range(THREADS)]
    assert result["errors"] == []
    assert result["steps"] == {index: ["config", "load_onnx", "build", "export_qarv"] for index in indexes}
    assert [result["exported"][index][0][0].endswith(f"out{index}.qarv") for index in indexes] == [True] * THREADS
    assert result["exports"] == {index: f"run{index}" for index in indexes}
    assert result["modules"] == [True, True, True]
    assert result["directory"] == str(elsewhere)
    assert result["threads"] == [] and result["later"] == 1
    # Every run's own lines reached the terminal whole.
    assert shown.count("[5/5] export_qarv returned 0") == THREADS
    assert shown.count("toolkit: export_qarv in run") == THREADS
