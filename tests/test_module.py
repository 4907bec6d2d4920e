"""The module's Python surface: attributes, argument matching and how failures are raised."""
import importlib
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import qarv_convert_inner

from conftest import default_signals

FUNCTIONS = [qarv_convert_inner.rust_convert, qarv_convert_inner.rust_explain]


def test_module_surface():
    assert qarv_convert_inner.__all__ == ["rust_convert", "rust_explain"]
    assert qarv_convert_inner.__doc__ == ""
    assert importlib.import_module("qarv_convert_inner") is qarv_convert_inner
    for function in FUNCTIONS:
        assert function.__doc__ is None
        assert function.__text_signature__ == "(path)"
        assert function.__module__ == "qarv_convert_inner"
        assert getattr(qarv_convert_inner, function.__name__) is function


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "{}() takes 1 positional arguments but 2 were given"),
        ((), {"p": "a"}, "{}() got an unexpected keyword argument 'p'"),
        (("a",), {"path": "b"}, "{}() got multiple values for argument 'path'"),
    ],
)
def test_argument_matching(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message.format(function.__name__)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("value, type_name", [(123, "int"), (pathlib.Path("x.toml"), "PosixPath"), (b"x", "bytes")])
def test_path_must_be_str(function, value, type_name):
    with pytest.raises(TypeError) as caught:
        function(value)
    assert str(caught.value) == f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_path_by_keyword_or_position_and_str_subclass(function, tmp_path):
    class Text(str):
        pass

    missing = str(tmp_path / "missing.toml")
    for call in (lambda: function(missing), lambda: function(path=missing), lambda: function(Text(missing))):
        with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
            call()


def test_lone_surrogate_path_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        qarv_convert_inner.rust_explain("config-\udc80.toml")


def test_run_failure_is_a_plain_runtime_error(tmp_path, capfd):
    with pytest.raises(RuntimeError) as caught:
        qarv_convert_inner.rust_convert(str(tmp_path / "missing.toml"))
    assert type(caught.value) is RuntimeError
    assert caught.value.args == ("No such file or directory (os error 2)",)
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    assert capfd.readouterr() == ("", "")


# The edges of a well-behaved extension, each run in a child process where a hang or a crash is
# possible. The child reports how its call ended on standard error.

CHILD = textwrap.dedent(
    """
    import os, sys
    import qarv_convert_inner
    from qarv_convert import _native
    if sys.argv[2] == "non-blocking":
        os.set_blocking(1, False)
    sys.stderr.write("ready\\n")
    sys.stderr.flush()
    try:
        if sys.argv[2] == "ignored-entries":
            _native.ignored_entries(sys.argv[1])
        else:
            qarv_convert_inner.rust_explain(sys.argv[1])
    except BaseException as error:
        sys.stderr.write(f"{type(error).__name__}: {error}\\n")
    else:
        sys.stderr.write("returned\\n")
    """
)


def start_child(path, mode="", stdout=subprocess.DEVNULL):
    child = subprocess.Popen([sys.executable, "-c", CHILD, path, mode], stdout=stdout, stderr=subprocess.PIPE,
                             text=True, preexec_fn=default_signals)
    assert child.stderr.readline() == "ready\n"
    return child


def wait_until_blocked(child):
    """Until the child sleeps in a system call; then a little longer, so that it surely has entered it."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(f"/proc/{child.pid}/stat") as stat:
            if stat.read().rpartition(")")[2].split()[0] == "S":
                break
        time.sleep(0.01)
    time.sleep(0.3)


def long_summary_config(write_config, characters=20_000):
    """A summary far larger than a pipe holds: every line of the table is as wide as the value."""
    return write_config(f'[config]\ncustom_string = "{"x" * characters}"\n', name="long.toml")


@pytest.mark.parametrize(
    "function, wait",
    [
        ("", "open-without-writer"),
        ("", "read-from-silent-writer"),
        ("", "write-to-full-pipe"),
        # The command line's helper reads the file too (and writes nothing itself).
        ("ignored-entries", "open-without-writer"),
        ("ignored-entries", "read-from-silent-writer"),
    ],
)
def test_sigint_ends_a_blocked_call_with_keyboard_interrupt(tmp_path, write_config, function, wait):
    fifo = tmp_path / "config.fifo"
    os.mkfifo(fifo)
    keep, child = [], None
    try:
        if wait == "open-without-writer":
            child = start_child(str(fifo), function)
        elif wait == "read-from-silent-writer":
            keep.append(os.open(fifo, os.O_RDWR))  # a writer that never writes
            child = start_child(str(fifo), function)
        else:
            reader, writer = os.pipe()  # nobody reads: the summary fills the pipe
            keep += [reader, writer]
            child = start_child(long_summary_config(write_config), stdout=writer)
        wait_until_blocked(child)
        child.send_signal(signal.SIGINT)
        # A generous bound on a hang; the call ends within milliseconds of the signal.
        _, report = child.communicate(timeout=10)
    finally:
        for descriptor in keep:
            os.close(descriptor)
        if child:
            child.kill()
            child.wait()
    assert report == "KeyboardInterrupt: \n"


def test_non_blocking_stdout_with_a_slow_reader(write_config, capfd):
    path = long_summary_config(write_config)
    qarv_convert_inner.rust_explain(path)
    expected = capfd.readouterr().out.encode()
    reader, writer = os.pipe()
    child = start_child(path, "non-blocking", stdout=writer)
    os.close(writer)
    received = bytearray()
    with os.fdopen(reader, "rb", buffering=0) as pipe:
        while chunk := pipe.read(16384):
            received += chunk
            time.sleep(0.001)
    assert child.wait(timeout=60) == 0
    assert child.stderr.read() == "returned\n"
    assert received == expected


def test_import_again_gives_the_same_module():
    script = textwrap.dedent(
        """
        import importlib, sys
        import qarv_convert_inner as first
        assert importlib.import_module("qarv_convert_inner") is first
        del sys.modules["qarv_convert_inner"]
        import qarv_convert_inner as second
        assert second is first, (first, second)
        assert second.__all__ == ["rust_convert", "rust_explain"]
        """
    )
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)


def test_a_second_interpreter_cannot_import_the_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    script = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters
        import qarv_convert_inner
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import qarv_convert_inner")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            print("imported")
        """
    )
    del interpreters
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert re.search(r"ImportError\b.*: .*does not support (loading in )?subinterpreters", result.stdout), result.stdout
