"""The ONNX graph reader of the C++ core, held to onnx's own parse and fed malformed bytes."""
import os
import random
import re

import onnx
import pytest
from google.protobuf.message import DecodeError

from qarv_convert import _native

from onnx_fixtures import interface, random_model, save, tensor, model


def _write(tmp_path, data, name="model.onnx"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("seed", range(40))
def test_reader_agrees_with_onnx_load_on_generated_models(tmp_path, seed):
    path = save(random_model(seed, big_bytes=(3 << 20) if seed % 10 == 0 else 0), tmp_path / "m.onnx")
    assert _native.read_onnx_graph(path) == interface(onnx.load(path, load_external_data=False))


def test_inputs_fed_by_initializers_are_left_out_and_dims_keep_their_kind(tmp_path):
    from onnx import numpy_helper
    import numpy as np
    inputs = [tensor("image", shape=["batch", 3, None, 224]), tensor("scale", shape=[1])]
    built = model(inputs, [tensor("out", shape=None)], initializers=[numpy_helper.from_array(np.ones(1, np.float32), "scale")])
    graph = _native.read_onnx_graph(save(built, tmp_path / "m.onnx"))
    assert graph["inputs"] == [{"name": "image", "type": "tensor", "elem_type": 1, "shape": ["batch", 3, None, 224]}]
    assert graph["outputs"][0]["shape"] is None
    assert graph["initializers"] == ["scale"]


def test_repeated_singular_messages_merge_as_protobuf_merges_them(tmp_path):
    # Two `graph` fields: protobuf reads them as one graph, inputs appended.
    first = model([tensor("a")], [tensor("b")]).SerializeToString()
    second = model([tensor("c")], [tensor("d")])
    second.ClearField("opset_import")
    data = first + second.SerializeToString()
    path = _write(tmp_path, data)
    parsed = onnx.ModelProto()
    parsed.ParseFromString(data)
    assert _native.read_onnx_graph(path) == interface(parsed)


def _offset(error):
    found = re.search(r" at byte (\d+)", str(error))
    assert found, str(error)
    return int(found.group(1))


def _protobuf_accepts(data):
    try:
        onnx.ModelProto().ParseFromString(data)
    except DecodeError:
        return False
    return True


def test_every_truncation_of_a_model_is_read_or_refused_with_an_offset(tmp_path):
    data = model([tensor("x", shape=["n", 3])], [tensor("y")]).SerializeToString()
    for cut in range(len(data)):
        path = _write(tmp_path, data[:cut])
        try:
            _native.read_onnx_graph(path)
        except ValueError as error:
            assert _offset(error) <= cut
            assert not _protobuf_accepts(data[:cut]), cut
        else:
            assert _protobuf_accepts(data[:cut]), cut


def test_random_bytes_never_crash_the_reader(tmp_path):
    rng = random.Random(19)
    for _ in range(300):
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200)))
        path = _write(tmp_path, data)
        try:
            graph = _native.read_onnx_graph(path)
        except ValueError as error:
            assert _offset(error) <= len(data)
        else:
            assert isinstance(graph["inputs"], list)


# Field 7 of ModelProto is the graph; 0x3a is its tag with the length-delimited wire type.
@pytest.mark.parametrize("data, message, offset", [
    (b"\x08" + b"\xff" * 10 + b"\x01", "a varint longer than 10 bytes", 1),
    (b"\x08\xff", "a varint cut off by the end of the file", 1),
    (b"\x3a\xff\xff\xff\xff\x0f", "length 4294967295 of field 7 runs past the end of the file (0 bytes left)", 1),
    (b"\x3a\x02\x5a\x05xy", "length 5 of field 11 runs past the end of its message at byte 4 (0 bytes left)", 3),
    (b"\x38\x01", "field `graph` (7) has wire type varint, expected length-delimited", 0),
    (b"\x0a\x00", "field `ir_version` (1) has wire type length-delimited, expected varint", 0),
    (b"\x0f", "invalid wire type 7", 0),
    (b"\x00", "field number 0 out of range", 0),
    (b"\x0c", "the end of a group that was never started", 0),
    (b"\x0b\x08\x01", "a group of field 1 not closed before the end of the file", 0),
    (b"\x0b\x14", "a group of field 1 closed as field 2", 1),
    (b"\x0b" * 101 + b"\x0c" * 101, "groups nested deeper than 100", 100),
    (b"\x3a\x04\x0a\x02\x12\x05\x08\x01", "length 5 of field 2 runs past the end of its message at byte 6 (0 bytes left)", 5),
])
def test_malformed_encodings_name_the_fault_and_its_byte(tmp_path, data, message, offset):
    with pytest.raises(ValueError) as raised:
        _native.read_onnx_graph(_write(tmp_path, data))
    assert str(raised.value) == f"{message} at byte {offset}"


def test_groups_within_the_depth_limit_are_passed_over(tmp_path):
    data = b"\x13" * 100 + b"\x14" * 100 + b"\x08\x07"
    assert _native.read_onnx_graph(_write(tmp_path, data))["ir_version"] == 7


@pytest.mark.parametrize("data, has_graph", [(b"", False), (b"\x08\x07", False), (b"\x3a\x00", True)])
def test_files_without_a_graph_read_as_such(tmp_path, data, has_graph):
    graph = _native.read_onnx_graph(_write(tmp_path, data))
    assert graph["has_graph"] is has_graph and graph["inputs"] == []


def test_operating_system_failures_raise_oserror(tmp_path):
    with pytest.raises(FileNotFoundError):
        _native.read_onnx_graph(str(tmp_path / "missing.onnx"))
    with pytest.raises(IsADirectoryError):
        _native.read_onnx_graph(str(tmp_path))
    with pytest.raises(ValueError, match="NUL"):
        _native.read_onnx_graph("a\0b")


def test_a_model_through_a_pipe_is_refused_unread(tmp_path):
    # A stream cannot be passed over by offset, and the toolkit could not read it after the check.
    data = model([tensor("x")], [tensor("y")]).SerializeToString()
    read, write = os.pipe()
    os.write(write, data)
    os.close(write)
    try:
        with pytest.raises(OSError, match="it is a FIFO"):
            _native.read_onnx_graph(f"/dev/fd/{read}")
        assert os.read(read, len(data)) == data
    finally:
        os.close(read)


def test_names_that_are_not_utf8_come_through_escaped(tmp_path):
    # graph { input { name: "\xff" } }
    data = b"\x3a\x05\x5a\x03\x0a\x01\xff"
    assert _native.read_onnx_graph(_write(tmp_path, data))["inputs"][0]["name"] == "\udcff"
