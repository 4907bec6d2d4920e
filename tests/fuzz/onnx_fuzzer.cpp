// libFuzzer target: model bytes through the ONNX graph reader.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "onnx/onnx_graph.hpp"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool operator==(const qarv::onnx::ValueInfo& a, const qarv::onnx::ValueInfo& b) {
    if (a.name != b.name || a.type != b.type || a.elem_type != b.elem_type || a.has_shape != b.has_shape) return false;
    if (a.dims.size() != b.dims.size()) return false;
    for (std::size_t i = 0; i < a.dims.size(); ++i)
        if (a.dims[i].kind != b.dims[i].kind || a.dims[i].value != b.dims[i].value || a.dims[i].param != b.dims[i].param)
            return false;
    return true;
}

bool operator==(const qarv::onnx::OpsetImport& a, const qarv::onnx::OpsetImport& b) {
    return a.domain == b.domain && a.version == b.version;
}

template <class T>
bool doubled(const std::vector<T>& once, const std::vector<T>& twice) {
    if (twice.size() != 2 * once.size()) return false;
    for (std::size_t i = 0; i < twice.size(); ++i)
        if (!(twice[i] == once[i % once.size()])) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const unsigned char> bytes(data, size);
    auto once = qarv::onnx::parse_model(bytes);
    if (!once) {
        // Every encoding fault names a byte inside the input (or its very end) and says so last.
        const qarv::onnx::ReadError& error = once.error();
        require(error.offset && *error.offset <= size);
        const std::string suffix = " at byte " + std::to_string(*error.offset);
        require(error.message.size() > suffix.size() &&
                error.message.compare(error.message.size() - suffix.size(), suffix.size(), suffix) == 0);
        return 0;
    }
    // Protobuf reads two messages one after the other as their merge: every repeated field
    // twice over, scalars the same. The reader must agree, which holds its framing to account.
    std::vector<unsigned char> twice(data, data + size);
    twice.insert(twice.end(), data, data + size);
    auto merged = qarv::onnx::parse_model(twice);
    require(merged.ok());
    const qarv::onnx::Graph& a = once.value();
    const qarv::onnx::Graph& b = merged.value();
    require(a.ir_version == b.ir_version && a.has_graph == b.has_graph);
    if (size == 0) return 0;
    require(doubled(a.opset_imports, b.opset_imports) && doubled(a.outputs, b.outputs) &&
            doubled(a.node_outputs, b.node_outputs) && doubled(a.initializers, b.initializers) &&
            doubled(a.inputs, b.inputs));
    return 0;
}
