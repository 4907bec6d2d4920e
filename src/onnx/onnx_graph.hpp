// The interface of an ONNX model's graph as the pre-flight checks need it, read from the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "files/file_reader.hpp"
#include "result.hpp"

namespace qarv::onnx {

/// One dimension of a tensor shape: a fixed size, a named (dynamic) size, or neither (unset, or a
/// `dim_value` of 0 or below, which exporters write for a dynamic size).
struct Dimension {
    enum class Kind : std::uint8_t { unknown, value, param };
    Kind kind = Kind::unknown;
    std::int64_t value = 0; ///< when `kind` is `value`: always above 0
    std::string param;      ///< when `kind` is `param`
};

/// A graph input or output: its name and, for a tensor, its element type and shape.
struct ValueInfo {
    /// What `TypeProto` holds; only tensors (dense or sparse) carry an element type and shape.
    enum class Type : std::uint8_t { none, tensor, sparse_tensor, sequence, map, optional, opaque };
    std::string name;
    Type type = Type::none;
    std::int32_t elem_type = 0; ///< `TensorProto.DataType`; 0 is undefined
    bool has_shape = false;     ///< false: the rank itself is unknown
    std::vector<Dimension> dims;
};

/// One entry of `opset_import`.
struct OpsetImport {
    std::string domain; ///< empty: the default ONNX domain
    std::int64_t version = 0;
};

/// What a model file says about its graph. Tensor payloads are never copied, external data is
/// never opened.
struct Graph {
    std::int64_t ir_version = 0;
    bool has_graph = false; ///< a `graph` field was present
    std::vector<OpsetImport> opset_imports;
    std::vector<ValueInfo> inputs;          ///< graph inputs that no initializer feeds, in file order
    std::vector<ValueInfo> outputs;         ///< graph outputs, in file order
    std::vector<std::string> node_outputs;  ///< every value a node of the main graph produces
    std::vector<std::string> initializers;  ///< names of dense and sparse initializers
};

/// Why a model could not be read.
struct ReadError {
    enum class Kind : std::uint8_t {
        os,          ///< the system refused: `os_error` holds errno
        encoding,    ///< a fault of the protobuf encoding at byte `offset`
        bad_name,    ///< a path no file can have
        not_regular, ///< a FIFO, device or socket, refused before any read
        shrank,      ///< the file got shorter while it was read
        interrupted, ///< the caller's `StopCheck` ended a wait; the caller holds the reason
    };
    Kind kind;
    std::string message; ///< complete, offset included
    std::optional<std::size_t> offset;
    int os_error = 0;
};

using files::StopCheck;

/// How deep groups and nested types may go; protobuf's own parsers stop at the same depth.
inline constexpr std::size_t max_nesting = 100;

/// Reads a serialised `ModelProto` from `bytes`. Offsets in errors count from `bytes`' start.
Result<Graph, ReadError> parse_model(std::span<const unsigned char> bytes);

/// Reads the model file at `path`, a regular file, through a buffer of fixed size: payloads are
/// passed over by offset, never read, so memory does not follow the model's size, and a file cut
/// short under the reader is an error, not a fault.
Result<Graph, ReadError> read_model(const std::string& path, const StopCheck& stop = {});

} // namespace qarv::onnx
