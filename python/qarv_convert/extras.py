"""The optional packages that features need, the extra of this package that installs each, and the
message when one is missing."""
from __future__ import annotations

from qarv_convert.tuples import named_tuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Sequence

#: The packages each optional feature needs, each with the extra that installs it.
NEEDS = {
    "--run": (("numpy", "numpy"), ("onnxruntime", "run")),
    "--report": (("numpy", "numpy"), ("matplotlib", "report"), ("PIL", "report")),
}


@named_tuple
class MissingExtra:
    """An optional package a requested feature needs and the interpreter lacks."""

    module: str   #: what to import
    extra: str    #: the extra of this package that installs it
    feature: str  #: the option that needs it

    def message(self) -> str:
        return (f"{self.feature} needs {self.module}, which is not installed; install it with the `{self.extra}` "
                f"extra: pip install 'qarv-convert[{self.extra}]'")


def missing(features: Sequence[str]) -> list[MissingExtra]:
    """The packages that `features` (keys of `NEEDS`) need and that cannot be imported, each once."""
    if not features:
        return []  # importlib.util is for finding packages, and costs a run that needs none its import
    import importlib.util

    found: dict[str, MissingExtra] = {}
    for feature in features:
        for module, extra in NEEDS[feature]:
            if module not in found and importlib.util.find_spec(module) is None:
                found[module] = MissingExtra(module, extra, feature)
    return list(found.values())
