"""Plain-words lines added under the module's configuration reports, which themselves stay as they are."""
from __future__ import annotations

import re

# The module's names for value types, as a user would say them.
_TYPE_WORDS = {
    "u8": "an integer from 0 to 255",
    "i32": "an integer from -2147483648 to 2147483647",
    "usize": "an integer from 0 to 18446744073709551615",
    "u64": "an integer from 0 to 18446744073709551615",
    "f32": "a number",
    "a sequence": "a list, as in [1, 2]",
}
_EXPECTED = re.compile(r", expected (u8|i32|usize|u64|f32|a sequence)$")
_CAPITAL_BOOLEAN = re.compile(r"^unexpected `[TF]`")
_ONNX_LINE = 'model_type = "Onnx"'


def hints(report: str) -> list[str]:
    """The `hint:` lines for a rendered configuration report (its last line is the message)."""
    lines = report.rstrip("\n").split("\n")
    message = lines[-1]
    found: list[str] = []
    if match := _EXPECTED.search(message):
        found.append(f"hint: {match[1]} means {_TYPE_WORDS[match[1]]}")
    if _CAPITAL_BOOLEAN.search(message) and re.search(r"\b(True|False)\b", report):
        found.append("hint: TOML booleans are lowercase: true or false")
    if message == "missing field `model_type`":
        found.append(f"hint: [load] needs the line {_ONNX_LINE}")
    elif message.endswith("expected `Onnx`") or message.endswith("expected variant identifier"):
        found.append(f"hint: write {_ONNX_LINE}; ONNX is the one model type")
    return found


def without_carriage_returns(report: str) -> str:
    """A report whose quoted line came from a CRLF file, without the `\\u000d` at its end."""
    return re.sub(r"(?m)^(\d+ \| .*)\\u000d$", r"\1", report)
