"""`qarv-convert check`: the pre-flight of configuration files, run before any conversion."""
from __future__ import annotations

from qarv_convert.commands import COMMANDS, CONFIG_HELP, add_directory_option, add_overrides, report_preflight, usage_error
from qarv_convert.preflight.checks import SAMPLES
from qarv_convert.streams import PROGRAM
from qarv_convert.status import ExitStatus
from qarv_convert.streams import Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    check = subparsers.add_parser("check", help=COMMANDS["check"], description=COMMANDS["check"])
    check.add_argument("config", metavar="CONFIG", nargs="+", help=CONFIG_HELP)
    add_directory_option(check)
    check.add_argument("--strict", action="store_true", help="exit with status 1 on warnings too")
    check.add_argument("--no-preflight", action="store_true",
                       help="leave the model and data out of the checks; the file's own checks stay")
    check.add_argument("--format", choices=("text", "json"), default="text",
                       help="text (FILE:LINE:COLUMN lines on stderr, the default) or a JSON array on stdout")
    check.add_argument("--samples", type=_count, default=SAMPLES, metavar="N",
                       help=f"read the contents of at most N calibration samples, spread over the dataset "
                            f"(default {SAMPLES}; 0 reads none)")
    check.add_argument("--run", dest="run_model", action="store_true",
                       help="run the float model with onnxruntime on those samples, preprocessed as the device "
                            "preprocesses them (needs the `run` extra)")
    check.add_argument("--outputs", metavar="FILE.npz",
                       help="with --run, keep the float outputs of each sample in FILE.npz (OUTPUT/LINE, and `lines`)")
    check.add_argument("--report", metavar="FILE.html",
                       help="write a self-contained HTML page of the diagnostics and the samples' values "
                            "(needs the `report` extra)")
    add_overrides(check)
    check.set_defaults(run=run)


def _count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise usage_error(f"{text!r} is not a whole number") from None
    if number < 0:
        raise usage_error("the count cannot be negative")
    return number


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    from qarv_convert.preflight import check_file

    if options.outputs is not None and (not options.run_model or len(options.config) != 1):
        streams.say(f"{PROGRAM}: --outputs keeps the outputs of --run for one configuration")
        return ExitStatus.USAGE
    features = ["--run"] * options.run_model + ["--report"] * (options.report is not None)
    if features:
        from qarv_convert.extras import missing

        if lacking := missing(features):
            streams.say(*(f"{PROGRAM}: {extra.message()}" for extra in lacking))
            return ExitStatus.FAILED
    failed = False
    reports = []
    checked = []
    for path in options.config:
        report = check_file(path, model_and_data=not options.no_preflight, overrides=options.overrides,
                            samples=options.samples, run=options.run_model, keep=options.outputs)
        streams.check_interrupted()
        checked.append(report)
        failed = failed or report.errors > 0 or (options.strict and report.warnings > 0)
        if options.format == "json":
            reports.append(report.to_json())
        else:
            report_preflight(streams, report, overrides=options.overrides)
    if options.report is not None:
        from qarv_convert.report_page import write_page

        try:
            write_page(options.report, checked)
        except OSError as error:
            streams.say(f"{PROGRAM}: --report {options.report}: {error.strerror or error}")
            return ExitStatus.FAILED
    if options.format == "json":
        import json

        from qarv_convert.text import printable

        status = streams.emit(printable(json.dumps(reports, indent=2, ensure_ascii=False)) + "\n")
        if status is not ExitStatus.OK:
            return status
    return ExitStatus.FAILED if failed else ExitStatus.OK
