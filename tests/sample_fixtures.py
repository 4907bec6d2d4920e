"""Calibration material for the sample tests: small real ONNX models that behave in known ways,
samples written with NumPy and Pillow, and the dataset and configuration naming them."""
import numpy as np
from onnx import TensorProto, helper, numpy_helper

from onnx_fixtures import model, save, tensor

SHAPE = (1, 3, 8, 8)
MEAN = [123.675, 116.28, 103.53]
STD = [58.395, 57.12, 57.375]


def _built(path, nodes, shape=SHAPE, initializers=(), output_shape=None, elem_type=TensorProto.FLOAT):
    inputs = [tensor("input", elem_type, shape)]
    return save(model(inputs, [tensor("output", TensorProto.FLOAT, output_shape)], nodes, initializers), path)


def identity(path, shape=SHAPE):
    """Gives back what it is fed: the preprocessed sample, for comparing with what was expected."""
    return _built(path, [helper.make_node("Identity", ["input"], ["output"])], shape)


def classifier(path, shape=SHAPE):
    """Pools each channel and mixes the channels: a float output that follows its input."""
    weight = numpy_helper.from_array(np.arange(1, 1 + 3 * 4, dtype=np.float32).reshape(3, 4), "weight")
    nodes = [helper.make_node("GlobalAveragePool", ["input"], ["pooled"]),
             helper.make_node("Flatten", ["pooled"], ["flat"]),
             helper.make_node("MatMul", ["flat", "weight"], ["output"])]
    return _built(path, nodes, shape, [weight])


def yields_nan(path):
    """The logarithm of minus its input: NaN for every positive value fed."""
    nodes = [helper.make_node("Neg", ["input"], ["negated"]), helper.make_node("Log", ["negated"], ["output"])]
    return _built(path, nodes)


def ignores_input(path):
    """Its output is the input's shape as floats: the same whatever the values."""
    nodes = [helper.make_node("Shape", ["input"], ["shape"]),
             helper.make_node("Cast", ["shape"], ["output"], to=TensorProto.FLOAT)]
    return _built(path, nodes)


def fails_to_run(path):
    """Loads, but reshapes its input to a size it cannot have, so every run fails."""
    target = numpy_helper.from_array(np.array([1, 1000], dtype=np.int64), "target")
    return _built(path, [helper.make_node("Reshape", ["input", "target"], ["output"])], initializers=[target])


def cannot_load(path):
    """A valid protobuf that names an operator onnxruntime does not have."""
    return _built(path, [helper.make_node("NoSuchOperator", ["input"], ["output"], domain="example.unknown")])


def pixels(seed, shape=SHAPE, dtype=np.uint8):
    return np.random.default_rng(seed).integers(0, 256, shape).astype(dtype)


def normalized(seed, shape=SHAPE):
    """Pixels already normalized the ImageNet way, as an exporter's own preprocessing leaves them."""
    channel = [slice(None)] * len(shape)
    values = pixels(seed, shape, np.float32)
    for index in range(3):
        channel[1] = index
        values[tuple(channel)] = (values[tuple(channel)] - MEAN[index]) / STD[index]
    return values


def write_npy(directory, arrays):
    """One `.npy` per array under `directory/samples`; returns the dataset lines."""
    (directory / "samples").mkdir(exist_ok=True)
    lines = []
    for index, array in enumerate(arrays):
        path = f"samples/{index:03}.npy"
        np.save(directory / path, array)
        lines.append(path)
    return lines


def write_images(directory, images, suffix=".png"):
    """One image file per HWC uint8 array, written by Pillow; returns the dataset lines."""
    from PIL import Image

    (directory / "images").mkdir(exist_ok=True)
    lines = []
    for index, array in enumerate(images):
        path = f"images/{index:03}{suffix}"
        Image.fromarray(array).save(directory / path)
        lines.append(path)
    return lines


def write_dataset(directory, lines):
    (directory / "dataset.txt").write_text("".join(line + "\n" for line in lines))


def configuration(mean=None, std=None, swap=False, size=SHAPE, extra=""):
    """A configuration of `model.onnx` quantized with `dataset.txt`."""
    config = ""
    if mean is not None:
        config += f"mean_values = {list(mean)}\n"
    if std is not None:
        config += f"std_values = {list(std)}\n"
    if swap:
        config += "quant_img_RGB2BGR = true\n"
    return (f"[config]\n{config}\n[load]\nmodel_type = \"Onnx\"\nmodel = \"model.onnx\"\n"
            f"input_size_list = [{list(size)}]\n\n[build]\ndataset = \"dataset.txt\"\n{extra}")
