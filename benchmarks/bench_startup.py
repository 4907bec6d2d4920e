"""Start-up time of the command line beside a bare interpreter, measured in pairs.

Run through `make bench`. The command is the installed `qarv-convert` script, as a user starts
it (`python -m qarv_convert` when there is none). Each round runs `python3 -c pass` and then each
command once; a
command's figures are the medians, over RUNS rounds, of what it added to the bare interpreter of
its own round and of the ratio of the two, so that a busy machine slows both sides of a pair
alike. The target is at most 15 ms added for --version, check and explain (`check` without the
pre-flight's model and data, which the example does not come with); --help, which argparse
prints, and plan, which runs the pre-flight of the file, are shown beside them."""
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
#: The commands the target holds for.
TARGETED = {"--version", "check", "explain"}

COMMANDS = {
    "--version": ["--version"],
    "--help": ["--help"],
    "check": ["check", "--no-preflight", EXAMPLE],
    "explain": ["explain", EXAMPLE],
    "plan": ["plan", "--no-preflight", EXAMPLE],
}


def wall(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    bare = [sys.executable, "-c", "pass"]
    # The installed command, as a user starts it; `python -m` adds runpy's own start-up.
    script = pathlib.Path(sys.executable).with_name("qarv-convert")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "qarv_convert"]
    runs = {name: [*command, *args] for name, args in COMMANDS.items()}
    samples = {name: [] for name in ["python3 -c pass", *runs]}
    for argv in [bare, *runs.values()]:
        wall(argv)  # warm the page cache and the bytecode caches
    for _ in range(RUNS):
        for name, argv in [("python3 -c pass", bare), *runs.items()]:
            samples[name].append(wall(argv))
    bare_times = samples["python3 -c pass"]
    base = statistics.median(bare_times)
    print(f"start-up, medians of {RUNS} paired runs (target: at most {TARGET_MS:.0f} ms over python3 -c pass "
          f"for {', '.join(sorted(TARGETED))})")
    print(f"{'command':<24}{'ms':>8}{'added ms':>10}{'ratio':>8}")
    print(f"{'python3 -c pass':<24}{base * 1e3:>8.1f}{'':>10}{1.0:>8.2f}")
    for name in runs:
        times = samples[name]
        added = statistics.median(t - b for t, b in zip(times, bare_times)) * 1e3
        ratio = statistics.median(t / b for t, b in zip(times, bare_times))
        flag = "" if name not in TARGETED or added <= TARGET_MS else "  over target"
        print(f"{'qarv-convert ' + name:<24}{statistics.median(times) * 1e3:>8.1f}{added:>10.1f}{ratio:>8.2f}{flag}")

if __name__ == "__main__":
    main()
