"""Files that change, block or never end under the readers: a model cut short while `check` reads
it, FIFOs, devices and sockets wherever a configuration names a file."""
import os
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from onnx import numpy_helper

from qarv_convert import _native

from onnx_fixtures import model, save, tensor

COMMAND = [sys.executable, "-m", "qarv_convert"]


def _big_model(path, tensors=40, each=1 << 18):
    """A model whose graph interface sits behind `tensors` payloads of `each` floats."""
    weights = [numpy_helper.from_array(np.full(each, i, np.float32), f"w{i}") for i in range(tensors)]
    return save(model([tensor("x", shape=[1, 3])], [tensor("y")], initializers=weights), path)


def test_a_model_cut_short_while_check_reads_it_is_an_error_never_a_signal(tmp_path):
    original = (tmp_path / "full.onnx")
    _big_model(original)
    data = original.read_bytes()
    target = tmp_path / "model.onnx"
    target.write_bytes(data)
    (tmp_path / "c.toml").write_text('[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\n')
    stop = threading.Event()

    def truncate_and_restore():
        # In place, as a careless copy over the file would: the reader's descriptor sees each cut.
        with open(target, "r+b") as file:
            while not stop.is_set():
                for keep in (len(data) // 2, 100, len(data) - 5):
                    file.truncate(keep)
                    file.seek(0)
                    file.write(data)
                    file.flush()
                    time.sleep(0.003)  # whole for a while: some reads start on the full file

    writer = threading.Thread(target=truncate_and_restore)
    writer.start()
    try:
        for _ in range(30):
            run = subprocess.run(COMMAND + ["check", "c.toml"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
            # A signal shows as a negative status; a cut the reader saw is one line about the model.
            assert run.returncode in (0, 1), run.stderr
            if run.returncode == 1:
                assert "error: the model `model.onnx` cannot be read: the file was cut short" in run.stderr \
                    or "error: `model.onnx` is not an ONNX model" in run.stderr, run.stderr
    finally:
        stop.set()
        writer.join()


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return str(path)


@pytest.fixture
def unix_socket(tmp_path):
    path = str(tmp_path / "sock")
    server = socket.socket(socket.AF_UNIX)
    server.bind(path)
    yield path
    server.close()


@pytest.mark.parametrize("name, kind", [("fifo", "a FIFO (named pipe)"), ("zero", "a character device"),
                                        ("unix_socket", "a socket")])
def test_the_model_reader_refuses_what_is_not_a_regular_file_unopened(request, name, kind):
    path = "/dev/zero" if name == "zero" else request.getfixturevalue(name)
    with pytest.raises(OSError) as raised:
        _native.read_onnx_graph(path)
    assert raised.value.strerror == f"it is {kind}, not a regular file" and raised.value.filename == path


def _preflight_project(tmp_path, fifo):
    """A project whose files are all fine but for the one a case replaces with `fifo`."""
    from onnx_fixtures import classifier
    classifier(tmp_path / "model.onnx")
    np.save(tmp_path / "sample.npy", np.zeros((1, 3, 224, 224), np.float32))
    np.save(tmp_path / "init.npy", np.zeros((1, 3, 224, 224), np.float32))
    (tmp_path / "data.txt").write_text("sample.npy\n")
    return tmp_path


@pytest.mark.parametrize("replaced, key, expected", [
    ("model.onnx", "load.model", "the model `model.onnx` cannot be read: it is a FIFO (named pipe), not a regular file"),
    ("data.txt", "build.dataset", "the dataset `data.txt` cannot be read: it is a FIFO (named pipe), not a regular file"),
    ("sample.npy", "build.dataset", "1 file listed in `data.txt` cannot be read as samples: `sample.npy` (line 1): it "
                                    "is a FIFO (named pipe), not a regular file"),
    ("init.npy", "load.input_initial_val_file",
     "the initial-value file `init.npy` cannot be read: it is a FIFO (named pipe), not a regular file"),
    ("analysis.npy", "accuracy_analysis.inputs[0]",
     "the accuracy-analysis input `analysis.npy` cannot be read: it is a FIFO (named pipe), not a regular file"),
])
def test_check_refuses_a_fifo_wherever_the_configuration_names_a_file(tmp_path, replaced, key, expected):
    project = _preflight_project(tmp_path, None)
    target = project / replaced
    if target.exists():
        target.unlink()
    os.mkfifo(target)
    (project / "c.toml").write_text(
        '[load]\nmodel_type = "Onnx"\nmodel = "model.onnx"\ninput_initial_val_file = "init.npy"\n'
        '[build]\ndo_quantization = true\ndataset = "data.txt"\n'
        '[accuracy_analysis]\ninputs = ["analysis.npy" ]\n')
    if replaced != "analysis.npy":
        (project / "analysis.npy").write_bytes(b"")
    run = subprocess.run(COMMAND + ["check", "--format", "json", "c.toml"], cwd=project, capture_output=True,
                         text=True, timeout=60)
    import json
    [report] = json.loads(run.stdout)
    found = [(d["key"], d["message"]) for d in report["diagnostics"] if d["severity"] == "error"]
    assert (run.returncode, found) == (1, [(key, expected)])


def test_dev_zero_as_the_model_is_refused_at_once(tmp_path):
    (tmp_path / "c.toml").write_text('[load]\nmodel_type = "Onnx"\nmodel = "/dev/zero"\n')
    run = subprocess.run(COMMAND + ["check", "c.toml"], cwd=tmp_path, capture_output=True, text=True, timeout=20)
    assert run.returncode == 1
    assert "the model `/dev/zero` cannot be read: it is a character device, not a regular file" in run.stderr


@pytest.mark.parametrize("carrier", ["pipe", "socket"])
def test_a_configuration_on_stdin_is_read_whatever_carries_it(tmp_path, carrier):
    # A socket cannot be opened again by name, as /dev/fd/0: the descriptor itself is read.
    if carrier == "pipe":
        reading, writing = os.pipe()
        send = lambda data: os.write(writing, data)  # noqa: E731
    else:
        ours, theirs = socket.socketpair()
        reading, writing = theirs.detach(), ours
        send = ours.sendall
    send(b"[build]\ndo_quantization = false\n")
    if carrier == "pipe":
        os.close(writing)
    else:
        ours.shutdown(socket.SHUT_WR)
    try:
        run = subprocess.run(COMMAND + ["check", "--no-preflight", "-"], stdin=reading, capture_output=True, text=True,
                             timeout=60, cwd=tmp_path)
    finally:
        os.close(reading)
        if carrier == "socket":
            ours.close()
    assert (run.returncode, run.stderr) == (0, "<stdin>: ok\n")
