"""Memcheck over a handful of conversions and summaries: no definite leak and no memory error in the module."""
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytestmark = [
    pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed"),
    # Memcheck cannot run a process that carries the AddressSanitizer runtime.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="sanitized build"),
]

# Runs in the child: every path through both functions that allocates, succeeds or fails.
SCRIPT = textwrap.dedent(
    """
    import os, sys, types
    import qarv_convert_inner

    class QARV:
        outcomes = {}
        def _step(name):
            def step(self, *args, **kwargs):
                outcome = QARV.outcomes.get(name, 0)
                if isinstance(outcome, BaseException):
                    raise outcome
                return outcome
            return step
        config, load_onnx, build = _step("config"), _step("load_onnx"), _step("build")
        accuracy_analysis, export_qarv = _step("accuracy_analysis"), _step("export_qarv")

    api = types.ModuleType("qarv.api")
    api.QARV = QARV
    package = types.ModuleType("qarv")
    package.api = api
    sys.modules.update({"qarv": package, "qarv.api": api})

    directory = sys.argv[1]
    def config(name, text):
        path = os.path.join(directory, name)
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
        return path

    full = config("full.toml", '''
    [config]
    mean_values = [1.5, 2.5]
    target_platform = "tx9300"
    [load]
    model_type = "Onnx"
    model = "m.onnx"
    inputs = ["a", "b"]
    input_size_list = [[1, 3, 224, 224]]
    [build]
    do_quantization = true
    dataset = "d\\u00e9.txt"
    [accuracy_analysis]
    inputs = ["cat.jpg"]
    [export]
    export_path = "out.qarv"
    ''')
    broken = config("broken.toml", "[build]\\ndo_quantization = 1\\n")
    unparsable = config("unparsable.toml", "[build\\nx = \\u00a7\\n")
    missing = os.path.join(directory, "absent.toml")

    def attempt(function, path):
        try:
            function(path)
        except RuntimeError:
            pass

    for outcomes in ({}, {"build": 3}, {"config": KeyError("k")}, {"export_qarv": None}):
        QARV.outcomes = outcomes
        attempt(qarv_convert_inner.rust_convert, full)
    for path in (full, broken, unparsable, missing):
        attempt(qarv_convert_inner.rust_convert, path)
        attempt(qarv_convert_inner.rust_explain, path)
    """
)

# Frames that belong to the module rather than to the interpreter.
OUR_FRAME = re.compile(r"qarv_convert_inner|qarv_convert/_native|qarv::")
ERROR_HEADING = re.compile(r"^(Invalid (read|write|free)|Mismatched free|Conditional jump|Use of uninitialised"
                           r"|Syscall param|Source and destination overlap|.* definitely lost in loss record)")


def reports(log):
    """The memcheck reports of a log, each as its lines without the `==pid==` prefix."""
    blocks, current = [], []
    for line in log.splitlines():
        text = re.sub(r"^==\d+== ?", "", line)
        if not text.strip():
            if current:
                blocks.append(current)
            current = []
        else:
            current.append(text)
    if current:
        blocks.append(current)
    return [block for block in blocks if ERROR_HEADING.match(block[0])]


def test_no_definite_leak_or_memory_error_in_the_module(tmp_path):
    log = tmp_path / "memcheck.log"
    result = subprocess.run(
        ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
         "--errors-for-leak-kinds=definite", "--error-exitcode=99", "--num-callers=40",
         f"--log-file={log}", sys.executable, "-c", SCRIPT, str(tmp_path)],
        capture_output=True, text=True, timeout=300,
        env=dict(os.environ, PYTHONMALLOC="malloc"),
    )
    text = log.read_text()
    # The run itself must have got through every call.
    assert result.returncode in (0, 99), result.stderr
    assert "ERROR SUMMARY" in text
    ours = [block for block in reports(text) if any(OUR_FRAME.search(line) for line in block)]
    assert not ours, "\n\n".join("\n".join(block) for block in ours)
