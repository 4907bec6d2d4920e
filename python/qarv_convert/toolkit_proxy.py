"""Toolkit stand-ins put in place of `qarv.api` for one call: a dry-run recorder and a timing wrapper."""
from __future__ import annotations

import contextlib
import importlib
import sys
import time
import types

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Iterator, Protocol

    class Watcher(Protocol):
        """Told about the steps of a conversion as they run."""

        def started(self, step: Step) -> None: ...
        def finished(self, step: Step) -> None: ...
        def skipped(self, method: str) -> None: ...

from qarv_convert import _native

#: The toolkit methods a conversion calls, in the order it calls them.
STEPS = tuple(method for _, method in _native.STEPS)


class Call:
    """One toolkit method call as the conversion made it."""

    __slots__ = ("method", "args", "kwargs")

    def __init__(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any] | None = None) -> None:
        self.method = method
        self.args = args
        self.kwargs = {} if kwargs is None else kwargs

    def __repr__(self) -> str:
        # As `plan` lists it, without the number: arrays by shape and type.
        from qarv_convert.planning import format_call

        return "<Call " + format_call(0, self).removeprefix("0. ") + ">"


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


class Step:
    """One toolkit step of a conversion as it ran: what was called with what, what came back, how
    long it took."""

    def __init__(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        self.method = method
        self.args = args
        self.kwargs = kwargs
        self.result: Any = None
        self.raised: str | None = None  #: the class name of what the step raised, if it raised
        self.seconds = 0.0

    @property
    def keywords(self) -> list[str]:
        return list(self.kwargs)

    @property
    def number(self) -> int:
        """The step's place in the whole sequence, from 1, also when a step before it was skipped."""
        return STEPS.index(self.method) + 1

    @property
    def label(self) -> str:
        return step_label(self.method)


def step_label(method: str) -> str:
    """`[N/5] method`, N the step's place in the whole sequence."""
    return f"[{STEPS.index(method) + 1}/{len(STEPS)}] {method}"


class ToolkitRun:
    """How the real toolkit's part of a conversion went: what importing it raised (for the hint
    after a failed conversion), and the full traceback of the last exception that the toolkit
    raised, taken before the module flattens the exception to one line."""

    def __init__(self) -> None:
        self.error: BaseException | None = None
        self.traceback: str | None = None
        self._last = 0  # the number of the last step that started

    def caught(self, error: BaseException) -> None:
        """Keeps the traceback of `error`, caught in this module, from the frame below the catching one."""
        import traceback

        below = error.__traceback__.tb_next if error.__traceback__ is not None else None
        self.traceback = "".join(traceback.format_exception(type(error), error, below))


class TimedToolkit:
    """Forwards every attribute to the real toolkit object, telling `watcher` about each step call
    and about the steps the conversion passed over before it."""

    def __init__(self, inner: Any, watcher: Watcher, run: ToolkitRun) -> None:
        self._inner = inner
        self._watcher = watcher
        self._run = run

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._inner, name)
        if name not in STEPS or not callable(attribute):
            return attribute

        def timed(*args: Any, **kwargs: Any) -> Any:
            number = STEPS.index(name) + 1
            for passed in STEPS[self._run._last:number - 1]:
                self._watcher.skipped(passed)
            self._run._last = max(self._run._last, number)
            step = Step(name, args, kwargs)
            started = time.perf_counter()
            try:
                self._watcher.started(step)  # inside, so that an interrupt right after it still ends the step
                step.result = attribute(*args, **kwargs)
                return step.result
            except BaseException as error:
                step.raised = type(error).__qualname__
                self._run.caught(error)
                raise
            finally:
                step.seconds = time.perf_counter() - started
                self._watcher.finished(step)

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
def timed_toolkit(watcher: Watcher) -> Iterator[ToolkitRun]:
    """Wraps the real toolkit's objects in `TimedToolkit`. When the toolkit cannot be imported or
    has no `QARV`, nothing is wrapped, so that the conversion reports that failure itself; the
    yielded `ToolkitRun` keeps what the import raised."""
    outcome = ToolkitRun()
    try:
        real = importlib.import_module("qarv.api")
        factory = real.QARV
    except Exception as error:
        outcome.error = error
        outcome.caught(error)
        yield outcome
        return

    def make(*args: Any, **kwargs: Any) -> TimedToolkit:
        try:
            return TimedToolkit(factory(*args, **kwargs), watcher, outcome)
        except BaseException as error:
            outcome.caught(error)
            raise

    proxy = types.ModuleType(real.__name__, real.__doc__)
    proxy.__dict__.update({k: v for k, v in vars(real).items() if k not in ("__name__", "__doc__")})
    proxy.QARV = make  # type: ignore[attr-defined]
    with toolkit_module(proxy):
        yield outcome
