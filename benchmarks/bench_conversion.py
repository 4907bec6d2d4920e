"""Timings of the module beside pure-Python baselines measured in the same run, printed as one table.

Run through `make bench`. Each figure is the median of several repeats of a timed loop."""
import contextlib
import gc
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import types

import baseline
import qarv_convert_inner
from qarv_convert.toolkit_proxy import swapped_modules

HERE = pathlib.Path(__file__).resolve().parent
TYPICAL = str(HERE / "typical.toml")
THREE_LINES = str(HERE / "three_lines.toml")


def per_call(function, argument, repeats=7, budget=0.25):
    """Median seconds per call over `repeats` loops, each sized to take about `budget` seconds;
    with no budget every loop is one call and there is no warm-up call (for the large files)."""
    loops = 1
    if budget:
        function(argument)
        start = time.perf_counter()
        function(argument)
        loops = max(1, int(budget / max(time.perf_counter() - start, 1e-7)))
    samples = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        for _ in range(loops):
            function(argument)
        samples.append((time.perf_counter() - start) / loops)
    return statistics.median(samples)


def duration(seconds):
    return f"{seconds * 1e3:,.0f} ms" if seconds >= 0.01 else f"{seconds * 1e6:,.1f} us"


@contextlib.contextmanager
def stdout_to_null():
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def toolkit(api):
    package = types.ModuleType("qarv")
    package.api = api
    return swapped_modules({"qarv": package, "qarv.api": api})


class NoOpToolkit:
    def config(self, **kwargs):
        return 0

    def load_onnx(self, model, **kwargs):
        return 0

    def build(self, **kwargs):
        return 0

    def accuracy_analysis(self, **kwargs):
        return 0

    def export_qarv(self, path):
        return 0


def recorded_calls(convert, path):
    calls = []

    class Recorder:
        def __getattr__(self, name):
            return lambda *args, **kwargs: calls.append((name, args, kwargs)) or 0

    api = types.ModuleType("qarv.api")
    api.QARV = Recorder
    with toolkit(api):
        convert(path)
    return calls


def captured_summary(explain, path):
    with tempfile.TemporaryFile() as out:
        sys.stdout.flush()
        saved = os.dup(1)
        os.dup2(out.fileno(), 1)
        try:
            explain(path)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        out.seek(0)
        return out.read()


# The peak resident set of this process alone (VmHWM): `ru_maxrss` would start from the parent's
# peak at the fork.
SUMMARY_MEMORY_CHILD = """
import re, sys, qarv_convert_inner
def peak():
    with open("/proc/self/status") as status:
        return int(re.search(r"VmHWM:\\s*(\\d+) kB", status.read()).group(1))
before = peak()
qarv_convert_inner.rust_explain(sys.argv[1])
print(before, peak(), file=sys.stderr)
"""


def summary_memory(megabytes):
    """`rust_explain` on a file whose one string value is `megabytes` MB long, in a fresh process:
    (input bytes, summary bytes, growth of the peak resident set in bytes, seconds). The value
    widens every line of its table, so the summary is some 60 times the input."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "long-value.toml")
        pathlib.Path(path).write_text('[config]\ncustom_string = "' + "v" * (megabytes * 1_000_000) + '"\n')
        start = time.perf_counter()
        child = subprocess.Popen([sys.executable, "-c", SUMMARY_MEMORY_CHILD, path],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        written = 0
        while chunk := child.stdout.read(1 << 20):
            written += len(chunk)
        report = child.stderr.read().decode()
        assert child.wait() == 0, report
        seconds = time.perf_counter() - start
        before, after = map(int, report.split())
        return os.path.getsize(path), written, (after - before) * 1024, seconds


def loads_only(convert):
    """Loading and checking alone is not exposed: the cheapest public path is a conversion whose
    toolkit import fails at once, after the file has loaded. Both sides take the same path."""

    def run(path):
        try:
            convert(path)
        except RuntimeError as error:
            assert str(error).startswith("ModuleNotFoundError: "), error

    return run


def large_file(path, megabytes):
    """The real sections, then ignored tables of mixed values up to the size asked for."""
    chunks = [pathlib.Path(TYPICAL).read_text(encoding="utf-8")]
    size, index = len(chunks[0]), 0
    while size < megabytes * 1_000_000:
        chunk = (
            f"\n[ignored_layer_{index}]\n"
            f'name = "block {index // 16}.conv {index % 16}"\n'
            f"shape = [1, {index % 512}, 3, 3]\n"
            f"weights = [{', '.join(f'{(index * 7 + k) % 1000 / 997:.6f}' for k in range(12))}]\n"
            f"bias = {index * 0.5e-3:.4e}\n"
            f"frozen = {'true' if index % 3 else 'false'}\n"
            f"quant = {{ scale = {1 / (index + 1):.8f}, zero_point = {index % 256}, dtype = \"int8\" }}\n"
            f"note = 'raw text, no escapes: C:\\models\\layer{index}'\n"
        )
        chunks.append(chunk)
        size += len(chunk)
        index += 1
    pathlib.Path(path).write_text("".join(chunks), encoding="utf-8")


def main():
    rows = []

    def row(name, ours, reference_name, reference, target):
        ratio = reference / ours
        verdict = "-" if target is None else ("met" if ratio >= target else "MISSED")
        target_text = "" if target is None else f">= {target:g}x"
        rows.append((name, duration(ours), reference_name, duration(reference),
                     f"{ratio:.1f}x", target_text, verdict))

    # The baseline must do the same work: same calls, same summary text.
    assert recorded_calls(qarv_convert_inner.rust_convert, TYPICAL) == recorded_calls(baseline.convert, TYPICAL)
    assert captured_summary(qarv_convert_inner.rust_explain, TYPICAL) == captured_summary(baseline.explain, TYPICAL)

    with swapped_modules({"qarv": None, "qarv.api": None}):
        row("load + check, 2 KB file", per_call(loads_only(qarv_convert_inner.rust_convert), TYPICAL),
            "tomllib + checks", per_call(loads_only(baseline.convert), TYPICAL), 10)

    with stdout_to_null():
        ours = per_call(qarv_convert_inner.rust_explain, TYPICAL)
        reference = per_call(baseline.explain, TYPICAL)
    row("rust_explain to /dev/null", ours, "same + box tables", reference, 10)

    assert captured_summary(qarv_convert_inner.rust_explain, THREE_LINES) == captured_summary(baseline.explain,
                                                                                               THREE_LINES)
    with stdout_to_null():
        ours = per_call(qarv_convert_inner.rust_explain, THREE_LINES)
        reference = per_call(baseline.explain, THREE_LINES)
    row("rust_explain, 3-line file", ours, "same + box tables", reference, 6)

    api = types.ModuleType("qarv.api")
    api.QARV = NoOpToolkit
    with toolkit(api):
        ours = per_call(qarv_convert_inner.rust_convert, TYPICAL)
        reference = per_call(baseline.convert, TYPICAL)
    row("rust_convert, no-op toolkit", ours, "same + kwargs, calls", reference, 8)

    # Peak memory must follow the input, not the summary: the summary is drawn in bounded pieces.
    summary_input, summary_output, summary_growth, summary_seconds = summary_memory(20)

    header = ("workload", "ours", "baseline", "baseline time", "speed-up", "target", "")
    widths = [max(len(str(line[i])) for line in [header] + rows) for i in range(len(header))]
    print()
    for line in [header] + rows:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(line, widths)).rstrip())

    growth_ratio = summary_growth / summary_input
    print(f"\nsummary of one {summary_input / 1e6:.0f} MB string value: {summary_output / 1e6:,.0f} MB written in "
          f"{summary_seconds:.2f} s, peak memory grew {summary_growth / 1e6:.0f} MB = {growth_ratio:.1f}x the input "
          f"(target <= 4x: {'met' if growth_ratio <= 4 else 'MISSED'})")
    print(f"\nPython {sys.version.split()[0]}, {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
