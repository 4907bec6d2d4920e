"""Named tuples declared as classes with annotated fields, as `typing.NamedTuple` declares them,
without the cost of importing `typing` on every start of the command line."""
from __future__ import annotations

import collections

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TypeVar

    T = TypeVar("T")

#: What a class body holds that is not the tuple's own.
_IGNORED = frozenset({"__dict__", "__weakref__", "__module__", "__qualname__", "__annotations__"})


def named_tuple(declared: type[T]) -> type[T]:
    """The class `declared` as a named tuple: its annotated names are the fields, in order (those
    with a value take it as their default, and come last), its methods and docstring kept."""
    fields = list(declared.__dict__.get("__annotations__", {}))
    defaults = [declared.__dict__[name] for name in fields if name in declared.__dict__]
    made = collections.namedtuple(declared.__name__, fields, defaults=defaults, module=declared.__module__)
    for name, value in declared.__dict__.items():
        if name not in _IGNORED and name not in fields:
            setattr(made, name, value)
    made.__qualname__ = declared.__qualname__
    made.__annotations__ = declared.__dict__.get("__annotations__", {})
    return made  # type: ignore[return-value]
