"""Toolkit stand-ins that the command line puts in place of `qarv.api` for the length of one call:
a recorder for dry runs, and a timing wrapper around the real toolkit."""
from __future__ import annotations

import contextlib
import importlib
import sys
import time
import types
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

#: The toolkit methods a conversion calls, in the order it calls them.
STEPS = ("config", "load_onnx", "build", "accuracy_analysis", "export_qarv")


@dataclass
class Call:
    """One toolkit method call as the conversion made it."""

    method: str
    args: tuple[Any, ...]
    kwargs: dict[str, Any] = field(default_factory=dict)


class RecordingToolkit:
    """A toolkit that only records: every step succeeds and nothing is converted."""

    def __init__(self, calls: list[Call]) -> None:
        self._calls = calls

    def __getattr__(self, name: str) -> Callable[..., int]:
        if name not in STEPS:
            raise AttributeError(name)

        def record(*args: Any, **kwargs: Any) -> int:
            self._calls.append(Call(name, args, kwargs))
            return 0

        return record


class TimedToolkit:
    """Forwards every attribute to the real toolkit object, reporting each step's duration."""

    def __init__(self, inner: Any, report: Callable[[str], None]) -> None:
        self._inner = inner
        self._report = report

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._inner, name)
        if name not in STEPS or not callable(attribute):
            return attribute

        def timed(*args: Any, **kwargs: Any) -> Any:
            self._report(f"qarv.{name} ...")
            started = time.perf_counter()
            outcome = "raised"
            try:
                result = attribute(*args, **kwargs)
                outcome = f"returned {result!r}"
                return result
            finally:
                self._report(f"qarv.{name} {outcome} after {time.perf_counter() - started:.3f} s")

        return timed


@contextlib.contextmanager
def swapped_modules(modules: dict[str, types.ModuleType | None]) -> Iterator[None]:
    """Puts `modules` into `sys.modules` until the block ends (None makes an import of that name
    fail); whatever those names meant before comes back afterwards."""
    saved = {name: sys.modules.get(name) for name in modules}
    sys.modules.update(modules)
    try:
        yield
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module


def toolkit_module(api: types.ModuleType, package: types.ModuleType | None = None) -> contextlib.AbstractContextManager[None]:
    """Makes `import qarv.api` find `api` (and `qarv` find `package`, when given)."""
    return swapped_modules({"qarv.api": api, **({"qarv": package} if package is not None else {})})


@contextlib.contextmanager
def recording_toolkit(calls: list[Call]) -> Iterator[None]:
    """A dry-run toolkit: `qarv.api.QARV()` makes a `RecordingToolkit` appending to `calls`."""
    package = types.ModuleType("qarv")
    api = types.ModuleType("qarv.api")
    api.QARV = lambda: RecordingToolkit(calls)  # type: ignore[attr-defined]
    package.api = api  # type: ignore[attr-defined]
    package.__path__ = []  # a package, so that `qarv.api` resolves as its submodule
    with toolkit_module(api, package):
        yield


@contextlib.contextmanager
def timed_toolkit(report: Callable[[str], None]) -> Iterator[None]:
    """Wraps the real toolkit's objects in `TimedToolkit`. When the toolkit cannot be imported or
    has no `QARV`, nothing is wrapped, so that the conversion reports that failure itself."""
    try:
        real = importlib.import_module("qarv.api")
        factory = real.QARV
    except Exception:
        yield
        return
    proxy = types.ModuleType(real.__name__, real.__doc__)
    proxy.__dict__.update({k: v for k, v in vars(real).items() if k not in ("__name__", "__doc__")})
    proxy.QARV = lambda *args, **kwargs: TimedToolkit(factory(*args, **kwargs), report)  # type: ignore[attr-defined]
    with toolkit_module(proxy):
        yield
