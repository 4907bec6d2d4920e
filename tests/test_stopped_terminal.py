"""Runs on a terminal that misbehaves: its output stopped (Ctrl-S) when Ctrl-C comes, and a
toolkit whose forked child keeps writing after its step."""
import contextlib
import os
import pty
import signal
import subprocess
import sys
import termios
import textwrap
import time

import pytest

from conftest import default_signals, read_terminal

TOOLKIT = textwrap.dedent("""
    import os
    import time

    class QARV:
        def build(self, *args, **kwargs):
            if os.environ.get("MODE") == "flood":
                while True:
                    os.write(1, b"building " * 8 + b"\\n")
            child = os.fork()
            if child == 0:
                try:
                    time.sleep(0.5)  # the step has returned by now
                    for _ in range(4000):  # 200 KB, more than a pipe holds
                        os.write(1, b"left over " * 5 + b"\\n")
                except OSError:
                    pass
                finally:
                    os._exit(0)
            with open(os.environ["CHILD_PID"], "w") as note:
                note.write(str(child))
            return 0

        def __getattr__(self, name):
            return lambda *args, **kwargs: 0
""")


@pytest.fixture
def terminal_convert(tmp_path, write_config):
    """`terminal_convert(mode)` starts `convert` on a new pseudo-terminal: (process, master, slave)."""
    (tmp_path / "toolkit" / "qarv").mkdir(parents=True)
    (tmp_path / "toolkit" / "qarv" / "__init__.py").write_text("")
    (tmp_path / "toolkit" / "qarv" / "api.py").write_text(TOOLKIT)
    config = write_config('[build]\ndo_quantization = false\n')
    opened = []

    def start(mode):
        master, slave = pty.openpty()
        opened.extend([master, slave])
        environment = {**os.environ, "PYTHONPATH": str(tmp_path / "toolkit"), "MODE": mode, "TERM": "xterm",
                       "CHILD_PID": str(tmp_path / "child.pid")}
        environment.pop("NO_COLOR", None)
        process = subprocess.Popen([sys.executable, "-m", "qarv_convert", "convert", "--no-preflight", config],
                                   stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, env=environment,
                                   preexec_fn=default_signals)
        return process, master, slave

    yield start
    master, slave = opened
    with contextlib.suppress(termios.error):
        termios.tcflow(slave, termios.TCOON)
    os.close(master)
    os.close(slave)


def test_ctrl_c_ends_a_run_whose_terminal_output_is_stopped(terminal_convert):
    process, master, slave = terminal_convert("flood")
    try:
        assert b"building" in read_terminal(master, process, until=b"building building", timeout=60)
        termios.tcflow(slave, termios.TCOOFF)  # as Ctrl-S does
        time.sleep(1)  # the toolkit fills the passthrough's pipe and waits on it
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 130
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_a_forked_child_writing_after_its_step_is_never_blocked(terminal_convert, tmp_path):
    process, master, _ = terminal_convert("fork")
    try:
        output = read_terminal(master, process, timeout=60)
        assert process.wait(timeout=30) == 0, output
        child = int((tmp_path / "child.pid").read_text())
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                os.kill(child, 0)
            except ProcessLookupError:
                break
            read_terminal(master, process, timeout=0.2)
        else:
            os.kill(child, signal.SIGKILL)
            pytest.fail("the toolkit's child is still blocked writing its output")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
