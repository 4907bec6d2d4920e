"""Loading large files: the module beside toml-rs, rtoml and tomllib on the same generated
documents, time per MB at 1, 10 and 100 MB, and the peak memory of one 100 MB load.

Run through `make bench`, after bench_conversion.py, whose generator and timing loop it shares."""
import os
import pathlib
import subprocess
import sys
import tempfile
import tomllib

import rtoml
import toml_rs

import qarv_convert_inner
from bench_conversion import large_file, loads_only, per_call
from qarv_convert.toolkit_proxy import swapped_modules

SIZES = (1, 10, 100)
# tomllib takes about half a second per MB: it skips the largest file.
SLOW = {"tomllib"}
TARGETS = {"toml_rs": 2, "rtoml": 4, "tomllib": None}
MEMORY_TARGET = 3


def binary(load):
    def run(path):
        with open(path, "rb") as file:
            return load(file)

    return run


PARSERS = {
    "ours": loads_only(qarv_convert_inner.rust_convert),
    "toml_rs": binary(toml_rs.load),
    "rtoml": lambda path: rtoml.load(pathlib.Path(path)),
    "tomllib": binary(tomllib.load),
}

# One load in a fresh interpreter, so that the peak is the load's and not the generator's. The
# peak is read from VmHWM, which starts afresh with the new program (ru_maxrss would carry over
# the parent's peak through fork and exec).
PEAK_SCRIPT = """
import sys
import qarv_convert_inner

def high_water_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

sys.modules["qarv"] = None
before = high_water_kib()
try:
    qarv_convert_inner.rust_convert(sys.argv[1])
except RuntimeError as error:
    assert str(error).startswith("ModuleNotFoundError: "), error
print(high_water_kib() - before)
"""


def peak_kib(path):
    result = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, path], capture_output=True, text=True, check=True)
    return int(result.stdout)


def main():
    timings = {}
    with tempfile.TemporaryDirectory() as directory, swapped_modules({"qarv": None, "qarv.api": None}):
        for megabytes in SIZES:
            path = os.path.join(directory, f"{megabytes}mb.toml")
            large_file(path, megabytes)
            actual = os.path.getsize(path) / 1e6
            repeats = {1: 5, 10: 5, 100: 2}[megabytes]
            budget = 0.2 if megabytes == 1 else 0
            row = {}
            for name, parser in PARSERS.items():
                if name in SLOW and megabytes >= 100:
                    continue
                row[name] = per_call(parser, path, 3 if name in SLOW and megabytes > 1 else repeats, budget)
            timings[megabytes] = (actual, row)
            if megabytes == 100:
                peak = peak_kib(path) * 1024 / 1e6
                memory = (actual, peak)

    actual, row = timings[10]
    print(f"\nloading the {actual:.1f} MB generated file (read, parse, check), medians:")
    print(f"  ours: {row['ours'] * 1e3:,.0f} ms, {actual / row['ours']:.0f} MB/s")
    for name, target in TARGETS.items():
        ratio = row[name] / row["ours"]
        verdict = "" if target is None else f"  (target >= {target}x: {'met' if ratio >= target else 'MISSED'})"
        print(f"  vs {name}.load: {row[name] * 1e3:,.0f} ms, ours {ratio:.1f}x faster{verdict}")

    print("\ntime per MB:")
    for megabytes in SIZES:
        actual, row = timings[megabytes]
        cells = ", ".join(f"{name} {row[name] / actual * 1e3:.2f} ms" for name in PARSERS if name in row)
        print(f"  {actual:5.1f} MB: {cells}")

    actual, peak = memory
    ratio = peak / actual
    print(f"\npeak memory of one {actual:.0f} MB load: {peak:,.0f} MB above the interpreter's, {ratio:.2f}x the file"
          f"  (target < {MEMORY_TARGET}x: {'met' if ratio < MEMORY_TARGET else 'MISSED'})")
    print(f"toml_rs {toml_rs.__version__}, rtoml {rtoml.__version__}, Python {sys.version.split()[0]}")


if __name__ == "__main__":
    main()
