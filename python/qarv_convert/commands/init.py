"""`qarv-convert init`: a starter configuration with every key described."""
from __future__ import annotations

import os

from qarv_convert.commands import add_command, add_directory_option, version
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    init = add_command(subparsers, "init", run, with_config=False)
    init.add_argument("path", metavar="PATH", nargs="?", default="-",
                      help="file to create; - (the default) writes to stdout")
    init.add_argument("--force", action="store_true", help="replace PATH if it exists")
    init.add_argument("--model", metavar="MODEL", help="fill in the model's path, inputs, outputs and sizes from this ONNX file")
    add_directory_option(init)
    init.add_argument("--schema", metavar="SCHEMA",
                      help="start the file with a `#:schema SCHEMA` line, which points editors at the schema "
                           "(a path relative to the file, or a URL)")


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert.files import write_file
    from qarv_convert.source import display_name
    from qarv_convert.starter import NotWritable, starter_configuration

    if options.schema is not None:
        # The directive is a comment line: a line break in it would end the comment and put
        # the rest of SCHEMA into the file as TOML.
        if not options.schema or any(ord(c) < 0x20 or ord(c) == 0x7F for c in options.schema):
            streams.say(f"{PROGRAM}: init: --schema needs a path or URL on one line, without control characters")
            return ExitStatus.USAGE
    graph = None
    if options.model is not None:
        from qarv_convert import _native

        try:
            graph = _native.read_onnx_graph(options.model)
        except OSError as error:
            streams.say(f"{PROGRAM}: {display_name(options.model)}: {error.strerror or error}")
            return ExitStatus.FAILED
        except ValueError as error:
            streams.say(f"{PROGRAM}: {display_name(options.model)}: not an ONNX model: {error}")
            return ExitStatus.FAILED
        if not graph["has_graph"]:
            streams.say(f"{PROGRAM}: {display_name(options.model)}: not an ONNX model: it holds no graph")
            return ExitStatus.FAILED
    try:
        starter = starter_configuration(version(), written_path(options.model, options.path), graph) \
            if options.model is not None else starter_configuration(version())
    except NotWritable as error:
        streams.say(f"{PROGRAM}: {display_name(options.model)}: {error}")
        return ExitStatus.FAILED
    text = starter.text
    if options.schema is not None:
        text = f"#:schema {options.schema}\n" + text
    if options.path == "-":
        return streams.emit(text)
    name = display_name(options.path)
    try:
        write_file(options.path, text, replace=options.force)
    except FileExistsError:
        streams.say(f"{PROGRAM}: {name}: already exists; use --force to replace it")
        return ExitStatus.FAILED
    except OSError as error:
        streams.say(f"{PROGRAM}: {name}: {error.strerror or error}")
        return ExitStatus.FAILED
    then = "set the values marked CHOOSE, then run" if starter.to_choose else "check it with"
    # Its relative paths are read from its folder, as `-C` makes the run read them.
    folder, base = os.path.split(options.path)
    command = f"-C {display_name(folder)} {display_name(base)}" if folder and options.model is not None else name
    streams.say(f"{PROGRAM}: wrote {name}; {then}: {PROGRAM} check --strict {command}")
    return ExitStatus.OK


def written_path(model: str, path: str) -> str:
    """The model's path as the new file holds it: relative to the file's folder when the model lies
    under it, as `check -C FOLDER` reads it, else absolute. Written to stdout, the file's folder is
    the current one."""
    folder = os.path.abspath(os.path.dirname(path) if path != "-" else os.curdir)
    model = os.path.abspath(model)
    if os.path.commonpath([folder, model]) == folder:
        return os.path.relpath(model, folder)
    return model
