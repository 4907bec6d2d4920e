"""Plain-words lines added under the module's configuration reports, which themselves stay as they are."""
from __future__ import annotations

import re

TYPE_CHECKING = False
if TYPE_CHECKING:
    from qarv_convert._native import ConfigurationFault

_CAPITALIZED_BOOLEAN = re.compile(r"(True|False)\b")
_ONNX_LINE = 'model_type = "Onnx"'


def hints(fault: ConfigurationFault) -> list[str]:
    """The `hint:` lines for a configuration fault with a position."""
    from qarv_convert._native import TYPE_WORDS

    found: list[str] = []
    if fault.expected in TYPE_WORDS:
        found.append(f"hint: {fault.expected} means {TYPE_WORDS[fault.expected]}")
    # Where the text stops being TOML, the line at the caret starts with what was meant.
    if fault.kind == "syntax" and _CAPITALIZED_BOOLEAN.match(fault.line_text or "", (fault.column or 1) - 1):
        found.append("hint: TOML booleans are lowercase: true or false")
    if fault.kind == "missing" and fault.key == "load.model_type":
        found.append(f"hint: [load] needs the line {_ONNX_LINE}")
    elif fault.expected in ("`Onnx`", "variant identifier"):
        found.append(f"hint: write {_ONNX_LINE}; ONNX is the one model type")
    return found
