"""How `plan` lists the toolkit calls of a conversion: as numbered lines, or as JSON."""
from __future__ import annotations

import json
import math
from typing import TYPE_CHECKING, Any, Sequence

from qarv_convert.display import printable

if TYPE_CHECKING:
    from qarv_convert.toolkit_proxy import Call


def describe(value: Any) -> str:
    """A value as a call listing shows it; arrays by shape and type, not by content."""
    shape, dtype = getattr(value, "shape", None), getattr(value, "dtype", None)
    if shape is not None and dtype is not None:
        return f"<array shape={tuple(shape)} dtype={dtype}>"
    if isinstance(value, list):
        return "[" + ", ".join(describe(item) for item in value) + "]"
    return repr(value)


def format_call(number: int, call: Call) -> str:
    arguments = [describe(arg) for arg in call.args]
    arguments += [f"{name}={describe(value)}" for name, value in call.kwargs.items()]
    return f"{number}. {call.method}({', '.join(arguments)})"


def jsonable(value: Any) -> Any:
    """A value as JSON shows it: arrays as their shape and dtype, never their data; a number JSON
    cannot hold (infinity, NaN) as null."""
    shape, dtype = getattr(value, "shape", None), getattr(value, "dtype", None)
    if shape is not None and dtype is not None:
        return {"shape": [int(n) for n in shape], "dtype": str(dtype)}
    if isinstance(value, (list, tuple)):
        return [jsonable(item) for item in value]
    if isinstance(value, dict):
        return {str(key): jsonable(item) for key, item in value.items()}
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return repr(value)


def plan_text(calls: Sequence[Call]) -> str:
    """One numbered line per call."""
    return "".join(format_call(number, call) + "\n" for number, call in enumerate(calls, start=1))


def plan_json(calls: Sequence[Call]) -> str:
    """The calls as a JSON array of objects with `method`, `args` and `kwargs`."""
    listed = [{"method": c.method, "args": jsonable(list(c.args)), "kwargs": jsonable(c.kwargs)} for c in calls]
    # JSON leaves DEL and the C1 controls raw; as \u escapes they read the same to a parser.
    return printable(json.dumps(listed, indent=2, ensure_ascii=False)) + "\n"
