"""`qarv-convert env`: the versions a bug report needs."""
from __future__ import annotations

from qarv_convert.commands import add_command, version
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    add_command(subparsers, "env", run, with_config=False)


def _module_version(name: str) -> str:
    """The `__version__` of module `name`, or why there is none; importing it runs its code."""
    import importlib

    try:
        module = importlib.import_module(name)
    except Exception as error:
        return f"not importable ({type(error).__qualname__}: {error})"
    found = getattr(module, "__version__", None)
    return found if isinstance(found, str) else "installed, version unknown"


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import os
    import platform
    import sys

    import qarv_convert_inner

    from qarv_convert.text import printable

    lines = [
        ("qarv-convert", version()),
        ("qarv_convert_inner", os.path.basename(qarv_convert_inner.__file__ or "?")),
        ("python", f"{platform.python_version()} ({sys.executable})"),
        ("platform", platform.platform()),
        ("numpy", _module_version("numpy")),
        ("toolkit (qarv)", _module_version("qarv")),
    ]
    width = max(len(label) for label, _ in lines)
    return streams.emit("".join(f"{label + ':':<{width + 1}} {printable(value)}\n" for label, value in lines))
