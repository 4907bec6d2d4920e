"""`qarv-convert batch`: many conversions and sweeps, one child process per job, resumable, locally or on Ray."""
from __future__ import annotations

import sys

from qarv_convert.commands import add_command, add_directory_option, add_overrides
from qarv_convert.status import ExitStatus
from qarv_convert.streams import PROGRAM, Streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def add_parser(subparsers: argparse._SubParsersAction) -> None:
    from qarv_convert.batches.choices import ENGINES, FORMATS

    batch = add_command(subparsers, "batch", run, with_config=False)
    batch.add_argument("configs", metavar="CONFIG", nargs="+", help="paths of the TOML configuration files")
    add_directory_option(batch)
    batch.add_argument("--vary", metavar="SECTION.KEY=VALUES", action="append", default=[],
                       help="run each file once per value of a TOML array, for example "
                            "--vary 'build.qarv_batch_size=[1, 8]'; several make every combination")
    add_overrides(batch)
    batch.add_argument("-j", "--jobs", metavar="N", help="jobs at a time (default: the number of CPUs)")
    batch.add_argument("--out", metavar="DIR", default="runs", help="where the job folders go (default: runs)")
    batch.add_argument("--timeout", metavar="SECONDS", help="stop a job that runs longer")
    batch.add_argument("--memory-limit", metavar="SIZE", help="the memory a job may take, as 512M or 8G")
    batch.add_argument("--force", action="store_true", help="run the jobs that are up to date too")
    batch.add_argument("--strict", action="store_true", help="do not run a job whose pre-flight checks warn")
    batch.add_argument("--no-preflight", action="store_true",
                       help="leave the model and data out of the pre-flight checks")
    batch.add_argument("--format", choices=FORMATS, default="table",
                       help="how the results print on stdout (default: table)")
    batch.add_argument("-q", "--quiet", action="store_true", help="print only the results, no line per job")
    batch.add_argument("--engine", choices=ENGINES, default="local",
                       help="run the jobs here, or as tasks of a Ray cluster (default: local)")
    batch.add_argument("--address", metavar="ADDRESS",
                       help="the Ray cluster to join (default: RAY_ADDRESS, else a Ray instance for this batch)")
    batch.add_argument("--cpus-per-job", metavar="N", default="1", help="CPUs Ray reserves for each job (default: 1)")


def run(options: argparse.Namespace, streams: Streams) -> ExitStatus:
    import os

    from qarv_convert.batches.jobs import BatchError, UsageError
    from qarv_convert.batches.run import Options, run_batch
    from qarv_convert.batches.progress import BatchProgress
    from qarv_convert.batches.results import render, summary
    from qarv_convert.progress import plain_terminal

    asked = Options(options.configs, options.vary, options.overrides, options.jobs, options.out, options.timeout,
                    options.memory_limit, options.force, options.strict, not options.no_preflight, options.engine,
                    options.address, options.cpus_per_job)
    live = sys.stderr is not None and not plain_terminal(sys.stderr, dict(os.environ))
    progress = BatchProgress(sys.stderr, live=live, quiet=options.quiet)

    def diagnostics(text: str) -> None:
        if options.quiet:
            streams.say(f"{PROGRAM}: {text}")
        else:
            progress.say(f"{PROGRAM}: {text}")

    try:
        outcome = run_batch(asked, progress, diagnostics)
    except UsageError as error:
        streams.say(f"{PROGRAM} batch: error: {error}")
        return ExitStatus.USAGE
    except BatchError as error:
        streams.say(f"{PROGRAM} batch: {error}")
        return ExitStatus.FAILED
    status = streams.emit(render(outcome.results, options.format))
    if not options.quiet:
        streams.say(summary(outcome.results))
    if outcome.interrupted:
        import signal

        from qarv_convert.status import interrupted_note

        streams.say(f"{PROGRAM}: {interrupted_note(outcome.signal)}")
        return 128 + (outcome.signal or signal.SIGINT)  # type: ignore[return-value]
    return status or (ExitStatus.OK if outcome.ok else ExitStatus.FAILED)
