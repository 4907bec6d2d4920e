"""How `plan` lists the toolkit calls of a conversion: as numbered lines, or as JSON."""
from __future__ import annotations

import math

from qarv_convert.steps import arguments_text
from qarv_convert.text import printable

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Sequence

    from qarv_convert.steps import Call


def format_call(number: int, call: Call) -> str:
    return f"{number}. {call.method}({arguments_text(call.args, call.kwargs)})"


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


def listed_call(call: Call) -> dict[str, Any]:
    """A call as JSON lists it: `method`, `args` and `kwargs`."""
    return {"method": call.method, "args": jsonable(list(call.args)), "kwargs": jsonable(call.kwargs)}


def plan_json(calls: Sequence[Call], overrides: Sequence[str] = ()) -> str:
    """The calls as a JSON array of `listed_call` objects; with overrides, an object holding the
    overrides and that array, so that a plan says what it was made from."""
    import json

    listed: Any = [listed_call(call) for call in calls]
    if overrides:
        listed = {"overrides": list(overrides), "calls": listed}
    # JSON leaves DEL and the C1 controls raw; as \u escapes they read the same to a parser.
    return printable(json.dumps(listed, indent=2, ensure_ascii=False)) + "\n"
