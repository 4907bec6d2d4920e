"""What reading calibration samples costs `check`: 100 PNG images and 100 `.npy` arrays of
1×3×224×224, each without and with `--run`, beside onnxruntime alone running the model on the same
100 preprocessed inputs (read and preprocessed beforehand; its import timed apart) and
`check --samples 0` (the checks with no contents read).

Run through `make bench`. The model (a small classifier: a strided convolution, pooling and a
dense layer) and the samples are generated into build/bench-samples once and reused; delete them
with `make clean`. Each figure is the fastest of a few runs, each in a fresh process."""
import os
import pathlib
import subprocess
import sys
import time

# As `check --run` does: no session reports from onnxruntime, here or in the processes started.
os.environ.setdefault("ORT_DISABLE_TELEMETRY", "1")

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "bench-samples"
SHAPE = (1, 3, 224, 224)
COUNT = 100
RUNS = 3
MEAN = [123.675, 116.28, 103.53]
STD = [58.395, 57.12, 57.375]


def build():
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    from PIL import Image

    (WORK / "npy").mkdir(parents=True, exist_ok=True)
    (WORK / "images").mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(0)
    weights = [numpy_helper.from_array(rng.standard_normal((32, 3, 7, 7)).astype(np.float32) * 0.05, "conv"),
               numpy_helper.from_array(rng.standard_normal((32, 1000)).astype(np.float32) * 0.05, "dense")]
    nodes = [helper.make_node("Conv", ["input", "conv"], ["c"], strides=[2, 2], pads=[3, 3, 3, 3]),
             helper.make_node("Relu", ["c"], ["r"]),
             helper.make_node("GlobalAveragePool", ["r"], ["p"]),
             helper.make_node("Flatten", ["p"], ["f"]),
             helper.make_node("MatMul", ["f", "dense"], ["logits"])]
    graph = helper.make_graph(nodes, "bench", [helper.make_tensor_value_info("input", TensorProto.FLOAT, SHAPE)],
                              [helper.make_tensor_value_info("logits", TensorProto.FLOAT, [1, 1000])], weights)
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), str(WORK / "model.onnx"))
    npy_lines, image_lines = [], []
    for index in range(COUNT):
        pixels = rng.integers(0, 256, (224, 224, 3), dtype=np.uint8)
        Image.fromarray(pixels).save(WORK / "images" / f"{index:03}.png")
        np.save(WORK / "npy" / f"{index:03}.npy", pixels.transpose(2, 0, 1)[None].astype(np.float32))
        image_lines.append(f"images/{index:03}.png\n")
        npy_lines.append(f"npy/{index:03}.npy\n")
    (WORK / "images.txt").write_text("".join(image_lines))
    (WORK / "npy.txt").write_text("".join(npy_lines))
    for name in ("images", "npy"):
        (WORK / f"{name}.toml").write_text(
            f"[config]\nmean_values = {MEAN}\nstd_values = {STD}\n\n[load]\nmodel_type = \"Onnx\"\n"
            f"model = \"model.onnx\"\ninput_size_list = [{list(SHAPE)}]\n\n[build]\ndataset = \"{name}.txt\"\n")
    (WORK / "done").write_text("")


def onnxruntime_alone(name):
    """Seconds for onnxruntime to load the model and run it on the 100 inputs, already in memory."""
    import numpy as np
    import onnxruntime
    from PIL import Image

    inputs = []
    mean, std = np.float32(MEAN).reshape(1, 3, 1, 1), np.float32(STD).reshape(1, 3, 1, 1)
    for index in range(COUNT):
        if name == "images":
            values = np.asarray(Image.open(WORK / "images" / f"{index:03}.png")).transpose(2, 0, 1)[None]
        else:
            values = np.load(WORK / "npy" / f"{index:03}.npy")
        inputs.append(((values.astype(np.float32) - mean) / std).astype(np.float32))
    best = float("inf")
    for _ in range(RUNS):
        started = time.perf_counter()
        session = onnxruntime.InferenceSession(str(WORK / "model.onnx"), providers=["CPUExecutionProvider"])
        for values in inputs:
            session.run(None, {"input": values})
        best = min(best, time.perf_counter() - started)
    return best


def check(*arguments):
    best = float("inf")
    for _ in range(RUNS):
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "qarv_convert", "check", "-C", str(WORK), *arguments], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        best = min(best, time.perf_counter() - started)
    return best


def main():
    if not (WORK / "done").exists():
        print(f"writing {WORK.relative_to(ROOT)} ...", flush=True)
        build()
    importing = subprocess.run([sys.executable, "-X", "importtime", "-c", "import onnxruntime"], capture_output=True,
                               text=True, check=True).stderr.strip().splitlines()[-1]
    seconds = int(importing.split("|")[1]) / 1e6  # the cumulative microseconds of the last, top-level import
    print(f"check on {COUNT} samples of {'x'.join(map(str, SHAPE))} (fastest of {RUNS} runs, each a fresh process); "
          f"importing onnxruntime takes {seconds:.2f}s of --run")
    print(f"{'samples':8} {'no contents':>12} {'contents':>10} {'+ --run':>10} {'onnxruntime alone':>18}")
    for name in ("images", "npy"):
        bare = check("--samples", "0", f"{name}.toml")
        contents = check(f"{name}.toml")
        ran = check("--run", f"{name}.toml")
        alone = onnxruntime_alone(name)
        print(f"{name:8} {bare:11.2f}s {contents:9.2f}s {ran:9.2f}s {alone:17.2f}s")


if __name__ == "__main__":
    main()
