"""The live progress line when something goes wrong while it is shown: a failing step, a fault in
the display itself, Ctrl-C, a stream that cannot be written and a toolkit's child that goes on
writing. Every run must end, with its error said on a line of its own, the redrawing thread gone
and the descriptors back. A regression here hangs rather than fails, so each run has a deadline:
the terminal runs are child processes, and the in-process runs are under faulthandler's watch."""
import contextlib
import errno
import faulthandler
import io
import os
import pty
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import read_terminal

# A step runs the Python code in $STEP_<method>, then returns 0.
TOOLKIT = textwrap.dedent(
    """
    import os

    class QARV:
        def __getattr__(self, name):
            def step(*args, **kwargs):
                exec(os.environ.get("STEP_" + name, ""))
                return 0
            return step
    """
)

# Runs the command line in the child with $FAULT run first (it has `progress`, the module under
# test, at hand), then says on the terminal how the process was left: the run's status or what
# escaped it, the threads other than the main one, whether descriptors 1 and 2 are the terminal
# again and whether a new passthrough can start (none is left behind).
DRIVER = textwrap.dedent(
    """
    import os, sys, threading
    from qarv_convert import _native, progress
    exec(os.environ.get("FAULT", ""))
    from qarv_convert.cli import main
    try:
        status = main(sys.argv[1:])
    except BaseException as error:
        status = type(error).__name__
    others = sorted(thread.name for thread in threading.enumerate() if thread is not threading.main_thread())
    restored = os.isatty(1) and os.isatty(2)
    free = _native.passthrough_start(2, [1])
    _native.passthrough_stop()
    os.write(2, f"\\nafter the run: {status} {others} {restored} {free}\\n".encode())
    """
)

CLEAN = "[] True True"
UNQUANTIZED = "[build]\ndo_quantization = false\n"
LIVE = "progress.LiveProgress"


def fault(code):
    return textwrap.dedent(code).strip()


# A fault in the display that the main thread meets: the finished line cannot be made.
BROKEN_FINISHED_LINE = "progress.finished_line = lambda step: undefined_name"
# The redrawing thread meets it, once the step has run for a second.
BROKEN_REDRAW = fault(f"""
    live_text = {LIVE}._live_text
    def broken(self):
        if threading.current_thread() is not threading.main_thread():
            undefined_name
        return live_text(self)
    {LIVE}._live_text = broken
""")


def raising_after(method, exception, when="True"):
    """A fault that lets `LiveProgress.<method>` do its work and then raises `exception`."""
    return fault(f"""
        original = {LIVE}.{method}
        def failing(self, *args):
            original(self, *args)
            if {when}:
                raise {exception}
        {LIVE}.{method} = failing
    """)


# The second flush of the standard streams is the one on the way out of the attached block.
BROKEN_TEARDOWN = fault("""
    flush = progress._flush_standard_streams
    calls = []
    def broken():
        calls.append(1)
        if len(calls) == 2:
            undefined_name
        flush()
    progress._flush_standard_streams = broken
""")


@pytest.fixture
def terminal_run(tmp_path, write_config):
    """`terminal_run(fault="", **steps)` runs `convert` on a pseudo-terminal (descriptors 1 and 2
    both) and returns what it showed, decoded; the run must end within a minute."""
    (tmp_path / "toolkit" / "qarv").mkdir(parents=True)
    (tmp_path / "toolkit" / "qarv" / "__init__.py").write_text("")
    (tmp_path / "toolkit" / "qarv" / "api.py").write_text(TOOLKIT)
    driver = tmp_path / "driver.py"
    driver.write_text(DRIVER)
    config = write_config(UNQUANTIZED)

    def run(fault="", **steps):
        environment = {**os.environ, "PYTHONPATH": str(tmp_path / "toolkit"), "FAULT": fault,
                       **{f"STEP_{method}": code for method, code in steps.items()}}
        environment.pop("NO_COLOR", None)
        environment["TERM"] = "xterm"
        master, slave = pty.openpty()
        try:
            process = subprocess.Popen([sys.executable, str(driver), "convert", "--no-preflight", config],
                                       stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, env=environment)
            os.close(slave)
            try:
                output = read_terminal(master, process, timeout=60)
                process.wait(timeout=5)
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()
                    pytest.fail(f"the run did not end; it showed {output!r}")
        finally:
            os.close(master)
        return output.decode(errors="replace").replace("\r\n", "\n")

    return run


def after_the_run(text):
    """What the driver said about the process once the run was over."""
    return text.rsplit("after the run: ", 1)[1].strip()


@pytest.mark.parametrize("fault, steps, status, message", [
    pytest.param("", {"build": "undefined_name"}, "1", "NameError: name 'undefined_name' is not defined",
                 id="a step raises"),
    pytest.param("", {"build": "raise KeyboardInterrupt"}, "130", "qarv-convert: interrupted", id="a step is interrupted"),
    pytest.param(BROKEN_FINISHED_LINE, {}, "1", "NameError: name 'undefined_name' is not defined",
                 id="the finished line fails"),
    pytest.param(BROKEN_REDRAW, {"build": "import time; time.sleep(1.3)"}, "1",
                 "NameError: name 'undefined_name' is not defined", id="the redrawing thread fails"),
    pytest.param(raising_after("finished", "KeyboardInterrupt", "args[0].method == 'build'"),
                 {"build": "import time; time.sleep(1.3)"}, "130", "qarv-convert: interrupted",
                 id="Ctrl-C as a step ends"),
    pytest.param(raising_after("close", "KeyboardInterrupt"), {"build": "undefined_name"}, "130",
                 "qarv-convert: interrupted", id="Ctrl-C as the line is ended"),
])
def test_a_failure_while_the_line_is_shown_is_said_on_a_line_of_its_own(terminal_run, fault, steps, status, message):
    text = terminal_run(fault, **steps)
    assert after_the_run(text) == f"{status} {CLEAN}"
    assert "Traceback" not in text and "Exception in thread" not in text
    said = next(line for line in text.split("\n") if message in line)
    # Nothing of the live line before the message: it was ended or cleared first.
    assert said.startswith("qarv-convert: "), said


@pytest.mark.parametrize("fault", [
    pytest.param(raising_after("close", "LookupError('close')"), id="ending the line"),
    # Neither the step's end nor the run's stops the redrawing thread: the block's end still does.
    pytest.param(fault(f"""
        {LIVE}.finished = lambda self, step: undefined_name
        {LIVE}.close = lambda self: undefined_name
    """), id="ending the step and the line"),
    pytest.param(BROKEN_TEARDOWN, id="leaving the attached block"),
])
def test_a_fault_on_the_way_out_still_puts_the_terminal_back(terminal_run, fault):
    # A fault of the display's own escapes the run as itself; the process is left as it was.
    text = terminal_run(fault, build="import time; time.sleep(1.2)")
    status, rest = after_the_run(text).split(" ", 1)
    assert status in ("LookupError", "NameError") and rest == CLEAN


def test_a_toolkit_child_that_keeps_writing_does_not_hold_up_the_end(tmp_path, terminal_run):
    # The child holds the writing end of the pipe that stands for descriptor 1 while the live line
    # is shown, and never stops writing; what it wrote before the end is passed on.
    pid_file = tmp_path / "child.pid"
    start = (f"import subprocess, time; open({str(pid_file)!r}, 'w').write(str(subprocess.Popen(['yes', 'child']).pid)); "
             "time.sleep(0.5)")
    try:
        text = terminal_run(build=start)
    finally:
        if pid_file.exists():
            with contextlib.suppress(ProcessLookupError):
                os.kill(int(pid_file.read_text()), signal.SIGKILL)
    assert after_the_run(text) == f"0 {CLEAN}"
    assert "\nchild\n" in text and "conversion finished after" in text


# --- In this process: the display's own stream stands in for the terminal ------------------------

@pytest.fixture
def hang_guard():
    """Ends the whole test run with every thread's traceback, should this test hang."""
    # To the process's own stderr: pytest's stand-in for `sys.stderr` may have no descriptor.
    faulthandler.dump_traceback_later(120, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


class FailingTerminal(io.StringIO):
    """A terminal whose writes fail with `error` from the `after`-th on."""

    def __init__(self, error, after):
        super().__init__()
        self.error, self.left = error, after

    def isatty(self):
        return True

    def write(self, text):
        self.left -= 1
        if self.left < 0:
            raise self.error
        return super().write(text)


def progress_threads():
    return [thread for thread in threading.enumerate() if thread.name == "qarv-convert progress"]


@pytest.mark.parametrize("error", [BrokenPipeError(errno.EPIPE, "Broken pipe"),
                                   OSError(errno.ENOSPC, "No space left on device")], ids=["EPIPE", "ENOSPC"])
@pytest.mark.parametrize("after", [0, 5], ids=["from the first line", "from the redraw"])
def test_a_terminal_that_cannot_be_written_ends_the_run_as_usual(monkeypatch, hang_guard, cli, fake_qarv,
                                                                 write_config, error, after):
    monkeypatch.setenv("TERM", "xterm")
    monkeypatch.delenv("NO_COLOR", raising=False)
    terminal = FailingTerminal(error, after)
    monkeypatch.setattr(sys, "stderr", terminal)
    # The toolkit prints once the line has been redrawn; the print fails as it would without the
    # live line, and so fails its step, while the line's own failed writes are passed over.
    fake_qarv.outcomes["build"] = lambda: time.sleep(1.2) or print("building", file=sys.stderr) or 0
    result = cli("convert", "--no-preflight", write_config(UNQUANTIZED))
    assert result.returncode == 1 and fake_qarv.steps[-1] == "build"
    assert sys.stderr is terminal and not progress_threads()


def test_a_step_that_fails_in_this_process_leaves_the_streams_as_they_were(monkeypatch, hang_guard, cli, fake_qarv,
                                                                            write_config):
    monkeypatch.setenv("TERM", "xterm")
    monkeypatch.delenv("NO_COLOR", raising=False)
    terminal = FailingTerminal(None, after=10**6)
    monkeypatch.setattr(sys, "stderr", terminal)
    stdout = sys.stdout
    fake_qarv.outcomes["build"] = lambda: time.sleep(1.2) or KeyError("gone")
    result = cli("convert", "--no-preflight", write_config(UNQUANTIZED))
    assert result.returncode == 1
    assert (sys.stdout, sys.stderr) == (stdout, terminal) and not progress_threads()
    shown = terminal.getvalue()
    assert "\r[3/5] build  00:01\x1b[K\r[3/5] build raised KeyError after 1." in shown
    assert "\x1b[K\nqarv-convert: " in shown and shown.endswith("KeyError: 'gone'\n")
