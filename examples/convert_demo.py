"""Converts every example configuration in a directory of its own and shows what each run wrote.

Without the vendor toolkit, run it with the stand-in on an absolute path:
PYTHONPATH=$PWD/standin python examples/convert_demo.py
"""
import argparse
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile

from make_model import EXAMPLES, make_materials

RECORD_NAME = "run-record.json"


def _files(directory):
    return {path for path in directory.rglob("*") if path.is_file()}


def _describe(path, work):
    """One line per file; a stand-in artifact also lists the steps it recorded."""
    line = f"    {path.relative_to(work)}  ({path.stat().st_size} bytes)"
    try:
        record = json.loads(path.read_text(encoding="utf-8"))
        steps = [call["step"] for call in record["calls"]]
    except (UnicodeDecodeError, ValueError, KeyError, TypeError):
        return line
    return f"{line}: {' -> '.join(steps)}"


def _summarise(record_path):
    """The run record in a line: its status and each step with its result and duration."""
    record = json.loads(record_path.read_text(encoding="utf-8"))
    steps = ", ".join(f"{step['method']} {step['result']} in {step['seconds']:.3f} s" for step in record["steps"])
    return f"  {record_path.name}: {record['status']} ({steps})"


def convert(config, work):
    """Runs one conversion inside `work`, where the configuration's relative paths point.
    Returns whether it succeeded."""
    shutil.rmtree(work, ignore_errors=True)  # each run starts from its own materials only
    work.mkdir(parents=True)
    shutil.copy(config, work / config.name)
    make_materials(config, work)
    before = _files(work)
    # The command line reports each toolkit step and its duration on stderr as it runs, and keeps
    # a record of the run beside what it converted.
    record = work / RECORD_NAME
    run = subprocess.run([sys.executable, "-m", "qarv_convert", "convert", "--record", RECORD_NAME, config.name],
                         cwd=work)
    if record.exists():
        print(_summarise(record))
    if run.returncode != 0:
        print(f"  failed with exit status {run.returncode}")
        return False
    print("  wrote:")
    for path in sorted(_files(work) - before - {record}):
        print(_describe(path, work))
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path,
                        help="directory for the runs (default: a new temporary directory, kept)")
    arguments = parser.parse_args()
    try:
        import qarv.api  # noqa: F401  (only to give a hint before the first run)
    except ImportError:
        sys.exit("qarv.api is not importable; run with PYTHONPATH=standin for the stand-in toolkit")

    out = arguments.out or pathlib.Path(tempfile.mkdtemp(prefix="qarv-demo-"))
    ok = True
    for config in sorted(EXAMPLES.glob("*.toml")):
        work = (out / config.stem).resolve()
        print(f"==> {config.name} in {work}", flush=True)
        ok = convert(config, work) and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
