"""What `qarv.api.QARV()` makes during one run: a dry-run recorder, or the real toolkit timed step by step.

The module imports `qarv.api` itself when it converts, so the only way to hand it a stand-in is
through `sys.modules`, which the whole process shares. While any run is under way, `qarv.api`
there is a router whose `QARV` builds what the run of the calling thread asked for (calls from a
thread outside any run reach the real toolkit); the last run to end puts back what was there.
"""
from __future__ import annotations

import _thread
import contextlib
import sys
import time
import types

from qarv_convert.steps import STEPS, Call, Step

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Iterator

    from qarv_convert.progress import Progress


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


class ToolkitRun:
    """How the real toolkit's part of one conversion went: what importing it raised (for the hint
    after a failed conversion), the full traceback of the last exception that the toolkit raised,
    taken before the module flattens the exception to one line, and the steps as they ran."""

    def __init__(self, progress: Progress) -> None:
        self.progress = progress
        self.error: BaseException | None = None
        self.traceback: str | None = None
        self.steps: list[Step] = []
        #: (method, reason) of each step the conversion passed over.
        self.skipped: list[tuple[str, str]] = []
        self.reasons: dict[str, str] = {}  #: why a step would be passed over, by its method
        self._last = 0  # the number of the last step that started

    def caught(self, error: BaseException) -> None:
        """Keeps the traceback of `error`, caught in this module, from the frame below the catching one."""
        import traceback

        below = error.__traceback__.tb_next if error.__traceback__ is not None else None
        self.traceback = "".join(traceback.format_exception(type(error), error, below))

    def reached(self, method: str) -> None:
        """Notes the steps passed over before `method` starts."""
        number = STEPS.index(method) + 1
        for passed in STEPS[self._last:number - 1]:
            reason = self.reasons.get(passed, "")
            self.skipped.append((passed, reason))
            self.progress.skipped(passed, reason)
        self._last = max(self._last, number)


class TimedToolkit:
    """Forwards every attribute to the real toolkit object, timing each step call and telling the
    run's progress about it and about the steps the conversion passed over before it."""

    def __init__(self, inner: Any, run: ToolkitRun) -> None:
        self._inner = inner
        self._run = run

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._inner, name)
        if name not in STEPS or not callable(attribute):
            return attribute
        run = self._run

        def timed(*args: Any, **kwargs: Any) -> Any:
            run.reached(name)
            step = Step(name, args, kwargs)
            started = time.perf_counter()
            try:
                run.progress.started(step)  # inside, so that an interrupt right after it still ends the step
                step.result = attribute(*args, **kwargs)
                return step.result
            except BaseException as error:
                step.raised = type(error).__qualname__
                run.caught(error)
                raise
            finally:
                step.seconds = time.perf_counter() - started
                run.steps.append(step)
                run.progress.finished(step)

        return timed


@contextlib.contextmanager
def swapped_modules(modules: dict[str, types.ModuleType | None]) -> Iterator[None]:
    """Puts `modules` into `sys.modules` until the block ends (None makes an import of that name
    fail); whatever those names meant before comes back afterwards. For one thread at a time."""
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


class _Router:
    """The `qarv.api` of the process while runs are under way."""

    _ABSENT = object()

    # Built on `_thread` alone: `plan` comes through here, and the command line starts faster
    # without `threading`.
    def __init__(self) -> None:
        self._state = _thread.allocate_lock()
        self._idle = _thread.allocate_lock()  # held while any run is under way
        self._runs = 0
        self._saved: Any = self._ABSENT  # what `sys.modules` held as `qarv.api` before the first run
        self._loaded = False  # the real toolkit module was imported (or that failed) for these runs
        self.real: types.ModuleType | None = None  #: the real toolkit module, once `_loaded`
        self.import_error: BaseException | None = None  #: what importing it raised, once `_loaded`
        self._module: types.ModuleType | None = None
        self._package: types.ModuleType | None = None  # the `qarv` put in place with the router, if any
        self._saved_package: Any = self._ABSENT
        self._local = _thread._local()

    def _make_module(self) -> types.ModuleType:
        real = self.real
        module = types.ModuleType("qarv.api", getattr(real, "__doc__", None))
        local = self._local

        def QARV(*args: Any, **kwargs: Any) -> Any:
            factory = getattr(local, "factory", None)
            if factory is not None:
                return factory(*args, **kwargs)
            if real is None:
                raise ModuleNotFoundError("No module named 'qarv'", name="qarv")
            return real.QARV(*args, **kwargs)

        def forward(name: str) -> Any:
            if real is None:
                raise AttributeError(f"module 'qarv.api' has no attribute {name!r}")
            return getattr(real, name)

        module.QARV = QARV  # type: ignore[attr-defined]
        module.__getattr__ = forward  # type: ignore[attr-defined]
        return module

    def _put_back(self, name: str, ours: types.ModuleType | None, saved: Any) -> None:
        """Puts back what `sys.modules` held as `name`, unless someone replaced `ours` meanwhile."""
        if ours is None or sys.modules.get(name) is not ours:
            return
        if saved is self._ABSENT:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = saved

    @contextlib.contextmanager
    def routed(self, factory: Callable[[], Callable[..., Any]], real: bool) -> Iterator[None]:
        """While the block runs, `qarv.api.QARV(...)` in this thread calls what `factory()` gives.
        With `real`, the real toolkit module is imported first (as `self.real`, or the failure as
        `self.import_error`), before `factory` is called."""
        while True:
            with self._state:
                # The real module is imported while no router stands in its place: a run that
                # does not need it (a plan) leaves it unimported, and one that needs it waits for
                # those to end.
                if not (real and self._runs and not self._loaded):
                    if self._runs == 0:
                        self._idle.acquire()
                        try:
                            self._install(real)
                        except BaseException:  # Ctrl-C while the toolkit was imported
                            self._idle.release()
                            raise
                    self._runs += 1
                    break
            with self._idle:
                pass
        try:
            self._local.factory = factory()
            yield
        finally:
            self._local.factory = None
            with self._state:
                self._runs -= 1
                if self._runs == 0:
                    self._put_back("qarv.api", self._module, self._saved)
                    self._put_back("qarv", self._package, self._saved_package)
                    self._saved, self._module, self.real, self.import_error = self._ABSENT, None, None, None
                    self._package, self._saved_package = None, self._ABSENT
                    self._loaded = False
                    self._idle.release()

    def _install(self, real: bool) -> None:
        """Puts the router in place for the first of a set of runs."""
        if real:
            import importlib  # here, as a plan never needs it: it brings `warnings` with it

            try:
                self.real, self.import_error = importlib.import_module("qarv.api"), None
            except Exception as error:
                self.real, self.import_error = None, error
            self._loaded = True
        self._saved = sys.modules.get("qarv.api", self._ABSENT)
        self._module = self._make_module()
        sys.modules["qarv.api"] = self._module
        if sys.modules.get("qarv") is None:
            # `import qarv.api` imports `qarv` first: without a toolkit (or before it is needed)
            # that is a package that only holds the router.
            package = types.ModuleType("qarv")
            package.api = self._module  # type: ignore[attr-defined]
            package.__path__ = []  # a package, so that `qarv.api` resolves as its submodule
            self._package, self._saved_package = package, sys.modules.get("qarv", self._ABSENT)
            sys.modules["qarv"] = package


_ROUTER = _Router()


@contextlib.contextmanager
def recording_toolkit(calls: list[Call]) -> Iterator[None]:
    """A dry-run toolkit for this thread: `qarv.api.QARV()` makes a `RecordingToolkit` appending to `calls`."""
    with _ROUTER.routed(lambda: lambda *args, **kwargs: RecordingToolkit(calls), real=False):
        yield


@contextlib.contextmanager
def timed_toolkit(progress: Progress) -> Iterator[ToolkitRun]:
    """Wraps the real toolkit's objects made in this thread in `TimedToolkit`. When the toolkit
    cannot be imported or has no `QARV`, `QARV()` raises that failure, so that the conversion
    reports it itself; the yielded `ToolkitRun` keeps what the import raised."""
    outcome = ToolkitRun(progress)

    def factory() -> Callable[..., Any]:
        error, real = _ROUTER.import_error, _ROUTER.real
        try:
            if error is not None:
                raise error
            made = real.QARV  # type: ignore[union-attr]
        except Exception as failure:
            outcome.error = raised = failure
            outcome.caught(failure)

            def failed(*args: Any, **kwargs: Any) -> Any:
                raise raised

            return failed

        def make(*args: Any, **kwargs: Any) -> TimedToolkit:
            try:
                return TimedToolkit(made(*args, **kwargs), outcome)
            except BaseException as error:
                outcome.caught(error)
                raise

        return make

    with _ROUTER.routed(factory, real=True):
        yield outcome
