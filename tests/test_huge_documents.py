"""Commands over 40 MB configurations of every shape, in a child process with its address space
capped at ten times the file: each ends with its exit status and a few lines, never a crash, a
hang, a traceback, or a want of memory."""
import os
import resource
import subprocess
import sys

import pytest

SIZE = 40_000_000
CAP = 10 * SIZE  # bytes of address space
REPEATED = {
    "arrays of empty arrays": ('[load]\nmodel_type = "Onnx"\ninput_size_list = [', "[], ", "]\n"),
    "arrays of scalars": ("[config]\nmean_values = [", "1.0, ", "]\n"),
    "arrays of scalars under an ignored key": ("[config]\nignored = [", "1.0, ", "]\n"),
    "unknown keys": ("[build]\n", "k{} = 1\n", ""),
    "tables": ("", "[t{}]\n", ""),
    "one long key": ("[build]\n", "kkkkkkkkkk", " = 1\n"),
}
#: What a command prints at most: the summary, a plan, a few diagnostics with bounded excerpts.
PRINTED = 100_000


@pytest.fixture(scope="module")
def huge(tmp_path_factory):
    """The path of a 40 MB document of the named shape, written once."""
    made = {}

    def make(shape):
        if shape not in made:
            head, item, tail = REPEATED[shape]
            path = tmp_path_factory.mktemp("huge") / "huge.toml"
            with open(path, "w") as out:
                out.write(head)
                written, index = len(head), 0
                while written < SIZE:
                    piece = "".join(item.format(index + i) for i in range(10_000))
                    out.write(piece)
                    written += len(piece)
                    index += 10_000
                out.write(tail)
            made[shape] = str(path)
        return made[shape]

    return make


def capped():
    resource.setrlimit(resource.RLIMIT_AS, (CAP, CAP))


@pytest.mark.memory_bound
@pytest.mark.parametrize("shape", REPEATED)
@pytest.mark.parametrize("command", [["check"], ["plan", "--no-preflight"], ["explain"]])
def test_a_huge_document_ends_cleanly_within_a_memory_cap(huge, shape, command):
    path = huge(shape)
    script = "import sys; from qarv_convert import main; sys.exit(main())"
    result = subprocess.run([sys.executable, "-c", script, *command, path], capture_output=True, text=True,
                            timeout=300, preexec_fn=capped, env=dict(os.environ, PYTHONPATH=""))
    assert result.returncode in (0, 1), result.stderr[-2000:]
    assert "Traceback" not in result.stderr and "out of memory" not in result.stderr, result.stderr[-2000:]
    assert len(result.stdout) + len(result.stderr) < PRINTED, result.stderr[:2000]
