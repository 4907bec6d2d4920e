"""Start-up time of the command line beside a bare interpreter, measured in the same run.

Run through `make bench`. Each command and `python3 -c pass` run in turn, RUNS times each; the
table shows the median wall time of each, what the command adds to the bare interpreter, and the
ratio of the two. The target is at most 15 ms added for --version, --help, check, explain and plan."""
import os
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLE = str(HERE.parent / "examples" / "resnet50.toml")
RUNS = int(os.environ.get("STARTUP_RUNS", "40"))
TARGET_MS = 15.0

COMMANDS = {
    "--version": ["--version"],
    "--help": ["--help"],
    "check": ["check", EXAMPLE],
    "explain": ["explain", EXAMPLE],
    "plan": ["plan", EXAMPLE],
}


def wall(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    bare = [sys.executable, "-c", "pass"]
    runs = {name: [sys.executable, "-m", "qarv_convert", *args] for name, args in COMMANDS.items()}
    samples = {name: [] for name in ["python3 -c pass", *runs]}
    for argv in [bare, *runs.values()]:
        wall(argv)  # warm the page cache and the bytecode caches
    for _ in range(RUNS):
        for name, argv in [("python3 -c pass", bare), *runs.items()]:
            samples[name].append(wall(argv))
    base = statistics.median(samples["python3 -c pass"])
    print(f"start-up, median of {RUNS} runs each (target: at most {TARGET_MS:.0f} ms over python3 -c pass)")
    print(f"{'command':<24}{'ms':>8}{'added ms':>10}{'ratio':>8}")
    print(f"{'python3 -c pass':<24}{base * 1e3:>8.1f}{'':>10}{1.0:>8.2f}")
    for name in runs:
        median = statistics.median(samples[name])
        added = (median - base) * 1e3
        flag = "" if added <= TARGET_MS else "  over target"
        print(f"{'qarv-convert ' + name:<24}{median * 1e3:>8.1f}{added:>10.1f}"
              f"{median / base:>8.2f}{flag}")


if __name__ == "__main__":
    main()
