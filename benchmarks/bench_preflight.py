"""`check` of a configuration whose model embeds 500 MB of weights, against `qarv-convert --version`
and beside `onnx.load(path, load_external_data=False)` on the same file.

Run through `make bench`. The model is generated into build/bench once and reused; delete it with
`make clean`. Each figure comes from several runs, each in a fresh process: the fastest
time, and the median of the peak resident set."""
import os
import pathlib
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "bench"
MODEL = WORK / "weights-500mb.onnx"
CONFIG = WORK / "weights-500mb.toml"
WEIGHT_BYTES = 500 * 10**6
TENSORS = 100  # 5 MB each: a model's worth of layers, each a payload the reader steps over
RUNS = 7
#: What the check may add to a run of `--version`.
TIME_BUDGET = 0.050
MEMORY_BUDGET = 32 * 2**20


def build_model():
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    WORK.mkdir(parents=True, exist_ok=True)
    per_tensor = WEIGHT_BYTES // TENSORS // 4
    nodes, weights, previous = [], [], "input"
    for i in range(TENSORS):
        weights.append(numpy_helper.from_array(np.full(per_tensor, i, np.float32), f"w{i}"))
        nodes.append(helper.make_node("Add", [previous, f"w{i}.slice"], [f"t{i}"]))
        nodes.append(helper.make_node("Slice", [f"w{i}", "zero", "one"], [f"w{i}.slice"]))
        previous = f"t{i}"
    weights += [numpy_helper.from_array(np.array([0], np.int64), "zero"),
                numpy_helper.from_array(np.array([1], np.int64), "one")]
    nodes.append(helper.make_node("Identity", [previous], ["output"]))
    graph = helper.make_graph(nodes, "weights", [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1])],
                              [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1])], weights)
    temporary = MODEL.with_suffix(".partial")
    onnx.save(helper.make_model(graph), str(temporary))
    temporary.rename(MODEL)


def run(arguments):
    """Seconds and peak resident bytes of one process."""
    started = time.perf_counter()
    process = subprocess.Popen(arguments, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    errors = process.stderr.read().decode()
    process.stderr.close()
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, arguments))} failed ({process.returncode}):\n{errors}")
    return elapsed, usage.ru_maxrss * 1024


def measure(arguments):
    # The fastest run is the one the least disturbed by whatever else the machine runs.
    runs = [run(arguments) for _ in range(RUNS)]
    return min(t for t, _ in runs), statistics.median(m for _, m in runs)


def main():
    if not MODEL.exists():
        print(f"writing {MODEL.relative_to(ROOT)} ...", flush=True)
        # In a process of its own: a child's peak memory counts what its parent held when it
        # started, and building holds the whole model.
        subprocess.run([sys.executable, __file__, "--build"], check=True)
    CONFIG.write_text(f'[load]\nmodel_type = "Onnx"\nmodel = "{MODEL.name}"\ninputs = ["input"]\n'
                      'outputs = ["output"]\n[build]\ndo_quantization = false\n')
    python = sys.executable
    size = MODEL.stat().st_size
    version = measure([python, "-m", "qarv_convert", "--version"])
    check = measure([python, "-m", "qarv_convert", "check", "--strict", "-C", str(WORK), CONFIG.name])
    imports = measure([python, "-c", "import onnx"])
    loading = measure([python, "-c", f"import onnx; onnx.load({str(MODEL)!r}, load_external_data=False)"])
    reading = measure([python, "-c", f"from qarv_convert import _native; _native.read_onnx_graph({str(MODEL)!r})"])
    bare = measure([python, "-c", "from qarv_convert import _native"])

    added_time, added_memory = check[0] - version[0], check[1] - version[1]
    onnx_time, onnx_memory = loading[0] - imports[0], loading[1] - imports[1]
    ours_time, ours_memory = reading[0] - bare[0], reading[1] - bare[1]
    mib = 2**20
    print(f"model: {size / 1e6:,.0f} MB, {TENSORS} initializers; best time and median peak memory of {RUNS} runs, each a fresh process")
    print(f"{'':44}{'time':>10}{'peak RSS':>12}")
    print(f"{'qarv-convert --version':44}{version[0] * 1e3:>8.1f} ms{version[1] / mib:>8.1f} MiB")
    print(f"{'qarv-convert check --strict (500 MB model)':44}{check[0] * 1e3:>8.1f} ms{check[1] / mib:>8.1f} MiB")
    print(f"{'  added by the check':44}{added_time * 1e3:>8.1f} ms{added_memory / mib:>8.1f} MiB"
          f"   (budget {TIME_BUDGET * 1e3:.0f} ms, {MEMORY_BUDGET / mib:.0f} MiB)")
    print(f"{'read_onnx_graph, beyond importing _native':44}{ours_time * 1e3:>8.1f} ms{ours_memory / mib:>8.1f} MiB")
    print(f"{'onnx.load, beyond import onnx':44}{onnx_time * 1e3:>8.1f} ms{onnx_memory / mib:>8.1f} MiB")
    print(f"onnx.load / read_onnx_graph: {onnx_time / max(ours_time, 1e-4):,.0f}x the time, "
          f"{onnx_memory / max(ours_memory, mib):,.0f}x the memory")
    met = added_time <= TIME_BUDGET and added_memory <= MEMORY_BUDGET
    print("pre-flight budget: " + ("met" if met else "NOT met"))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(build_model() if sys.argv[1:] == ["--build"] else main())
