"""Text from files and toolkits made safe to show on a terminal, and elapsed times as shown."""
from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# C0 controls other than tab and newline, DEL and the C1 controls: any of them in a key name or a
# quoted source line could move the cursor, recolour or retitle the terminal. (A table rather than
# a pattern: `re` would be most of what the command line imports to start.)
_ESCAPES = {code: f"\\u{code:04x}" for code in [*range(0x00, 0x09), *range(0x0b, 0x20), *range(0x7f, 0xa0)]}


def printable(text: str) -> str:
    """`text` with every control character except tab and newline written as `\\u001b`."""
    return text if text.isprintable() else text.translate(_ESCAPES)


def _bound() -> int:
    from qarv_convert._native import QUOTED_CHARACTERS

    return QUOTED_CHARACTERS


#: What stands for the part of a text that a message leaves out.
ELLIPSIS = "\u2026"


def cut(text: str) -> tuple[str, str]:
    """`text` as a message quotes it: its first characters up to the bound loading quotes names
    to (with an ellipsis when cut), and " (N characters)" when it was cut, else ""."""
    bound = _bound()
    if len(text) <= bound:
        return text, ""
    return text[:bound] + ELLIPSIS, f" ({len(text):,} characters)"


def quoted(text: str) -> str:
    """`text` in backquotes as a message names it: "`name`", or for a long one "`nam…` (N characters)"."""
    shown, note = cut(text)
    return f"`{shown}`{note}"


def line_window(line: str, column: int, carets: int) -> tuple[str, int, int]:
    """A long line cut to a window of the bound's width around 1-based `column` (ellipses on the
    cut sides), with the column and caret count within the window; a line within the bound
    comes back as it is."""
    bound = _bound()
    if len(line) <= bound:
        return line, column, carets
    at = max(column - 1, 0)
    # The column's character about the middle, unless the line's start or end is nearer.
    first = min(max(at - bound // 2, 0), len(line) - bound)
    last = first + bound
    shown = (ELLIPSIS if first else "") + line[first:last] + (ELLIPSIS if last < len(line) else "")
    if last < len(line):
        carets = max(1, min(carets, last - at))
    return shown, at - first + 1 + (1 if first else 0), carets


def safe_repr(value: Any, limit: int = 200) -> str:
    """`repr(value)` made safe to print: escaped, cut to `limit` characters, and never raising,
    since the value may come from a toolkit that misbehaves."""
    try:
        text = repr(value)
    except Exception as error:
        text = f"<{type(value).__qualname__} whose repr raised {type(error).__qualname__}>"
    text = printable(text)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def clock(seconds: float) -> str:
    """Elapsed time as `mm:ss`, or `h:mm:ss` from an hour on."""
    minutes, second = divmod(int(seconds), 60)
    hours, minute = divmod(minutes, 60)
    return f"{hours}:{minute:02}:{second:02}" if hours else f"{minute:02}:{second:02}"
