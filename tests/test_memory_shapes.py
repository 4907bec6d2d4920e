"""Peak memory of one load for each shape a large document can take: each is read in a fresh
process, whose high-water mark above its start must stay within a few times the file's size."""
import subprocess
import sys

import pytest

SIZE = 20_000_000

PEAK = """
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
    assert sys.argv[2] in str(error), error
print(high_water_kib() - before)
"""


def lines(head, line):
    parts, total, index = [head], len(head), 0
    while total < SIZE:
        parts.append(line(index))
        total += len(parts[-1])
        index += 1
    return "".join(parts)


def zeros(head):
    return head + "0," * ((SIZE - len(head)) // 2) + "0]\n"


# A load that gets as far as the toolkit stops at its import; a list longer than any a
# configuration takes stops where it is mapped.
TOOLKIT = "ModuleNotFoundError: "
TOO_LONG = ", expected a sequence of at most 65536 elements"


@pytest.mark.memory_bound
@pytest.mark.parametrize(
    "make, ends",
    [
        (lambda: lines("[build]\n", lambda i: f"k{i} = {i}\n"), TOOLKIT),
        (lambda: lines("[config]\n", lambda i: f'custom_{i} = "line {i}\\twith an escape and some text"\n'), TOOLKIT),
        (lambda: zeros("[config]\nmean_values = ["), TOO_LONG),
        (lambda: zeros("[config]\nignored_values = ["), TOOLKIT),
        (lambda: lines("", lambda i: f"[t{i}]\n"), TOOLKIT),
    ],
    ids=["keys", "strings", "array-known-key", "array-ignored-key", "tables"],
)
def test_peak_memory_of_a_load_stays_within_four_times_the_file(tmp_path, make, ends):
    path = tmp_path / "large.toml"
    text = make()
    path.write_text(text, encoding="utf-8")
    result = subprocess.run([sys.executable, "-c", PEAK, str(path), ends], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # The interpreter's own growth during the call is a few hundred KiB; the margin takes it.
    assert int(result.stdout) * 1024 <= 3.8 * len(text), int(result.stdout) * 1024 / len(text)
