"""Shared fixtures: configuration files in a temporary directory and a recording fake toolkit."""
import sys
import textwrap
import types
import weakref

import pytest

from qarv_convert.recording import STEPS


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
