"""Peak memory of one load for each shape a large document can take, as a multiple of its size,
and of the commands that read a whole configuration (`check`, `plan`, `explain`).

Run through `make bench`; `python benchmarks/bench_memory.py [MB]` measures another size. A
command's figure is its peak on the large document less its peak on a small one of the same shape,
so that what the interpreter and the command's imports take once is not counted against the file."""
import os
import subprocess
import sys
import tempfile

TARGET = 4

# One load in a fresh interpreter, so that the peak is the load's and not the generator's. VmHWM
# starts afresh with the new program (ru_maxrss would carry the parent's peak through fork).
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
    # As far as the toolkit's import, or to a list longer than any a configuration takes.
    assert str(error).startswith("ModuleNotFoundError: ") or "expected a sequence of at most" in str(error), error
print(high_water_kib() - before)
"""


def repeated(head, line, size):
    """`head`, then `line(i)` for i = 0, 1, ... until the text holds at least `size` bytes."""
    parts, total, index = [head], len(head), 0
    while total < size:
        text = line(index)
        parts.append(text)
        total += len(text)
        index += 1
    return "".join(parts)


def array_of_zeros(key, size):
    # "0," per element: the smallest an array element can be.
    head = f"{key} = ["
    return head + "0," * ((size - len(head)) // 2) + "0]\n"


def array_of_empty_arrays(key, size):
    # "[], " per element, as a careless generator writes them.
    head = f"{key} = ["
    return head + "[], " * ((size - len(head)) // 4) + "[]]\n"


# Each a generator of a document of about `size` bytes.
SHAPES = {
    "key-heavy": lambda size: repeated("[build]\n", lambda i: f"k{i} = {i}\n", size),
    "table-heavy": lambda size: repeated("", lambda i: f"[t{i}]\n", size),
    "string-heavy": lambda size: repeated(
        "[config]\n", lambda i: f'custom_{i} = "line {i}\\twith an escape and some text to carry"\n', size),
    "array under a known key": lambda size: array_of_zeros("[config]\nmean_values", size),
    "array under an ignored key": lambda size: array_of_zeros("[config]\nignored_values", size),
    "array of empty arrays": lambda size: array_of_empty_arrays(
        '[load]\nmodel_type = "Onnx"\ninput_size_list', size),
}


# One command in a fresh interpreter, its output thrown away; the peak goes to the file named first.
COMMAND_PEAK_SCRIPT = """
import sys
from qarv_convert import main

main(sys.argv[2:])
with open("/proc/self/status") as status, open(sys.argv[1], "w") as out:
    out.write(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""

COMMANDS = {"check": ["check"], "plan": ["plan", "--no-preflight"], "explain": ["explain"]}

COMMAND_SHAPES = {
    "key-heavy": SHAPES["key-heavy"],
    "table-heavy": SHAPES["table-heavy"],
    "string-heavy": SHAPES["string-heavy"],
    "array under a known key": SHAPES["array under a known key"],
    "array under an ignored key": SHAPES["array under an ignored key"],
    "array of empty arrays": SHAPES["array of empty arrays"],
    "one long key": lambda size: "[build]\n" + "k" * size + " = 1\n",
}


def command_peak_bytes(command, path):
    with tempfile.NamedTemporaryFile("r") as out:
        subprocess.run([sys.executable, "-c", COMMAND_PEAK_SCRIPT, out.name, *command, path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        return int(out.read()) * 1024


def command_peaks(megabytes):
    """{(shape, command): (file size, peak above the same command on a small file)}."""
    out = {}
    with tempfile.TemporaryDirectory() as directory:
        for name, make in COMMAND_SHAPES.items():
            small, large = os.path.join(directory, "small.toml"), os.path.join(directory, "large.toml")
            for path, size in ((small, 1000), (large, megabytes * 1_000_000)):
                with open(path, "w", encoding="utf-8") as file:
                    file.write(make(size))
            for command_name, command in COMMANDS.items():
                base = command_peak_bytes(command, small)
                out[name, command_name] = (os.path.getsize(large), command_peak_bytes(command, large) - base)
    return out


def peak_bytes(path):
    result = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, path], capture_output=True, text=True, check=True)
    return int(result.stdout) * 1024


def peaks(megabytes):
    """{shape: (file size, peak)} for documents of about `megabytes` MB."""
    out = {}
    with tempfile.TemporaryDirectory() as directory:
        for name, make in SHAPES.items():
            path = os.path.join(directory, "shape.toml")
            with open(path, "w", encoding="utf-8") as file:
                file.write(make(megabytes * 1_000_000))
            out[name] = (os.path.getsize(path), peak_bytes(path))
            os.unlink(path)
    return out


def main():
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    print(f"\npeak memory of one load, {megabytes} MB documents (target <= {TARGET}x the file):")
    for name, (size, peak) in peaks(megabytes).items():
        ratio = peak / size
        print(f"  {name:28} {peak / 1e6:8,.0f} MB  {ratio:5.2f}x  {'met' if ratio <= TARGET else 'MISSED'}")
    print(f"\npeak memory of a command, {megabytes} MB documents, above the same command on a small one "
          f"(target <= {TARGET}x the file):")
    for (name, command), (size, peak) in command_peaks(megabytes).items():
        ratio = peak / size
        print(f"  {command:8}{name:28} {peak / 1e6:8,.0f} MB  {ratio:5.2f}x  {'met' if ratio <= TARGET else 'MISSED'}")


if __name__ == "__main__":
    main()
