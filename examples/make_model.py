"""Writes the ONNX models, calibration samples and data files that the example configurations refer to."""
import argparse
import pathlib
import tomllib

EXAMPLES = pathlib.Path(__file__).resolve().parent

#: As many calibration samples as the pre-flight checks want at least.
CALIBRATION_SAMPLES = 20


def _placeholder_image(seed):
    # No image library is assumed, so these are not decodable pictures: only the toolkit stand-in
    # reads them, and it only needs them to exist.
    return bytes((seed * 37 + i) % 256 for i in range(256))


def _write(path, data, written):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    written.append(path)


def _weight(name, shape, seed):
    import numpy as np
    from onnx import numpy_helper

    return numpy_helper.from_array(np.random.default_rng(seed).standard_normal(shape).astype(np.float32) * 0.01, name)


def build_model(inputs, sizes, outputs):
    """A small real ONNX model with these inputs (of these sizes) and outputs. An image input
    (four dimensions) goes through Conv, Relu, global pooling and a Gemm; any other through a
    Gemm. The first output comes from the first input, each further one from the next input
    (or the first again)."""
    from onnx import TensorProto, helper

    nodes, weights, features = [], [], []
    for index, (name, size) in enumerate(zip(inputs, sizes)):
        if len(size) == 4:
            weights.append(_weight(f"{name}.conv", [8, size[1], 3, 3], index))
            nodes += [helper.make_node("Conv", [name, f"{name}.conv"], [f"{name}.c"], strides=[2, 2], pads=[1, 1, 1, 1]),
                      helper.make_node("Relu", [f"{name}.c"], [f"{name}.r"]),
                      helper.make_node("GlobalAveragePool", [f"{name}.r"], [f"{name}.p"]),
                      helper.make_node("Flatten", [f"{name}.p"], [f"{name}.f"])]
            features.append((f"{name}.f", 8))
        else:
            nodes.append(helper.make_node("Flatten", [name], [f"{name}.f"]))
            width = 1
            for n in size[1:]:
                width *= n
            features.append((f"{name}.f", width))
    graph_outputs = []
    for index, output in enumerate(outputs):
        feature, width = features[index % len(features)]
        classes = 1000 if len(outputs) == 1 else 4 * (index + 1)
        weights.append(_weight(f"{output}.weight", [width, classes], 100 + index))
        nodes.append(helper.make_node("Gemm", [feature, f"{output}.weight"], [output]))
        graph_outputs.append(helper.make_tensor_value_info(output, TensorProto.FLOAT, [size[0] for size in sizes[:1]] + [classes]))
    graph_inputs = [helper.make_tensor_value_info(name, TensorProto.FLOAT, size) for name, size in zip(inputs, sizes)]
    graph = helper.make_graph(nodes, "example", graph_inputs, graph_outputs, weights)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], producer_name="qarv-convert examples")


def make_materials(config_path, directory):
    """Writes into `directory` every input file that the configuration at `config_path` names,
    resolved the way a conversion run resolves them: relative to the directory it runs in.
    Returns the paths written."""
    config = tomllib.loads(pathlib.Path(config_path).read_text(encoding="utf-8"))
    directory = pathlib.Path(directory)
    load = config.get("load", {})
    written = []

    inputs = load.get("inputs", ["input"])
    sizes = load.get("input_size_list", [[1, 3, 224, 224]] * len(inputs))
    model = build_model(inputs, sizes, load.get("outputs", ["output"]))
    _write(directory / load.get("model", "model.onnx"), model.SerializeToString(), written)

    dataset = config.get("build", {}).get("dataset")
    if dataset:
        import numpy as np

        # One line per sample, one .npy per input: what the toolkit reads for calibration.
        lines = []
        for sample in range(CALIBRATION_SAMPLES):
            paths = [f"calibration/{sample:02}_{name}.npy" for name in inputs]
            for path, size in zip(paths, sizes):
                target = directory / path
                target.parent.mkdir(parents=True, exist_ok=True)
                np.save(target, np.random.default_rng(sample).integers(0, 256, size, dtype=np.uint8))
                written.append(target)
            lines.append(" ".join(paths) + "\n")
        _write(directory / dataset, "".join(lines).encode(), written)

    for seed, image in enumerate(config.get("accuracy_analysis", {}).get("inputs", []), start=100):
        _write(directory / image, _placeholder_image(seed), written)

    initial = load.get("input_initial_val_file")
    if initial:
        import numpy as np  # only this file type needs it

        shapes = load.get("input_size_list") or [[1]]
        arrays = [np.zeros(shape, dtype=np.float32) for shape in shapes]
        target = directory / initial
        target.parent.mkdir(parents=True, exist_ok=True)
        with open(target, "wb") as file:
            if target.suffix == ".npz":
                np.savez(file, *arrays)
            else:
                np.save(file, arrays[0])
        written.append(target)
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("configs", nargs="*", type=pathlib.Path,
                        help="configuration files (default: every example)")
    parser.add_argument("--into", type=pathlib.Path,
                        help="directory to write into (default: next to each configuration)")
    arguments = parser.parse_args()
    for config in arguments.configs or sorted(EXAMPLES.glob("*.toml")):
        for path in make_materials(config, arguments.into or config.parent):
            print(path)


if __name__ == "__main__":
    main()
