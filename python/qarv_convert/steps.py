"""The toolkit steps of a conversion: their order, and each call and step as it was made."""
from __future__ import annotations

from qarv_convert import _native

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

#: The toolkit methods a conversion calls, in the order it calls them.
STEPS = tuple(method for _, method in _native.STEPS)

#: The toolkit method of each step by its table's name.
METHODS = {table: method for table, method in _native.STEPS}


def describe(value: Any) -> str:
    """A value as a call listing shows it; arrays by shape and type, not by content."""
    shape, dtype = getattr(value, "shape", None), getattr(value, "dtype", None)
    if shape is not None and dtype is not None:
        return f"<array shape={tuple(shape)} dtype={dtype}>"
    if isinstance(value, list):
        return "[" + ", ".join(describe(item) for item in value) + "]"
    return repr(value)


def arguments_text(args: tuple[Any, ...], kwargs: dict[str, Any]) -> str:
    """A call's arguments as listings show them between its parentheses."""
    return ", ".join([*(describe(arg) for arg in args), *(f"{name}={describe(value)}" for name, value in kwargs.items())])


def step_label(method: str) -> str:
    """`[N/5] method`, N the step's place in the whole sequence."""
    return f"[{STEPS.index(method) + 1}/{len(STEPS)}] {method}"


class Call:
    """One toolkit method call as the conversion made it."""

    __slots__ = ("method", "args", "kwargs")

    def __init__(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any] | None = None) -> None:
        self.method = method
        self.args = args
        self.kwargs = {} if kwargs is None else kwargs

    def __repr__(self) -> str:
        # As `plan` lists it, without the number.
        return f"<Call {self.method}({arguments_text(self.args, self.kwargs)})>"


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
    def label(self) -> str:
        return step_label(self.method)
