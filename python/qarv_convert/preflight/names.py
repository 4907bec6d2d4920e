"""Names a model offers, listed for a message, and the one a misspelt name most likely meant."""
from __future__ import annotations

from qarv_convert.text import quoted

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterable, Sequence

#: How many names a message lists before it says how many more there are.
LISTED = 8


def _distance(a: str, b: str) -> int:
    """Edit distance counting insertions, deletions, substitutions and swaps of neighbours."""
    d = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(len(a) + 1):
        d[i][0] = i
    for j in range(len(b) + 1):
        d[0][j] = j
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def nearest(name: str, known: Iterable[str]) -> str | None:
    """The known name closest to `name`: the same in another case, or a few edits away (at most a
    third of its length, as for misspelt keys); None when none is that close."""
    candidates = list(dict.fromkeys(known))
    for candidate in candidates:
        if candidate.lower() == name.lower():
            return candidate
    best, found = max(1, len(name) // 3) + 1, None
    for candidate in candidates:
        if abs(len(candidate) - len(name)) >= best:
            continue  # cannot be closer; spares the table for long lists of node names
        distance = _distance(name, candidate)
        if distance < best:
            best, found = distance, candidate
    return found


def quoted_list(names: Sequence[str]) -> str:
    """`a`, `b` and `c`, or the first few and how many more."""
    shown = [quoted(name) for name in names[:LISTED]]
    if len(names) > LISTED:
        return ", ".join(shown) + f" and {len(names) - LISTED} more"
    if len(shown) <= 1:
        return "".join(shown) or "none"
    return ", ".join(shown[:-1]) + " and " + shown[-1]


def did_you_mean(name: str, known: Iterable[str]) -> str:
    """"; did you mean `x`?" or nothing."""
    found = nearest(name, known)
    return f"; did you mean {quoted(found)}?" if found else ""
