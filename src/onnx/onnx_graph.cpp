// Reading the graph interface of an ONNX model straight from the protobuf wire format.
//
// Only the fields the checks need are decoded; every other field, tensor payloads included, is
// passed over by its length, so the cost follows the number of fields, not the size of the
// weights. Fields are merged the way protobuf merges them: a singular message given twice is
// read into the same record, repeated fields append, the last scalar wins, and a `oneof` member
// replaces its siblings. A known field with the wrong wire type is a fault here (protobuf would
// pass it over as unknown): such a file is not a model anything would convert.
#include "onnx/onnx_graph.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>


namespace qarv::onnx {
namespace {

enum Wire : std::uint8_t { varint = 0, fixed64 = 1, length_delimited = 2, start_group = 3, end_group = 4, fixed32 = 5 };

const char* wire_name(unsigned wire) {
    switch (wire) {
    case varint: return "varint";
    case fixed64: return "64-bit";
    case length_delimited: return "length-delimited";
    case start_group: return "group start";
    case end_group: return "group end";
    case fixed32: return "32-bit";
    default: return "invalid";
    }
}

/// One field of a message as met on the wire.
struct WireField {
    std::uint32_t number = 0;
    unsigned wire = 0;
    std::size_t at = 0;     ///< offset of its tag
    std::uint64_t value = 0; ///< a varint's value
    std::size_t begin = 0;  ///< a length-delimited payload [begin, end)
    std::size_t end = 0;
};

/// Names longer than this are refused rather than copied: no real model has one, and a hostile
/// length would otherwise copy a payload's worth of bytes.
constexpr std::size_t max_name_size = std::size_t{1} << 16;

/// Where the parser's bytes come from: memory, or a window over a file.
class Bytes {
public:
    virtual ~Bytes() = default;
    virtual std::size_t size() const = 0;
    /// The `count` (at most `max_name_size`) bytes at `offset`, valid until the next call, or
    /// null with `error` set.
    virtual const unsigned char* view(std::size_t offset, std::size_t count, ReadError& error) = 0;
};

class MemoryBytes final : public Bytes {
public:
    explicit MemoryBytes(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    std::size_t size() const override { return bytes_.size(); }
    const unsigned char* view(std::size_t offset, std::size_t, ReadError&) override { return bytes_.data() + offset; }

private:
    std::span<const unsigned char> bytes_;
};

ReadError file_error(files::FileError error) {
    using Kind = files::FileError::Kind;
    switch (error.kind) {
    case Kind::os: return {ReadError::Kind::os, std::move(error.message), std::nullopt, error.os_error};
    case Kind::bad_name: return {ReadError::Kind::bad_name, std::move(error.message), std::nullopt, 0};
    case Kind::not_regular: return {ReadError::Kind::not_regular, std::move(error.message), std::nullopt, 0};
    case Kind::interrupted: return {ReadError::Kind::interrupted, std::move(error.message), std::nullopt, EINTR};
    case Kind::shrank:
    case Kind::too_large: break;
    }
    return {ReadError::Kind::shrank, std::move(error.message), std::nullopt, 0};
}

class FileBytes final : public Bytes {
public:
    FileBytes(files::File& file, const StopCheck& stop) : file_(file), window_(file, window_size), stop_(stop) {}
    std::size_t size() const override { return static_cast<std::size_t>(file_.size()); }
    const unsigned char* view(std::size_t offset, std::size_t count, ReadError& error) override {
        auto bytes = window_.view(offset, count, stop_);
        if (bytes) return bytes.value();
        error = file_error(std::move(bytes.error()));
        return nullptr;
    }

private:
    /// Twice the longest name: a view of one always fits, and the headers that follow small
    /// fields mostly come in the same read.
    static constexpr std::size_t window_size = 2 * max_name_size;
    files::File& file_;
    files::Window window_;
    const StopCheck& stop_;
};

class Parser {
public:
    explicit Parser(Bytes& bytes) : bytes_(bytes), size_(bytes.size()) {}

    bool model(Graph& graph, std::vector<ValueInfo>& all_inputs);
    ReadError& error() { return error_; }

private:
    Bytes& bytes_;
    std::size_t size_;
    ReadError error_{ReadError::Kind::encoding, {}, std::nullopt, 0};

    bool fail(std::size_t at, const std::string& message) {
        error_ = {ReadError::Kind::encoding, message + " at byte " + std::to_string(at), at, 0};
        return false;
    }

    const unsigned char* view(std::size_t offset, std::size_t count) { return bytes_.view(offset, count, error_); }

    std::string end_name(std::size_t end) const {
        return end == size_ ? "the end of the file" : "the end of its message at byte " + std::to_string(end);
    }

    bool read_varint(std::size_t& pos, std::size_t end, std::uint64_t& out) {
        const std::size_t start = pos;
        const unsigned char* data = view(pos, std::min<std::size_t>(end - pos, 10));
        if (!data) return false;
        std::uint64_t result = 0;
        for (unsigned shift = 0; shift < 70; shift += 7) {
            if (pos == end) return fail(start, "a varint cut off by " + end_name(end));
            const unsigned char byte = data[pos++ - start];
            // The tenth byte may carry bits beyond 64; protobuf drops them too.
            result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) {
                out = result;
                return true;
            }
            if (shift == 63) break;
        }
        return fail(start, "a varint longer than 10 bytes");
    }

    /// Reads one field's tag and passes over its value; groups are skipped whole.
    bool next_field(std::size_t& pos, std::size_t end, std::size_t depth, WireField& field) {
        field.at = pos;
        std::uint64_t key = 0;
        if (!read_varint(pos, end, key)) return false;
        field.wire = static_cast<unsigned>(key & 7);
        const std::uint64_t number = key >> 3;
        if (number == 0 || number > 0x1FFFFFFF)
            return fail(field.at, "field number " + std::to_string(number) + " out of range");
        field.number = static_cast<std::uint32_t>(number);
        switch (field.wire) {
        case varint:
            return read_varint(pos, end, field.value);
        case fixed64:
        case fixed32: {
            const std::size_t width = field.wire == fixed64 ? 8 : 4;
            if (end - pos < width)
                return fail(field.at, "field " + std::to_string(number) + " cut off by " + end_name(end));
            pos += width;
            return true;
        }
        case length_delimited: {
            const std::size_t length_at = pos;
            std::uint64_t length = 0;
            if (!read_varint(pos, end, length)) return false;
            if (length > end - pos)
                return fail(length_at, "length " + std::to_string(length) + " of field " + std::to_string(number) +
                                           " runs past " + end_name(end) + " (" + std::to_string(end - pos) +
                                           " bytes left)");
            field.begin = pos;
            field.end = pos + static_cast<std::size_t>(length);
            pos = field.end;
            return true;
        }
        case start_group:
            return skip_group(pos, end, field.number, field.at, depth + 1);
        case end_group:
            return fail(field.at, "the end of a group that was never started");
        default:
            return fail(field.at, "invalid wire type " + std::to_string(field.wire));
        }
    }

    bool skip_group(std::size_t& pos, std::size_t end, std::uint32_t number, std::size_t start, std::size_t depth) {
        if (depth > max_nesting) return fail(start, "groups nested deeper than " + std::to_string(max_nesting));
        while (pos < end) {
            const std::size_t at = pos;
            std::uint64_t key = 0;
            if (!read_varint(pos, end, key)) return false;
            if ((key & 7) == end_group) {
                if ((key >> 3) == number) return true;
                return fail(at, "a group of field " + std::to_string(number) + " closed as field " +
                                    std::to_string(key >> 3));
            }
            pos = at;
            WireField inner;
            if (!next_field(pos, end, depth, inner)) return false;
        }
        return fail(start, "a group of field " + std::to_string(number) + " not closed before " + end_name(end));
    }

    /// Calls `visit(field)` for each field of the message [begin, end); stops at the first fault.
    template <class Visit>
    bool fields(std::size_t begin, std::size_t end, std::size_t depth, Visit&& visit) {
        std::size_t pos = begin;
        while (pos < end) {
            WireField field;
            if (!next_field(pos, end, depth, field)) return false;
            if (!visit(field)) return false;
        }
        return true;
    }

    bool expect(const WireField& field, unsigned wire, const char* name) {
        if (field.wire == wire) return true;
        return fail(field.at, std::string("field `") + name + "` (" + std::to_string(field.number) + ") has wire type " +
                                  wire_name(field.wire) + ", expected " + wire_name(wire));
    }

    bool text(const WireField& field, const char* name, std::string& out) {
        if (!expect(field, length_delimited, name)) return false;
        if (field.end - field.begin > max_name_size)
            return fail(field.at, std::string("field `") + name + "` of " + std::to_string(field.end - field.begin) +
                                      " bytes, longer than any name a model uses");
        const unsigned char* data = view(field.begin, field.end - field.begin);
        if (!data) return false;
        out.assign(reinterpret_cast<const char*>(data), field.end - field.begin);
        return true;
    }

    bool dimension(const WireField& outer, Dimension& dim, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1:
                if (!expect(f, varint, "dim_value")) return false;
                // Exporters write -1 (and some 0) for a size left open: such a size is as dynamic as an unset one.
                dim.value = static_cast<std::int64_t>(f.value);
                dim.kind = dim.value > 0 ? Dimension::Kind::value : Dimension::Kind::unknown;
                dim.param.clear();
                return true;
            case 2:
                dim.kind = Dimension::Kind::param;
                return text(f, "dim_param", dim.param);
            default:
                return true;
            }
        });
    }

    bool tensor_type(const WireField& outer, ValueInfo& info, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1:
                if (!expect(f, varint, "elem_type")) return false;
                info.elem_type = static_cast<std::int32_t>(static_cast<std::uint32_t>(f.value));
                return true;
            case 2:
                if (!expect(f, length_delimited, "shape")) return false;
                info.has_shape = true;
                return fields(f.begin, f.end, depth + 1, [&](const WireField& d) {
                    if (d.number != 1) return true;
                    if (!expect(d, length_delimited, "dim")) return false;
                    return dimension(d, info.dims.emplace_back(), depth + 2);
                });
            default:
                return true;
            }
        });
    }

    bool type(const WireField& outer, ValueInfo& info, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            ValueInfo::Type kind;
            const char* name;
            switch (f.number) {
            case 1: kind = ValueInfo::Type::tensor; name = "tensor_type"; break;
            case 4: kind = ValueInfo::Type::sequence; name = "sequence_type"; break;
            case 5: kind = ValueInfo::Type::map; name = "map_type"; break;
            case 7: kind = ValueInfo::Type::opaque; name = "opaque_type"; break;
            case 8: kind = ValueInfo::Type::sparse_tensor; name = "sparse_tensor_type"; break;
            case 9: kind = ValueInfo::Type::optional; name = "optional_type"; break;
            default: return true;
            }
            if (!expect(f, length_delimited, name)) return false;
            if (info.type != kind) { // another member of the oneof: it starts afresh
                info.type = kind;
                info.elem_type = 0;
                info.has_shape = false;
                info.dims.clear();
            }
            if (kind == ValueInfo::Type::tensor || kind == ValueInfo::Type::sparse_tensor)
                return tensor_type(f, info, depth + 1);
            return true;
        });
    }

    bool value_info(const WireField& outer, ValueInfo& info, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1: return text(f, "name", info.name);
            case 2: return expect(f, length_delimited, "type") && type(f, info, depth + 1);
            default: return true;
            }
        });
    }

    bool tensor_name(const WireField& outer, std::string& name, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            return f.number == 8 ? text(f, "name", name) : true;
        });
    }

    bool graph(const WireField& outer, Graph& graph, std::vector<ValueInfo>& all_inputs, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1: // node: only its outputs
                if (!expect(f, length_delimited, "node")) return false;
                return fields(f.begin, f.end, depth + 1, [&](const WireField& n) {
                    return n.number == 2 ? text(n, "output", graph.node_outputs.emplace_back()) : true;
                });
            case 5:
                return expect(f, length_delimited, "initializer") &&
                       tensor_name(f, graph.initializers.emplace_back(), depth + 1);
            case 15: { // sparse_initializer: named by its values tensor
                if (!expect(f, length_delimited, "sparse_initializer")) return false;
                std::string& name = graph.initializers.emplace_back();
                return fields(f.begin, f.end, depth + 1, [&](const WireField& s) {
                    if (s.number != 1) return true;
                    return expect(s, length_delimited, "values") && tensor_name(s, name, depth + 2);
                });
            }
            case 11:
                return expect(f, length_delimited, "input") && value_info(f, all_inputs.emplace_back(), depth + 1);
            case 12:
                return expect(f, length_delimited, "output") && value_info(f, graph.outputs.emplace_back(), depth + 1);
            default:
                return true;
            }
        });
    }
};

bool Parser::model(Graph& result, std::vector<ValueInfo>& all_inputs) {
    return fields(0, size_, 0, [&](const WireField& f) {
        switch (f.number) {
        case 1:
            if (!expect(f, varint, "ir_version")) return false;
            result.ir_version = static_cast<std::int64_t>(f.value);
            return true;
        case 7:
            if (!expect(f, length_delimited, "graph")) return false;
            result.has_graph = true;
            return graph(f, result, all_inputs, 1);
        case 8: {
            if (!expect(f, length_delimited, "opset_import")) return false;
            OpsetImport& opset = result.opset_imports.emplace_back();
            return fields(f.begin, f.end, 1, [&](const WireField& o) {
                switch (o.number) {
                case 1: return text(o, "domain", opset.domain);
                case 2:
                    if (!expect(o, varint, "version")) return false;
                    opset.version = static_cast<std::int64_t>(o.value);
                    return true;
                default: return true;
                }
            });
        }
        default:
            return true;
        }
    });
}

Result<Graph, ReadError> parse(Bytes& bytes) {
    Parser parser(bytes);
    Graph graph;
    std::vector<ValueInfo> all_inputs;
    if (!parser.model(graph, all_inputs)) return std::move(parser.error());
    // Inputs that an initializer feeds are weights with a default, not what a caller supplies.
    const std::unordered_set<std::string_view> fed(graph.initializers.begin(), graph.initializers.end());
    for (ValueInfo& input : all_inputs)
        if (!fed.contains(input.name)) graph.inputs.push_back(std::move(input));
    return graph;
}

} // namespace

Result<Graph, ReadError> parse_model(std::span<const unsigned char> bytes) {
    MemoryBytes memory(bytes);
    return parse(memory);
}

Result<Graph, ReadError> read_model(const std::string& path, const StopCheck& stop) {
    auto file = files::File::open(path, files::Accept::regular, stop);
    if (!file) return file_error(std::move(file.error()));
    FileBytes bytes(file.value(), stop);
    auto graph = parse(bytes);
    // Payloads are passed over unread: a cut that falls inside one only shows in the size. A cut
    // also explains an encoding fault the walk met, and is the truer report of it.
    if (auto whole = file.value().check_not_shrunk(); !whole) return file_error(std::move(whole.error()));
    return graph;
}

} // namespace qarv::onnx
