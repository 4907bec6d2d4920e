// The ONNX graph reader's result as dicts and lists, and its failures as OSError or ValueError.
#include "python/onnx_objects.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "onnx/onnx_graph.hpp"
#include "python/arguments.hpp"
#include "python/signals.hpp"

namespace qarv {
namespace {

/// A name from the model as `str`; bytes that are not UTF-8 come through as surrogate escapes.
PyRef model_str(const std::string& text) {
    return adopt_or_fail(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

PyRef str_list(const std::vector<std::string>& texts) {
    PyRef list = adopt_or_fail(PyList_New(0));
    for (const std::string& text : texts) append(list.get(), model_str(text).get());
    return list;
}

const char* type_name(onnx::ValueInfo::Type type) {
    using Type = onnx::ValueInfo::Type;
    switch (type) {
    case Type::tensor: return "tensor";
    case Type::sparse_tensor: return "sparse_tensor";
    case Type::sequence: return "sequence";
    case Type::map: return "map";
    case Type::optional: return "optional";
    case Type::opaque: return "opaque";
    case Type::none: break;
    }
    return nullptr;
}

/// {"name", "type", "elem_type", "shape"}: `type` None when the model gives none, `shape` None
/// when the rank is unknown, else one int (fixed), str (named) or None (unknown) per dimension.
PyRef value_info_dict(const onnx::ValueInfo& info) {
    PyRef dict = adopt_or_fail(PyDict_New());
    set_item(dict.get(), "name", model_str(info.name));
    const char* type = type_name(info.type);
    set_item(dict.get(), "type", type ? make_str(type) : PyRef::borrow(Py_None));
    set_item(dict.get(), "elem_type", adopt_or_fail(PyLong_FromLong(info.elem_type)));
    if (!info.has_shape) {
        set_item(dict.get(), "shape", PyRef::borrow(Py_None));
        return dict;
    }
    PyRef shape = adopt_or_fail(PyList_New(0));
    for (const onnx::Dimension& dim : info.dims) {
        switch (dim.kind) {
        case onnx::Dimension::Kind::value: append(shape.get(), adopt_or_fail(PyLong_FromLongLong(dim.value)).get()); break;
        case onnx::Dimension::Kind::param: append(shape.get(), model_str(dim.param).get()); break;
        case onnx::Dimension::Kind::unknown: append(shape.get(), Py_None); break;
        }
    }
    set_item(dict.get(), "shape", std::move(shape));
    return dict;
}

PyRef value_info_list(const std::vector<onnx::ValueInfo>& infos) {
    PyRef list = adopt_or_fail(PyList_New(0));
    for (const onnx::ValueInfo& info : infos) append(list.get(), value_info_dict(info).get());
    return list;
}

/// The graph interface of the model at `path`. A file that cannot be opened or read, is not
/// regular or is cut short while read raises `OSError` (`strerror` says why); one that is not a
/// valid protobuf encoding raises `ValueError` naming the byte.
PyObject* read_onnx_graph_impl(PyObject* path_argument) {
    std::optional<std::string> path = str_argument(path_argument, "a path");
    if (!path) return nullptr;
    auto read = onnx::read_model(*path, stop_on_signal());
    if (!read) {
        const onnx::ReadError& error = read.error();
        switch (error.kind) {
        case onnx::ReadError::Kind::interrupted: return nullptr; // the handler's exception is pending
        case onnx::ReadError::Kind::os: {
            PyRef arguments =
                adopt_or_fail(Py_BuildValue("(isO)", error.os_error, std::strerror(error.os_error), path_argument));
            PyErr_SetObject(PyExc_OSError, arguments.get());
            return nullptr;
        }
        case onnx::ReadError::Kind::not_regular:
        case onnx::ReadError::Kind::shrank: { // no errno says it: the reason stands in its place
            PyRef arguments = adopt_or_fail(Py_BuildValue("(OsO)", Py_None, error.message.c_str(), path_argument));
            PyErr_SetObject(PyExc_OSError, arguments.get());
            return nullptr;
        }
        case onnx::ReadError::Kind::encoding:
        case onnx::ReadError::Kind::bad_name: break;
        }
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
        return nullptr;
    }
    const onnx::Graph& graph = read.value();
    PyRef dict = adopt_or_fail(PyDict_New());
    set_item(dict.get(), "ir_version", adopt_or_fail(PyLong_FromLongLong(graph.ir_version)));
    set_item(dict.get(), "has_graph", PyRef::borrow(graph.has_graph ? Py_True : Py_False));
    PyRef opsets = adopt_or_fail(PyList_New(0));
    for (const onnx::OpsetImport& opset : graph.opset_imports) {
        PyRef pair = adopt_or_fail(PyTuple_New(2));
        PyTuple_SET_ITEM(pair.get(), 0, model_str(opset.domain).release());
        PyTuple_SET_ITEM(pair.get(), 1, adopt_or_fail(PyLong_FromLongLong(opset.version)).release());
        append(opsets.get(), pair.get());
    }
    set_item(dict.get(), "opset_imports", std::move(opsets));
    set_item(dict.get(), "inputs", value_info_list(graph.inputs));
    set_item(dict.get(), "outputs", value_info_list(graph.outputs));
    set_item(dict.get(), "node_outputs", str_list(graph.node_outputs));
    set_item(dict.get(), "initializers", str_list(graph.initializers));
    return dict.release();
}

} // namespace

PyMethodDef onnx_methods[] = {
    {"read_onnx_graph", guarded<"qarv_convert._native", read_onnx_graph_impl>, METH_O,
     "read_onnx_graph(path)\n--\n\nThe inputs, outputs, node outputs and versions of the ONNX model at path."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace qarv
