"""Command line and helpers around the `qarv_convert_inner` extension module."""


def main(argv=None) -> int:
    """The `qarv-convert` entry point. Ctrl-C while the command line is still being imported ends it
    as Ctrl-C at any later moment does: status 130 and one line, no traceback."""
    try:
        import sys

        if (sys.argv[1:] if argv is None else list(argv)) == ["--version"]:
            return _print_version()
        from qarv_convert.cli import main as run

        return run(argv)
    except KeyboardInterrupt:
        import sys

        try:
            if sys.stderr is not None:
                sys.stderr.write("qarv-convert: interrupted\n")
                sys.stderr.flush()
        except (OSError, ValueError):
            pass
        return 130


def _print_version() -> int:
    """`qarv-convert --version` without the parser, which costs more to import than the rest of
    the run; the line is checked to have arrived as every command's output is."""
    from qarv_convert._version import __version__
    from qarv_convert.streams import PROGRAM, Streams

    streams = Streams()
    with streams.guarded():
        return int(streams.emit(f"{PROGRAM} {__version__}\n"))


# The Python API lives in `qarv_convert.api` and is imported on first use, so that importing the
# package (as the command line does on every start) stays as cheap as it was.
_API = frozenset({"explain", "check", "plan", "convert", "batch", "Summary", "Row", "Diagnostics", "Diagnostic", "Severity",
                  "Call", "ConfigurationError", "ConversionError"})

TYPE_CHECKING = False
if TYPE_CHECKING:
    from qarv_convert.api import (Call, ConfigurationError, ConversionError, Diagnostic, Diagnostics, Row, Severity,
                                  Summary, batch, check, convert, explain, plan)


def __getattr__(name: str) -> object:
    if name in _API:
        from qarv_convert import api

        return getattr(api, name)
    raise AttributeError(f"module 'qarv_convert' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | _API)
