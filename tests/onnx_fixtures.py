"""Real ONNX models for the tests, built with onnx.helper, and the graph interface onnx reads."""
import random

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

#: Element types a tensor of a graph input may have, `TensorProto.DataType` values.
ELEMENT_TYPES = [t for name, t in TensorProto.DataType.items() if name != "UNDEFINED"]


def tensor(name, elem_type=TensorProto.FLOAT, shape=(1, 3, 224, 224)):
    """A tensor value info; `shape` None leaves the rank unknown, a None inside it the size."""
    return helper.make_tensor_value_info(name, elem_type, shape)


def model(inputs, outputs, nodes=None, initializers=(), sparse_initializers=(), opsets=None, ir_version=None):
    """A model whose graph has these inputs and outputs; by default one Identity per output,
    fed by the first input."""
    if nodes is None:
        nodes = [helper.make_node("Identity", [inputs[0].name], [output.name]) for output in outputs]
    graph = helper.make_graph(nodes, "g", inputs, outputs, list(initializers), sparse_initializer=list(sparse_initializers))
    built = helper.make_model(graph, opset_imports=opsets or [helper.make_opsetid("", 17)])
    if ir_version is not None:
        built.ir_version = ir_version
    return built


def save(built, path):
    onnx.save(built, str(path))
    return str(path)


def classifier(path, name="input", shape=(1, 3, 224, 224), output="logits"):
    """A one-input image classifier: Conv, then Flatten, with its weights as an initializer."""
    channels = shape[1] if len(shape) > 1 and isinstance(shape[1], int) else 3
    weight = numpy_helper.from_array(np.zeros((8, channels, 3, 3), np.float32), "conv.weight")
    nodes = [helper.make_node("Conv", [name, "conv.weight"], ["features"], pads=[1, 1, 1, 1]),
             helper.make_node("Flatten", ["features"], [output])]
    return save(model([tensor(name, shape=shape)], [tensor(output, shape=None)], nodes, [weight]), path)


def interface(built):
    """What the reader should find in `built`, computed from onnx's own parse."""
    graph = built.graph
    fed = {t.name for t in graph.initializer} | {s.values.name for s in graph.sparse_initializer}

    def info(value):
        kind = value.type.WhichOneof("value")
        record = {"name": value.name, "type": {None: None, "tensor_type": "tensor", "sparse_tensor_type": "sparse_tensor",
                                               "sequence_type": "sequence", "map_type": "map", "optional_type": "optional",
                                               "opaque_type": "opaque"}[kind], "elem_type": 0, "shape": None}
        if kind in ("tensor_type", "sparse_tensor_type"):
            typed = getattr(value.type, kind)
            record["elem_type"] = typed.elem_type
            if typed.HasField("shape"):
                # A size of 0 or below is what exporters write for a dynamic one.
                record["shape"] = [{"dim_value": d.dim_value if d.dim_value > 0 else None, "dim_param": d.dim_param,
                                    None: None}[d.WhichOneof("value")] for d in typed.shape.dim]
        return record

    return {
        "ir_version": built.ir_version,
        "has_graph": built.HasField("graph"),
        "opset_imports": [(o.domain, o.version) for o in built.opset_import],
        "inputs": [info(v) for v in graph.input if v.name not in fed],
        "outputs": [info(v) for v in graph.output],
        "node_outputs": [name for node in graph.node for name in node.output],
        "initializers": [t.name for t in graph.initializer] + [s.values.name for s in graph.sparse_initializer],
    }


def random_model(seed, big_bytes=0):
    """A model drawn from `seed`: dtypes, fixed, named and unknown sizes, unknown ranks, inputs
    fed by initializers, sequence and sparse types, several opsets, many nodes, external data."""
    rng = random.Random(seed)

    def shape():
        if rng.random() < 0.1:
            return None
        return [rng.choice([1, 3, 224, 0, 2**40, f"d{rng.randrange(5)}", None]) for _ in range(rng.randrange(6))]

    def value(name):
        roll = rng.random()
        if roll < 0.08:
            return helper.make_tensor_sequence_value_info(name, rng.choice(ELEMENT_TYPES), shape())
        if roll < 0.14:
            return helper.make_sparse_tensor_value_info(name, rng.choice(ELEMENT_TYPES), shape())
        return helper.make_tensor_value_info(name, rng.choice(ELEMENT_TYPES), shape())

    inputs = [value(f"in{i}") for i in range(rng.randrange(1, 6))]
    outputs = [value(f"out{i}") for i in range(rng.randrange(1, 4))]
    initializers = []
    for input in inputs[1:]:
        if rng.random() < 0.4:  # an input with a default value
            initializers.append(numpy_helper.from_array(np.zeros(4, np.float32), input.name))
    for i in range(rng.randrange(4)):
        initializers.append(numpy_helper.from_array(np.arange(rng.randrange(1, 50), dtype=np.float32), f"w{i}"))
    if rng.random() < 0.3:
        external = numpy_helper.from_array(np.zeros(4, np.float32), "external")
        onnx.external_data_helper.set_external_data(external, location="missing-weights.bin")
        external.ClearField("raw_data")
        initializers.append(external)
    if big_bytes:
        initializers.append(numpy_helper.from_array(np.zeros(big_bytes // 4, np.float32), "big"))
    sparse = []
    if rng.random() < 0.3:
        values = numpy_helper.from_array(np.ones(2, np.float32), "sparse_w")
        indices = numpy_helper.from_array(np.array([0, 3], np.int64), "sparse_w_indices")
        sparse.append(helper.make_sparse_tensor(values, indices, [8]))
    chain = [inputs[0].name]
    nodes = []
    for i in range(rng.choice([1, 5, 300])):
        nodes.append(helper.make_node("Identity", [chain[-1]], [f"t{i}"], name=f"n{i}"))
        chain.append(f"t{i}")
    nodes += [helper.make_node("Identity", [chain[-1]], [output.name]) for output in outputs]
    opsets = [helper.make_opsetid("", rng.choice([11, 13, 17, 21]))]
    if rng.random() < 0.5:
        opsets.append(helper.make_opsetid("com.example", rng.randrange(1, 5)))
    return model(inputs, outputs, nodes, initializers, sparse, opsets, ir_version=rng.choice([None, 3, 7, 10]))
