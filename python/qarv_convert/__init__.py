"""Command line and helpers around the `qarv_convert_inner` extension module."""


def main(argv=None) -> int:
    """The `qarv-convert` entry point. Ctrl-C while the command line is still being imported ends it
    as Ctrl-C at any later moment does: status 130 and one line, no traceback."""
    try:
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
