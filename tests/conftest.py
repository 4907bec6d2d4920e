"""Shared fixtures: configuration files in a temporary directory and a recording fake toolkit."""
import sys
import textwrap
import types
import weakref

import pytest

from qarv_convert.toolkit_proxy import STEPS


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
