"""Shared fixtures: configuration files in a temporary directory, a recording fake toolkit, run
outcomes and memory growth over repeated runs."""
import gc
import os
import sys
import textwrap
import tracemalloc
import types
import weakref

import pytest

from qarv_convert import _native
from qarv_convert_inner import rust_convert

#: The toolkit methods a conversion calls, in order, as the module declares them.
STEPS = tuple(method for _table, method in _native.STEPS)


class FakeToolkit:
    """Modules `qarv` and `qarv.api` whose `QARV` objects append `(step, args, kwargs)` to `calls`.
    `outcomes[step]` (or `outcomes["QARV"]` for construction) is returned as is, or, if callable,
    called: an exception it gives is raised, anything else returned. Calling keeps every raised
    exception fresh, so repeated runs do not grow one traceback."""

    def __init__(self):
        self.calls = []
        self.outcomes = {}
        self.instances = weakref.WeakSet()
        self.api = types.ModuleType("qarv.api")
        self.package = types.ModuleType("qarv")
        self.package.api = self.api
        self.api.QARV = self._make_class()

    def _outcome(self, name, default):
        outcome = self.outcomes.get(name, default)
        if callable(outcome):
            outcome = outcome()
            if isinstance(outcome, BaseException):
                raise outcome
        return outcome

    def _make_class(self):
        toolkit = self

        def step(name):
            def method(self, *args, **kwargs):
                toolkit.calls.append((name, args, kwargs))
                return toolkit._outcome(name, 0)

            method.__name__ = name
            return method

        namespace = {name: step(name) for name in STEPS}

        def __init__(self):
            toolkit.instances.add(self)
            toolkit._outcome("QARV", None)

        namespace["__init__"] = __init__
        return type("QARV", (), namespace)

    @property
    def steps(self):
        return [name for name, _, _ in self.calls]

    @property
    def live(self):
        return len(self.instances)


@pytest.fixture
def fake_qarv(monkeypatch):
    """Installs a `FakeToolkit` as `qarv` and `qarv.api`; both are removed afterwards."""
    toolkit = FakeToolkit()
    monkeypatch.setitem(sys.modules, "qarv", toolkit.package)
    monkeypatch.setitem(sys.modules, "qarv.api", toolkit.api)
    return toolkit


@pytest.fixture
def write_config(tmp_path):
    """`write_config(text, name="config.toml")` writes dedented TOML and returns its path as str."""

    def write(text="", name="config.toml"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(text), encoding="utf-8")
        return str(path)

    return write



# Plain helpers, imported by the test modules (`from conftest import ...`): some run inside
# toolkit callbacks, where no fixture reaches.


def run_outcome(path, function=rust_convert):
    """None after a call that went through, else the text of its failure, which must be a plain
    `RuntimeError` with no cause."""
    try:
        function(path)
    except RuntimeError as error:
        assert type(error) is RuntimeError and error.__cause__ is None
        return str(error)
    return None


def run_failure(path):
    """The text of a conversion's failure; the run must fail."""
    message = run_outcome(path)
    assert message is not None, "the run succeeded"
    return message


def read_terminal(master, process, until=None, timeout=30):
    """What the process writes to the pseudo-terminal `master`, up to `until` or until it ends."""
    import select
    import time

    output, deadline = b"", time.monotonic() + timeout
    while time.monotonic() < deadline and not (until and until in output):
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the process closed its end
                break
            if not chunk:
                break
            output += chunk
        elif process.poll() is not None:
            break
    return output


def read_lines(process, until, timeout=60):
    """The lines read from the child's stderr pipe up to the one holding `until`. A child that
    ends before it fails the test (a pipe at its end reads empty at once, over and over), and so
    does one that stays silent: it is killed, which ends the pipe."""
    import threading

    output = ""
    killer = threading.Timer(timeout, process.kill)
    killer.start()
    try:
        while until not in output:
            line = process.stderr.readline()
            assert line, f"no {until!r} in what the child wrote: {output!r}"
            output += line
    finally:
        killer.cancel()
    return output


def default_signals():
    """For `preexec_fn` of a child the test signals: the ways a run can be stopped get their default
    disposition back. A suite started with them ignored (`trap '' INT`, some CI runners) would
    hand the ignoring on through exec, and the signal the test sends would never arrive."""
    import signal

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_growth(run_round, warm_up, rounds):
    """Calls `run_round()` `warm_up` times, then `rounds` times more, and returns what the Python
    heap (traced) and the process (resident set) grew by over the later rounds. The first rounds
    run traced too, so that the interpreter's caches and free lists are full before the baseline
    and only what is never released shows."""
    tracemalloc.start()
    try:
        for _ in range(warm_up):
            run_round()
        gc.collect()
        traced, resident = tracemalloc.get_traced_memory()[0], rss_bytes()
        for _ in range(rounds):
            run_round()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - traced, rss_bytes() - resident
    finally:
        tracemalloc.stop()


# --- The command line run in-process ------------------------------------------------------------
import importlib.util  # noqa: E402
import pathlib  # noqa: E402

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = REPOSITORY / "examples"


class Outcome:
    """What one command-line run gave: its exit status and what reached file descriptors 1 and 2."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr

    def __repr__(self):
        return f"Outcome({self.returncode!r}, stdout={self.stdout[:200]!r}, stderr={self.stderr[:500]!r})"


@pytest.fixture
def cli(capfd, monkeypatch):
    """`cli(*args, cwd=None)` runs `main(args)` in this process and returns its `Outcome`; a usage
    error, `--help` and `--version` count by their exit status."""
    from qarv_convert.cli import main

    def run(*args, cwd=None):
        if cwd is not None:
            monkeypatch.chdir(cwd)
        capfd.readouterr()
        try:
            status = main([str(arg) for arg in args])
        except SystemExit as leaving:
            status = leaving.code
        out, err = capfd.readouterr()
        return Outcome(status, out, err)

    return run


def _load_make_model():
    spec = importlib.util.spec_from_file_location("make_model", EXAMPLES / "make_model.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def example_materials():
    """`example_materials(example, directory)` writes the files the example configuration names."""
    return _load_make_model().make_materials


@pytest.fixture
def toolkit_package(tmp_path, monkeypatch):
    """`toolkit_package(directory=None, api_text=None)`: a directory holding the package `qarv`
    (written from `api_text` when given) put first on `sys.path`; whatever `qarv` modules the test
    imports are forgotten afterwards."""

    def put(directory=None, api_text=None):
        if directory is None:
            directory = tmp_path / "toolkit"
            (directory / "qarv").mkdir(parents=True)
            (directory / "qarv" / "__init__.py").write_text("")
            (directory / "qarv" / "api.py").write_text(api_text or "")
        monkeypatch.syspath_prepend(str(directory))
        return directory

    before = {name for name in sys.modules if name == "qarv" or name.startswith("qarv.")}
    yield put
    for name in [n for n in sys.modules if (n == "qarv" or n.startswith("qarv.")) and n not in before]:
        del sys.modules[name]
