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
