"""Every command that writes its result checks that it got there: a full disk and a reader that
went away are exit 1, never a cut output with exit 0; a device or FIFO named as output is
written into, never replaced."""
import os
import subprocess
import sys
import threading

import pytest

COMMAND = [sys.executable, "-m", "qarv_convert"]
CLEAN = '[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\n[build]\ndo_quantization = false\n'
WRITERS = [
    ["check", "--format", "json", "--no-preflight", "c.toml"],
    ["plan", "--no-preflight", "c.toml"],
    ["plan", "--json", "--no-preflight", "c.toml"],
    ["explain", "c.toml"],
    ["explain", "--format", "json", "c.toml"],
    ["explain", "--format", "markdown", "c.toml"],
    ["init", "-"],
    ["schema"],
    ["env"],
    ["--version"],
    ["--help"],
    ["convert", "--no-preflight", "-q", "--record", "-", "c.toml"],
]


@pytest.fixture
def project(tmp_path):
    (tmp_path / "c.toml").write_text(CLEAN)
    toolkit = tmp_path / "toolkit" / "qarv"
    toolkit.mkdir(parents=True)
    (toolkit / "__init__.py").write_text("")
    (toolkit / "api.py").write_text("class QARV:\n    def __getattr__(self, name):\n        return lambda *a, **k: 0\n")
    return tmp_path


def _run(project, args, stdout):
    environment = {**os.environ, "PYTHONPATH": str(project / "toolkit")}
    return subprocess.run(COMMAND + args, cwd=project, stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=60,
                          env=environment)


@pytest.mark.parametrize("args", WRITERS, ids=" ".join)
def test_a_full_disk_is_exit_1_with_one_line(project, args):
    with open("/dev/full", "w") as full:
        run = _run(project, args, full)
    assert (run.returncode, run.stderr) == (1, "qarv-convert: cannot write to standard output: No space left on device"
                                               + (" (os error 28)" if args == ["explain", "c.toml"] else "") + "\n")


@pytest.mark.parametrize("args", WRITERS, ids=" ".join)
def test_a_reader_that_went_away_is_exit_1_without_a_traceback(project, args):
    # Ends quietly, as a filter ahead of `| head` does: nobody is left to read a word about it.
    reading, writing = os.pipe()
    os.close(reading)
    try:
        run = _run(project, args, writing)
    finally:
        os.close(writing)
    assert (run.returncode, run.stderr) == (1, "")


def test_output_to_a_fifo_is_written_into_and_the_fifo_kept(project):
    fifo = project / "out"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_text()))
    reader.start()
    run = _run(project, ["schema", "--output", "out"], subprocess.DEVNULL)
    reader.join(timeout=60)
    assert run.returncode == 0, run.stderr
    assert received and received[0].startswith("{") and fifo.is_fifo()


def test_output_through_a_symbolic_link_replaces_its_target(project):
    (project / "link.toml").symlink_to("target.toml")
    run = _run(project, ["init", "--force", "link.toml"], subprocess.DEVNULL)
    assert run.returncode == 0, run.stderr
    assert (project / "link.toml").is_symlink() and "[load]" in (project / "target.toml").read_text()
