"""The `qarv-convert` command line: its parser, and the run of one command with its streams."""
from __future__ import annotations

import sys

from qarv_convert.commands import NAMES, in_directory
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, STOPPING, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Sequence


def _plain_options(arguments: list[str]) -> argparse.Namespace | None:
    """The options of a run that names its command first and gives it options that leave argparse
    nothing to say, read without it (importing argparse costs more than most runs take); None for
    argparse to read them."""
    if not arguments or arguments[0] not in NAMES:
        return None
    from qarv_convert.commands.options import parse_plainly

    name = f"qarv_convert.commands.{arguments[0]}"
    __import__(name)  # importlib would bring `warnings` with it
    return parse_plainly(arguments[0], sys.modules[name].add_parser, arguments[1:])  # type: ignore[return-value]


def _is_panic(error: BaseException) -> bool:
    """The modules' internal-failure exception, a BaseException subclass known only by name."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ in ("qarv_convert_inner", "qarv_convert._native")


def run(options: argparse.Namespace, streams: Streams) -> int:
    """Runs the chosen command; Ctrl-C and internal failures end it with their own status."""
    from qarv_convert.text import printable
    from qarv_convert.source import display_name

    try:
        try:
            with in_directory(options, streams) as entered:
                return options.run(options, streams) if entered else ExitStatus.FAILED
        except BaseException as error:
            if not isinstance(error, MemoryError) and not _is_panic(error):
                raise
            what = "out of memory" if isinstance(error, MemoryError) else f"internal failure: {printable(str(error))}"
            del error  # its traceback holds what filled memory
            streams.check_interrupted()
            config = getattr(options, "config", None)
            names = config if isinstance(config, list) else [config] if config else []
            where = f" {display_name(names[0])}:" if len(names) == 1 else ""
            streams.say(f"{PROGRAM}:{where} {what}")
            return ExitStatus.FAILED
    except KeyboardInterrupt:
        streams.say(f"{PROGRAM}: {streams.interrupted_note()}")
        return streams.interrupted_status()


def main(argv: Sequence[str] | None = None) -> int:
    streams = Streams()
    arguments = list(sys.argv[1:] if argv is None else argv)
    with streams.guarded():
        try:
            options = _plain_options(arguments)
            if options is None:
                from qarv_convert.commands.parser import build_parser

                options = build_parser(arguments).parse_args(arguments)
        except OSError as error:  # --help or --version could not be written
            return int(streams.write_failed(error))
        except SystemExit as leaving:
            # --help and --version print, then leave: what they printed must have got there.
            if leaving.code == 0:
                if streams.stdout_closed:
                    return int(streams.stdout_failure("it is closed"))
                if (failed := streams.flush_stdout()) is not None:
                    return int(streams.write_failed(failed))
            raise
        options.argv = arguments
        with streams.interrupts_noted(STOPPING):
            return int(run(options, streams))


if __name__ == "__main__":
    sys.exit(main())
